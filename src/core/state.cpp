// The global state vector and the per-agent observations of every mode, written
// into memory that the caller provides.
#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "zandrel_environment.hpp"

namespace {

constexpr int32_t kValuesPerParticle = 4;  // x, y, vx, vy
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// zeros for the slots of a local observation past the entities there are
template <typename Value>
Value* pad(Value* out, int64_t slots, int64_t values_per_slot) {
  return std::fill_n(out, slots * values_per_slot, Value{0});
}

}  // namespace

int64_t state_length_for(int64_t n_particles, int64_t n_boulders, int64_t n_landmarks,
                         bool visit_all) {
  const int64_t flag_count = visit_all ? n_landmarks * n_boulders : n_boulders;
  return kValuesPerParticle * n_particles + 2 * n_boulders + 2 * n_landmarks + flag_count;
}

ObservationMode observation_mode_named(const std::string& name) {
  if (name == "global") return ObservationMode::global;
  if (name == "relative") return ObservationMode::relative;
  if (name == "local") return ObservationMode::local;
  if (name == "state") return ObservationMode::state;
  throw std::invalid_argument(
      "observation must be 'global', 'relative', 'local' or 'state', got '" + name + "'");
}

int64_t observation_length_for(int64_t state_length, const ObservationLayout& layout) {
  if (layout.mode != ObservationMode::local) return state_length;
  const NeighbourCounts& k = layout.neighbours;
  return kLocalOwnValues + kLocalParticleValues * k.particles + kLocalBoulderValues * k.boulders +
         kLocalLandmarkValues * k.landmarks;
}

int64_t observation_rows_for(int64_t n_particles, ObservationMode mode) {
  return mode == ObservationMode::state ? 1 : n_particles;
}

void ZandrelEnvironment::set_observation_layout(const ObservationLayout& layout) {
  const NeighbourCounts& k = layout.neighbours;
  const std::string given = "(" + std::to_string(k.particles) + ", " + std::to_string(k.boulders) +
                            ", " + std::to_string(k.landmarks) + ")";
  if (k.particles < 0 || k.boulders < 0 || k.landmarks < 0) {
    throw std::invalid_argument("n_neighbours must be three integers >= 0, got " + given);
  }
  const int64_t length = observation_length_for(0, layout);
  if (layout.mode == ObservationMode::local && length > kInt32Max) {
    throw std::invalid_argument("n_neighbours=" + given + " gives local observations of " +
                                std::to_string(length) + " values; at most " +
                                std::to_string(kInt32Max) + " fit");
  }
  observation_layout_ = layout;
}

// init refuses counts whose state length would not fit
int32_t ZandrelEnvironment::state_length() const {
  return static_cast<int32_t>(state_length_for(n_particles, n_boulders, n_landmarks, visit_all));
}

// set_observation_layout refuses local lengths that would not fit
int32_t ZandrelEnvironment::observation_length() const {
  return static_cast<int32_t>(observation_length_for(state_length(), observation_layout_));
}

int32_t ZandrelEnvironment::observation_rows() const {
  return static_cast<int32_t>(observation_rows_for(n_particles, observation_layout_.mode));
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

// a boulder is done when its flag is set, or with visit_all when every landmark's
// flag of it is (so, vacuously, without landmarks), as the state vector holds them
void ZandrelEnvironment::prepare_observations() {
  if (observation_layout_.mode != ObservationMode::local) return;
  const NeighbourCounts& k = observation_layout_.neighbours;
  const double* boulders = last_state.data() + kValuesPerParticle * n_particles;
  const double* landmarks = boulders + 2 * n_boulders;
  prepare_search(particle_search_, last_state.data(), n_particles, kValuesPerParticle, k.particles);
  prepare_search(boulder_search_, boulders, n_boulders, 2, k.boulders);
  prepare_search(landmark_search_, landmarks, n_landmarks, 2, k.landmarks);
  const double* flags = landmarks + 2 * n_landmarks;
  local_done_.assign(static_cast<size_t>(n_boulders), 1.0);
  for (int32_t b = 0; b < n_boulders; ++b) {
    if (!visit_all) {
      local_done_[b] = flags[b];
      continue;
    }
    for (int32_t l = 0; l < n_landmarks && local_done_[b] != 0.0; ++l) {
      local_done_[b] = flags[l * n_boulders + b];
    }
  }
}

void ZandrelEnvironment::prepare_search(NeighbourSearch& search, const double* points,
                                        int32_t count, int32_t stride, int32_t wanted) {
  search.gridded =
      wanted > 0 && neighbour_grid_pays(count) && search.grid.build(points, count, stride);
}

template <typename Value>
void ZandrelEnvironment::write_observation(int32_t agent, Value* out) {
  switch (observation_layout_.mode) {
    case ObservationMode::global:
      write_global_observation(agent, out);
      return;
    case ObservationMode::relative:
      write_relative_observation(agent, out);
      return;
    case ObservationMode::local:
      write_local_observation(agent, out);
      return;
    case ObservationMode::state:
      std::copy(last_state.begin(), last_state.end(), out);
      return;
  }
}

template <typename Value>
void ZandrelEnvironment::write_observations(Value* out) {
  prepare_observations();
  const size_t length = static_cast<size_t>(observation_length());
  const int32_t rows = observation_rows();
  for (int32_t i = 0; i < rows; ++i) write_observation(i, out + i * length);
}

template <typename Value>
void ZandrelEnvironment::write_global_observation(int32_t agent, Value* out) const {
  // a float observation is each double rounded to the nearest float
  std::copy(last_state.begin(), last_state.end(), out);
  // exchange the agent's own block of four with particle 0's; the rest keeps its place
  for (int32_t k = 0; k < kValuesPerParticle; ++k) {
    std::swap(out[k], out[kValuesPerParticle * agent + k]);
  }
}

// each difference is taken in double and rounded once, to a float observation too
template <typename Value>
void ZandrelEnvironment::write_relative_observation(int32_t agent, Value* out) const {
  const double* state = last_state.data();
  const double own_x = state[4 * agent];
  const double own_y = state[4 * agent + 1];
  std::copy_n(state + 4 * agent, kValuesPerParticle, out);
  for (int32_t slot = 1; slot < n_particles; ++slot) {
    const int32_t particle = slot == agent ? 0 : slot;
    const double* values = state + 4 * particle;
    Value* written = out + 4 * slot;
    written[0] = static_cast<Value>(values[0] - own_x);
    written[1] = static_cast<Value>(values[1] - own_y);
    written[2] = static_cast<Value>(values[2]);
    written[3] = static_cast<Value>(values[3]);
  }
  const int32_t position_start = kValuesPerParticle * n_particles;
  const int32_t flag_start = position_start + 2 * n_boulders + 2 * n_landmarks;
  for (int32_t k = position_start; k < flag_start; k += 2) {
    out[k] = static_cast<Value>(state[k] - own_x);
    out[k + 1] = static_cast<Value>(state[k + 1] - own_y);
  }
  std::copy(state + flag_start, state + last_state.size(), out + flag_start);
}

template <typename Value>
void ZandrelEnvironment::write_local_observation(int32_t agent, Value* out) {
  const double* state = last_state.data();
  const double own_x = state[4 * agent];
  const double own_y = state[4 * agent + 1];
  const NeighbourCounts& k = observation_layout_.neighbours;
  out = std::copy_n(state + 4 * agent, kValuesPerParticle, out);

  int32_t found = select_nearest(particle_search_, state, n_particles, kValuesPerParticle,
                                 state + 4 * agent, agent, k.particles);
  for (int32_t n = 0; n < found; ++n) {
    const double* values = state + kValuesPerParticle * nearest_[n].second;
    *out++ = Value{1};
    *out++ = static_cast<Value>(values[0] - own_x);
    *out++ = static_cast<Value>(values[1] - own_y);
    *out++ = static_cast<Value>(values[2]);
    *out++ = static_cast<Value>(values[3]);
  }
  out = pad(out, k.particles - found, kLocalParticleValues);

  const double* boulders = state + kValuesPerParticle * n_particles;
  found =
      select_nearest(boulder_search_, boulders, n_boulders, 2, state + 4 * agent, -1, k.boulders);
  for (int32_t n = 0; n < found; ++n) {
    const int32_t b = nearest_[n].second;
    *out++ = Value{1};
    *out++ = static_cast<Value>(boulders[2 * b] - own_x);
    *out++ = static_cast<Value>(boulders[2 * b + 1] - own_y);
    *out++ = static_cast<Value>(local_done_[b]);
  }
  out = pad(out, k.boulders - found, kLocalBoulderValues);

  const double* landmarks = boulders + 2 * n_boulders;
  found = select_nearest(landmark_search_, landmarks, n_landmarks, 2, state + 4 * agent, -1,
                         k.landmarks);
  for (int32_t n = 0; n < found; ++n) {
    const int32_t l = nearest_[n].second;
    *out++ = Value{1};
    *out++ = static_cast<Value>(landmarks[2 * l] - own_x);
    *out++ = static_cast<Value>(landmarks[2 * l + 1] - own_y);
  }
  pad(out, k.landmarks - found, kLocalLandmarkValues);
}

// The `wanted` points nearest to the observer at own[0], own[1] (a point's x, y are
// the first two of its `stride` values), skipping point `skipped`, into nearest_,
// nearest first: by the squared length of the rounded difference, ties to the lower
// index. From the search's grid where it has one and the observer can be binned;
// otherwise a partial selection, so that an observer costs time linear in the
// points, not a sort of them all. Returns how many were found.
int32_t ZandrelEnvironment::select_nearest(const NeighbourSearch& search, const double* points,
                                           int32_t count, int32_t stride, const double* own,
                                           int32_t skipped, int32_t wanted) {
  if (search.gridded && search.grid.select(own[0], own[1], skipped, wanted, nearest_)) {
    return static_cast<int32_t>(nearest_.size());
  }
  nearest_.clear();
  if (wanted == 0) return 0;
  const double own_x = own[0];
  const double own_y = own[1];
  for (int32_t j = 0; j < count; ++j) {
    if (j == skipped) continue;
    const double dx = points[stride * j] - own_x;
    const double dy = points[stride * j + 1] - own_y;
    nearest_.emplace_back(dx * dx + dy * dy, j);
  }
  const auto kept = static_cast<std::ptrdiff_t>(std::min<size_t>(wanted, nearest_.size()));
  const auto first = nearest_.begin();
  if (kept < static_cast<std::ptrdiff_t>(nearest_.size())) {
    std::nth_element(first, first + kept, nearest_.end());
  }
  std::sort(first, first + kept);
  return static_cast<int32_t>(kept);
}

template void ZandrelEnvironment::write_observation(int32_t, double*);
template void ZandrelEnvironment::write_observation(int32_t, float*);
template void ZandrelEnvironment::write_observations(double*);
template void ZandrelEnvironment::write_observations(float*);
