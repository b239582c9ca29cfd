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
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/zandrel_environment.hpp"
#include "task/layout_sampler.hpp"
#include "task/random.hpp"
#include "task/task_config.hpp"
#include "thread_pool.hpp"

// what happens to an environment whose episode has ended (Gymnasium's modes)
enum class AutoresetMode : int32_t {
  next_step = 0,  // the next step starts a new episode instead of stepping
  same_step = 1,  // a new episode starts within the step that ended the old one
  disabled = 2,   // the caller resets ended environments itself
};

// every environment's task, and how the engine runs the batch
struct BatchConfig : TaskConfig {
  int32_t num_envs = 1;
  AutoresetMode autoreset_mode = AutoresetMode::same_step;
  int32_t num_threads = 1;
};

// The caller's memory for one step. Observations are num_envs x observation_rows()
// x observation_length() values of one type (float64, or float32 when
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

// Asked by the calling thread every few milliseconds while a call runs: true stops
// the call between environments, and the call throws Interrupted.
using StopCheck = std::function<bool()>;

// A call stopped part-way: some environments stepped (or reset) and others did
// not. The engine then refuses step() until a reset() of every environment.
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("the call was interrupted") {}
};

class BatchEngine {
 public:
  // One call at a time: the object is used from one thread at a time, and a second
  // thread's call is refused instead of racing the first. Held for a whole call,
  // its results included, as a scope that no interrupt can leave early.
  class Call {
   public:
    Call(BatchEngine& engine, const char* method);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    BatchEngine& engine_;
  };

  // never more threads than environments
  BatchEngine(const BatchConfig& config, bool float_observations);
  ~BatchEngine();
  BatchEngine(const BatchEngine&) = delete;
  BatchEngine& operator=(const BatchEngine&) = delete;

  int32_t num_envs() const { return config_.num_envs; }
  int32_t observation_length() const { return observation_length_; }
  int32_t state_length() const { return state_length_; }
  // one row per agent, or a single one when every environment gives its state
  int32_t observation_rows() const { return observation_rows_; }
  bool state_observations() const { return config_.observation == ObservationMode::state; }
  int32_t num_threads() const { return pool_.size(); }
  bool same_step() const { return config_.autoreset_mode == AutoresetMode::same_step; }
  bool in_call() const { return in_call_; }
  // what the engine itself holds per environment, before the record's vectors
  static size_t environment_bytes();

  // the generator of environment env; its next episode draws from this state
  void seed(const Call& call, int32_t env, const Xoshiro256::State& state);

  // Starts a new episode in every environment with mask[env] set (all when mask is
  // null) and writes every environment's current observation.
  void reset(const Call& call, const bool* mask, void* observations, const StopCheck& stop);

  // One step of every environment. actions holds num_envs x n_agents x 2 values,
  // float64 or float32, C-contiguous. Refuses bad calls before changing anything.
  // Returns the number of environments whose episode ended in this step.
  int64_t step(const Call& call, const void* actions, bool float_actions, const StepBuffers& out,
               const StopCheck& stop);

  // The global state of environment env (its particle 0's observation, in float64
  // whatever the observation dtype) into the state length of values at state; returns the
  // steps of its current episode. Refuses an environment that never had an episode.
  int64_t read_state(const Call& call, int32_t env, double* state);

  // joins the workers; every later call is refused
  void close(const Call& call);

  // see ThreadPool::set_generation_for_testing
  void set_pool_generation_for_testing(const Call& call, uint64_t generation);

 private:
  struct Slot;
  class Cancellation;

  void check_can_step(const void* actions, bool float_actions) const;
  template <typename Action>
  void check_actions(const Action* actions) const;
  template <typename Action, typename Value>
  void step_range(int64_t begin, int64_t end, const Action* actions, const StepBuffers& out,
                  Cancellation& cancellation);
  template <typename Value>
  void write_observations(int64_t env, void* observations);
  void start_episode(Slot& slot, StartLayout& layout);
  void run_everywhere(Cancellation& cancellation, const ThreadPool::Task& task);
  int32_t shares(int64_t count) const;

  BatchConfig config_;
  bool float_observations_;
  int32_t observation_length_;
  int32_t state_length_;
  int32_t observation_rows_;
  std::vector<Slot> slots_;
  ThreadPool pool_;
  std::atomic<bool> in_call_{false};
  bool closed_ = false;
  // a call stopped or failed part-way: environments may be out of step with each other
  bool needs_reset_ = false;
};
