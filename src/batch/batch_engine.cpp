#include "batch_engine.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>

#include "task/approach.hpp"
#include "task/float_text.hpp"

namespace {

constexpr int64_t kMinEnvsPerShare = 16;  // below this, waking a thread costs more than it saves
constexpr int64_t kSharesPerThread = 4;   // small shares even out resets and slow threads
constexpr size_t kListedEnvs = 10;        // environments named in an error, at most
// how often the calling thread asks whether to stop: often enough to stop within a
// tenth of a second, rarely enough to cost nothing measurable
constexpr std::chrono::milliseconds kStopCheckInterval{5};
constexpr int64_t kSubstepsPerStopCheck = 16;  // a clock read costs far less than 16 sub-steps

std::string env_list(const std::vector<int64_t>& envs) {
  std::string text = "[";
  for (size_t i = 0; i < envs.size() && i < kListedEnvs; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(envs[i]);
  }
  if (envs.size() > kListedEnvs) text += ", ...";
  return text + "] (" + std::to_string(envs.size()) + " in all)";
}

// refused before anything is sized by them
const BatchConfig& checked(const BatchConfig& config) {
  if (config.num_envs < 1) {
    throw std::invalid_argument("num_envs must be an integer >= 1, got " +
                                std::to_string(config.num_envs));
  }
  if (config.num_threads < 1) {
    throw std::invalid_argument("num_threads must be an integer >= 1, got " +
                                std::to_string(config.num_threads));
  }
  return config;
}

LayoutCounts layout_counts(const BatchConfig& config) {
  return {config.n_agents, config.n_boulders, config.n_landmarks, config.spawn_size};
}

}  // namespace

struct BatchEngine::Slot {
  ZandrelEnvironment record{WithoutBanner{}};
  Xoshiro256 random;
  int64_t steps = 0;         // steps of the current episode
  bool initialised = false;  // the record holds an episode, running or ended
  bool running = false;      // an episode has started
  bool ended = false;        // the episode is over and waits for a new one
};

BatchEngine::Call::Call(BatchEngine& engine, const char* method) : engine_(engine) {
  if (engine_.in_call_.exchange(true)) {
    throw std::runtime_error(
        std::string(method) +
        "() was called while another call on the same ZandrelVectorEnv is running in "
        "another thread; use each ZandrelVectorEnv from one thread at a time");
  }
  if (engine_.closed_) {
    engine_.in_call_ = false;
    throw std::runtime_error(std::string(method) +
                             "() was called after close(); create a new ZandrelVectorEnv");
  }
}

BatchEngine::Call::~Call() { engine_.in_call_ = false; }

// Stops a call between environments once the stop check asks for it. Only the
// calling thread runs the check; the workers see its answer.
class BatchEngine::Cancellation {
 public:
  explicit Cancellation(const StopCheck& check)
      : check_(check),
        caller_(std::this_thread::get_id()),
        next_check_(std::chrono::steady_clock::now() + kStopCheckInterval) {}

  // between environments, on any thread
  bool stopped() {
    if (std::this_thread::get_id() == caller_ && std::chrono::steady_clock::now() >= next_check_) {
      check();
    }
    return stopped_.load(std::memory_order_relaxed);
  }

  // whether a check has asked to stop, without asking again
  bool asked() const { return stopped_.load(std::memory_order_relaxed); }

  // on the calling thread
  void check() {
    if (!stopped_.load(std::memory_order_relaxed) && check_ && check_()) stopped_ = true;
    next_check_ = std::chrono::steady_clock::now() + kStopCheckInterval;
  }

 private:
  const StopCheck& check_;
  std::thread::id caller_;
  std::chrono::steady_clock::time_point next_check_;
  std::atomic<bool> stopped_{false};
};

BatchEngine::BatchEngine(const BatchConfig& config, bool float_observations)
    : config_(checked(config)),
      float_observations_(float_observations),
      observation_length_(0),
      state_length_(0),
      observation_rows_(0),
      slots_(static_cast<size_t>(config.num_envs)),
      pool_(std::min(config.num_threads, config.num_envs)) {
  check_layout_fits(layout_counts(config));
  // a record sized for the counts tells the observation length, and refuses counts
  // and layouts whose observations would overflow 32-bit indices
  const ObservationLayout layout{config.observation, config.n_neighbours};
  ZandrelEnvironment shape{WithoutBanner{}};
  shape.set_observation_layout(layout);
  const std::vector<double> particles(2 * static_cast<size_t>(config.n_agents), 0.0);
  const std::vector<double> boulders(2 * static_cast<size_t>(config.n_boulders), 0.0);
  const std::vector<double> landmarks(2 * static_cast<size_t>(config.n_landmarks), 0.0);
  shape.init(particles, boulders, landmarks, config.n_physics_steps, config.sparse_rewards,
             config.visit_all, config.sparse_weight);
  observation_length_ = shape.observation_length();
  state_length_ = shape.state_length();
  observation_rows_ = shape.observation_rows();
  for (Slot& slot : slots_) slot.record.set_observation_layout(layout);
}

BatchEngine::~BatchEngine() { pool_.join(); }

size_t BatchEngine::environment_bytes() { return sizeof(Slot); }

void BatchEngine::seed(const Call&, int32_t env, const Xoshiro256::State& state) {
  if (env < 0 || env >= config_.num_envs) {
    throw std::out_of_range("environment index " + std::to_string(env) + " is outside [0, " +
                            std::to_string(config_.num_envs) + ")");
  }
  slots_[env].random.seed(state);
}

int64_t BatchEngine::read_state(const Call&, int32_t env, double* state) {
  if (env < 0 || env >= config_.num_envs) {
    throw std::out_of_range("environment index " + std::to_string(env) + " is outside [0, " +
                            std::to_string(config_.num_envs) + ")");
  }
  const Slot& slot = slots_[env];
  if (!slot.initialised) {
    throw std::runtime_error("environment " + std::to_string(env) +
                             " has no episode yet; call reset() first");
  }
  std::copy(slot.record.last_state.begin(), slot.record.last_state.end(), state);
  return slot.steps;
}

void BatchEngine::close(const Call&) {
  pool_.join();
  closed_ = true;
}

void BatchEngine::set_pool_generation_for_testing(const Call&, uint64_t generation) {
  pool_.set_generation_for_testing(generation);
}

// until the task has run in every environment the environments may be out of step
// with each other, so a throw or a stop leaves the engine waiting for a reset
void BatchEngine::run_everywhere(Cancellation& cancellation, const ThreadPool::Task& task) {
  needs_reset_ = true;
  pool_.run(config_.num_envs, shares(config_.num_envs), task, [&] { cancellation.check(); });
  if (cancellation.asked()) throw Interrupted();
  needs_reset_ = false;
}

int32_t BatchEngine::shares(int64_t count) const {
  const int64_t most = kSharesPerThread * num_threads();
  const int64_t wanted = count / kMinEnvsPerShare;
  if (wanted < 1 || num_threads() == 1) return 1;
  return static_cast<int32_t>(wanted < most ? wanted : most);
}

void BatchEngine::reset(const Call&, const bool* mask, void* observations, const StopCheck& stop) {
  // a reset of some environments leaves the others as out of step as they were
  const bool needed_reset = needs_reset_;
  Cancellation cancellation(stop);
  run_everywhere(cancellation, [&](int64_t begin, int64_t end) {
    StartLayout layout;
    for (int64_t env = begin; env < end && !cancellation.stopped(); ++env) {
      Slot& slot = slots_[env];
      if (mask == nullptr || mask[env]) start_episode(slot, layout);
      if (float_observations_) {
        write_observations<float>(env, observations);
      } else {
        write_observations<double>(env, observations);
      }
    }
  });
  if (mask != nullptr) needs_reset_ = needed_reset;
}

int64_t BatchEngine::step(const Call&, const void* actions, bool float_actions,
                          const StepBuffers& out, const StopCheck& stop) {
  check_can_step(actions, float_actions);
  Cancellation cancellation(stop);
  run_everywhere(cancellation, [&](int64_t begin, int64_t end) {
    if (float_actions && float_observations_) {
      step_range<float, float>(begin, end, static_cast<const float*>(actions), out, cancellation);
    } else if (float_actions) {
      step_range<float, double>(begin, end, static_cast<const float*>(actions), out, cancellation);
    } else if (float_observations_) {
      step_range<double, float>(begin, end, static_cast<const double*>(actions), out, cancellation);
    } else {
      step_range<double, double>(begin, end, static_cast<const double*>(actions), out,
                                 cancellation);
    }
  });
  int64_t ended = 0;
  for (int64_t env = 0; env < config_.num_envs; ++env) {
    ended += (out.terminations[env] || out.truncations[env]) ? 1 : 0;
  }
  return ended;
}

void BatchEngine::check_can_step(const void* actions, bool float_actions) const {
  if (needs_reset_) {
    throw std::runtime_error(
        "step() was refused: an earlier step() or reset() was interrupted or failed part-way, "
        "so some environments may have advanced and others not; call reset() to start every "
        "environment afresh");
  }
  std::vector<int64_t> idle;
  std::vector<int64_t> ended;
  for (int64_t env = 0; env < config_.num_envs; ++env) {
    if (!slots_[env].running) idle.push_back(env);
    if (slots_[env].ended) ended.push_back(env);
  }
  if (!idle.empty()) {
    throw std::runtime_error(
        "step() needs a running episode in every environment; call reset() "
        "first (environments without one: " +
        env_list(idle) + ")");
  }
  if (config_.autoreset_mode == AutoresetMode::disabled && !ended.empty()) {
    throw std::runtime_error(
        "step() was called on ended episodes with autoreset disabled; reset them first with "
        "reset(options={\"reset_mask\": mask}) (ended environments: " +
        env_list(ended) + ")");
  }
  if (float_actions) {
    check_actions(static_cast<const float*>(actions));
  } else {
    check_actions(static_cast<const double*>(actions));
  }
}

// NaN has no direction to move in; infinite components are fine, they clip to +-1
template <typename Action>
void BatchEngine::check_actions(const Action* actions) const {
  const int64_t count = int64_t{config_.num_envs} * config_.n_agents * 2;
  for (int64_t i = 0; i < count; ++i) {
    if (!std::isnan(actions[i])) continue;
    const int64_t env = i / (2 * config_.n_agents);
    const int64_t agent = i / 2 % config_.n_agents;
    const Action* pair = actions + (i - i % 2);
    throw std::invalid_argument("the action of particle_" + std::to_string(agent) +
                                " in environment " + std::to_string(env) +
                                " must not be NaN, got [" + float_text(pair[0]) + ", " +
                                float_text(pair[1]) + "]");
  }
}

template <typename Action, typename Value>
void BatchEngine::step_range(int64_t begin, int64_t end, const Action* actions,
                             const StepBuffers& out, Cancellation& cancellation) {
  const int32_t n_agents = config_.n_agents;
  const bool same_step = config_.autoreset_mode == AutoresetMode::same_step;
  const bool shaped = config_.approach_shaping != 0.0;
  const StateCounts counts{n_agents, config_.n_boulders, config_.n_landmarks, config_.visit_all};
  std::vector<NormalisedAction> normalised(static_cast<size_t>(n_agents));
  std::vector<double> start_state;
  StartLayout layout;
  for (int64_t env = begin; env < end && !cancellation.stopped(); ++env) {
    Slot& slot = slots_[env];
    if (same_step) out.final_mask[env] = false;
    if (slot.ended) {
      // next_step: the action is ignored and a new episode starts instead
      start_episode(slot, layout);
      out.rewards[env] = 0.0;
      out.terminations[env] = false;
      out.truncations[env] = false;
      write_observations<Value>(env, out.observations);
      continue;
    }
    // every sub-step applies the same values, so they are normalised once
    const Action* row = actions + env * n_agents * 2;
    for (int32_t a = 0; a < n_agents; ++a) {
      normalised[a] = ZandrelEnvironment::normalise_action(row[2 * a], row[2 * a + 1]);
    }
    if (shaped) start_state = slot.record.last_state;
    // in runs of sub-steps, so that a step of very many sub-steps still stops soon
    double reward = 0.0;
    for (int64_t done = 0; done < config_.n_physics_steps; done += kSubstepsPerStopCheck) {
      if (done > 0 && cancellation.stopped()) return;
      const int64_t count = std::min(kSubstepsPerStopCheck, config_.n_physics_steps - done);
      reward = slot.record.advance_substeps(normalised.data(), static_cast<int32_t>(count), reward);
    }
    ++slot.steps;
    const bool terminated = slot.record.terminated();
    const bool truncated = config_.truncates(slot.steps, terminated);
    out.terminations[env] = terminated;
    out.truncations[env] = truncated;
    slot.record.build_state_vector();
    if (shaped) {
      const double progress =
          approach_progress(start_state.data(), slot.record.last_state.data(), counts);
      reward = reward + config_.approach_shaping * progress;
    }
    out.rewards[env] = reward;
    if ((terminated || truncated) && same_step) {
      write_observations<Value>(env, out.final_observations);
      out.final_mask[env] = true;
      start_episode(slot, layout);
    } else if (terminated || truncated) {
      slot.ended = true;
    }
    write_observations<Value>(env, out.observations);
  }
}

template <typename Value>
void BatchEngine::write_observations(int64_t env, void* observations) {
  const int64_t row_values = int64_t{observation_rows_} * observation_length_;
  Value* out = static_cast<Value*>(observations) + env * row_values;
  Slot& slot = slots_[env];
  if (!slot.initialised) {
    // an environment that never had an episode observes zeros
    std::fill(out, out + row_values, Value{0});
    return;
  }
  slot.record.write_observations(out);
}

// draws the next start layout from the environment's own generator and starts
// the record there, exactly as the single environment's reset does
void BatchEngine::start_episode(Slot& slot, StartLayout& layout) {
  draw_layout(slot.random, layout_counts(config_), layout);
  slot.record.init(layout.particles, layout.boulders, layout.landmarks, config_.n_physics_steps,
                   config_.sparse_rewards, config_.visit_all, config_.sparse_weight);
  slot.record.restart();
  slot.record.build_state_vector();
  slot.steps = 0;
  slot.initialised = true;
  slot.running = true;
  slot.ended = false;
}
