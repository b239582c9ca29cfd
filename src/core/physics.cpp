// One physics sub-step: particles push boulders from their targets, overlapping
// boulders separate, the dense shaping term is measured, boulders move, particles
// are pushed back out of the boulders and placed.
//
// Every operation is a separately rounded double operation in the written order
// and grouping; sums run in ascending index order. Contact tests are strict: a
// distance exactly at the limit is no contact.
#include <cmath>

#include "zandrel_environment.hpp"

namespace {

constexpr double kParticlePushShare = 0.2;  // share of a particle's overlap that moves the boulder
constexpr double kBoulderPairShare = 0.5;   // share of a pair's overlap that each boulder takes
constexpr double kLandmarkSearchCeiling = 1e7;  // squared distance beyond which no landmark counts

}  // namespace

void ZandrelEnvironment::physics_substep() {
  std::vector<double>& displacement = boulder_displacement_;
  displacement.assign(2 * static_cast<size_t>(n_boulders), 0.0);
  const double* targets = target_particle_positions.data();
  double* boulders = boulder_positions.data();

  // particles push boulders
  for (int32_t b = 0; b < n_boulders; ++b) {
    const double bx = boulders[2 * b];
    const double by = boulders[2 * b + 1];
    double sx = 0.0;
    double sy = 0.0;
    for (int32_t p = 0; p < n_particles; ++p) {
      const double dx = bx - targets[2 * p];
      const double dy = by - targets[2 * p + 1];
      const double s = dx * dx + dy * dy;
      // coincident centres have no direction: such a pair does not push
      if (!(s < contact_distance_sq) || s == 0.0) continue;
      const double r = std::sqrt(s);
      const double m = (contact_distance - r) * kParticlePushShare;
      sx = sx + ((dx / r) * m);
      sy = sy + ((dy / r) * m);
    }
    displacement[2 * b] = sx + displacement[2 * b];
    displacement[2 * b + 1] = sy + displacement[2 * b + 1];
  }

  // overlapping boulders push each other apart, tested at the start positions
  for (int32_t j = 0; j < n_boulders; ++j) {
    for (int32_t k = j + 1; k < n_boulders; ++k) {
      const double dx = boulders[2 * k] - boulders[2 * j];
      const double dy = boulders[2 * k + 1] - boulders[2 * j + 1];
      const double s = dx * dx + dy * dy;
      if (!(s < boulder_spacing_sq) || s == 0.0) continue;
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

  if (!sparse_rewards) measure_shaping(displacement);

  // move the boulders
  for (int32_t b = 0; b < n_boulders; ++b) {
    boulders[2 * b] = displacement[2 * b] + boulders[2 * b];
    boulders[2 * b + 1] = displacement[2 * b + 1] + boulders[2 * b + 1];
  }

  // boulders push particles out by the full overlap, all from the same target
  std::vector<double>& pushout = particle_pushout_;
  pushout.assign(2 * static_cast<size_t>(n_particles), 0.0);
  for (int32_t p = 0; p < n_particles; ++p) {
    const double tx = targets[2 * p];
    const double ty = targets[2 * p + 1];
    for (int32_t b = 0; b < n_boulders; ++b) {
      const double dx = tx - boulders[2 * b];
      const double dy = ty - boulders[2 * b + 1];
      const double s = dx * dx + dy * dy;
      if (!(s < contact_distance_sq) || s == 0.0) continue;
      const double r = std::sqrt(s);
      const double m = contact_distance - r;
      pushout[2 * p] = ((dx / r) * m) + pushout[2 * p];
      pushout[2 * p + 1] = ((dy / r) * m) + pushout[2 * p + 1];
    }
  }

  // place the particles; the next sub-step starts with target = position
  for (int32_t p = 0; p < n_particles; ++p) {
    particle_positions[2 * p] = pushout[2 * p] + targets[2 * p];
    particle_positions[2 * p + 1] = pushout[2 * p + 1] + targets[2 * p + 1];
    target_particle_positions[2 * p] = particle_positions[2 * p];
    target_particle_positions[2 * p + 1] = particle_positions[2 * p + 1];
  }
}

// The total decrease, over all boulders, of the distance to the nearest eligible
// landmark. The landmark is chosen before the move; the distance after it is the
// old difference plus the displacement, never the moved position minus the
// landmark (the two differ in the last bits).
void ZandrelEnvironment::measure_shaping(const std::vector<double>& displacement) {
  shaping_reward = 0.0;
  for (int32_t b = 0; b < n_boulders; ++b) {
    if (boulder_done[b]) continue;
    double best_s = kLandmarkSearchCeiling;
    double best_ex = 0.0;
    double best_ey = 0.0;
    bool chosen = false;
    for (int32_t l = 0; l < n_landmarks; ++l) {
      const double ex = boulder_positions[2 * b] - landmark_positions[2 * l];
      const double ey = boulder_positions[2 * b + 1] - landmark_positions[2 * l + 1];
      const double s = ex * ex + ey * ey;
      // ties go to the lower landmark index
      if (s < best_s && !visited[static_cast<size_t>(l) * n_boulders + b]) {
        best_s = s;
        best_ex = ex;
        best_ey = ey;
        chosen = true;
      }
    }
    if (!chosen) continue;
    const double fx = best_ex + displacement[2 * b];
    const double fy = best_ey + displacement[2 * b + 1];
    const double new_distance = std::sqrt(fx * fx + fy * fy);
    const double old_distance = std::sqrt(best_s);
    shaping_reward = shaping_reward - (new_distance - old_distance);
  }
}
