// One physics sub-step: particles push boulders from their targets, overlapping
// boulders separate, the dense shaping term is measured, boulders move, particles
// are pushed back out of the boulders and placed.
//
// Every operation is a separately rounded double operation in the written order
// and grouping; sums run in ascending index order. Contact tests are strict: a
// distance exactly at the limit is no contact.
#include <cmath>

#include "geometry.hpp"
#include "zandrel_environment.hpp"

namespace {

constexpr double kParticlePushShare = 0.2;  // share of a particle's overlap that moves the boulder
constexpr double kBoulderPairShare = 0.5;   // share of a pair's overlap that each boulder takes
constexpr double kLandmarkSearchCeiling = 1e7;  // squared distance beyond which no landmark counts

// coincident centres have no direction: such a pair neither pushes nor is pushed
bool coincident(double s) { return s == 0.0; }

}  // namespace

void ZandrelEnvironment::physics_substep() {
  std::vector<double>& displacement = boulder_displacement_;
  displacement.assign(2 * static_cast<size_t>(n_boulders), 0.0);
  push_boulders(displacement);
  separate_boulders(displacement);
  if (!sparse_rewards) measure_shaping(displacement);

  double* boulders = boulder_positions.data();
  for (int32_t b = 0; b < n_boulders; ++b) {
    boulders[2 * b] = displacement[2 * b] + boulders[2 * b];
    boulders[2 * b + 1] = displacement[2 * b + 1] + boulders[2 * b + 1];
  }
  push_out_and_place_particles();
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
      const double r = std::sqrt(s);
      const double m = (boulder_spacing - r) * kBoulderPairShare;
      const double ux = (dx / r) * m;
      const double uy = (dy / r) * m;
      displacement[2 * j] = displacement[2 * j] - ux;
      displacement[2 * j + 1] = displacement[2 * j + 1] - uy;
      displacement[2 * k] = displacement[2 * k] + ux;
      displacement[2 * k + 1] = displacement[2 * k + 1] + uy;
    }
  }
}

// The total decrease, over all boulders, of the distance to the nearest eligible
// landmark. The landmark is chosen before the move; the distance after it is the
// old difference plus the displacement, never the moved position minus the
// landmark (the two differ in the last bits).
void ZandrelEnvironment::measure_shaping(const std::vector<double>& displacement) {
  shaping_reward = 0.0;
  const double* landmarks = landmark_positions.data();
  double* squared = squared_distance_scratch(n_landmarks);
  for (int32_t b = 0; b < n_boulders; ++b) {
    if (boulder_done[b]) continue;
    const double bx = boulder_positions[2 * b];
    const double by = boulder_positions[2 * b + 1];
    squared_distances(bx, by, landmarks, n_landmarks, squared);
    double best_s = kLandmarkSearchCeiling;
    int32_t best = -1;
    for (int32_t l = 0; l < n_landmarks; ++l) {
      // ties go to the lower landmark index
      if (squared[l] < best_s && !visited[static_cast<size_t>(l) * n_boulders + b]) {
        best_s = squared[l];
        best = l;
      }
    }
    if (best < 0) continue;
    const double fx = (bx - landmarks[2 * best]) + displacement[2 * b];
    const double fy = (by - landmarks[2 * best + 1]) + displacement[2 * b + 1];
    const double new_distance = std::sqrt(fx * fx + fy * fy);
    const double old_distance = std::sqrt(best_s);
    shaping_reward = shaping_reward - (new_distance - old_distance);
  }
}

// boulders, already moved, push each particle out by the full overlap; all
// corrections come from the same target and are summed, then the particle is
// placed and its next target starts at its new position
void ZandrelEnvironment::push_out_and_place_particles() {
  const double* boulders = boulder_positions.data();
  double* targets = target_particle_positions.data();
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
    particle_positions[2 * p] = px + tx;
    particle_positions[2 * p + 1] = py + ty;
    targets[2 * p] = particle_positions[2 * p];
    targets[2 * p + 1] = particle_positions[2 * p + 1];
  }
}

int32_t* ZandrelEnvironment::close_index_scratch(int32_t count) {
  if (close_indices_.size() < static_cast<size_t>(count)) close_indices_.resize(count);
  return close_indices_.data();
}

double* ZandrelEnvironment::squared_distance_scratch(int32_t count) {
  if (squared_distances_.size() < static_cast<size_t>(count)) squared_distances_.resize(count);
  return squared_distances_.data();
}
