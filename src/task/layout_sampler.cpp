#include "layout_sampler.hpp"

#include <string>

#include "float_text.hpp"

namespace {

// clearances between centres (world units): arrival zones of 6.0 do not overlap,
// boulders start apart and off the landmarks, particles out of contact
constexpr double kLandmarkGap = 13.0;
constexpr double kBoulderGap = 12.0;
constexpr double kBoulderLandmarkGap = 10.0;
constexpr double kParticleBoulderGap = 7.0;
constexpr int kPlacementAttempts = 1000;  // draws for one entity before its layout is abandoned
constexpr int kLayoutAttempts = 20;  // layouts begun before the spawn area is declared too small

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

}  // namespace

bool draw_layout(Xoshiro256& random, const LayoutCounts& counts, StartLayout& layout) {
  for (int attempt = 0; attempt < kLayoutAttempts; ++attempt) {
    if (scatter(random, counts.n_landmarks, counts.spawn_size, kLandmarkGap, nullptr, 0.0,
                layout.landmarks) &&
        scatter(random, counts.n_boulders, counts.spawn_size, kBoulderGap, &layout.landmarks,
                kBoulderLandmarkGap, layout.boulders) &&
        scatter(random, counts.n_agents, counts.spawn_size, 0.0, &layout.boulders,
                kParticleBoulderGap, layout.particles)) {
      return true;
    }
  }
  return false;
}

std::string spawn_size_message(const LayoutCounts& counts) {
  return "spawn_size must leave room for " + std::to_string(counts.n_boulders) + " boulders, " +
         std::to_string(counts.n_landmarks) + " landmarks and " + std::to_string(counts.n_agents) +
         " particles with their start clearances, got " + float_text(counts.spawn_size) +
         "; use a larger spawn_size";
}
