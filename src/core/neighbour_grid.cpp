#include "neighbour_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "broad_phase.hpp"

namespace {

// narrower cells would let x / side round by more than the ring bound allows for
constexpr double kMinSide = 1.0;
constexpr double kPointsPerCell = 2.0;
// a ring's bound gives up a thousandth of a cell, four times the rounding of x / side
constexpr double kRingMargin = 0.001;
// measured on the team-size layouts with four neighbours of each kind: the scan is
// as fast up to about this many points
constexpr int32_t kNeighbourGridMinPoints = 48;

// up to this many wanted, shifting a newcomer into a sorted list costs less than a heap
constexpr size_t kMostSortedKept = 16;

// the best candidates so far, ascending
class SortedBest {
 public:
  SortedBest(std::vector<Neighbour>& best, size_t kept) : best_(best), kept_(kept) {}
  bool full() const { return best_.size() == kept_; }
  double worst() const { return best_.back().first; }
  void offer(const Neighbour& candidate) {
    if (full()) {
      if (!(candidate < best_.back())) return;
      best_.pop_back();
    }
    best_.push_back(candidate);
    for (size_t k = best_.size() - 1; k > 0 && candidate < best_[k - 1]; --k) {
      std::swap(best_[k], best_[k - 1]);
    }
  }

 private:
  std::vector<Neighbour>& best_;
  size_t kept_;
};

// the best candidates so far as a max-heap, so one comparison with its top turns
// away most candidates and a newcomer costs log(kept)
class HeapBest {
 public:
  HeapBest(std::vector<Neighbour>& best, size_t kept) : best_(best), kept_(kept) {}
  bool full() const { return best_.size() == kept_; }
  double worst() const { return best_.front().first; }
  void offer(const Neighbour& candidate) {
    if (best_.size() < kept_) {
      best_.push_back(candidate);
      std::push_heap(best_.begin(), best_.end());
    } else if (candidate < best_.front()) {
      std::pop_heap(best_.begin(), best_.end());
      best_.back() = candidate;
      std::push_heap(best_.begin(), best_.end());
    }
  }
  void finish() { std::sort_heap(best_.begin(), best_.end()); }

 private:
  std::vector<Neighbour>& best_;
  size_t kept_;
};

int64_t min_points() {
  static const int64_t points = [] {
    const char* value = std::getenv("ZANDREL_NEIGHBOUR_GRID_MIN_POINTS");
    return value == nullptr ? kNeighbourGridMinPoints : std::strtoll(value, nullptr, 10);
  }();
  return points;
}

}  // namespace

bool neighbour_grid_pays(int32_t count) { return count >= min_points(); }

NeighbourGrid::Cell NeighbourGrid::cell_of(double x, double y) const {
  return {static_cast<int64_t>(std::floor(x / side_)), static_cast<int64_t>(std::floor(y / side_))};
}

bool NeighbourGrid::build(const double* points, int32_t count, int32_t stride) {
  columns_ = 0;
  rows_ = 0;
  if (count == 0) return true;
  double min_x = points[0];
  double max_x = points[0];
  double min_y = points[1];
  double max_y = points[1];
  for (int32_t i = 0; i < count; ++i) {
    const double x = points[stride * i];
    const double y = points[stride * i + 1];
    if (!binnable(x, y)) return false;
    min_x = std::min(min_x, x);
    max_x = std::max(max_x, x);
    min_y = std::min(min_y, y);
    max_y = std::max(max_y, y);
  }
  // a few points per cell over the extent, also when the points lie on a line
  const double width = max_x - min_x;
  const double height = max_y - min_y;
  const double area_per_cell = kPointsPerCell / count;
  side_ = std::max({std::sqrt(width * height * area_per_cell),
                    std::max(width, height) * area_per_cell, kMinSide});
  origin_ = cell_of(min_x, min_y);
  const Cell last = cell_of(max_x, max_y);
  columns_ = last.x - origin_.x + 1;
  rows_ = last.y - origin_.y + 1;

  cell_start_.assign(static_cast<size_t>(columns_ * rows_) + 1, 0);
  point_cell_.resize(count);
  for (int32_t i = 0; i < count; ++i) {
    const Cell cell = cell_of(points[stride * i], points[stride * i + 1]);
    point_cell_[i] = static_cast<int32_t>((cell.y - origin_.y) * columns_ + (cell.x - origin_.x));
    ++cell_start_[point_cell_[i] + 1];
  }
  for (size_t c = 1; c < cell_start_.size(); ++c) cell_start_[c] += cell_start_[c - 1];
  cell_fill_.assign(cell_start_.begin(), cell_start_.end() - 1);
  indices_.resize(count);
  positions_.resize(2 * static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const int32_t slot = cell_fill_[point_cell_[i]]++;
    indices_[slot] = i;
    positions_[2 * slot] = points[stride * i];
    positions_[2 * slot + 1] = points[stride * i + 1];
  }
  return true;
}

template <typename Visit>
void NeighbourGrid::visit_row(int64_t y, int64_t x_first, int64_t x_last, Visit visit) const {
  if (y < 0 || y >= rows_ || x_first > x_last) return;
  // the cells of one row are stored one after the other
  const int64_t row = y * columns_;
  const int32_t end = cell_start_[row + x_last + 1];
  for (int32_t k = cell_start_[row + x_first]; k < end; ++k) {
    visit(indices_[k], positions_[2 * k], positions_[2 * k + 1]);
  }
}

template <typename Visit>
void NeighbourGrid::visit_ring(const Cell& centre, int64_t ring, Visit visit) const {
  const int64_t x_first = std::max<int64_t>(centre.x - ring, 0);
  const int64_t x_last = std::min(centre.x + ring, columns_ - 1);
  visit_row(centre.y - ring, x_first, x_last, visit);
  if (ring == 0) return;
  visit_row(centre.y + ring, x_first, x_last, visit);
  const int64_t y_first = std::max<int64_t>(centre.y - ring + 1, 0);
  const int64_t y_last = std::min(centre.y + ring - 1, rows_ - 1);
  for (const int64_t x : {centre.x - ring, centre.x + ring}) {
    if (x < 0 || x >= columns_) continue;
    for (int64_t y = y_first; y <= y_last; ++y) visit_row(y, x, x, visit);
  }
}

template <typename Best>
void NeighbourGrid::search_rings(double x, double y, int32_t skipped, Best& best) const {
  const Cell cell = cell_of(x, y);
  const Cell centre{cell.x - origin_.x, cell.y - origin_.y};
  // rings closer than the grid's edge are empty; the last reaches its far corner
  const int64_t first_ring = std::max<int64_t>(
      {0, centre.x - (columns_ - 1), -centre.x, centre.y - (rows_ - 1), -centre.y});
  const int64_t last_ring =
      std::max<int64_t>({centre.x, columns_ - 1 - centre.x, centre.y, rows_ - 1 - centre.y});
  const auto consider = [&](int32_t i, double px, double py) {
    if (i == skipped) return;
    const double dx = px - x;
    const double dy = py - y;
    best.offer(Neighbour(dx * dx + dy * dy, i));
  };
  for (int64_t ring = first_ring; ring <= last_ring; ++ring) {
    visit_ring(centre, ring, consider);
    if (!best.full()) continue;
    const double gap = (static_cast<double>(ring) - kRingMargin) * side_;
    if (gap > 0.0 && gap * gap > best.worst()) return;
  }
}

bool NeighbourGrid::select(double x, double y, int32_t skipped, int32_t wanted,
                           std::vector<Neighbour>& nearest) const {
  nearest.clear();
  if (!binnable(x, y)) return false;
  if (wanted == 0 || columns_ == 0) return true;
  const auto kept = static_cast<size_t>(wanted);
  if (kept <= kMostSortedKept) {
    SortedBest best(nearest, kept);
    search_rings(x, y, skipped, best);
  } else {
    HeapBest best(nearest, kept);
    search_rings(x, y, skipped, best);
    best.finish();
  }
  return true;
}
