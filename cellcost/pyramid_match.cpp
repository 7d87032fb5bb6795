#include "cellcost/pyramid_match.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "cellcost/pyramid_geometry.h"
#include "common/distance.h"
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

using densecorr::PyramidGeometry;

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

void PyramidMatch::RunPyramidMatch(Descriptor desc1, Descriptor desc2,
                                   const PyramidMatchParams& params, float* node_cost,
                                   int* shifts) {
  const PyramidGeometry g = densecorr::ComputePyramidGeometry(
      desc1.width, desc1.height, params.grid_size, params.search_radius[0],
      params.search_radius[1], params.n_tree_level);
  const std::int64_t volume_count = std::int64_t{g.n_shift} * g.n_sample;
  auto dist_volume = densecorr::AllocScratch<float>(volume_count);
  for (std::int64_t i = 0; i < volume_count; ++i) dist_volume[i] = params.truncate_const;

  int slot = 0;
  for (int ix = 0; ix < g.n_shift_x; ++ix) {
    for (int iy = 0; iy < g.n_shift_y; ++iy) {
      shifts[slot++] = g.shift_range_x[0] + ix * params.grid_size;
      shifts[slot++] = g.shift_range_y[0] + iy * params.grid_size;
    }
  }
  ComputeShiftDist(desc1, desc2, params.grid_size, params, dist_volume.get(), shifts);
  ComputeNodeCost(dist_volume.get(), desc1.width, desc1.height, params, params.grid_size,
                  node_cost);
}

void PyramidMatch::ComputeShiftDist(Descriptor desc1, Descriptor desc2, int grid_size,
                                    const PyramidMatchParams& params, float* dist_volume,
                                    const int* shifts) {
  const PyramidGeometry g = densecorr::ComputePyramidGeometry(
      desc1.width, desc1.height, grid_size, params.search_radius[0], params.search_radius[1],
      0);
  const int n_sample = g.n_sample, n_sample_y = g.n_sample_y, n_shift = g.n_shift;
  const int feat_dim = desc1.feat_dim;
  const std::ptrdiff_t plane1 = std::ptrdiff_t{desc1.width} * desc1.height;
  const std::ptrdiff_t plane2 = std::ptrdiff_t{desc2.width} * desc2.height;
  const float truncate_const = params.truncate_const;

#pragma omp parallel for schedule(static)
  for (int s = 0; s < n_sample; ++s) {
    const int x1 = grid_size * (s / n_sample_y);
    const int y1 = grid_size * (s % n_sample_y);
    const float* a = desc1.data + std::ptrdiff_t{x1} * desc1.height + y1;
    for (int k = 0; k < n_shift; ++k) {
      // Positions in 64 bits: a translation near the 32-bit limit must fail
      // the bounds test, not wrap back into the image.
      const std::int64_t x2 = std::int64_t{x1} + shifts[2 * k];
      if (x2 < 0 || x2 >= desc2.width) continue;
      const std::int64_t y2 = std::int64_t{y1} + shifts[2 * k + 1];
      if (y2 < 0 || y2 >= desc2.height) continue;
      const float* b = desc2.data + x2 * desc2.height + y2;
      const float dist = densecorr::DescriptorDistance(a, plane1, b, plane2, feat_dim);
      dist_volume[std::ptrdiff_t{k} * n_sample + s] = dist > truncate_const ? truncate_const : dist;
    }
  }
}

void PyramidMatch::BuildIntegralImage(const float* plane, float* integral, int n_cols,
                                      int n_rows) {
  if (n_cols <= 0 || n_rows <= 0) return;
  float s = 0.0f;
  for (int iy = 0; iy < n_rows; ++iy) {
    s = s + plane[iy];
    integral[iy] = s;
  }
  for (int ix = 1; ix < n_cols; ++ix) {
    const float* column = plane + std::ptrdiff_t{ix} * n_rows;
    float* out = integral + std::ptrdiff_t{ix} * n_rows;
    const float* left = out - n_rows;
    float r = 0.0f;
    for (int iy = 0; iy < n_rows; ++iy) {
      r = r + column[iy];
      out[iy] = r + left[iy];
    }
  }
}

void PyramidMatch::ComputeNodeCost(const float* dist_volume, int width, int height,
                                   const PyramidMatchParams& params, int grid_size,
                                   float* node_cost) {
  const PyramidGeometry g = densecorr::ComputePyramidGeometry(
      width, height, grid_size, params.search_radius[0], params.search_radius[1],
      params.n_tree_level);
  const int n_sample_x = g.n_sample_x, n_sample_y = g.n_sample_y, n_shift = g.n_shift;
  if (n_shift <= 0) return;
  const int n_level = params.n_tree_level;
  // One table serves every translation in turn; each is rebuilt from its own
  // plane, so reuse changes no value.
  auto integral = densecorr::AllocScratch<float>(g.n_sample);
  const auto at = [&](int ix, int iy) -> float {
    // A lookup before the first column or row contributes 0.
    return (ix < 0 || iy < 0) ? 0.0f : integral[std::ptrdiff_t{ix} * n_sample_y + iy];
  };
  for (int k = 0; k < n_shift; ++k) {
    BuildIntegralImage(dist_volume + std::ptrdiff_t{k} * g.n_sample, integral.get(), n_sample_x,
                       n_sample_y);
    for (int l = 0; l < n_level; ++l) {
      const int n = 1 << l;
      const int level_offset = ((1 << (2 * l)) - 1) / 3;
      const int cw = n_sample_x / n, ch = n_sample_y / n;
      const float area = static_cast<float>(cw * ch);
      for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
          float value;
          if (cw == 0 || ch == 0) {
            // The mean of no samples; no lookup may leave the table.
            value = std::numeric_limits<float>::quiet_NaN();
          } else {
            const int x0 = i * cw, y0 = j * ch;
            const int x1 = x0 + cw - 1, y1 = y0 + ch - 1;
            value = (((at(x1, y1) + at(x0 - 1, y0 - 1)) - at(x1, y0 - 1)) - at(x0 - 1, y1)) /
                    area;
          }
          node_cost[(std::ptrdiff_t{level_offset} + std::ptrdiff_t{i} * n + j) * n_shift + k] =
              value;
        }
      }
    }
  }
}
