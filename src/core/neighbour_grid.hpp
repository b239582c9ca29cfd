// The nearest points to an observer, found from a grid of square cells searched
// ring by ring outwards, so that an observer visits the points around it rather
// than every point.
//
// Why the result is exact: the k best of every point visited are kept under the
// same total order as a full selection, (squared distance, index), and the search
// stops only once every point not yet visited has a squared distance strictly
// above the k-th best, so none of them could enter (not even by a tie, which the
// lower index would win). A point r + 1 or more rings out differs from the
// observer by more than (r - 2^-12) cells in one coordinate, rounding of x / side
// included (cells are at least one unit wide and coordinates within the binnable
// range), so its rounded squared distance is at least ((r - 0.001) * side)^2.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

using Neighbour = std::pair<double, int32_t>;  // (squared distance, index)

class NeighbourGrid {
 public:
  // Bins `count` points whose x and y are the first two of every `stride` values;
  // false, and the grid unusable, when a coordinate cannot be binned. Cells are
  // sized from the points' extent to hold a few points each, so storage grows
  // with the point count only.
  bool build(const double* points, int32_t count, int32_t stride);

  // The `wanted` points nearest to (x, y), point `skipped` left out, into
  // `nearest`, nearest first: by the squared length of the rounded difference,
  // ties to the lower index. False, and `nearest` unspecified, when (x, y) cannot
  // be binned.
  bool select(double x, double y, int32_t skipped, int32_t wanted,
              std::vector<Neighbour>& nearest) const;

 private:
  struct Cell {
    int64_t x;
    int64_t y;
  };

  Cell cell_of(double x, double y) const;
  // visits every point of the cells exactly `ring` cells from `centre` in the
  // larger of the two axes, clipped to the grid
  template <typename Visit>
  void visit_ring(const Cell& centre, int64_t ring, Visit visit) const;
  template <typename Visit>
  void visit_row(int64_t y, int64_t x_first, int64_t x_last, Visit visit) const;
  // offers `best` every point ring by ring around (x, y) until none further out
  // can enter it
  template <typename Best>
  void search_rings(double x, double y, int32_t skipped, Best& best) const;

  double side_ = 1.0;
  Cell origin_{0, 0};  // the lowest cell that holds a point
  int64_t columns_ = 0;
  int64_t rows_ = 0;
  std::vector<int32_t> cell_start_;  // per cell, row-major, and one past the last
  std::vector<int32_t> cell_fill_;   // per cell, while binning
  std::vector<int32_t> point_cell_;  // per point
  std::vector<int32_t> indices_;     // point indices by cell, ascending within a cell
  std::vector<double> positions_;    // x, y of indices_, in the same order
};

// Whether a selection among `count` points should use the grid: below a measured
// count, the grid costs more than scanning every point. Test-only: the environment
// variable ZANDREL_NEIGHBOUR_GRID_MIN_POINTS, read at the first selection of the
// process, replaces that count, so that tests run the grid on small scenes (0) or
// the scan on large ones (a huge count).
bool neighbour_grid_pays(int32_t count);
