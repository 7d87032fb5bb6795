#include "densedisp/pixel_match.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "common/distance.h"
#include "common/scratch.h"
#include "common/threads.h"
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

ScratchBlock<int> BuildSearchOffsets(int grid, int radius_x, int radius_y, int* n_offsets) {
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

namespace {


// A token already stopped ends a call before it touches an output.
void ThrowIfStopRequested(StopToken* stop) {
  if (stop != nullptr && stop->StopRequested(true)) throw Stopped();
}


// Channel 0 of pixel `index`. An image without channels may come without
// data; its address is then never read, and no offset is applied to null.
const float* PixelData(const float* data, std::ptrdiff_t index) {
  return data != nullptr ? data + index : nullptr;
}

// Columns per work item of the stand-alone distance pass: each thread's
// share is one contiguous block of pixels, walked in row bands.
constexpr int kColumnsPerItem = 16;
// Pixels per work item of the stand-alone selection.
constexpr std::ptrdiff_t kPixelsPerItem = 4096;

// Runs of offsets that sit one below the other in a column of the search
// grid, each split evenly into pieces of at most max_count: rows one apart
// (step 1) or, with any_step, any constant number of rows apart (a search
// grid of size 2 or more: without it, each of those offsets took a tile of
// its own and image 1 was loaded once per offset).
ScratchBlock<OffsetSegment> BuildSegments(const int* offsets, int n_offsets, int max_count,
                                          bool any_step, int* n_segments) {
  auto segments = AllocScratch<OffsetSegment>(n_offsets);
  int n = 0;
  for (int k = 0; k < n_offsets;) {
    const std::int64_t sy0 = offsets[2 * k + 1];
    std::int64_t step = 1;
    if (any_step && k + 1 < n_offsets && offsets[2 * (k + 1)] == offsets[2 * k]) {
      const std::int64_t next = std::int64_t{offsets[2 * (k + 1) + 1]} - sy0;
      // Steps beyond a vector's reach gain nothing and must fit an int.
      if (next >= 1 && next <= 64) step = next;
    }
    int run = 1;
    while (k + run < n_offsets && offsets[2 * (k + run)] == offsets[2 * k] &&
           std::int64_t{offsets[2 * (k + run) + 1]} == sy0 + step * run) {
      ++run;
    }
    const int pieces = (run + max_count - 1) / max_count;
    for (int i = 0, first = 0; i < pieces; ++i) {
      const int count = run / pieces + (i < run % pieces ? 1 : 0);
      segments[n++] = OffsetSegment{k + first, count, offsets[2 * k], offsets[2 * (k + first) + 1],
                                    static_cast<int>(step)};
      first += count;
    }
    k += run;
  }
  *n_segments = n;
  return segments;
}

// The distance job of a call and the segment lists it points at; the
// volume fields are set by whoever runs it.
struct DescDistPlan {
  ScratchBlock<OffsetSegment> segments, groups;
  DescDistJob job{};
};

DescDistPlan PlanDescDist(const PixelKernels& kernels, Descriptor desc1, Descriptor desc2,
                          const int* disparity, const int* search_offsets, int n_offsets,
                          float truncate_const, bool fill_outside) {
  DescDistPlan plan;
  int n_segments = 0, n_groups = 0;
  plan.segments = BuildSegments(search_offsets, n_offsets, kOffsetLanes, false, &n_segments);
  plan.groups =
      BuildSegments(search_offsets, n_offsets, kernels.pixel_max_tile, true, &n_groups);
  // Images without channels may come without data; the kernels still form
  // (never dereference) pixel addresses, so give them a real base.
  static const float kNoChannels[1] = {0.0f};
  DescDistJob& job = plan.job;
  job.data1 = desc1.data != nullptr ? desc1.data : kNoChannels;
  job.height1 = desc1.height;
  job.column1 = desc1.height;
  job.plane1 = PlaneOf(desc1);
  job.data2 = desc2.data != nullptr ? desc2.data : kNoChannels;
  job.width2 = desc2.width;
  job.height2 = desc2.height;
  job.column2 = desc2.height;
  job.plane2 = PlaneOf(desc2);
  job.reach_lo = 0;
  job.reach_hi = desc2.height;
  job.feat_dim = desc1.feat_dim > 0 ? desc1.feat_dim : 0;
  job.disparity = disparity;
  job.offsets = search_offsets;
  job.n_offsets = n_offsets;
  for (int k = 0; k < n_offsets; ++k) {
    const int sx = search_offsets[2 * k], sy = search_offsets[2 * k + 1];
    job.sx_min = k == 0 || sx < job.sx_min ? sx : job.sx_min;
    job.sx_max = k == 0 || sx > job.sx_max ? sx : job.sx_max;
    job.sy_min = k == 0 || sy < job.sy_min ? sy : job.sy_min;
    job.sy_max = k == 0 || sy > job.sy_max ? sy : job.sy_max;
  }
  job.segments = plan.segments.get();
  job.n_segments = n_segments;
  job.groups = plan.groups.get();
  job.n_groups = n_groups;
  job.truncate_const = truncate_const;
  job.fill_outside = fill_outside;
  return plan;
}

// deform_coeff * (|sx| + |sy|) of every offset.
ScratchBlock<float> CityBlockPenalties(const int* offsets, int n_offsets, float deform_coeff) {
  auto penalty = AllocScratch<float>(n_offsets);
  for (int k = 0; k < n_offsets; ++k) {
    const float sx = std::fabs(static_cast<float>(offsets[2 * k]));
    const float sy = std::fabs(static_cast<float>(offsets[2 * k + 1]));
    penalty[k] = (sx + sy) * deform_coeff;
  }
  return penalty;
}

// A rectangle of pixels whose entries under every offset fit a buffer of
// about kBlockFloats (a quarter of a second-level cache): the fused drivers
// compute a block's entries and pick its winners while they are still
// cached, so no volume of the whole image ever exists.
constexpr std::int64_t kBlockFloats = std::int64_t{64} << 10;
// Rows of a block: short, wide blocks let a column of image 2 serve the
// neighbouring columns of image 1 from the cache.
constexpr std::int64_t kBlockRows = 32;

struct PixelBlocks {
  int cols = 0, rows = 0;   // of one block; the last ones may be cut
  int n_bx = 0, n_by = 0;   // blocks across and down
  std::int64_t floats = 0;  // buffer of one thread: cols * rows * n_offsets
};

PixelBlocks ChoosePixelBlocks(int width, int height, int n_offsets) {
  PixelBlocks b;
  if (width <= 0 || height <= 0) return b;
  const std::int64_t per_pixel = n_offsets > 0 ? n_offsets : 1;
  std::int64_t rows = kBlockRows < height ? kBlockRows : height;
  if (rows * per_pixel <= kBlockFloats) {
    const std::int64_t cols = kBlockFloats / (rows * per_pixel);
    b.cols = static_cast<int>(cols < width ? cols : width);
  } else {
    // Runs of at least a vector of rows keep the pixel-lane kernels busy.
    rows = kBlockFloats / per_pixel;
    if (rows >= 16) rows -= rows % 16;
    if (rows < 1) rows = 1;
    b.cols = 1;
  }
  b.rows = static_cast<int>(rows);
  b.n_bx = (width - 1) / b.cols + 1;
  b.n_by = (height - 1) / b.rows + 1;
  b.floats = std::int64_t{b.cols} * b.rows * (n_offsets > 0 ? n_offsets : 0);
  return b;
}

// Pixel rectangle [x0, x1) x [y0, y1) of block `index` (blocks down a
// column of blocks first).
struct Rect {
  int x0, x1, y0, y1;
};

Rect BlockRect(const PixelBlocks& b, int width, int height, std::int64_t index) {
  const int bx = static_cast<int>(index / b.n_by), by = static_cast<int>(index % b.n_by);
  Rect r;
  r.x0 = bx * b.cols;
  r.x1 = width - r.x0 < b.cols ? width : r.x0 + b.cols;
  r.y0 = by * b.rows;
  r.y1 = height - r.y0 < b.rows ? height : r.y0 + b.rows;
  return r;
}

// The winners of a block whose entries lie in `buffer` (offset k of pixel
// (x, y) at k*pixels + (x - x0)*(y1 - y0) + y - y0).
void SelectBlock(const PixelKernels& kernels, const float* buffer, const Rect& r, int height1,
                 const float* penalty, const int* offsets, int n_offsets, int* disparity,
                 float* best_cost) {
  const std::ptrdiff_t rows = r.y1 - r.y0;
  BestDisparityJob job;
  job.dist_volume = buffer;
  job.k_stride = std::ptrdiff_t{r.x1 - r.x0} * rows;
  job.rows = rows;
  job.column = height1;
  job.first = std::ptrdiff_t{r.x0} * height1 + r.y0;
  job.penalty = penalty;
  job.offsets = offsets;
  job.n_offsets = n_offsets > 0 ? n_offsets : 0;
  job.disparity = disparity;
  job.best_cost = best_cost;
  // The whole block at once: its vectors' chains of comparisons run side by
  // side.
  kernels.best_disparity(job, 0, job.k_stride);
}

// The label-constrained entries of pixels (x, y0 .. y1-1): in-image
// candidates only, written at out[k*k_stride + (y - y0)].
void LabelEntries(Descriptor desc1, Descriptor desc2, const unsigned char* labels1,
                  const unsigned char* labels2, const PixelMatchParams& params,
                  const int* disparity, const int* search_offsets, int n_offsets, int x, int y0,
                  int y1, float* out, std::ptrdiff_t k_stride) {
  const std::ptrdiff_t plane1 = PlaneOf(desc1);
  const std::ptrdiff_t plane2 = PlaneOf(desc2);
  const float truncate_const = params.truncate_const;
  for (int y = y0; y < y1; ++y) {
    const std::ptrdiff_t p = std::ptrdiff_t{x} * desc1.height + y;
    const std::int64_t tx = std::int64_t{x} + disparity[2 * p];
    const std::int64_t ty = std::int64_t{y} + disparity[2 * p + 1];
    const unsigned char a = labels1[p];
    for (int k = 0; k < n_offsets; ++k) {
      const std::int64_t x2 = tx + search_offsets[2 * k];
      const std::int64_t y2 = ty + search_offsets[2 * k + 1];
      if (!CandidateInside(x2, y2, desc2.width, desc2.height)) continue;
      const std::ptrdiff_t q = y2 + x2 * desc2.height;
      // The wildcard on image 1's side decides without reading labels2.
      float entry;
      if (a == 2 || labels2[q] == 2 || labels2[q] == a) {
        const float dist = DescriptorDistance(PixelData(desc1.data, p), plane1,
                                              PixelData(desc2.data, q), plane2, desc1.feat_dim);
        entry = truncate_const < dist ? truncate_const : dist;
      } else {
        entry = params.label_mismatch_cost;
      }
      out[k * k_stride + (y - y0)] = entry;
    }
  }
}

// Pixels (x, y_begin .. y_end) of one region (inclusive bounds, already
// inside image 1), searched around the region's displacement.
void UpdateRegionColumn(Descriptor desc1, Descriptor desc2, float* best_cost, int* disparity,
                        const int* region_disparity, const int* search_offsets,
                        const float* euclid_penalty, int n_offsets, int x, int y_begin, int y_end) {
  const std::ptrdiff_t plane1 = PlaneOf(desc1);
  const std::ptrdiff_t plane2 = PlaneOf(desc2);
  const int rdx = region_disparity[0], rdy = region_disparity[1];
  for (int y = y_begin; y <= y_end; ++y) {
    const std::ptrdiff_t p = std::ptrdiff_t{x} * desc1.height + y;
    const std::int64_t tx = std::int64_t{x} + rdx;
    const std::int64_t ty = std::int64_t{y} + rdy;
    float best = std::numeric_limits<float>::max();
    int chosen = -1;
    for (int k = 0; k < n_offsets; ++k) {
      const std::int64_t x2 = tx + search_offsets[2 * k];
      const std::int64_t y2 = ty + search_offsets[2 * k + 1];
      if (!CandidateInside(x2, y2, desc2.width, desc2.height)) continue;
      const float dist =
          DescriptorDistance(PixelData(desc1.data, p), plane1,
                             PixelData(desc2.data, y2 + x2 * desc2.height), plane2, desc1.feat_dim);
      const float score = dist + euclid_penalty[k];
      if (score < best) {
        best = score;
        chosen = k;
      }
    }
    if (chosen >= 0 && best_cost[p] > best) {
      best_cost[p] = best;
      disparity[2 * p] = WrappingAdd(rdx, search_offsets[2 * chosen]);
      disparity[2 * p + 1] = WrappingAdd(rdy, search_offsets[2 * chosen + 1]);
    }
  }
}

// A region's rectangle clipped to image 1: columns [x0, x1], rows [y0, y1]
// (empty when x0 > x1 or y0 > y1).
Rect ClipRegion(const int* region, int width, int height) {
  Rect r;
  r.x0 = region[0] > 0 ? region[0] : 0;
  r.x1 = region[1] < width - 1 ? region[1] : width - 1;
  r.y0 = region[2] > 0 ? region[2] : 0;
  r.y1 = region[3] < height - 1 ? region[3] : height - 1;
  return r;
}

// Regions smaller than this run on the calling thread: a parallel region
// costs more than their work.
constexpr std::int64_t kParallelRegionPixels = 4096;

// The offsets of a call, checked first: the offset count and the 32-bit
// count of the (never built) volume fail before anything is allocated.
ScratchBlock<int> CallOffsets(const PixelMatchParams& params, int n_pixel, int* n_offsets) {
  const int n =
      CountSearchOffsets(params.search_grid_size, params.search_radius[0], params.search_radius[1]);
  CheckedCount(std::int64_t{n} * n_pixel);
  return BuildSearchOffsets(params.search_grid_size, params.search_radius[0],
                            params.search_radius[1], n_offsets);
}

}  // namespace

PixelCallPlan PlanPixelCall(int width1, int height1, int width2, int height2, int feat_dim,
                            const PixelMatchParams& params) noexcept {
  PixelCallPlan plan{false, 0, 0, 0};
  int n_offsets = 0, n_pixel = 0;
  try {
    n_offsets = CountSearchOffsets(params.search_grid_size, params.search_radius[0],
                                   params.search_radius[1]);
    n_pixel = CheckedPixelCount(width1, height1);
    CheckedCount(std::int64_t{n_offsets} * n_pixel);
  } catch (const std::bad_alloc&) {
    return plan;
  }
  plan.fits = true;
  plan.n_offsets = n_offsets;
  plan.n_pixel = n_pixel;
  const std::uint64_t n = static_cast<std::uint64_t>(n_offsets);
  const PixelBlocks blocks = ChoosePixelBlocks(width1, height1, n_offsets);
  // The basic call: offsets, penalties, both segment lists and per thread
  // one block buffer and one panel (the label call needs no segments nor
  // panels, the region call neither segments nor buffers).
  const std::uint64_t panel =
      n_offsets > 0 ? static_cast<std::uint64_t>(PanelFloats(width1, height1, width2, height2,
                                                             feat_dim))
                    : 0;
  plan.scratch_bytes = 2 * n * sizeof(int) + n * sizeof(float) + 2 * n * sizeof(OffsetSegment) +
                       static_cast<std::uint64_t>(MaxThreads()) *
                           (static_cast<std::uint64_t>(blocks.floats) + panel) * sizeof(float);
  return plan;
}

int CheckedPixelCount(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  return CheckedCount(std::int64_t{width} * height);
}

void ComputeDescDistWith(const PixelKernels& kernels, Descriptor desc1, Descriptor desc2,
                         float* dist_volume, const int* disparity, const int* search_offsets,
                         int n_offsets, float truncate_const, bool fill_outside) {
  const int n_pixel = CheckedPixelCount(desc1.width, desc1.height);
  if (n_pixel <= 0 || n_offsets <= 0) return;
  DescDistPlan plan = PlanDescDist(kernels, desc1, desc2, disparity, search_offsets, n_offsets,
                                   truncate_const, fill_outside);
  DescDistJob& job = plan.job;
  job.dist_volume = dist_volume;
  job.k_stride = n_pixel;
  job.vol_column = desc1.height;
  job.vol_origin = 0;
  const int width1 = desc1.width;
  const int n_items = (width1 - 1) / kColumnsPerItem + 1;
#pragma omp parallel for schedule(static)
  for (int item = 0; item < n_items; ++item) {
    const int x_begin = item * kColumnsPerItem;
    const int x_end = width1 - x_begin < kColumnsPerItem ? width1 : x_begin + kColumnsPerItem;
    kernels.desc_dist(job, x_begin, x_end, 0, desc1.height);
  }
}

void ComputeBestDisparityWith(const PixelKernels& kernels, const float* dist_volume, int* disparity,
                              float* best_cost, const int* search_offsets, float deform_coeff,
                              int width, int height, int n_offsets) {
  const int n_pixel = CheckedPixelCount(width, height);
  const auto penalty = CityBlockPenalties(search_offsets, n_offsets, deform_coeff);
  BestDisparityJob job;
  job.dist_volume = dist_volume;
  job.k_stride = n_pixel;
  job.rows = job.column = height;
  job.first = 0;
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

// Distances and winners block by block: each thread fills its own buffer
// with a block's entries (truncate_const outside image 2), then picks the
// block's winners from it. A pixel's displacement is read only by its own
// block, before the block's selection moves it.
void RunPixelMatchWith(const PixelKernels& kernels, Descriptor desc1, Descriptor desc2,
                       int* disparity, float* best_cost, const PixelMatchParams& params,
                       StopToken* stop) {
  const int n_pixel = CheckedPixelCount(desc1.width, desc1.height);
  int n_offsets = 0;
  const auto offsets = CallOffsets(params, n_pixel, &n_offsets);
  const auto penalty = CityBlockPenalties(offsets.get(), n_offsets, params.deform_coeff);
  const DescDistPlan plan = PlanDescDist(kernels, desc1, desc2, disparity, offsets.get(), n_offsets,
                                         params.truncate_const, true);
  const PixelBlocks blocks = ChoosePixelBlocks(desc1.width, desc1.height, n_offsets);
  const int n_threads = MaxThreads();
  const auto buffers = AllocScratch<float>(n_threads * blocks.floats);
  const std::ptrdiff_t panel_floats =
      n_offsets > 0 ? PanelFloats(desc1.width, desc1.height, desc2.width, desc2.height,
                                  desc1.feat_dim)
                    : 0;
  const auto panels = AllocScratch<float>(n_threads * std::int64_t{panel_floats});
  ThrowIfStopRequested(stop);
  if (n_pixel <= 0) return;
  const std::int64_t n_blocks = std::int64_t{blocks.n_bx} * blocks.n_by;
#pragma omp parallel num_threads(n_threads)
  {
    float* buffer = buffers.get() + ThreadNumber() * blocks.floats;
    DescDistJob job = plan.job;
    job.dist_volume = buffer;
    job.panel = panel_floats > 0 ? panels.get() + ThreadNumber() * panel_floats : nullptr;
    job.panel_floats = panel_floats;
#pragma omp for schedule(static)
    for (std::int64_t i = 0; i < n_blocks; ++i) {
      if (StopNow(stop)) continue;
      const Rect r = BlockRect(blocks, desc1.width, desc1.height, i);
      const std::ptrdiff_t rows = r.y1 - r.y0;
      if (n_offsets > 0) {
        job.k_stride = std::ptrdiff_t{r.x1 - r.x0} * rows;
        job.vol_column = rows;
        job.vol_origin = std::ptrdiff_t{r.x0} * rows + r.y0;
        kernels.desc_dist(job, r.x0, r.x1, r.y0, r.y1);
      }
      SelectBlock(kernels, buffer, r, desc1.height, penalty.get(), offsets.get(), n_offsets,
                  disparity, best_cost);
    }
  }
  ThrowIfStopped(stop);
}

// The label-constrained call, fused in the same way; its entries come from
// the literal loop.
void RunLabelMatchWith(const PixelKernels& kernels, Descriptor desc1, Descriptor desc2,
                       const unsigned char* labels1, const unsigned char* labels2, int* disparity,
                       float* best_cost, const PixelMatchParams& params, StopToken* stop) {
  const int n_pixel = CheckedPixelCount(desc1.width, desc1.height);
  int n_offsets = 0;
  const auto offsets = CallOffsets(params, n_pixel, &n_offsets);
  const auto penalty = CityBlockPenalties(offsets.get(), n_offsets, params.deform_coeff);
  const PixelBlocks blocks = ChoosePixelBlocks(desc1.width, desc1.height, n_offsets);
  const int n_threads = MaxThreads();
  const auto buffers = AllocScratch<float>(n_threads * blocks.floats);
  ThrowIfStopRequested(stop);
  if (n_pixel <= 0) return;
  const std::int64_t n_blocks = std::int64_t{blocks.n_bx} * blocks.n_by;
#pragma omp parallel num_threads(n_threads)
  {
    float* buffer = buffers.get() + ThreadNumber() * blocks.floats;
#pragma omp for schedule(static)
    for (std::int64_t i = 0; i < n_blocks; ++i) {
      if (StopNow(stop)) continue;
      const Rect r = BlockRect(blocks, desc1.width, desc1.height, i);
      const std::ptrdiff_t rows = r.y1 - r.y0;
      const std::ptrdiff_t pixels = std::ptrdiff_t{r.x1 - r.x0} * rows;
      std::fill(buffer, buffer + pixels * n_offsets, params.truncate_const);
      for (int x = r.x0; x < r.x1; ++x) {
        LabelEntries(desc1, desc2, labels1, labels2, params, disparity, offsets.get(), n_offsets, x,
                     r.y0, r.y1, buffer + (x - r.x0) * rows, pixels);
      }
      SelectBlock(kernels, buffer, r, desc1.height, penalty.get(), offsets.get(), n_offsets,
                  disparity, best_cost);
    }
  }
  ThrowIfStopped(stop);
}

// The region-wise call: regions in list order (they may overlap), the
// columns of a large region in parallel.
void RunRegionMatch(Descriptor desc1, Descriptor desc2, const int* regions,
                    const int* region_disparities, int* disparity, float* best_cost, int n_regions,
                    const PixelMatchParams& params, StopToken* stop) {
  int n_offsets = 0;
  const auto offsets = BuildSearchOffsets(params.search_grid_size, params.search_radius[0],
                                          params.search_radius[1], &n_offsets);
  auto euclid_penalty = AllocScratch<float>(n_offsets);
  for (int k = 0; k < n_offsets; ++k) {
    const float sx = static_cast<float>(offsets[2 * k]);
    const float sy = static_cast<float>(offsets[2 * k + 1]);
    euclid_penalty[k] = std::sqrt(sx * sx + sy * sy) * params.deform_coeff;
  }
  ThrowIfStopRequested(stop);
  if (CheckedPixelCount(desc1.width, desc1.height) <= 0) return;
  for (int i = 0; i < n_regions; ++i) {
    const Rect r = ClipRegion(regions + 4 * std::ptrdiff_t{i}, desc1.width, desc1.height);
    if (r.x0 > r.x1 || r.y0 > r.y1) continue;
    const int* rdisp = region_disparities + 2 * std::ptrdiff_t{i};
    const std::int64_t area = (std::int64_t{r.x1} - r.x0 + 1) * (std::int64_t{r.y1} - r.y0 + 1);
    (void)area;  // the serial build has no use for it
#pragma omp parallel for schedule(static) if (area >= kParallelRegionPixels)
    for (int x = r.x0; x <= r.x1; ++x) {
      if (StopNow(stop)) continue;
      UpdateRegionColumn(desc1, desc2, best_cost, disparity, rdisp, offsets.get(),
                         euclid_penalty.get(), n_offsets, x, r.y0, r.y1);
    }
    ThrowIfStopped(stop);
  }
}

}  // namespace densecorr

namespace {

const densecorr::PixelKernels& Widest() {
  return densecorr::PixelKernelsFor(densecorr::simd::SelectIsa());
}

}  // namespace

void PixelMatch::RunPixelMatch(Descriptor desc1, Descriptor desc2, int* disparity, float* best_cost,
                               const PixelMatchParams& params) {
  densecorr::RunPixelMatchWith(Widest(), desc1, desc2, disparity, best_cost, params, stop_);
}

void PixelMatch::RunPixelMatch(Descriptor desc1, Descriptor desc2, const unsigned char* labels1,
                               const unsigned char* labels2, int* disparity, float* best_cost,
                               const PixelMatchParams& params) {
  densecorr::RunLabelMatchWith(Widest(), desc1, desc2, labels1, labels2, disparity, best_cost,
                               params, stop_);
}

void PixelMatch::RunPixelMatch(Descriptor desc1, Descriptor desc2, const int* regions,
                               const int* region_disparities, int* disparity, float* best_cost,
                               int n_regions, const PixelMatchParams& params) {
  densecorr::RunRegionMatch(desc1, desc2, regions, region_disparities, disparity, best_cost,
                            n_regions, params, stop_);
}

void PixelMatch::ComputeDescDist(Descriptor desc1, Descriptor desc2,
                                 const PixelMatchParams& /*params*/, float* dist_volume,
                                 const int* disparity, const int* search_offsets, int n_offsets) {
  // Entries outside image 2 are left as they are, so no field of params is read.
  densecorr::ComputeDescDistWith(Widest(), desc1, desc2, dist_volume, disparity, search_offsets,
                                 n_offsets, 0.0f, false);
}

void PixelMatch::ComputeDescDist(Descriptor desc1, Descriptor desc2, const unsigned char* labels1,
                                 const unsigned char* labels2, const PixelMatchParams& params,
                                 float* dist_volume, const int* disparity,
                                 const int* search_offsets, int n_offsets) {
  const int n_pixel = densecorr::CheckedPixelCount(desc1.width, desc1.height);
  // No offsets: the volume is empty and its pointer may be null.
  if (n_offsets <= 0) return;
  for (int x = 0; n_pixel > 0 && x < desc1.width; ++x) {
    densecorr::LabelEntries(desc1, desc2, labels1, labels2, params, disparity, search_offsets,
                            n_offsets, x, 0, desc1.height,
                            dist_volume + std::ptrdiff_t{x} * desc1.height, n_pixel);
  }
}

void PixelMatch::ComputeBestDisparity(const float* dist_volume, int* disparity, float* best_cost,
                                      const int* search_offsets, float deform_coeff, int width,
                                      int height, int n_offsets) {
  densecorr::ComputeBestDisparityWith(Widest(), dist_volume, disparity, best_cost, search_offsets,
                                      deform_coeff, width, height, n_offsets);
}

void PixelMatch::UpdateDescDist(Descriptor desc1, Descriptor desc2,
                                const PixelMatchParams& /*params*/, float* best_cost,
                                int* disparity, const int* region, const int* region_disparity,
                                const int* search_offsets, const float* euclid_penalty,
                                int n_offsets) {
  if (densecorr::CheckedPixelCount(desc1.width, desc1.height) <= 0) return;
  // Only the rectangle's pixels inside image 1 pass the region test; walking
  // them column by column visits them in increasing pixel order.
  const auto r = densecorr::ClipRegion(region, desc1.width, desc1.height);
  for (int x = r.x0; x <= r.x1 && r.y0 <= r.y1; ++x) {
    densecorr::UpdateRegionColumn(desc1, desc2, best_cost, disparity, region_disparity,
                                  search_offsets, euclid_penalty, n_offsets, x, r.y0, r.y1);
  }
}
