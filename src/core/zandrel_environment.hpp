// The simulation record of one Zandrel environment and its operations.
//
// This header includes no Python header. The record's own work (init, restart,
// action intake from arrays, physics, goals, the state and observation writers and
// the array step driver) compiles without Python in src/core/; the operations that
// read Python actions or build Python results (reset, step, build_state,
// build_observations) only name the Python object types here and live in
// src/core/python/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "broad_phase.hpp"
#include "neighbour_grid.hpp"
#include "observations.hpp"

namespace pybind11 {
class array;
class dict;
class object;
class tuple;
}  // namespace pybind11

// where an action's two components lie in memory
struct ComponentAddresses {
  char* x;
  char* y;
};

// an action after clipping to [-1, 1] and scaling onto the unit circle when longer
struct NormalisedAction {
  double x;
  double y;
};

// selects the constructor that leaves standard output alone, for records that a
// batch owns by the thousand
struct WithoutBanner {};

// one entry of an actions dict as the first sub-step of a step found it
struct PlannedAction {
  int32_t index;
  char* x;  // the value's components in memory, or null when x_value, y_value hold them
  char* y;
  bool writable;
  double x_value;
  double y_value;
};

// values in the state vector: four per particle (x, y, vx, vy), two per boulder and
// per landmark, then the goal flags (one per landmark-boulder pair with visit_all,
// else one per boulder); 64-bit, so that callers can refuse counts too large for it
int64_t state_length_for(int64_t n_particles, int64_t n_boulders, int64_t n_landmarks,
                         bool visit_all);

struct ZandrelEnvironment {
  // fields in their documented order; counts are 32-bit signed
  std::vector<double> last_state;
  int32_t n_agents = 0;
  std::vector<double> initial_particle_positions;
  std::vector<double> initial_boulder_positions;
  std::vector<double> initial_landmark_positions;
  std::vector<double> particle_positions;
  std::vector<double> boulder_positions;
  std::vector<double> landmark_positions;
  std::vector<double> target_particle_positions;
  std::vector<double> particle_velocities;
  // flags as bytes: the goal update and the shaping search read them in their
  // innermost loops, where a packed bit costs a shift and a mask per test
  std::vector<uint8_t> visited;  // landmark-major: l * n_boulders + b
  std::vector<uint8_t> boulder_done;
  int32_t n_landmarks = 0;
  int32_t n_particles = 1;
  int32_t n_boulders = 1;
  int32_t unvisited_count = 1;
  int32_t remaining_boulders = 1;
  int32_t n_physics_steps = 5;
  bool sparse_rewards = true;
  bool visit_all = true;
  double shaping_reward = 0.0;
  double sparse_weight = 1.0;
  const double contact_distance = 6.0;      // particle-boulder and boulder-landmark, world units
  const double contact_distance_sq = 36.0;  // stored, never squared at use
  const double boulder_spacing = 10.0;      // minimum boulder centre distance, world units
  const double boulder_spacing_sq = 100.0;  // stored, never squared at use

  ZandrelEnvironment();  // writes the construction line
  explicit ZandrelEnvironment(WithoutBanner);

  // record and reset
  void init(const std::vector<double>& particle_positions,
            const std::vector<double>& boulder_positions,
            const std::vector<double>& landmark_positions, int32_t n_physics_steps,
            bool sparse_rewards, bool visit_all, double sparse_weight);
  void restart();  // back to the start positions, without building results
  pybind11::tuple reset();

  // state and observations
  int32_t state_length() const;
  // std::invalid_argument for negative neighbour counts or a local length over 2**31 - 1
  void set_observation_layout(const ObservationLayout& layout);
  int32_t observation_length() const;  // values per row in the chosen mode
  int32_t observation_rows() const;    // rows per environment: n_particles, or 1 for the state
  void build_state_vector();           // into last_state
  // what every observation of one last_state needs; before the first write_observation
  void prepare_observations();
  // the agent's observation of last_state in the chosen mode
  template <typename Value>
  void write_observation(int32_t agent, Value* out);
  // prepare_observations, then every row, observation_length() values each
  template <typename Value>
  void write_observations(Value* out);
  pybind11::array build_state();
  pybind11::dict build_observations();

  // action intake
  static NormalisedAction normalise_action(double x, double y);
  void set_agent_action(int32_t index, const NormalisedAction& action);
  // reads every entry of the dict and applies it; true when the dict holds plain data
  // only, so that the next sub-steps may replay what was read instead of reading again
  bool apply_actions(const pybind11::dict& actions);

  // physics sub-step
  void physics_substep();

  // goals and rewards
  double update_goals();
  bool terminated() const;

  // step driver
  // one step from normalised actions, one per agent in agent order; returns the
  // step reward
  double advance(const NormalisedAction* actions);
  // `count` sub-steps of a step whose reward so far is `step_reward`; returns the
  // reward after them. advance() is one call over all n_physics_steps from 0.0.
  double advance_substeps(const NormalisedAction* actions, int32_t count, double step_reward);
  pybind11::tuple step(const pybind11::dict& actions);

 private:
  // per-sub-step scratch, kept between calls only to avoid reallocating it
  std::vector<double> boulder_displacement_;
  std::vector<double> squared_distances_;
  std::vector<int32_t> close_indices_;
  std::vector<PlannedAction> action_plan_;
  // what write_observations writes; set_observation_layout sets it, init leaves it alone
  ObservationLayout observation_layout_;
  std::vector<Neighbour> nearest_;  // (squared distance, index) candidates
  std::vector<double> local_done_;  // per boulder, 0.0 or 1.0
  // the grids of the local observations of one last_state, where they pay
  struct NeighbourSearch {
    NeighbourGrid grid;
    bool gridded = false;
  };
  NeighbourSearch particle_search_;
  NeighbourSearch boulder_search_;
  NeighbourSearch landmark_search_;
  // the broad phase of one sub-step: the boulders as it starts, the moved boulders
  // and the landmarks; the goal update reuses the last two, which hold this
  // sub-step's positions while goals_binned_ is set
  PointGrid start_boulder_grid_;
  PointGrid moved_boulder_grid_;
  PointGrid landmark_grid_;
  bool goals_binned_ = false;
  int64_t visited_count_ = 0;  // flags of visited set, so the unvisited count needs no scan
  // set while an operation runs, so that Python code running inside it (a key's
  // __str__, a value's __array__, a finalizer) cannot re-enter the same record
  bool busy_ = false;

  friend class ReentryGuard;
  bool counts_match_positions() const;
  void record_planned_action(int32_t index, const ComponentAddresses& components, bool writable,
                             const pybind11::object& owner);
  void replay_actions();
  void take_action(int32_t index, char* x_slot, char* y_slot, bool writable);
  size_t result_bytes() const;
  template <typename Value>
  void write_global_observation(int32_t agent, Value* out) const;
  template <typename Value>
  void write_relative_observation(int32_t agent, Value* out) const;
  template <typename Value>
  void write_local_observation(int32_t agent, Value* out);
  static void prepare_search(NeighbourSearch& search, const double* points, int32_t count,
                             int32_t stride, int32_t wanted);
  int32_t select_nearest(const NeighbourSearch& search, const double* points, int32_t count,
                         int32_t stride, const double* own, int32_t skipped, int32_t wanted);
  void push_boulders(std::vector<double>& displacement);
  void push_boulders_near(std::vector<double>& displacement);
  void separate_boulders(std::vector<double>& displacement);
  void separate_boulders_near(std::vector<double>& displacement);
  void separate_pair(int32_t j, int32_t k, double dx, double dy, double s,
                     std::vector<double>& displacement) const;
  void measure_shaping(const std::vector<double>& displacement, bool binned);
  int32_t nearest_open_landmark(int32_t b, double bx, double by, double& best_s);
  bool nearest_open_landmark_in_rings(int32_t b, double bx, double by, double& best_s,
                                      int32_t& best) const;
  void push_out_and_place_particles();
  void push_out_and_place_particles_near();
  void place_particle(int32_t p, double px, double py);
  double* squared_distance_scratch(int32_t count);
  int32_t* close_index_scratch(int32_t count);
  double record_visits();
  double record_visits_near();
  double record_arrivals();
  double record_arrivals_near();
  double record_arrival(int32_t b, int32_t l);
  void clear_goal_flags();
  bool boulder_at_landmark(int32_t b, int32_t l) const;
};

// Marks the record busy for the lifetime of one top-level operation; a nested
// operation on the same record throws std::runtime_error naming the method.
class ReentryGuard {
 public:
  ReentryGuard(ZandrelEnvironment& env, const char* method);
  ~ReentryGuard();
  ReentryGuard(const ReentryGuard&) = delete;
  ReentryGuard& operator=(const ReentryGuard&) = delete;

 private:
  ZandrelEnvironment& env_;
};
