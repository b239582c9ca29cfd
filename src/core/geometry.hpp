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
