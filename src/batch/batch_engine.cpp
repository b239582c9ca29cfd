#include "batch_engine.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "task/approach.hpp"
#include "task/float_text.hpp"

namespace {

constexpr int64_t kMinEnvsPerShare = 16;  // below this, waking a thread costs more than it saves
constexpr int64_t kSharesPerThread = 4;   // small shares even out resets and slow threads
constexpr size_t kListedEnvs = 10;        // environments named in an error, at most

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

}  // namespace

struct BatchEngine::Slot {
  ZandrelEnvironment record{WithoutBanner{}};
  Xoshiro256 random;
  int64_t steps = 0;           // steps of the current episode
  bool initialised = false;    // the record holds an episode, running or ended
  bool running = false;        // an episode has started and its last start succeeded
  bool ended = false;          // the episode is over and waits for a new one
  bool layout_failed = false;  // the last start found no layout with every clearance
};

// one call at a time: the object is used from one Python thread at a time, and a
// second thread's call is refused instead of racing the first
class BatchEngine::CallGuard {
 public:
  CallGuard(BatchEngine& engine, const char* method) : engine_(engine) {
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
  ~CallGuard() { engine_.in_call_ = false; }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

 private:
  BatchEngine& engine_;
};

BatchEngine::BatchEngine(const BatchConfig& config, bool float_observations)
    : config_(checked(config)),
      float_observations_(float_observations),
      observation_length_(0),
      slots_(static_cast<size_t>(config.num_envs)),
      pool_(config.num_threads) {
  // a record sized for the counts tells the observation length, and refuses counts
  // whose observations would overflow 32-bit indices
  ZandrelEnvironment shape{WithoutBanner{}};
  const std::vector<double> particles(2 * static_cast<size_t>(config.n_agents), 0.0);
  const std::vector<double> boulders(2 * static_cast<size_t>(config.n_boulders), 0.0);
  const std::vector<double> landmarks(2 * static_cast<size_t>(config.n_landmarks), 0.0);
  shape.init(particles, boulders, landmarks, config.n_physics_steps, config.sparse_rewards,
             config.visit_all, config.sparse_weight);
  observation_length_ = shape.state_length();
}

BatchEngine::~BatchEngine() { pool_.join(); }

void BatchEngine::seed(int32_t env, const Xoshiro256::State& state) {
  CallGuard guard(*this, "seed");
  if (env < 0 || env >= config_.num_envs) {
    throw std::out_of_range("environment index " + std::to_string(env) + " is outside [0, " +
                            std::to_string(config_.num_envs) + ")");
  }
  slots_[env].random.seed(state);
}

int64_t BatchEngine::read_state(int32_t env, double* state) {
  CallGuard guard(*this, "state");
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

void BatchEngine::close() {
  CallGuard guard(*this, "close");
  pool_.join();
  closed_ = true;
}

int32_t BatchEngine::shares(int64_t count) const {
  const int64_t most = kSharesPerThread * num_threads();
  const int64_t wanted = count / kMinEnvsPerShare;
  if (wanted < 1 || num_threads() == 1) return 1;
  return static_cast<int32_t>(wanted < most ? wanted : most);
}

void BatchEngine::reset(const bool* mask, void* observations) {
  CallGuard guard(*this, "reset");
  pool_.run(config_.num_envs, shares(config_.num_envs), [&](int64_t begin, int64_t end) {
    StartLayout layout;
    for (int64_t env = begin; env < end; ++env) {
      Slot& slot = slots_[env];
      if (mask == nullptr || mask[env]) start_episode(slot, layout);
      if (float_observations_) {
        write_observations<float>(env, observations);
      } else {
        write_observations<double>(env, observations);
      }
    }
  });
  raise_layout_failures();
}

int64_t BatchEngine::step(const void* actions, bool float_actions, const StepBuffers& out) {
  CallGuard guard(*this, "step");
  check_can_step(actions, float_actions);
  pool_.run(config_.num_envs, shares(config_.num_envs), [&](int64_t begin, int64_t end) {
    if (float_actions && float_observations_) {
      step_range<float, float>(begin, end, static_cast<const float*>(actions), out);
    } else if (float_actions) {
      step_range<float, double>(begin, end, static_cast<const float*>(actions), out);
    } else if (float_observations_) {
      step_range<double, float>(begin, end, static_cast<const double*>(actions), out);
    } else {
      step_range<double, double>(begin, end, static_cast<const double*>(actions), out);
    }
  });
  raise_layout_failures();
  int64_t ended = 0;
  for (int64_t env = 0; env < config_.num_envs; ++env) {
    ended += (out.terminations[env] || out.truncations[env]) ? 1 : 0;
  }
  return ended;
}

void BatchEngine::check_can_step(const void* actions, bool float_actions) const {
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
                             const StepBuffers& out) {
  const int32_t n_agents = config_.n_agents;
  const bool same_step = config_.autoreset_mode == AutoresetMode::same_step;
  const bool shaped = config_.approach_shaping != 0.0;
  const StateCounts counts{n_agents, config_.n_boulders, config_.n_landmarks, config_.visit_all};
  std::vector<NormalisedAction> normalised(static_cast<size_t>(n_agents));
  std::vector<double> start_state;
  StartLayout layout;
  for (int64_t env = begin; env < end; ++env) {
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
    double reward = slot.record.advance(normalised.data());
    ++slot.steps;
    const bool terminated = slot.record.terminated();
    // a terminated episode is not also reported as cut short
    const bool truncated = !terminated && slot.steps >= config_.max_cycles;
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
void BatchEngine::write_observations(int64_t env, void* observations) const {
  const int64_t row_values = int64_t{config_.n_agents} * observation_length_;
  Value* out = static_cast<Value*>(observations) + env * row_values;
  const Slot& slot = slots_[env];
  if (!slot.initialised) {
    // an environment that never had an episode observes zeros
    std::fill(out, out + row_values, Value{0});
    return;
  }
  slot.record.write_observations(out);
}

// draws the next start layout from the environment's own generator and starts
// the record there, exactly as the single environment's reset does
bool BatchEngine::start_episode(Slot& slot, StartLayout& layout) {
  const LayoutCounts counts{config_.n_agents, config_.n_boulders, config_.n_landmarks,
                            config_.spawn_size};
  if (!draw_layout(slot.random, counts, layout)) {
    slot.layout_failed = true;
    slot.running = false;
    return false;
  }
  slot.record.init(layout.particles, layout.boulders, layout.landmarks, config_.n_physics_steps,
                   config_.sparse_rewards, config_.visit_all, config_.sparse_weight);
  slot.record.restart();
  slot.record.build_state_vector();
  slot.steps = 0;
  slot.initialised = true;
  slot.running = true;
  slot.ended = false;
  slot.layout_failed = false;
  return true;
}

void BatchEngine::raise_layout_failures() const {
  for (const Slot& slot : slots_) {
    if (!slot.layout_failed) continue;
    const LayoutCounts counts{config_.n_agents, config_.n_boulders, config_.n_landmarks,
                              config_.spawn_size};
    throw std::invalid_argument(spawn_size_message(counts));
  }
}
