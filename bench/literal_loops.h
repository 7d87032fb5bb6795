// The literal loop nests of both modules (scalar, same parallel loops; the
// clipped distances of cellcost are the library's own ShiftDistLiteral), as
// the baseline the benchmarks compare against and as their bit-exact check.
#ifndef DENSECORR_BENCH_LITERAL_LOOPS_H_
#define DENSECORR_BENCH_LITERAL_LOOPS_H_

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "cellcost/pyramid_geometry.h"
#include "common/descriptor.h"
#include "common/distance.h"

namespace literal {

inline void NodeCost(const float* dist_volume, const densecorr::PyramidGeometry& g, int n_level,
                     float* node_cost) {
  const int sx = g.n_sample_x, sy = g.n_sample_y;
  std::vector<float> integral(static_cast<size_t>(g.n_sample));
  const auto at = [&](int ix, int iy) {
    return (ix < 0 || iy < 0) ? 0.0f : integral[static_cast<size_t>(ix) * sy + iy];
  };
  for (int k = 0; k < g.n_shift; ++k) {
    const float* plane = dist_volume + static_cast<std::ptrdiff_t>(k) * g.n_sample;
    float s = 0.0f;
    for (int iy = 0; iy < sy; ++iy) integral[iy] = s = s + plane[iy];
    for (int ix = 1; ix < sx; ++ix) {
      float r = 0.0f;
      for (int iy = 0; iy < sy; ++iy) {
        r = r + plane[ix * sy + iy];
        integral[ix * sy + iy] = r + integral[(ix - 1) * sy + iy];
      }
    }
    for (int l = 0; l < n_level; ++l) {
      const int n = 1 << l, offset = ((1 << (2 * l)) - 1) / 3, cw = sx / n, ch = sy / n;
      for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
          float v = std::numeric_limits<float>::quiet_NaN();
          if (cw > 0 && ch > 0) {
            const int x0 = i * cw, y0 = j * ch, x1 = x0 + cw - 1, y1 = y0 + ch - 1;
            v = (((at(x1, y1) + at(x0 - 1, y0 - 1)) - at(x1, y0 - 1)) - at(x0 - 1, y1)) /
                static_cast<float>(cw * ch);
          }
          node_cost[static_cast<std::ptrdiff_t>(offset + i * n + j) * g.n_shift + k] = v;
        }
      }
    }
  }
}

inline void DescDist(Descriptor desc1, Descriptor desc2, float* dist_volume, const int* disparity,
                     const int* offsets, int n_offsets) {
  const int n_pixel = desc1.width * desc1.height, height1 = desc1.height;
  const std::ptrdiff_t plane2 = std::ptrdiff_t{desc2.width} * desc2.height;
#pragma omp parallel for schedule(static)
  for (int p = 0; p < n_pixel; ++p) {
    const std::int64_t bx = std::int64_t{p / height1} + disparity[2 * std::ptrdiff_t{p}];
    const std::int64_t by = std::int64_t{p % height1} + disparity[2 * std::ptrdiff_t{p} + 1];
    for (int k = 0; k < n_offsets; ++k) {
      const std::int64_t x2 = bx + offsets[2 * k], y2 = by + offsets[2 * k + 1];
      if (x2 < 0 || x2 >= desc2.width || y2 < 0 || y2 >= desc2.height) continue;
      dist_volume[std::ptrdiff_t{k} * n_pixel + p] = densecorr::DescriptorDistance(
          desc1.data + p, n_pixel, desc2.data + x2 * desc2.height + y2, plane2, desc1.feat_dim);
    }
  }
}

inline void BestDisparity(const float* dist_volume, int* disparity, float* best_cost,
                          const int* offsets, float deform_coeff, int n_pixel, int n_offsets) {
  std::vector<float> penalty(n_offsets);
  for (int k = 0; k < n_offsets; ++k) {
    penalty[k] = (std::fabs(static_cast<float>(offsets[2 * k])) +
                  std::fabs(static_cast<float>(offsets[2 * k + 1]))) *
                 deform_coeff;
  }
#pragma omp parallel for schedule(static)
  for (int p = 0; p < n_pixel; ++p) {
    int best = -1;
    float min_total = std::numeric_limits<float>::max();
    for (int k = 0; k < n_offsets; ++k) {
      const float total = dist_volume[std::ptrdiff_t{k} * n_pixel + p] + penalty[k];
      if (total < min_total) {
        min_total = total;
        best = k;
      }
    }
    if (best < 0) {
      best_cost[p] = std::numeric_limits<float>::infinity();
      continue;
    }
    disparity[2 * p] += offsets[2 * best];
    disparity[2 * p + 1] += offsets[2 * best + 1];
    best_cost[p] = dist_volume[std::ptrdiff_t{best} * n_pixel + p];
  }
}

}  // namespace literal

#endif  // DENSECORR_BENCH_LITERAL_LOOPS_H_
