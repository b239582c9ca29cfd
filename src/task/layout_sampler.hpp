// Seeded start layouts: uniform positions in a square around the origin, with
// clearances so that nothing touches or scores at the start of an episode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "random.hpp"

struct LayoutCounts {
  int32_t n_agents;
  int32_t n_boulders;
  int32_t n_landmarks;
  double spawn_size;  // side of the start square, world units
};

// flat x, y lists, as the record's init takes them
struct StartLayout {
  std::vector<double> particles;
  std::vector<double> boulders;
  std::vector<double> landmarks;
};

// Draws landmarks, then boulders, then particles. False when no layout with every
// clearance was found within the attempts; layout then holds a partial draw.
bool draw_layout(Xoshiro256& random, const LayoutCounts& counts, StartLayout& layout);

// the error for a spawn square too small for the clearances
std::string spawn_size_message(const LayoutCounts& counts);
