#include "approach.hpp"

#include <cmath>

namespace {

constexpr int32_t kValuesPerParticle = 4;  // x, y, vx, vy

double squared_distance(const double* state, int32_t particle, int32_t boulder_start,
                        int32_t boulder) {
  const double dx = state[boulder_start + 2 * boulder] - state[kValuesPerParticle * particle];
  const double dy =
      state[boulder_start + 2 * boulder + 1] - state[kValuesPerParticle * particle + 1];
  return dx * dx + dy * dy;
}

// the flags say 0.0 for a goal not yet met
bool boulder_open(const double* state, const StateCounts& counts, int32_t flag_start,
                  int32_t boulder) {
  if (!counts.visit_all) return state[flag_start + boulder] == 0.0;
  for (int32_t l = 0; l < counts.n_landmarks; ++l) {
    if (state[flag_start + l * counts.n_boulders + boulder] == 0.0) return true;
  }
  return false;
}

}  // namespace

double approach_progress(const double* before, const double* after, const StateCounts& counts) {
  const int32_t boulder_start = kValuesPerParticle * counts.n_agents;
  const int32_t flag_start = boulder_start + 2 * counts.n_boulders + 2 * counts.n_landmarks;
  double progress = 0.0;
  for (int32_t p = 0; p < counts.n_agents; ++p) {
    int32_t nearest = -1;
    double nearest_sq = 0.0;
    for (int32_t b = 0; b < counts.n_boulders; ++b) {
      if (!boulder_open(before, counts, flag_start, b)) continue;
      const double s = squared_distance(before, p, boulder_start, b);
      if (nearest < 0 || s < nearest_sq) {
        nearest = b;
        nearest_sq = s;
      }
    }
    if (nearest < 0) continue;
    const double distance_before = std::sqrt(nearest_sq);
    const double distance_after = std::sqrt(squared_distance(after, p, boulder_start, nearest));
    progress = progress + (distance_before - distance_after);
  }
  return progress;
}
