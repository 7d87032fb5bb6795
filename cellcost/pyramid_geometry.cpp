// The search-grid geometry and its 32-bit count checks.
#include "cellcost/pyramid_geometry.h"

#include <cstdint>

#include "common/scratch.h"

namespace densecorr {

namespace {

int SampleCount(int extent, int grid_size) {
  // Count of 0, G, 2G, ... below extent, without stepping a position that
  // could wrap for extents near the 32-bit limit.
  if (extent <= 0 || grid_size < 1) return 0;
  return static_cast<int>((static_cast<std::int64_t>(extent) - 1) / grid_size + 1);
}

}  // namespace

int PyramidCellCount(int n_tree_level) {
  if (n_tree_level <= 0) return 0;
  if (n_tree_level > 15) return -1;
  return static_cast<int>(((std::int64_t{1} << (2 * n_tree_level)) - 1) / 3);
}

PyramidGeometry ComputePyramidGeometry(int width, int height, int grid_size, int radius_x,
                                       int radius_y, int n_tree_level) {
  PyramidGeometry g;
  PyramidMatch().ComputeSearchGrid(width, height, grid_size, radius_x, radius_y, g.n_sample_x,
                                   g.n_sample_y, g.shift_range_x, g.shift_range_y);
  g.n_sample = CheckedCount(std::int64_t{g.n_sample_x} * g.n_sample_y);
  if (grid_size >= 1) {
    // A negative radius reverses its range: it gives no translation at all.
    const auto count = [grid_size](int radius, const int* range) -> std::int64_t {
      if (radius < 0) return 0;
      return (std::int64_t{range[1]} - range[0]) / grid_size + 1;
    };
    g.n_shift_x = CheckedCount(count(radius_x, g.shift_range_x));
    g.n_shift_y = CheckedCount(count(radius_y, g.shift_range_y));
  }
  g.n_shift = CheckedCount(std::int64_t{g.n_shift_x} * g.n_shift_y);
  CheckedCount(2 * std::int64_t{g.n_shift});
  CheckedCount(std::int64_t{g.n_shift} * g.n_sample);
  g.n_cell = PyramidCellCount(n_tree_level);
  if (g.n_cell < 0) throw std::bad_alloc();
  CheckedCount(std::int64_t{g.n_shift} * g.n_cell);
  return g;
}

}  // namespace densecorr

void PyramidMatch::ComputeSearchGrid(int width, int height, int grid_size, int radius_x,
                                     int radius_y, int& n_sample_x, int& n_sample_y,
                                     int* shift_range_x, int* shift_range_y) {
  n_sample_x = densecorr::SampleCount(width, grid_size);
  n_sample_y = densecorr::SampleCount(height, grid_size);
  // Each radius rounded down (toward zero) to a multiple of the grid step.
  const int rx = grid_size >= 1 ? grid_size * (radius_x / grid_size) : 0;
  const int ry = grid_size >= 1 ? grid_size * (radius_y / grid_size) : 0;
  // Negation through unsigned wraps INT_MIN onto itself instead of overflowing.
  shift_range_x[0] = static_cast<int>(0u - static_cast<unsigned>(rx));
  shift_range_x[1] = rx;
  shift_range_y[0] = static_cast<int>(0u - static_cast<unsigned>(ry));
  shift_range_y[1] = ry;
}

void PyramidMatch::ComputeSearchGrid(int width, int height, int grid_size, int radius_x,
                                     int radius_y, int* n_sample_x, int* n_sample_y,
                                     int* shift_range_x, int* shift_range_y) {
  ComputeSearchGrid(width, height, grid_size, radius_x, radius_y, *n_sample_x, *n_sample_y,
                    shift_range_x, shift_range_y);
}
