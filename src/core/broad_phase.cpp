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
// cells per point up to which the extent's cells are stored by rows
constexpr int64_t kRowCellsPerPoint = 4;
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
  if (by_rows_) {
    return static_cast<uint64_t>((cell.y - origin_.y) * columns_ + (cell.x - origin_.x));
  }
  const uint64_t mixed = static_cast<uint64_t>(cell.x) * 0x9E3779B97F4A7C15ULL ^
                         static_cast<uint64_t>(cell.y) * 0xC2B2AE3D27D4EB4FULL;
  return (mixed ^ (mixed >> 29)) & bucket_mask_;
}

// stores the cells by rows when the extent from `lowest` to `highest` holds at
// most kRowCellsPerPoint cells per point
bool PointGrid::choose_rows(const Cell& lowest, const Cell& highest, int32_t count) {
  const int64_t most = kRowCellsPerPoint * static_cast<int64_t>(count) + kMinBuckets;
  const int64_t columns = highest.x - lowest.x + 1;
  const int64_t rows = highest.y - lowest.y + 1;
  // each side on its own first, so that the product cannot overflow
  by_rows_ = count > 0 && columns <= most && rows <= most && columns * rows <= most;
  origin_ = lowest;
  columns_ = columns;
  rows_ = rows;
  return by_rows_;
}

bool PointGrid::build(const double* points, int32_t count, double side) {
  side_ = side;
  cells_.resize(count);
  Cell lowest{0, 0};
  Cell highest{0, 0};
  for (int32_t i = 0; i < count; ++i) {
    const double x = points[2 * i];
    const double y = points[2 * i + 1];
    if (!binnable(x, y)) return false;
    const Cell cell = cell_of(x, y);
    cells_[i] = cell;
    lowest = i == 0 ? cell : Cell{std::min(lowest.x, cell.x), std::min(lowest.y, cell.y)};
    highest = i == 0 ? cell : Cell{std::max(highest.x, cell.x), std::max(highest.y, cell.y)};
  }
  int64_t buckets = kMinBuckets;
  if (choose_rows(lowest, highest, count)) {
    buckets = columns_ * rows_;
  } else {
    while (buckets < 2 * static_cast<int64_t>(count)) buckets *= 2;
    bucket_mask_ = static_cast<uint64_t>(buckets) - 1;
  }
  point_bucket_.resize(count);
  bucket_start_.assign(static_cast<size_t>(buckets) + 1, 0);
  for (int32_t i = 0; i < count; ++i) {
    point_bucket_[i] = static_cast<uint32_t>(bucket_of(cells_[i]));
    ++bucket_start_[point_bucket_[i] + 1];
  }
  for (int64_t b = 0; b < buckets; ++b) bucket_start_[b + 1] += bucket_start_[b];
  bucket_fill_.assign(bucket_start_.begin(), bucket_start_.end() - 1);
  by_bucket_.resize(count);
  for (int32_t i = 0; i < count; ++i) by_bucket_[bucket_fill_[point_bucket_[i]]++] = i;
  return true;
}

// the three cells of each row lie one after the other, so each row is one range
void PointGrid::gather_rows(const Cell& centre) {
  const int64_t first_column = std::max<int64_t>(centre.x - 1 - origin_.x, 0);
  const int64_t last_column = std::min(centre.x + 1 - origin_.x, columns_ - 1);
  if (first_column > last_column) return;
  for (int64_t dy = -1; dy <= 1; ++dy) {
    const int64_t row = centre.y + dy - origin_.y;
    if (row < 0 || row >= rows_) continue;
    const auto begin = by_bucket_.begin() + bucket_start_[row * columns_ + first_column];
    const auto end = by_bucket_.begin() + bucket_start_[row * columns_ + last_column + 1];
    found_.insert(found_.end(), begin, end);
  }
}

const std::vector<int32_t>& PointGrid::near(double x, double y) {
  found_.clear();
  const Cell centre = cell_of(x, y);
  if (by_rows_) {
    gather_rows(centre);
    std::sort(found_.begin(), found_.end());
    return found_;
  }
  for (int64_t dy = -1; dy <= 1; ++dy) {
    for (int64_t dx = -1; dx <= 1; ++dx) {
      visit_cell({centre.x + dx, centre.y + dy}, [this](int32_t i) { found_.push_back(i); });
    }
  }
  // each cell lists its points ascending; the sums over them must run in index order
  std::sort(found_.begin(), found_.end());
  return found_;
}
