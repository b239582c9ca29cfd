#include "layout_sampler.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "float_text.hpp"

namespace {

// clearances between centres (world units): arrival zones of 6.0 do not overlap,
// boulders start apart and off the landmarks, particles out of contact
constexpr double kLandmarkGap = 13.0;
constexpr double kBoulderGap = 12.0;
constexpr double kBoulderLandmarkGap = 10.0;
constexpr double kParticleBoulderGap = 7.0;
constexpr int kPlacementAttempts = 1000;  // draws for one entity before its layout is abandoned
constexpr int kLayoutAttempts = 20;       // uniform layouts begun before the grid takes over
// the grid's pitch: the largest clearance between landmarks and boulders, so that any
// of them may take any grid point; particles go near the cell centres, within
// kParticleJitter on either axis, so more than pitch / sqrt(2) - kParticleJitter * sqrt(2)
// > kParticleBoulderGap from every grid point
constexpr double kGridPitch = kLandmarkGap;
constexpr double kParticleJitter = 1.5;
// more points per side than any counts can need
constexpr int64_t kMaxGridSide = int64_t{1} << 20;

struct Point {
  double x;
  double y;
};

// a point is clear when its squared distance to every other is at least gap * gap
bool clear_of(double x, double y, const std::vector<double>& others, double gap) {
  const double gap_sq = gap * gap;
  for (size_t i = 0; i + 1 < others.size(); i += 2) {
    const double dx = x - others[i];
    const double dy = y - others[i + 1];
    if (dx * dx + dy * dy < gap_sq) return false;
  }
  return true;
}

// count uniform points in the square, own_gap apart and obstacle_gap from obstacles
bool scatter(Xoshiro256& random, int32_t count, double spawn_size, double own_gap,
             const std::vector<double>* obstacles, double obstacle_gap,
             std::vector<double>& points) {
  const double low = -spawn_size / 2;
  const double high = spawn_size / 2;
  points.clear();
  for (int32_t placed = 0; placed < count; ++placed) {
    bool found = false;
    for (int attempt = 0; attempt < kPlacementAttempts && !found; ++attempt) {
      const double x = low + (high - low) * random.uniform();
      const double y = low + (high - low) * random.uniform();
      found = (own_gap <= 0.0 || clear_of(x, y, points, own_gap)) &&
              (obstacles == nullptr || clear_of(x, y, *obstacles, obstacle_gap));
      if (found) {
        points.push_back(x);
        points.push_back(y);
      }
    }
    if (!found) return false;
  }
  return true;
}

// points per side of the widest grid of kGridPitch that the square holds
int64_t grid_side(double spawn_size) {
  const double side = std::floor(spawn_size / kGridPitch) + 1;
  return side < static_cast<double>(kMaxGridSide) ? static_cast<int64_t>(side) : kMaxGridSide;
}

// a grid of side points holds the counts: landmarks and boulders on grid points,
// and, next to boulders, particles near the cell centres, of which there must be one
bool grid_holds(int64_t side, const LayoutCounts& counts) {
  return side * side >= int64_t{counts.n_landmarks} + counts.n_boulders &&
         (counts.n_boulders == 0 || side >= 2);
}

int64_t smallest_grid_side(const LayoutCounts& counts) {
  int64_t side = 1;
  while (!grid_holds(side, counts)) ++side;
  return side;
}

// Fisher-Yates, with the layout's own generator
template <typename Item>
void shuffle(Xoshiro256& random, std::vector<Item>& items) {
  for (size_t count = items.size(); count > 1; --count) {
    const auto drawn = static_cast<size_t>(random.uniform() * static_cast<double>(count));
    std::swap(items[count - 1], items[std::min(drawn, count - 1)]);
  }
}

// `cells` evenly spaced steps across the square, starting at offset steps in
std::vector<double> grid_lines(double spawn_size, int64_t cells, int64_t lines, double offset) {
  std::vector<double> coordinates;
  for (int64_t line = 0; line < lines; ++line) {
    coordinates.push_back(cells == 0 ? 0.0
                                     : -spawn_size / 2 + spawn_size *
                                                             (static_cast<double>(line) + offset) /
                                                             static_cast<double>(cells));
  }
  return coordinates;
}

std::vector<Point> grid_points(const std::vector<double>& coordinates) {
  std::vector<Point> points;
  for (double x : coordinates) {
    for (double y : coordinates) points.push_back({x, y});
  }
  return points;
}

void take(std::vector<Point>& points, int32_t count, std::vector<double>& flat) {
  flat.clear();
  for (int32_t i = 0; i < count; ++i) {
    flat.push_back(points.back().x);
    flat.push_back(points.back().y);
    points.pop_back();
  }
}

// the smallest grid that holds the counts, stretched over the whole square
void place_on_grid(Xoshiro256& random, const LayoutCounts& counts, StartLayout& layout) {
  const int64_t side = smallest_grid_side(counts);
  std::vector<Point> points = grid_points(grid_lines(counts.spawn_size, side - 1, side, 0.0));
  shuffle(random, points);
  take(points, counts.n_landmarks, layout.landmarks);
  take(points, counts.n_boulders, layout.boulders);
  if (counts.n_boulders == 0) {
    // nothing for particles to keep clear of: uniform, as in every other layout
    scatter(random, counts.n_agents, counts.spawn_size, 0.0, nullptr, 0.0, layout.particles);
    return;
  }
  std::vector<Point> centres = grid_points(grid_lines(counts.spawn_size, side - 1, side - 1, 0.5));
  shuffle(random, centres);
  // centres in turn, each particle at a point of its own near one
  layout.particles.clear();
  for (int32_t particle = 0; particle < counts.n_agents; ++particle) {
    const Point& centre = centres[static_cast<size_t>(particle) % centres.size()];
    layout.particles.push_back(centre.x + kParticleJitter * (2 * random.uniform() - 1));
    layout.particles.push_back(centre.y + kParticleJitter * (2 * random.uniform() - 1));
  }
}

}  // namespace

void check_layout_fits(const LayoutCounts& counts) {
  if (grid_holds(grid_side(counts.spawn_size), counts)) return;
  const double smallest = static_cast<double>(smallest_grid_side(counts) - 1) * kGridPitch;
  throw std::invalid_argument(
      "spawn_size must leave room for " + std::to_string(counts.n_boulders) + " boulders, " +
      std::to_string(counts.n_landmarks) + " landmarks and " + std::to_string(counts.n_agents) +
      " particles with their start clearances, got " + float_text(counts.spawn_size) +
      "; the smallest spawn_size that fits is " + float_text(smallest));
}

void draw_layout(Xoshiro256& random, const LayoutCounts& counts, StartLayout& layout) {
  check_layout_fits(counts);
  for (int attempt = 0; attempt < kLayoutAttempts; ++attempt) {
    if (scatter(random, counts.n_landmarks, counts.spawn_size, kLandmarkGap, nullptr, 0.0,
                layout.landmarks) &&
        scatter(random, counts.n_boulders, counts.spawn_size, kBoulderGap, &layout.landmarks,
                kBoulderLandmarkGap, layout.boulders) &&
        scatter(random, counts.n_agents, counts.spawn_size, 0.0, &layout.boulders,
                kParticleBoulderGap, layout.particles)) {
      return;
    }
  }
  place_on_grid(random, counts, layout);
}
