#include "densedisp/pixel_match.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "common/distance.h"
#include "common/scratch.h"
#include "densedisp/pixel_kernels.h"
#include "densedisp/search_offsets.h"

namespace densecorr {

int CountSearchOffsets(int grid, int radius_x, int radius_y) {
  if (grid < 1 || radius_x < 0 || radius_y < 0) return 0;
  const std::int64_t nx = 2 * std::int64_t{radius_x} / grid + 1;
  const std::int64_t ny = 2 * std::int64_t{radius_y} / grid + 1;
  // Each axis first: two counts near 2^32 would overflow the 64-bit product.
  const int n = CheckedCount(std::int64_t{CheckedCount(nx)} * CheckedCount(ny));
  CheckedCount(2 * std::int64_t{n});
  return n;
}

std::unique_ptr<int[]> BuildSearchOffsets(int grid, int radius_x, int radius_y, int* n_offsets) {
  const int n = CountSearchOffsets(grid, radius_x, radius_y);
  auto offsets = AllocScratch<int>(2 * std::int64_t{n});
  int slot = 0;
  if (n > 0) {
    // 64-bit steps: -r + i*g never passes r, but the step after the last
    // value could leave the 32-bit range.
    for (std::int64_t sx = -std::int64_t{radius_x}; sx <= radius_x; sx += grid) {
      for (std::int64_t sy = -std::int64_t{radius_y}; sy <= radius_y; sy += grid) {
        offsets[slot++] = static_cast<int>(sx);
        offsets[slot++] = static_cast<int>(sy);
      }
    }
  }
  *n_offsets = n;
  return offsets;
}

int CheckedPixelCount(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  return CheckedCount(std::int64_t{width} * height);
}

namespace {

struct Volume {
  std::unique_ptr<int[]> offsets;
  int n_offsets = 0;
  std::unique_ptr<float[]> data;
};

// Offsets, then the volume pre-filled with truncate_const: every allocation
// of a pipeline happens here, before any output is touched.
Volume PrepareVolume(const PixelMatchParams& params, int n_pixel) {
  Volume v;
  v.offsets = BuildSearchOffsets(params.search_grid_size, params.search_radius[0],
                                 params.search_radius[1], &v.n_offsets);
  const std::int64_t count = CheckedCount(std::int64_t{v.n_offsets} * n_pixel);
  v.data = AllocScratch<float>(count);
  for (std::int64_t i = 0; i < count; ++i) v.data[i] = params.truncate_const;
  return v;
}

// Channel 0 of pixel `index`. An image without channels may come without
// data; its address is then never read, and no offset is applied to null.
const float* PixelData(const float* data, std::ptrdiff_t index) {
  return data != nullptr ? data + index : nullptr;
}

// Columns per work item of the distance loop: each thread's share is one
// contiguous block of pixels, and the kernels walk an item in row bands.
constexpr int kColumnsPerItem = 16;
// Pixels per work item of the selection loop.
constexpr std::ptrdiff_t kPixelsPerItem = 4096;

// Runs of offsets that sit one below the other in a column of the search
// grid, each split evenly into pieces of at most max_count.
std::unique_ptr<OffsetSegment[]> BuildSegments(const int* offsets, int n_offsets, int max_count,
                                               int* n_segments) {
  auto segments = AllocScratch<OffsetSegment>(n_offsets);
  int n = 0;
  for (int k = 0; k < n_offsets;) {
    int run = 1;
    while (k + run < n_offsets && offsets[2 * (k + run)] == offsets[2 * k] &&
           std::int64_t{offsets[2 * (k + run) + 1]} == std::int64_t{offsets[2 * k + 1]} + run) {
      ++run;
    }
    const int pieces = (run + max_count - 1) / max_count;
    for (int i = 0, first = 0; i < pieces; ++i) {
      const int count = run / pieces + (i < run % pieces ? 1 : 0);
      segments[n++] =
          OffsetSegment{k + first, count, offsets[2 * k], offsets[2 * (k + first) + 1]};
      first += count;
    }
    k += run;
  }
  *n_segments = n;
  return segments;
}

}  // namespace

void ComputeDescDistWith(const PixelKernels& kernels, Descriptor desc1, Descriptor desc2,
                         float* dist_volume, const int* disparity, const int* search_offsets,
                         int n_offsets, float truncate_const, bool fill_outside) {
  const int n_pixel = CheckedPixelCount(desc1.width, desc1.height);
  if (n_pixel <= 0 || n_offsets <= 0) return;
  int n_segments = 0, n_groups = 0;
  const auto segments = BuildSegments(search_offsets, n_offsets, kOffsetLanes, &n_segments);
  const auto groups =
      BuildSegments(search_offsets, n_offsets, kernels.pixel_max_tile, &n_groups);
  // Images without channels may come without data; the kernels still form
  // (never dereference) pixel addresses, so give them a real base.
  static const float kNoChannels[1] = {0.0f};
  DescDistJob job;
  job.data1 = desc1.data != nullptr ? desc1.data : kNoChannels;
  job.height1 = desc1.height;
  job.column1 = desc1.height;
  job.plane1 = n_pixel;
  job.data2 = desc2.data != nullptr ? desc2.data : kNoChannels;
  job.width2 = desc2.width;
  job.height2 = desc2.height;
  job.column2 = desc2.height;
  job.plane2 = std::ptrdiff_t{desc2.width} * desc2.height;
  job.feat_dim = desc1.feat_dim > 0 ? desc1.feat_dim : 0;
  job.disparity = disparity;
  job.offsets = search_offsets;
  job.n_offsets = n_offsets;
  job.segments = segments.get();
  job.n_segments = n_segments;
  job.groups = groups.get();
  job.n_groups = n_groups;
  job.dist_volume = dist_volume;
  job.n_pixel = n_pixel;
  job.truncate_const = truncate_const;
  job.fill_outside = fill_outside;

  const int width1 = desc1.width;
  const int n_items = (width1 - 1) / kColumnsPerItem + 1;
#pragma omp parallel for schedule(static)
  for (int item = 0; item < n_items; ++item) {
    const int x_begin = item * kColumnsPerItem;
    const int x_end = width1 - x_begin < kColumnsPerItem ? width1 : x_begin + kColumnsPerItem;
    kernels.desc_dist(job, x_begin, x_end);
  }
}

void ComputeBestDisparityWith(const PixelKernels& kernels, const float* dist_volume,
                              int* disparity, float* best_cost, const int* search_offsets,
                              float deform_coeff, int width, int height, int n_offsets) {
  const int n_pixel = CheckedPixelCount(width, height);
  auto penalty = AllocScratch<float>(n_offsets);
  for (int k = 0; k < n_offsets; ++k) {
    const float sx = std::fabs(static_cast<float>(search_offsets[2 * k]));
    const float sy = std::fabs(static_cast<float>(search_offsets[2 * k + 1]));
    penalty[k] = (sx + sy) * deform_coeff;
  }
  BestDisparityJob job;
  job.dist_volume = dist_volume;
  job.n_pixel = n_pixel;
  job.penalty = penalty.get();
  job.offsets = search_offsets;
  job.n_offsets = n_offsets > 0 ? n_offsets : 0;
  job.disparity = disparity;
  job.best_cost = best_cost;
  const std::ptrdiff_t n_items = (std::ptrdiff_t{n_pixel} + kPixelsPerItem - 1) / kPixelsPerItem;
#pragma omp parallel for schedule(static)
  for (std::ptrdiff_t item = 0; item < n_items; ++item) {
    const std::ptrdiff_t begin = item * kPixelsPerItem;
    const std::ptrdiff_t end = n_pixel - begin < kPixelsPerItem ? n_pixel : begin + kPixelsPerItem;
    kernels.best_disparity(job, begin, end);
  }
}

void RunPixelMatchWith(const PixelKernels& kernels, Descriptor desc1, Descriptor desc2,
                       int* disparity, float* best_cost, const PixelMatchParams& params) {
  const int n_pixel = CheckedPixelCount(desc1.width, desc1.height);
  int n_offsets = 0;
  const auto offsets = BuildSearchOffsets(params.search_grid_size, params.search_radius[0],
                                          params.search_radius[1], &n_offsets);
  // No pre-fill: the distance pass writes truncate_const wherever it
  // computes no distance.
  const auto volume = AllocScratch<float>(CheckedCount(std::int64_t{n_offsets} * n_pixel));
  ComputeDescDistWith(kernels, desc1, desc2, volume.get(), disparity, offsets.get(), n_offsets,
                      params.truncate_const, true);
  ComputeBestDisparityWith(kernels, volume.get(), disparity, best_cost, offsets.get(),
                           params.deform_coeff, desc1.width, desc1.height, n_offsets);
}

}  // namespace densecorr

using densecorr::CandidateInside;

void PixelMatch::RunPixelMatch(Descriptor desc1, Descriptor desc2, int* disparity,
                               float* best_cost, const PixelMatchParams& params) {
  densecorr::RunPixelMatchWith(densecorr::PixelKernelsFor(densecorr::simd::SelectIsa()), desc1, desc2, disparity, best_cost,
                               params);
}

void PixelMatch::RunPixelMatch(Descriptor desc1, Descriptor desc2, const unsigned char* labels1,
                               const unsigned char* labels2, int* disparity, float* best_cost,
                               const PixelMatchParams& params) {
  const int n_pixel = densecorr::CheckedPixelCount(desc1.width, desc1.height);
  densecorr::Volume v = densecorr::PrepareVolume(params, n_pixel);
  ComputeDescDist(desc1, desc2, labels1, labels2, params, v.data.get(), disparity,
                  v.offsets.get(), v.n_offsets);
  ComputeBestDisparity(v.data.get(), disparity, best_cost, v.offsets.get(), params.deform_coeff,
                       desc1.width, desc1.height, v.n_offsets);
}

void PixelMatch::RunPixelMatch(Descriptor desc1, Descriptor desc2, const int* regions,
                               const int* region_disparities, int* disparity, float* best_cost,
                               int n_regions, const PixelMatchParams& params) {
  int n_offsets = 0;
  auto offsets = densecorr::BuildSearchOffsets(params.search_grid_size, params.search_radius[0],
                                               params.search_radius[1], &n_offsets);
  auto euclid_penalty = densecorr::AllocScratch<float>(n_offsets);
  for (int k = 0; k < n_offsets; ++k) {
    const float sx = static_cast<float>(offsets[2 * k]);
    const float sy = static_cast<float>(offsets[2 * k + 1]);
    euclid_penalty[k] = std::sqrt(sx * sx + sy * sy) * params.deform_coeff;
  }
  for (int r = 0; r < n_regions; ++r) {
    UpdateDescDist(desc1, desc2, params, best_cost, disparity, regions + 4 * std::ptrdiff_t{r},
                   region_disparities + 2 * std::ptrdiff_t{r}, offsets.get(),
                   euclid_penalty.get(), n_offsets);
  }
}

void PixelMatch::ComputeDescDist(Descriptor desc1, Descriptor desc2,
                                 const PixelMatchParams& /*params*/, float* dist_volume,
                                 const int* disparity, const int* search_offsets, int n_offsets) {
  // Entries outside image 2 are left as they are, so no field of params is read.
  densecorr::ComputeDescDistWith(densecorr::PixelKernelsFor(densecorr::simd::SelectIsa()), desc1, desc2, dist_volume, disparity,
                                 search_offsets, n_offsets, 0.0f, false);
}

void PixelMatch::ComputeDescDist(Descriptor desc1, Descriptor desc2, const unsigned char* labels1,
                                 const unsigned char* labels2, const PixelMatchParams& params,
                                 float* dist_volume, const int* disparity,
                                 const int* search_offsets, int n_offsets) {
  const int n_pixel = densecorr::CheckedPixelCount(desc1.width, desc1.height);
  if (n_pixel <= 0) return;
  const int height1 = desc1.height;
  const std::ptrdiff_t plane1 = n_pixel;
  const std::ptrdiff_t plane2 = std::ptrdiff_t{desc2.width} * desc2.height;
  const float truncate_const = params.truncate_const;

  for (int p = 0; p < n_pixel; ++p) {
    const std::int64_t tx = std::int64_t{p / height1} + disparity[2 * std::ptrdiff_t{p}];
    const std::int64_t ty = std::int64_t{p % height1} + disparity[2 * std::ptrdiff_t{p} + 1];
    const unsigned char a = labels1[p];
    for (int k = 0; k < n_offsets; ++k) {
      const std::int64_t x2 = tx + search_offsets[2 * k];
      const std::int64_t y2 = ty + search_offsets[2 * k + 1];
      if (!CandidateInside(x2, y2, desc2.width, desc2.height)) continue;
      const std::ptrdiff_t q = y2 + x2 * desc2.height;
      // The wildcard on image 1's side decides without reading labels2.
      float entry;
      if (a == 2 || labels2[q] == 2 || labels2[q] == a) {
        const float dist =
            densecorr::DescriptorDistance(densecorr::PixelData(desc1.data, p), plane1,
                                          densecorr::PixelData(desc2.data, q), plane2,
                                          desc1.feat_dim);
        entry = truncate_const < dist ? truncate_const : dist;
      } else {
        entry = params.label_mismatch_cost;
      }
      dist_volume[std::ptrdiff_t{k} * n_pixel + p] = entry;
    }
  }
}

void PixelMatch::ComputeBestDisparity(const float* dist_volume, int* disparity, float* best_cost,
                                      const int* search_offsets, float deform_coeff, int width,
                                      int height, int n_offsets) {
  densecorr::ComputeBestDisparityWith(densecorr::PixelKernelsFor(densecorr::simd::SelectIsa()), dist_volume, disparity,
                                      best_cost, search_offsets, deform_coeff, width, height,
                                      n_offsets);
}

void PixelMatch::UpdateDescDist(Descriptor desc1, Descriptor desc2,
                                const PixelMatchParams& /*params*/, float* best_cost,
                                int* disparity, const int* region, const int* region_disparity,
                                const int* search_offsets, const float* euclid_penalty,
                                int n_offsets) {
  const int n_pixel = densecorr::CheckedPixelCount(desc1.width, desc1.height);
  if (n_pixel <= 0) return;
  const std::ptrdiff_t plane1 = n_pixel;
  const std::ptrdiff_t plane2 = std::ptrdiff_t{desc2.width} * desc2.height;
  // Only the rectangle's pixels inside image 1 pass the region test; walking
  // them column by column visits them in increasing pixel order.
  const int x_begin = region[0] > 0 ? region[0] : 0;
  const int x_end = region[1] < desc1.width - 1 ? region[1] : desc1.width - 1;
  const int y_begin = region[2] > 0 ? region[2] : 0;
  const int y_end = region[3] < desc1.height - 1 ? region[3] : desc1.height - 1;
  const int rdx = region_disparity[0], rdy = region_disparity[1];

  for (int x = x_begin; x <= x_end; ++x) {
    for (int y = y_begin; y <= y_end; ++y) {
      const int p = x * desc1.height + y;
      const std::int64_t tx = std::int64_t{x} + rdx;
      const std::int64_t ty = std::int64_t{y} + rdy;
      float best = std::numeric_limits<float>::max();
      int chosen = -1;
      for (int k = 0; k < n_offsets; ++k) {
        const std::int64_t x2 = tx + search_offsets[2 * k];
        const std::int64_t y2 = ty + search_offsets[2 * k + 1];
        if (!CandidateInside(x2, y2, desc2.width, desc2.height)) continue;
        const float dist = densecorr::DescriptorDistance(
            densecorr::PixelData(desc1.data, p), plane1,
            densecorr::PixelData(desc2.data, y2 + x2 * desc2.height), plane2,
            desc1.feat_dim);
        const float score = dist + euclid_penalty[k];
        if (score < best) {
          best = score;
          chosen = k;
        }
      }
      if (chosen >= 0 && best_cost[p] > best) {
        best_cost[p] = best;
        disparity[2 * std::ptrdiff_t{p}] = densecorr::WrappingAdd(rdx, search_offsets[2 * chosen]);
        disparity[2 * std::ptrdiff_t{p} + 1] =
            densecorr::WrappingAdd(rdy, search_offsets[2 * chosen + 1]);
      }
    }
  }
}
