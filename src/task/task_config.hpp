// What one environment's task is: its counts, reward mode, episode limit, spawn square
// and the approach weight. The package fills it by keyword name, one visit per field
// below, so a new keyword is one field here and one line in the visit list.
#pragma once

#include <cstdint>

#include "core/observations.hpp"

struct TaskConfig {
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
  ObservationMode observation = ObservationMode::global;
  NeighbourCounts n_neighbours;  // read in the local mode only

  // a terminated episode is not also reported as cut short
  bool truncates(int64_t steps, bool terminated) const {
    return !terminated && steps >= max_cycles;
  }
};

// calls visit(keyword, member pointer) for every field, in declaration order
template <typename Visitor>
void for_each_task_field(Visitor&& visit) {
  visit("n_agents", &TaskConfig::n_agents);
  visit("n_boulders", &TaskConfig::n_boulders);
  visit("n_landmarks", &TaskConfig::n_landmarks);
  visit("n_physics_steps", &TaskConfig::n_physics_steps);
  visit("sparse_rewards", &TaskConfig::sparse_rewards);
  visit("visit_all", &TaskConfig::visit_all);
  visit("sparse_weight", &TaskConfig::sparse_weight);
  visit("max_cycles", &TaskConfig::max_cycles);
  visit("spawn_size", &TaskConfig::spawn_size);
  visit("approach_shaping", &TaskConfig::approach_shaping);
  visit("observation", &TaskConfig::observation);
  visit("n_neighbours", &TaskConfig::n_neighbours);
}
