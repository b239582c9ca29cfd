// Goal tracking: records boulder arrivals at landmarks, recounts what is left to
// do and yields the reward of one sub-step. Flags only ever go from false to true
// here, so every pair (or boulder) pays its sparse reward once per episode.
#include "geometry.hpp"
#include "zandrel_environment.hpp"

namespace {

constexpr double kArrivalReward = 1.0;  // per boulder, when any one landmark will do

}  // namespace

bool ZandrelEnvironment::boulder_at_landmark(int32_t b, int32_t l) const {
  const double ex = boulder_positions[2 * b] - landmark_positions[2 * l];
  const double ey = boulder_positions[2 * b + 1] - landmark_positions[2 * l + 1];
  return ex * ex + ey * ey < contact_distance_sq;
}

// the grids the physics sub-step has just built serve here too: boulders and
// landmarks have not moved since
double ZandrelEnvironment::update_goals() {
  double reward = 0.0;
  if (visit_all) {
    reward = goals_binned_ ? record_visits_near() : record_visits();
  } else {
    reward = goals_binned_ ? record_arrivals_near() : record_arrivals();
  }
  if (!sparse_rewards) reward = reward + shaping_reward;
  return reward;
}

// every boulder has to visit every landmark: each new (landmark, boulder) pair
// pays sparse_weight, and the pairs still open are counted
double ZandrelEnvironment::record_visits() {
  double reward = 0.0;
  unvisited_count = 0;
  remaining_boulders = 1;
  double* squared = squared_distance_scratch(n_boulders);
  for (int32_t l = 0; l < n_landmarks; ++l) {
    squared_distances(landmark_positions[2 * l], landmark_positions[2 * l + 1],
                      boulder_positions.data(), n_boulders, squared);
    for (int32_t b = 0; b < n_boulders; ++b) {
      const int32_t i = l * n_boulders + b;
      if (visited[i]) continue;
      if (squared[b] < contact_distance_sq) {
        visited[i] = 1;
        ++visited_count_;
        reward = reward + sparse_weight;
      } else {
        unvisited_count = unvisited_count + 1;
      }
    }
  }
  return reward;
}

// the pairs of neighbouring cells, landmark-major as above; every pair left out
// is unvisited and stays so, and the count of unvisited pairs follows from the
// count of visited ones
double ZandrelEnvironment::record_visits_near() {
  double reward = 0.0;
  remaining_boulders = 1;
  const double* boulders = boulder_positions.data();
  for (int32_t l = 0; l < n_landmarks; ++l) {
    const double lx = landmark_positions[2 * l];
    const double ly = landmark_positions[2 * l + 1];
    for (const int32_t b : moved_boulder_grid_.near(lx, ly)) {
      const int32_t i = l * n_boulders + b;
      if (visited[i]) continue;
      const double dx = lx - boulders[2 * b];
      const double dy = ly - boulders[2 * b + 1];
      if (!(dx * dx + dy * dy < contact_distance_sq)) continue;
      visited[i] = 1;
      ++visited_count_;
      reward = reward + sparse_weight;
    }
  }
  unvisited_count =
      static_cast<int32_t>(static_cast<int64_t>(n_landmarks) * n_boulders - visited_count_);
  return reward;
}

// boulder b's first arrival, at landmark l: its flags, its count and its pay
double ZandrelEnvironment::record_arrival(int32_t b, int32_t l) {
  visited[l * n_boulders + b] = 1;
  ++visited_count_;
  boulder_done[b] = 1;
  remaining_boulders = remaining_boulders - 1;
  return kArrivalReward;
}

// each boulder has to reach any one landmark: its first arrival pays 1.0 and
// records only the lowest-indexed landmark in reach
double ZandrelEnvironment::record_arrivals() {
  double reward = 0.0;
  remaining_boulders = n_boulders;
  unvisited_count = 1;
  for (int32_t b = 0; b < n_boulders; ++b) {
    if (boulder_done[b]) {
      remaining_boulders = remaining_boulders - 1;
      continue;
    }
    for (int32_t l = 0; l < n_landmarks; ++l) {
      if (!boulder_at_landmark(b, l)) continue;
      reward = reward + record_arrival(b, l);
      break;
    }
  }
  return reward;
}

// the landmarks of neighbouring cells, ascending, so the first in reach is the
// lowest-indexed one as above
double ZandrelEnvironment::record_arrivals_near() {
  double reward = 0.0;
  remaining_boulders = n_boulders;
  unvisited_count = 1;
  for (int32_t b = 0; b < n_boulders; ++b) {
    if (boulder_done[b]) {
      remaining_boulders = remaining_boulders - 1;
      continue;
    }
    for (const int32_t l :
         landmark_grid_.near(boulder_positions[2 * b], boulder_positions[2 * b + 1])) {
      if (!boulder_at_landmark(b, l)) continue;
      reward = reward + record_arrival(b, l);
      break;
    }
  }
  return reward;
}

bool ZandrelEnvironment::terminated() const {
  return visit_all ? unvisited_count == 0 : remaining_boulders == 0;
}
