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

// Refuses (std::invalid_argument) counts that a grid of the clearances cannot hold
// in the square; draw_layout cannot fail for the others.
void check_layout_fits(const LayoutCounts& counts);

// Draws landmarks, then boulders, then particles, uniformly with every clearance.
// When the uniform draws keep failing, as they may in a tightly packed square, the
// entities go on a grid of the clearances instead, in an order drawn from the
// generator.
void draw_layout(Xoshiro256& random, const LayoutCounts& counts, StartLayout& layout);
