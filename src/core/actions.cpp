// Action intake arithmetic: the one place where an action is clipped and
// normalised, and where it becomes an agent's velocity and target. Both the dict
// intake of the Python step and the array intake of the batched engine call it.
#include <cmath>

#include "zandrel_environment.hpp"

namespace {

constexpr double kActionBound = 1.0;  // each component is clipped to [-1, 1]
constexpr double kActionScale = 0.1;  // world units a unit-length action moves the target

double clip(double component) {
  if (component > kActionBound) return kActionBound;
  if (component < -kActionBound) return -kActionBound;
  return component;  // NaN included
}

}  // namespace

NormalisedAction ZandrelEnvironment::normalise_action(double x, double y) {
  const double ax = clip(x);
  const double ay = clip(y);
  const double norm = std::sqrt(ax * ax + ay * ay);
  const double divisor = norm < 1.0 ? 1.0 : norm;  // NaN norm gives a NaN divisor
  return {ax / divisor, ay / divisor};
}

// an index outside the team leaves the record unchanged
void ZandrelEnvironment::set_agent_action(int32_t index, const NormalisedAction& action) {
  if (index < 0 || index >= n_agents) return;
  particle_velocities[2 * index] = action.x;
  particle_velocities[2 * index + 1] = action.y;
  const double ox = action.x * kActionScale;
  const double oy = action.y * kActionScale;
  target_particle_positions[2 * index] = particle_positions[2 * index] + ox;
  target_particle_positions[2 * index + 1] = particle_positions[2 * index + 1] + oy;
}
