// The array step driver: one step from actions already in memory, without Python.
#include "zandrel_environment.hpp"

// the same normalised actions are applied afresh in every sub-step, each from the
// position the previous sub-step left; exactly what a dict of float pairs does
double ZandrelEnvironment::advance(const NormalisedAction* actions) {
  return advance_substeps(actions, n_physics_steps, 0.0);
}

double ZandrelEnvironment::advance_substeps(const NormalisedAction* actions, int32_t count,
                                            double step_reward) {
  for (int32_t substep = 0; substep < count; ++substep) {
    for (int32_t i = 0; i < n_agents; ++i) set_agent_action(i, actions[i]);
    physics_substep();
    step_reward = step_reward + update_goals();
  }
  return step_reward;
}
