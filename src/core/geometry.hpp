// Squared centre distances, the test behind every contact and arrival check.
#pragma once

#include <cstdint>

// out[i] = dx * dx + dy * dy with dx = x - points[2i], dy = y - points[2i + 1].
// The sign of the difference does not matter: negation is exact, so this is
// bit for bit the square of either direction. The loop has no branches so that
// the compiler can run several pairs per instruction; each lane still rounds
// every operation on its own.
inline void squared_distances(double x, double y, const double* points, int32_t count,
                              double* out) {
  for (int32_t i = 0; i < count; ++i) {
    const double dx = x - points[2 * i];
    const double dy = y - points[2 * i + 1];
    out[i] = dx * dx + dy * dy;
  }
}

// Writes the indices i with squared[i] < limit_sq, ascending, to hits and returns
// how many there are (NaN is never close). Most pairs are far apart: a block of
// indices is first counted with branch-free compares, and only a block holding a
// close pair is walked to collect its indices.
inline int32_t close_indices(const double* squared, int32_t count, double limit_sq, int32_t* hits) {
  constexpr int32_t kBlock = 8;
  int32_t found = 0;
  int32_t start = 0;
  for (; start + kBlock <= count; start += kBlock) {
    int32_t close = 0;
    for (int32_t k = 0; k < kBlock; ++k) close += squared[start + k] < limit_sq ? 1 : 0;
    if (close == 0) continue;
    for (int32_t k = start; k < start + kBlock; ++k) {
      if (squared[k] < limit_sq) hits[found++] = k;
    }
  }
  for (; start < count; ++start) {
    if (squared[start] < limit_sq) hits[found++] = start;
  }
  return found;
}
