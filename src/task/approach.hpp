// Approach shaping: how much closer the particles came, during one step, to the
// boulders still to be moved. Random play rarely touches a boulder, so the team
// reward alone gives a learner almost nothing to go on; this term pays for walking
// up to one.
#pragma once

#include <cstdint>

struct StateCounts {
  int32_t n_agents;
  int32_t n_boulders;
  int32_t n_landmarks;
  bool visit_all;
};

// Reads two state vectors, from the start and from the end of one step. Each
// particle, in ascending order, picks the nearest boulder still open at the start
// (with visit_all, one with a landmark left to visit; else one not yet arrived),
// by squared centre distance, strictly less-than, ties to the lower index. Returns
// the sum, from 0.0 in ascending particle order, of that distance at the start
// minus the distance between the same particle and boulder at the end; a particle
// with no open boulder adds nothing.
double approach_progress(const double* before, const double* after, const StateCounts& counts);
