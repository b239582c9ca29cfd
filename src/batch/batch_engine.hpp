// Many Zandrel environments stepped together: one record per environment, one
// generator per environment for its start layouts, episode lengths and autoreset,
// with the work split over a thread pool. Plain C++: the caller provides every
// input and output buffer, and nothing here touches Python.
//
// Environment i gives exactly the numbers that a single environment gives with the
// same seed and actions, whatever the batch size and the number of threads: the
// environments share nothing, and each runs the record's own operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/zandrel_environment.hpp"
#include "task/layout_sampler.hpp"
#include "task/random.hpp"
#include "thread_pool.hpp"

// what happens to an environment whose episode has ended (Gymnasium's modes)
enum class AutoresetMode : int32_t {
  next_step = 0,  // the next step starts a new episode instead of stepping
  same_step = 1,  // a new episode starts within the step that ended the old one
  disabled = 2,   // the caller resets ended environments itself
};

struct BatchConfig {
  int32_t num_envs = 1;
  int32_t n_agents = 2;
  int32_t n_boulders = 2;
  int32_t n_landmarks = 2;
  int32_t n_physics_steps = 5;
  bool sparse_rewards = false;
  bool visit_all = false;
  double sparse_weight = 1.0;
  int64_t max_cycles = 300;       // steps before truncation
  double spawn_size = 30.0;       // side of the start square, world units
  double approach_shaping = 0.0;  // weight of the approach term added to each step's reward
  AutoresetMode autoreset_mode = AutoresetMode::same_step;
  int32_t num_threads = 1;
};

// The caller's memory for one step. Observations are num_envs x n_agents x
// observation_length() values of one type (float64, or float32 when
// float_observations), C-contiguous; the flags are one byte per environment.
struct StepBuffers {
  void* observations;
  double* rewards;
  bool* terminations;
  bool* truncations;
  // same_step only: the last observation of every episode that ended in this
  // step, and which environments have one
  void* final_observations;
  bool* final_mask;
};

class BatchEngine {
 public:
  BatchEngine(const BatchConfig& config, bool float_observations);
  ~BatchEngine();
  BatchEngine(const BatchEngine&) = delete;
  BatchEngine& operator=(const BatchEngine&) = delete;

  int32_t num_envs() const { return config_.num_envs; }
  int32_t observation_length() const { return observation_length_; }
  int32_t num_threads() const { return pool_.size(); }

  // the generator of environment env; its next episode draws from this state
  void seed(int32_t env, const Xoshiro256::State& state);

  // Starts a new episode in every environment with mask[env] set (all when mask is
  // null) and writes every environment's current observation.
  void reset(const bool* mask, void* observations);

  // One step of every environment. actions holds num_envs x n_agents x 2 values,
  // float64 or float32, C-contiguous. Refuses bad calls before changing anything.
  // Returns the number of environments whose episode ended in this step.
  int64_t step(const void* actions, bool float_actions, const StepBuffers& out);

  // The global state of environment env (its particle 0's observation, in float64
  // whatever the observation dtype) into state_length() values at state; returns the
  // steps of its current episode. Refuses an environment that never had an episode.
  int64_t read_state(int32_t env, double* state);

  void close();

 private:
  struct Slot;
  class CallGuard;

  void check_can_step(const void* actions, bool float_actions) const;
  template <typename Action>
  void check_actions(const Action* actions) const;
  template <typename Action, typename Value>
  void step_range(int64_t begin, int64_t end, const Action* actions, const StepBuffers& out);
  template <typename Value>
  void write_observations(int64_t env, void* observations) const;
  bool start_episode(Slot& slot, StartLayout& layout);
  void raise_layout_failures() const;
  int32_t shares(int64_t count) const;

  BatchConfig config_;
  bool float_observations_;
  int32_t observation_length_;
  std::vector<Slot> slots_;
  ThreadPool pool_;
  std::atomic<bool> in_call_{false};
  bool closed_ = false;
};
