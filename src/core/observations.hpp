// What each agent observes of the state vector: the observation modes, their row
// lengths and the names the packages give them. No Python here.
#pragma once

#include <cstdint>
#include <string>

enum class ObservationMode : int32_t {
  global,    // the state vector with the observer's block of four and particle 0's exchanged
  relative,  // global, with every other position taken relative to the observer
  local,     // the observer and its nearest neighbours of each kind, fixed length
  state,     // the state vector once per environment, not once per agent
};

// how many of the nearest other particles, boulders and landmarks a local
// observation lists
struct NeighbourCounts {
  int32_t particles = 4;
  int32_t boulders = 4;
  int32_t landmarks = 4;
};

struct ObservationLayout {
  ObservationMode mode = ObservationMode::global;
  NeighbourCounts neighbours;
};

// values of a local observation: the observer's x, y, vx, vy, then per particle slot
// present, dx, dy, vx, vy, per boulder slot present, dx, dy, done, per landmark slot
// present, dx, dy
constexpr int64_t kLocalOwnValues = 4;
constexpr int64_t kLocalParticleValues = 5;
constexpr int64_t kLocalBoulderValues = 4;
constexpr int64_t kLocalLandmarkValues = 3;

// the mode of "global", "relative", "local" or "state"; std::invalid_argument otherwise
ObservationMode observation_mode_named(const std::string& name);

// values in one observation row; 64-bit, so that callers can refuse layouts too
// large for 32-bit indices
int64_t observation_length_for(int64_t state_length, const ObservationLayout& layout);

// rows per environment: one per agent, or one in the state mode
int64_t observation_rows_for(int64_t n_particles, ObservationMode mode);
