// One physics sub-step: particles push boulders from their targets, overlapping
// boulders separate, the dense shaping term is measured, boulders move, particles
// are pushed back out of the boulders and placed.
//
// Every operation is a separately rounded double operation in the written order
// and grouping; sums run in ascending index order. Contact tests are strict: a
// distance exactly at the limit is no contact. Each pass has an exhaustive loop
// and, for scenes with many pairs, a broad-phase twin that tests only the pairs
// in neighbouring grid cells, in the same order, so both give the same bits.
#include <cmath>

#include "broad_phase.hpp"
#include "geometry.hpp"
#include "zandrel_environment.hpp"

namespace {

constexpr double kParticlePushShare = 0.2;  // share of a particle's overlap that moves the boulder
constexpr double kBoulderPairShare = 0.5;   // share of a pair's overlap that each boulder takes
constexpr double kLandmarkSearchCeiling = 1e7;  // squared distance beyond which no landmark counts
// Grid cells: integers wider than the interaction radius they serve (10 between
// boulders, 6 for contact and arrival). Landmark cells are wider still, so that
// the nearest-landmark search usually ends within the 3 x 3 cells around a boulder.
constexpr double kSpacingCell = 11.0;
constexpr double kContactCell = 7.0;
constexpr double kLandmarkCell = 12.0;

// coincident centres have no direction: such a pair neither pushes nor is pushed
bool coincident(double s) { return s == 0.0; }

}  // namespace

void ZandrelEnvironment::physics_substep() {
  std::vector<double>& displacement = boulder_displacement_;
  displacement.assign(2 * static_cast<size_t>(n_boulders), 0.0);
  const int64_t contact_pairs = static_cast<int64_t>(n_particles) * n_boulders;
  const int64_t boulder_pairs = static_cast<int64_t>(n_boulders) * (n_boulders - 1) / 2;
  const int64_t landmark_pairs = static_cast<int64_t>(n_landmarks) * n_boulders;
  const bool bin_contacts = broad_phase_pays(contact_pairs);
  const bool bin_separation = broad_phase_pays(boulder_pairs);
  const bool bin_landmarks = broad_phase_pays(landmark_pairs);
  const bool shaped = !sparse_rewards;

  const bool start_binned =
      (bin_contacts || bin_separation || (shaped && bin_landmarks)) &&
      start_boulder_grid_.build(boulder_positions.data(), n_boulders, kSpacingCell);
  const bool targets_binnable =
      bin_contacts && all_binnable(target_particle_positions.data(), n_particles);
  const bool landmarks_binnable =
      bin_landmarks && all_binnable(landmark_positions.data(), n_landmarks);
  // the shaping search and the arrivals look landmarks up; the visits look boulders up
  const bool landmarks_binned =
      landmarks_binnable && (shaped || !visit_all) &&
      landmark_grid_.build(landmark_positions.data(), n_landmarks, kLandmarkCell);

  if (start_binned && targets_binnable) {
    push_boulders_near(displacement);
  } else {
    push_boulders(displacement);
  }
  if (start_binned && bin_separation) {
    separate_boulders_near(displacement);
  } else {
    separate_boulders(displacement);
  }
  if (shaped) measure_shaping(displacement, start_binned && landmarks_binned);

  double* boulders = boulder_positions.data();
  for (int32_t b = 0; b < n_boulders; ++b) {
    boulders[2 * b] = displacement[2 * b] + boulders[2 * b];
    boulders[2 * b + 1] = displacement[2 * b + 1] + boulders[2 * b + 1];
  }
  const bool moved_binned = (bin_contacts || landmarks_binnable) &&
                            moved_boulder_grid_.build(boulders, n_boulders, kContactCell);
  goals_binned_ = moved_binned && landmarks_binnable && (visit_all || landmarks_binned);
  if (moved_binned && targets_binnable) {
    push_out_and_place_particles_near();
  } else {
    push_out_and_place_particles();
  }
}

// each particle whose target touches a boulder moves it a fifth of the overlap
// along the line from the target to the boulder centre
void ZandrelEnvironment::push_boulders(std::vector<double>& displacement) {
  const double* targets = target_particle_positions.data();
  const double* boulders = boulder_positions.data();
  double* squared = squared_distance_scratch(n_particles);
  int32_t* hits = close_index_scratch(n_particles);
  for (int32_t b = 0; b < n_boulders; ++b) {
    const double bx = boulders[2 * b];
    const double by = boulders[2 * b + 1];
    squared_distances(bx, by, targets, n_particles, squared);
    const int32_t touching = close_indices(squared, n_particles, contact_distance_sq, hits);
    double sx = 0.0;
    double sy = 0.0;
    for (int32_t h = 0; h < touching; ++h) {
      const int32_t p = hits[h];
      const double s = squared[p];
      if (coincident(s)) continue;
      const double dx = bx - targets[2 * p];
      const double dy = by - targets[2 * p + 1];
      const double r = std::sqrt(s);
      const double m = (contact_distance - r) * kParticlePushShare;
      sx = sx + ((dx / r) * m);
      sy = sy + ((dy / r) * m);
    }
    displacement[2 * b] = sx + displacement[2 * b];
    displacement[2 * b + 1] = sy + displacement[2 * b + 1];
  }
}

// The same sums with the particle loop outside: each boulder still receives its
// particles' pushes in ascending particle order, accumulated from 0.0 exactly as
// sx and sy are, and a sum that starts at +0.0 never becomes -0.0, so adding it
// to the zeroed displacement afterwards would change nothing.
void ZandrelEnvironment::push_boulders_near(std::vector<double>& displacement) {
  const double* targets = target_particle_positions.data();
  const double* boulders = boulder_positions.data();
  for (int32_t p = 0; p < n_particles; ++p) {
    const double tx = targets[2 * p];
    const double ty = targets[2 * p + 1];
    for (const int32_t b : start_boulder_grid_.near(tx, ty)) {
      const double dx = boulders[2 * b] - tx;
      const double dy = boulders[2 * b + 1] - ty;
      const double s = dx * dx + dy * dy;
      if (!(s < contact_distance_sq) || coincident(s)) continue;
      const double r = std::sqrt(s);
      const double m = (contact_distance - r) * kParticlePushShare;
      displacement[2 * b] = displacement[2 * b] + ((dx / r) * m);
      displacement[2 * b + 1] = displacement[2 * b + 1] + ((dy / r) * m);
    }
  }
}

// each overlapping pair, tested at the positions from before any push, moves
// apart by half the overlap each, in pair order (0,1), (0,2), ..., (1,2), ...
void ZandrelEnvironment::separate_boulders(std::vector<double>& displacement) {
  const double* boulders = boulder_positions.data();
  double* squared = squared_distance_scratch(n_boulders);
  int32_t* hits = close_index_scratch(n_boulders);
  for (int32_t j = 0; j < n_boulders; ++j) {
    const int32_t later = n_boulders - j - 1;
    squared_distances(boulders[2 * j], boulders[2 * j + 1], boulders + 2 * (j + 1), later, squared);
    const int32_t overlapping = close_indices(squared, later, boulder_spacing_sq, hits);
    for (int32_t h = 0; h < overlapping; ++h) {
      const int32_t k = j + 1 + hits[h];
      const double s = squared[hits[h]];
      if (coincident(s)) continue;
      const double dx = boulders[2 * k] - boulders[2 * j];
      const double dy = boulders[2 * k + 1] - boulders[2 * j + 1];
      separate_pair(j, k, dx, dy, s, displacement);
    }
  }
}

// boulders j and k, closer than the spacing at squared distance s along (dx, dy) from
// j to k, each move a share of the overlap apart
void ZandrelEnvironment::separate_pair(int32_t j, int32_t k, double dx, double dy, double s,
                                       std::vector<double>& displacement) const {
  const double r = std::sqrt(s);
  const double m = (boulder_spacing - r) * kBoulderPairShare;
  const double ux = (dx / r) * m;
  const double uy = (dy / r) * m;
  displacement[2 * j] = displacement[2 * j] - ux;
  displacement[2 * j + 1] = displacement[2 * j + 1] - uy;
  displacement[2 * k] = displacement[2 * k] + ux;
  displacement[2 * k + 1] = displacement[2 * k + 1] + uy;
}

// the pairs (j, k), k > j, of neighbouring cells, in the same pair order
void ZandrelEnvironment::separate_boulders_near(std::vector<double>& displacement) {
  const double* boulders = boulder_positions.data();
  for (int32_t j = 0; j < n_boulders; ++j) {
    const double jx = boulders[2 * j];
    const double jy = boulders[2 * j + 1];
    for (const int32_t k : start_boulder_grid_.near(jx, jy)) {
      if (k <= j) continue;
      const double dx = boulders[2 * k] - jx;
      const double dy = boulders[2 * k + 1] - jy;
      const double s = dx * dx + dy * dy;
      if (!(s < boulder_spacing_sq) || coincident(s)) continue;
      separate_pair(j, k, dx, dy, s, displacement);
    }
  }
}

// The total decrease, over all boulders, of the distance to the nearest eligible
// landmark. The landmark is chosen before the move; the distance after it is the
// old difference plus the displacement, never the moved position minus the
// landmark (the two differ in the last bits).
void ZandrelEnvironment::measure_shaping(const std::vector<double>& displacement, bool binned) {
  shaping_reward = 0.0;
  const double* landmarks = landmark_positions.data();
  for (int32_t b = 0; b < n_boulders; ++b) {
    if (boulder_done[b]) continue;
    const double bx = boulder_positions[2 * b];
    const double by = boulder_positions[2 * b + 1];
    double best_s = kLandmarkSearchCeiling;
    int32_t best = -1;
    if (!binned || !nearest_open_landmark_in_rings(b, bx, by, best_s, best)) {
      best_s = kLandmarkSearchCeiling;
      best = nearest_open_landmark(b, bx, by, best_s);
    }
    if (best < 0) continue;
    const double fx = (bx - landmarks[2 * best]) + displacement[2 * b];
    const double fy = (by - landmarks[2 * best + 1]) + displacement[2 * b + 1];
    const double new_distance = std::sqrt(fx * fx + fy * fy);
    const double old_distance = std::sqrt(best_s);
    shaping_reward = shaping_reward - (new_distance - old_distance);
  }
}

// the landmark not yet visited by boulder b with the smallest squared distance
// below best_s, or -1; best_s becomes that distance
int32_t ZandrelEnvironment::nearest_open_landmark(int32_t b, double bx, double by, double& best_s) {
  double* squared = squared_distance_scratch(n_landmarks);
  squared_distances(bx, by, landmark_positions.data(), n_landmarks, squared);
  int32_t best = -1;
  for (int32_t l = 0; l < n_landmarks; ++l) {
    // ties go to the lower landmark index
    if (squared[l] < best_s && !visited[static_cast<size_t>(l) * n_boulders + b]) {
      best_s = squared[l];
      best = l;
    }
  }
  return best;
}

// The same choice from the landmark grid, ring by ring of cells around the
// boulder. The least (distance, index) wins, which is the first least distance in
// index order. Once the rings searched are r, every landmark further out differs
// by more than r * side - 1 in one coordinate (rounding included), so its squared
// distance is at least that squared; the search stops when this bound exceeds the
// best distance or reaches the ceiling. False when the rings would cover more cells
// than a scan of all landmarks costs.
bool ZandrelEnvironment::nearest_open_landmark_in_rings(int32_t b, double bx, double by,
                                                        double& best_s, int32_t& best) const {
  const double* landmarks = landmark_positions.data();
  const PointGrid::Cell centre = landmark_grid_.cell_of(bx, by);
  const int64_t cell_budget = 9 + n_landmarks / 4;
  int64_t cells = 0;
  for (int64_t ring = 0;; ++ring) {
    cells += ring == 0 ? 1 : 8 * ring;
    if (cells > cell_budget) return false;
    landmark_grid_.visit_ring(centre, ring, [&](int32_t l) {
      if (visited[static_cast<size_t>(l) * n_boulders + b]) return;
      const double ex = bx - landmarks[2 * l];
      const double ey = by - landmarks[2 * l + 1];
      const double s = ex * ex + ey * ey;
      if (s < best_s || (s == best_s && l < best)) {
        best_s = s;
        best = l;
      }
    });
    const double gap = static_cast<double>(ring) * landmark_grid_.side() - 1.0;
    if (gap <= 0.0) continue;
    const double beyond = gap * gap;
    if (beyond > best_s || beyond >= kLandmarkSearchCeiling) return true;
  }
}

// boulders, already moved, push each particle out by the full overlap; all
// corrections come from the same target and are summed, then the particle is
// placed and its next target starts at its new position
void ZandrelEnvironment::push_out_and_place_particles() {
  const double* boulders = boulder_positions.data();
  const double* targets = target_particle_positions.data();
  double* squared = squared_distance_scratch(n_boulders);
  int32_t* hits = close_index_scratch(n_boulders);
  for (int32_t p = 0; p < n_particles; ++p) {
    const double tx = targets[2 * p];
    const double ty = targets[2 * p + 1];
    squared_distances(tx, ty, boulders, n_boulders, squared);
    const int32_t touching = close_indices(squared, n_boulders, contact_distance_sq, hits);
    double px = 0.0;
    double py = 0.0;
    for (int32_t h = 0; h < touching; ++h) {
      const int32_t b = hits[h];
      const double s = squared[b];
      if (coincident(s)) continue;
      const double dx = tx - boulders[2 * b];
      const double dy = ty - boulders[2 * b + 1];
      const double r = std::sqrt(s);
      const double m = contact_distance - r;
      px = ((dx / r) * m) + px;
      py = ((dy / r) * m) + py;
    }
    place_particle(p, px, py);
  }
}

// the boulders of neighbouring cells, in ascending order as above
void ZandrelEnvironment::push_out_and_place_particles_near() {
  const double* boulders = boulder_positions.data();
  const double* targets = target_particle_positions.data();
  for (int32_t p = 0; p < n_particles; ++p) {
    const double tx = targets[2 * p];
    const double ty = targets[2 * p + 1];
    double px = 0.0;
    double py = 0.0;
    for (const int32_t b : moved_boulder_grid_.near(tx, ty)) {
      const double dx = tx - boulders[2 * b];
      const double dy = ty - boulders[2 * b + 1];
      const double s = dx * dx + dy * dy;
      if (!(s < contact_distance_sq) || coincident(s)) continue;
      const double r = std::sqrt(s);
      const double m = contact_distance - r;
      px = ((dx / r) * m) + px;
      py = ((dy / r) * m) + py;
    }
    place_particle(p, px, py);
  }
}

void ZandrelEnvironment::place_particle(int32_t p, double px, double py) {
  double* targets = target_particle_positions.data();
  particle_positions[2 * p] = px + targets[2 * p];
  particle_positions[2 * p + 1] = py + targets[2 * p + 1];
  targets[2 * p] = particle_positions[2 * p];
  targets[2 * p + 1] = particle_positions[2 * p + 1];
}

int32_t* ZandrelEnvironment::close_index_scratch(int32_t count) {
  if (close_indices_.size() < static_cast<size_t>(count)) close_indices_.resize(count);
  return close_indices_.data();
}

double* ZandrelEnvironment::squared_distance_scratch(int32_t count) {
  if (squared_distances_.size() < static_cast<size_t>(count)) squared_distances_.resize(count);
  return squared_distances_.data();
}
