// A broad phase for the pair passes: points binned into square cells, so that a
// pass tests only the pairs in neighbouring cells. The exact test of every
// candidate pair is the caller's, unchanged; the grid only leaves out pairs that
// cannot touch.
//
// Why skipping is exact: a pair passes the strict test s < r * r only if the
// rounded difference of each coordinate is below r in magnitude, hence the true
// difference too. With cells wider than r plus the rounding of x / side, such a
// pair lies in the same or adjacent cells. Coordinates beyond kBinLimit (or not
// finite) are refused, since there the rounding of x / side grows past the margin;
// the caller then runs its exhaustive loop.
#pragma once

#include <cstdint>
#include <vector>

// whether both coordinates lie within the range the grids bin (so neither is NaN)
bool binnable(double x, double y);

// whether every coordinate of the point list lies within the range the grid bins
bool all_binnable(const double* points, int32_t count);

class PointGrid {
 public:
  struct Cell {
    int64_t x;
    int64_t y;
    bool operator==(const Cell& other) const { return x == other.x && y == other.y; }
  };

  // Bins `count` points (x0, y0, x1, y1, ...) into cells of `side`; false, and the
  // grid unusable, when a coordinate cannot be binned. Storage grows with the
  // point count only, never with how far apart the points lie: the cells of the
  // points' extent are stored row by row when they are few enough, else hashed.
  bool build(const double* points, int32_t count, double side);

  Cell cell_of(double x, double y) const;
  double side() const { return side_; }

  // The indices of the points in the 3 x 3 cells around (x, y), ascending: every
  // point whose centre differs from (x, y) by less than the cell side in both axes
  // is among them. (x, y) must be binnable. The result lives until the next call.
  const std::vector<int32_t>& near(double x, double y);

  // Calls visit(i) for every point i whose cell lies exactly `ring` cells from
  // `centre` in the larger of the two axes; ring 0 is the centre cell itself.
  template <typename Visit>
  void visit_ring(const Cell& centre, int64_t ring, Visit visit) const {
    if (ring == 0) {
      visit_cell(centre, visit);
      return;
    }
    for (int64_t dx = -ring; dx <= ring; ++dx) {
      visit_cell({centre.x + dx, centre.y - ring}, visit);
      visit_cell({centre.x + dx, centre.y + ring}, visit);
    }
    for (int64_t dy = -ring + 1; dy < ring; ++dy) {
      visit_cell({centre.x - ring, centre.y + dy}, visit);
      visit_cell({centre.x + ring, centre.y + dy}, visit);
    }
  }

 private:
  uint64_t bucket_of(const Cell& cell) const;
  bool choose_rows(const Cell& lowest, const Cell& highest, int32_t count);
  void gather_rows(const Cell& centre);

  template <typename Visit>
  void visit_cell(const Cell& cell, Visit visit) const {
    if (by_rows_) {
      const int64_t column = cell.x - origin_.x;
      const int64_t row = cell.y - origin_.y;
      if (column < 0 || column >= columns_ || row < 0 || row >= rows_) return;
      const int64_t bucket = row * columns_ + column;
      for (int32_t k = bucket_start_[bucket]; k < bucket_start_[bucket + 1]; ++k)
        visit(by_bucket_[k]);
      return;
    }
    const uint64_t bucket = bucket_of(cell);
    for (int32_t k = bucket_start_[bucket]; k < bucket_start_[bucket + 1]; ++k) {
      const int32_t i = by_bucket_[k];
      if (cells_[i] == cell) visit(i);
    }
  }

  double side_ = 1.0;
  // stored by rows: one bucket per cell of the extent, row-major from origin_,
  // so the cells of a row lie one after the other; hashed: cells share buckets
  bool by_rows_ = false;
  Cell origin_{0, 0};
  int64_t columns_ = 0;
  int64_t rows_ = 0;
  uint64_t bucket_mask_ = 0;
  std::vector<Cell> cells_;             // per point
  std::vector<uint32_t> point_bucket_;  // per point
  std::vector<int32_t> bucket_start_;   // per bucket, and one past the last
  std::vector<int32_t> bucket_fill_;    // per bucket, while binning
  std::vector<int32_t> by_bucket_;      // point indices, ascending within a bucket
  std::vector<int32_t> found_;          // the result of near()
};

// Whether a pass over `pairs` pairs should use the grid: below a measured count,
// binning costs more than the tests it saves. Test-only: the environment variable
// ZANDREL_BROAD_PHASE_MIN_PAIRS, read at the first step of the process, replaces
// that count, so that tests run the grid on small scenes (0) or the exhaustive
// loops on large ones (a huge count).
bool broad_phase_pays(int64_t pairs);
