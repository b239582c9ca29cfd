#include "broad_phase.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// 2^40: there x / side rounds by less than 2^-12 of a cell, well inside the margin
// that the cell sides leave beyond the interaction radii
constexpr double kBinLimit = 1099511627776.0;
constexpr int32_t kMinBuckets = 16;
// measured on the benchmark layouts (n particles, n boulders, n/2 landmarks): the
// exhaustive loops, which run several pairs per instruction, are as fast up to
// n = 64 (4,096 particle-boulder pairs) and twice as slow at n = 128
constexpr int64_t kBroadPhaseMinPairs = 6000;

int64_t min_pairs() {
  static const int64_t pairs = [] {
    const char* value = std::getenv("ZANDREL_BROAD_PHASE_MIN_PAIRS");
    return value == nullptr ? kBroadPhaseMinPairs : std::strtoll(value, nullptr, 10);
  }();
  return pairs;
}

}  // namespace

bool binnable(double x, double y) {
  // NaN fails both comparisons
  return std::fabs(x) <= kBinLimit && std::fabs(y) <= kBinLimit;
}

bool broad_phase_pays(int64_t pairs) { return pairs >= min_pairs(); }

bool all_binnable(const double* points, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    if (!binnable(points[2 * i], points[2 * i + 1])) return false;
  }
  return true;
}

PointGrid::Cell PointGrid::cell_of(double x, double y) const {
  return {static_cast<int64_t>(std::floor(x / side_)), static_cast<int64_t>(std::floor(y / side_))};
}

uint64_t PointGrid::bucket_of(const Cell& cell) const {
  const uint64_t mixed = static_cast<uint64_t>(cell.x) * 0x9E3779B97F4A7C15ULL ^
                         static_cast<uint64_t>(cell.y) * 0xC2B2AE3D27D4EB4FULL;
  return (mixed ^ (mixed >> 29)) & bucket_mask_;
}

bool PointGrid::build(const double* points, int32_t count, double side) {
  side_ = side;
  int32_t buckets = kMinBuckets;
  while (buckets < 2 * count) buckets *= 2;
  bucket_mask_ = static_cast<uint64_t>(buckets) - 1;
  cells_.resize(count);
  point_bucket_.resize(count);
  bucket_start_.assign(static_cast<size_t>(buckets) + 1, 0);
  for (int32_t i = 0; i < count; ++i) {
    const double x = points[2 * i];
    const double y = points[2 * i + 1];
    if (!binnable(x, y)) return false;
    cells_[i] = cell_of(x, y);
    point_bucket_[i] = static_cast<uint32_t>(bucket_of(cells_[i]));
    ++bucket_start_[point_bucket_[i] + 1];
  }
  for (int32_t b = 0; b < buckets; ++b) bucket_start_[b + 1] += bucket_start_[b];
  bucket_fill_.assign(bucket_start_.begin(), bucket_start_.end() - 1);
  by_bucket_.resize(count);
  for (int32_t i = 0; i < count; ++i) by_bucket_[bucket_fill_[point_bucket_[i]]++] = i;
  return true;
}

const std::vector<int32_t>& PointGrid::near(double x, double y) {
  found_.clear();
  const Cell centre = cell_of(x, y);
  for (int64_t dy = -1; dy <= 1; ++dy) {
    for (int64_t dx = -1; dx <= 1; ++dx) {
      visit_cell({centre.x + dx, centre.y + dy}, [this](int32_t i) { found_.push_back(i); });
    }
  }
  // each cell lists its points ascending; the sums over them must run in index order
  std::sort(found_.begin(), found_.end());
  return found_;
}
