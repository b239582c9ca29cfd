// Record construction, init and the return to the start positions.
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "zandrel_environment.hpp"

namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

int64_t point_count(const std::vector<double>& points) {
  return static_cast<int64_t>(points.size() / 2);
}

// refuses counts whose state length or flag-set size would overflow 32-bit indices
void check_sizes_fit(int64_t particles, int64_t boulders, int64_t landmarks, bool visit_all) {
  const int64_t pair_flags = landmarks * boulders;
  const int64_t state_length = state_length_for(particles, boulders, landmarks, visit_all);
  if (pair_flags <= kInt32Max && state_length <= kInt32Max) return;
  throw std::invalid_argument(
      "init() got " + std::to_string(particles) + " particles, " + std::to_string(boulders) +
      " boulders and " + std::to_string(landmarks) + " landmarks: state length " +
      std::to_string(state_length) + " and landmark-boulder flag count " +
      std::to_string(pair_flags) + " must both be at most " + std::to_string(kInt32Max));
}

}  // namespace

ZandrelEnvironment::ZandrelEnvironment() {
  std::fputs("C++ ZandrelEnvironment constructed.\n", stdout);
  std::fflush(stdout);
}

ZandrelEnvironment::ZandrelEnvironment(WithoutBanner) {}

void ZandrelEnvironment::init(const std::vector<double>& particle_positions_in,
                              const std::vector<double>& boulder_positions_in,
                              const std::vector<double>& landmark_positions_in,
                              int32_t n_physics_steps_in, bool sparse_rewards_in, bool visit_all_in,
                              double sparse_weight_in) {
  ReentryGuard guard(*this, "init");
  check_sizes_fit(point_count(particle_positions_in), point_count(boulder_positions_in),
                  point_count(landmark_positions_in), visit_all_in);

  n_physics_steps = n_physics_steps_in;
  sparse_rewards = sparse_rewards_in;
  visit_all = visit_all_in;
  sparse_weight = sparse_weight_in;

  initial_particle_positions = particle_positions_in;
  initial_boulder_positions = boulder_positions_in;
  initial_landmark_positions = landmark_positions_in;
  particle_positions = particle_positions_in;
  boulder_positions = boulder_positions_in;
  landmark_positions = landmark_positions_in;
  target_particle_positions = particle_positions_in;

  n_landmarks = static_cast<int32_t>(point_count(landmark_positions_in));
  n_particles = static_cast<int32_t>(point_count(particle_positions_in));
  n_boulders = static_cast<int32_t>(point_count(boulder_positions_in));

  particle_velocities.assign(particle_positions_in.size(), 0.0);
  clear_goal_flags();
  n_agents = n_particles;
}

// positions back to the start, velocities zero, every flag clear, both counters 1
void ZandrelEnvironment::restart() {
  if (initial_particle_positions.empty()) {
    throw std::runtime_error(
        "Environment must be initialized with init() before reset() can be called.");
  }
  particle_positions = initial_particle_positions;
  boulder_positions = initial_boulder_positions;
  landmark_positions = initial_landmark_positions;
  target_particle_positions = initial_particle_positions;
  particle_velocities.assign(initial_particle_positions.size(), 0.0);
  clear_goal_flags();
  unvisited_count = 1;
  remaining_boulders = 1;
}

// every flag clear; the grids of the last sub-step no longer hold the positions
void ZandrelEnvironment::clear_goal_flags() {
  visited.assign(static_cast<size_t>(n_landmarks) * static_cast<size_t>(n_boulders), 0);
  boulder_done.assign(static_cast<size_t>(n_boulders), 0);
  visited_count_ = 0;
  goals_binned_ = false;
}

// false only on a record that has never been through init: the default counts
// (one particle, one boulder) have no positions behind them
bool ZandrelEnvironment::counts_match_positions() const {
  return point_count(particle_positions) == n_particles &&
         point_count(target_particle_positions) == n_particles &&
         point_count(boulder_positions) == n_boulders &&
         point_count(landmark_positions) == n_landmarks;
}

ReentryGuard::ReentryGuard(ZandrelEnvironment& env, const char* method) : env_(env) {
  if (env_.busy_) {
    throw std::runtime_error(
        std::string("Environment.") + method +
        "() was called while another call on the same environment is running (from a key's "
        "__str__, a value's __array__ or a finalizer); nested calls are not allowed");
  }
  env_.busy_ = true;
}

ReentryGuard::~ReentryGuard() { env_.busy_ = false; }
