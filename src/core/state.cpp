// The global state vector and the per-agent observations, written into memory
// that the caller provides.
#include <algorithm>

#include "zandrel_environment.hpp"

namespace {

constexpr int32_t kValuesPerParticle = 4;  // x, y, vx, vy

}  // namespace

int64_t state_length_for(int64_t n_particles, int64_t n_boulders, int64_t n_landmarks,
                         bool visit_all) {
  const int64_t flag_count = visit_all ? n_landmarks * n_boulders : n_boulders;
  return kValuesPerParticle * n_particles + 2 * n_boulders + 2 * n_landmarks + flag_count;
}

// init refuses counts whose state length would not fit
int32_t ZandrelEnvironment::state_length() const {
  return static_cast<int32_t>(state_length_for(n_particles, n_boulders, n_landmarks, visit_all));
}

void ZandrelEnvironment::build_state_vector() {
  const int32_t flag_count = visit_all ? n_landmarks * n_boulders : n_boulders;
  const int32_t boulder_start = kValuesPerParticle * n_particles;
  const int32_t landmark_start = boulder_start + 2 * n_boulders;
  const int32_t flag_start = landmark_start + 2 * n_landmarks;

  // written in place: every element of the new length is set below
  last_state.resize(static_cast<size_t>(state_length()));
  std::vector<double>& state = last_state;
  for (int32_t i = 0; i < n_particles; ++i) {
    state[4 * i] = particle_positions[2 * i];
    state[4 * i + 1] = particle_positions[2 * i + 1];
    state[4 * i + 2] = particle_velocities[2 * i];
    state[4 * i + 3] = particle_velocities[2 * i + 1];
  }
  std::copy_n(boulder_positions.begin(), 2 * n_boulders, state.begin() + boulder_start);
  std::copy_n(landmark_positions.begin(), 2 * n_landmarks, state.begin() + landmark_start);
  const std::vector<uint8_t>& flags = visit_all ? visited : boulder_done;
  for (int32_t k = 0; k < flag_count; ++k) {
    state[flag_start + k] = flags[k] ? 1.0 : 0.0;
  }
}

template <typename Value>
void ZandrelEnvironment::write_observation(int32_t agent, Value* out) const {
  // a float observation is each double rounded to the nearest float
  std::copy(last_state.begin(), last_state.end(), out);
  // exchange the agent's own block of four with particle 0's; the rest keeps its place
  for (int32_t k = 0; k < kValuesPerParticle; ++k) {
    std::swap(out[k], out[kValuesPerParticle * agent + k]);
  }
}

template <typename Value>
void ZandrelEnvironment::write_observations(Value* out) const {
  const size_t length = last_state.size();
  for (int32_t i = 0; i < n_particles; ++i) write_observation(i, out + i * length);
}

template void ZandrelEnvironment::write_observation(int32_t, double*) const;
template void ZandrelEnvironment::write_observation(int32_t, float*) const;
template void ZandrelEnvironment::write_observations(double*) const;
template void ZandrelEnvironment::write_observations(float*) const;
