// The distance pass of cellcost: the literal loop nest, the plan (packed
// grids and tiles of translations) and the packing.
#include "cellcost/shift_dist.h"

#include <cstdint>

#include "cellcost/pyramid_kernels.h"
#include "common/distance.h"
#include "common/scratch.h"

namespace densecorr {

void ShiftDistLiteral(Descriptor desc1, Descriptor desc2, int grid_size, const PyramidGeometry& g,
                      float truncate_const, float* dist_volume, const int* shifts) {
  const int n_sample = g.n_sample, n_sample_y = g.n_sample_y, n_shift = g.n_shift;
  const std::ptrdiff_t plane1 = PlaneOf(desc1);
  const std::ptrdiff_t plane2 = PlaneOf(desc2);
#pragma omp parallel for schedule(static)
  for (int s = 0; s < n_sample; ++s) {
    const int x1 = grid_size * (s / n_sample_y);
    const int y1 = grid_size * (s % n_sample_y);
    for (int k = 0; k < n_shift; ++k) {
      // Positions in 64 bits: a translation near the 32-bit limit must fail
      // the bounds test, not wrap back into the image.
      const std::int64_t x2 = std::int64_t{x1} + shifts[2 * k];
      if (x2 < 0 || x2 >= desc2.width) continue;
      const std::int64_t y2 = std::int64_t{y1} + shifts[2 * k + 1];
      if (y2 < 0 || y2 >= desc2.height) continue;
      // Images without channels may have no data at all: form no pointer then.
      const float dist =
          desc1.feat_dim > 0
              ? DescriptorDistance(desc1.data + (std::ptrdiff_t{x1} * desc1.height + y1), plane1,
                                   desc2.data + (x2 * desc2.height + y2), plane2, desc1.feat_dim)
              : 0.0f;
      dist_volume[std::ptrdiff_t{k} * n_sample + s] = dist > truncate_const ? truncate_const : dist;
    }
  }
}

namespace {

// Rounds a scratch pointer up to 64 bytes, the widest vector.
float* AlignTo64(float* p) {
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(p);
  return p + ((64 - address % 64) % 64) / sizeof(float);
}

}  // namespace

ShiftDistPlan PlanShiftDist(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                            int grid_size, const PyramidGeometry& g, const int* shifts,
                            float* dist_volume, float truncate_const, bool fill_outside) {
  ShiftDistPlan plan;
  plan.has_work = g.n_sample > 0 && g.n_shift > 0;
  if (!plan.has_work) return plan;
  const std::int64_t grid = grid_size;
  plan.on_grid = true;
  for (int k = 0; k < 2 * g.n_shift; ++k) plan.on_grid = plan.on_grid && shifts[k] % grid == 0;
  if (!plan.on_grid) return plan;

  // The window of image 2's sample grid that some translation reaches.
  std::int64_t tx_min = shifts[0] / grid, tx_max = tx_min;
  std::int64_t ty_min = shifts[1] / grid, ty_max = ty_min;
  for (int k = 1; k < g.n_shift; ++k) {
    const std::int64_t tx = shifts[2 * k] / grid, ty = shifts[2 * k + 1] / grid;
    tx_min = tx < tx_min ? tx : tx_min;
    tx_max = tx > tx_max ? tx : tx_max;
    ty_min = ty < ty_min ? ty : ty_min;
    ty_max = ty > ty_max ? ty : ty_max;
  }
  const std::int64_t n_grid_x2 = desc2.width > 0 ? (std::int64_t{desc2.width} - 1) / grid + 1 : 0;
  const std::int64_t n_grid_y2 = desc2.height > 0 ? (std::int64_t{desc2.height} - 1) / grid + 1 : 0;
  std::int64_t jx_lo = tx_min > 0 ? tx_min : 0;
  std::int64_t jx_hi = g.n_sample_x + tx_max < n_grid_x2 ? g.n_sample_x + tx_max : n_grid_x2;
  std::int64_t jy_lo = ty_min > 0 ? ty_min : 0;
  std::int64_t jy_hi = g.n_sample_y + ty_max < n_grid_y2 ? g.n_sample_y + ty_max : n_grid_y2;
  if (jx_hi <= jx_lo || jy_hi <= jy_lo) jx_hi = jx_lo = jy_hi = jy_lo = 0;
  const int n_jx = static_cast<int>(jx_hi - jx_lo);
  const std::int64_t n_jy = jy_hi - jy_lo;
  const int feat_dim = desc1.feat_dim > 0 ? desc1.feat_dim : 0;

  // Tiles: runs of translations with one column shift and consecutive row
  // shifts whose inside rows take the same cover of vectors from the same
  // end of the column, split evenly into pieces of at most max_tile. A run
  // too short to hide the latency of its additions joins a neighbouring run
  // of the same column shift instead: a vector more for a few translations
  // costs less than a tile of one or two.
  const std::int64_t lanes = kernels.cover_lanes, n_rows = g.n_sample_y;
  const auto rows_key = [&](std::int64_t ty) -> std::int64_t {
    const std::int64_t r0 = jy_lo - ty < 0 ? 0 : (jy_lo - ty > n_rows ? n_rows : jy_lo - ty);
    const std::int64_t r1 = jy_hi - ty < 0 ? 0 : (jy_hi - ty > n_rows ? n_rows : jy_hi - ty);
    if (r0 >= r1) return 0;
    const std::int64_t anchor = r0 == 0 ? 1 : (r1 == n_rows ? 2 : 3);
    return (r1 - r0 + lanes - 1) / lanes * 4 + anchor;
  };
  const auto continues = [&](int k, int next) {
    return shifts[2 * next] / grid == shifts[2 * k] / grid &&
           std::int64_t{shifts[2 * next + 1] / grid} ==
               std::int64_t{shifts[2 * k + 1] / grid} + (next - k);
  };
  auto tiles = AllocScratch<ShiftTile>(g.n_shift);
  int n_tiles = 0;
  const auto emit = [&](int k, int run) {
    const std::int64_t tx = shifts[2 * k] / grid, ty = shifts[2 * k + 1] / grid;
    const int pieces = (run + kernels.max_tile - 1) / kernels.max_tile;
    for (int i = 0, first = 0; i < pieces; ++i) {
      const int count = run / pieces + (i < run % pieces ? 1 : 0);
      tiles[n_tiles++] = ShiftTile{k + first, count, tx, ty + first};
      first += count;
    }
  };
  // The pending run (first translation, length, key of its last piece).
  int pending_k = 0, pending_run = 0;
  std::int64_t pending_key = 0;
  for (int k = 0; k < g.n_shift;) {
    const std::int64_t key = rows_key(shifts[2 * k + 1] / grid);
    int run = 1;
    while (k + run < g.n_shift && continues(k, k + run) &&
           rows_key(shifts[2 * (k + run) + 1] / grid) == key) {
      ++run;
    }
    // (Translations entirely outside image 2 join nothing: they compute nothing.)
    const bool joins = pending_run > 0 && key != 0 && pending_key != 0 &&
                       continues(pending_k, k) &&
                       (run < kMinShiftRun || pending_run < kMinShiftRun);
    if (joins) {
      pending_run += run;
    } else {
      if (pending_run > 0) emit(pending_k, pending_run);
      pending_k = k;
      pending_run = run;
    }
    pending_key = key;
    k += run;
  }
  if (pending_run > 0) emit(pending_k, pending_run);

  // Sample columns of image 1, then the window of image 2, each channel's
  // rows contiguous. Vectors that straddle a column read a neighbour's
  // values (discarded lanes) or the zero padding at either end.
  const std::int64_t column1 = std::int64_t{feat_dim} * g.n_sample_y;
  const std::int64_t size1 = g.n_sample_x * column1 + 2 * simd::kMaxLanes + 16;
  const std::int64_t column2 = feat_dim * n_jy;
  plan.storage = AllocScratch<float>(size1 + n_jx * column2 + 2 * kShiftPad);
  plan.tiles = std::move(tiles);
  plan.n_jx = n_jx;

  ShiftDistJob& job = plan.job;
  job.packed1 = AlignTo64(plan.storage.get() + simd::kMaxLanes);
  job.column1 = column1;
  job.channel1 = g.n_sample_y;
  job.packed2 = plan.storage.get() + size1 + kShiftPad;
  job.column2 = column2;
  job.channel2 = n_jy;
  job.jx_lo = jx_lo;
  job.jx_hi = jx_hi;
  job.jy_lo = jy_lo;
  job.jy_hi = jy_hi;
  job.n_sample_x = g.n_sample_x;
  job.n_sample_y = g.n_sample_y;
  job.feat_dim = feat_dim;
  job.tiles = plan.tiles.get();
  job.n_tiles = n_tiles;
  job.dist_volume = dist_volume;
  job.n_sample = g.n_sample;
  job.x_stride = g.n_sample_y;
  job.k_origin = 0;
  job.truncate_const = truncate_const;
  job.fill_outside = fill_outside;
  return plan;
}

namespace {

void Prefetch(const char* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 0, 1);
#else
  (void)address;
#endif
}

// Sampled columns lie a few kilobytes apart, too far for the processor's own
// prefetching: ask for the column a few steps ahead while packing this one.
constexpr int kPrefetchColumns = 16;

// Longest span worth a hint; a sparse grid's column spans far more memory
// than it reads, and hinting all of it would cost more than the packing.
constexpr std::ptrdiff_t kMaxPrefetchFloats = 4096;

// Prefetches the `length` floats starting `ahead` floats after `column`
// (capped). Only a hint: the address may lie past the image and is never
// dereferenced, so it is formed as an integer.
void PrefetchAhead(const float* column, std::ptrdiff_t ahead, std::ptrdiff_t length) {
  if (length > kMaxPrefetchFloats) length = kMaxPrefetchFloats;
  const std::uintptr_t first =
      reinterpret_cast<std::uintptr_t>(column) + static_cast<std::uintptr_t>(ahead) * sizeof(float);
  for (std::uintptr_t offset = 0; offset < static_cast<std::uintptr_t>(length) * sizeof(float);
       offset += 64) {
    Prefetch(reinterpret_cast<const char*>(first + offset));
  }
}

// Floats from the first to the last of n samples taken every `grid` floats.
std::ptrdiff_t SampledSpan(std::ptrdiff_t n, std::ptrdiff_t grid) {
  return n > 0 ? (n - 1) * grid + 1 : 0;
}

}  // namespace

void ZeroShiftPadding(const ShiftDistPlan& plan) {
  const ShiftDistJob& job = plan.job;
  float* packed1 = const_cast<float*>(job.packed1);
  float* packed2 = const_cast<float*>(job.packed2);
  const int n_sample_x = job.n_sample_x, n_jx = plan.n_jx;
  // Padding read by vectors past either end: zeros, never uninitialised.
  for (int i = 0; i < simd::kMaxLanes; ++i) {
    packed1[i - simd::kMaxLanes] = 0.0f;
    packed1[n_sample_x * job.column1 + i] = 0.0f;
  }
  for (int i = 0; i < kShiftPad; ++i) {
    packed2[i - kShiftPad] = 0.0f;
    packed2[n_jx * job.column2 + i] = 0.0f;
  }
}

void PackShiftGridColumns(const ShiftDistPlan& plan, Descriptor desc1, Descriptor desc2,
                          int grid_size) {
  const ShiftDistJob& job = plan.job;
  float* packed1 = const_cast<float*>(job.packed1);
  float* packed2 = const_cast<float*>(job.packed2);
  const std::ptrdiff_t plane1 = PlaneOf(desc1);
  const std::ptrdiff_t plane2 = PlaneOf(desc2);
  const std::ptrdiff_t grid = grid_size;
  const int n_sample_x = job.n_sample_x, n_sample_y = job.n_sample_y, n_jx = plan.n_jx;
  const std::ptrdiff_t n_jy = job.channel2;
  {
    // Channel by channel, so that each image is read plane by plane in
    // address order.
#pragma omp for schedule(static) nowait
    for (int c = 0; c < job.feat_dim; ++c) {
      for (int ix = 0; ix < n_sample_x; ++ix) {
        const float* src = desc1.data + (grid * ix * desc1.height + c * plane1);
        PrefetchAhead(src, kPrefetchColumns * grid * desc1.height, SampledSpan(n_sample_y, grid));
        float* dst = packed1 + ix * job.column1 + std::ptrdiff_t{c} * n_sample_y;
        for (int iy = 0; iy < n_sample_y; ++iy) dst[iy] = src[grid * iy];
      }
    }
#pragma omp for schedule(static)
    for (int c = 0; c < job.feat_dim; ++c) {
      for (int i = 0; i < n_jx; ++i) {
        const float* src =
            desc2.data + (grid * (job.jx_lo + i) * desc2.height + grid * job.jy_lo + c * plane2);
        PrefetchAhead(src, kPrefetchColumns * grid * desc2.height, SampledSpan(n_jy, grid));
        float* dst = packed2 + i * job.column2 + c * n_jy;
        for (std::ptrdiff_t j = 0; j < n_jy; ++j) dst[j] = src[grid * j];
      }
    }
  }
}

void RunShiftDist(const ShiftKernels& kernels, const ShiftDistPlan& plan, Descriptor desc1,
                  Descriptor desc2, int grid_size, StopToken* stop) {
  ZeroShiftPadding(plan);
#pragma omp parallel
  {
    PackShiftGridColumns(plan, desc1, desc2, grid_size);
    // (barrier: both grids are complete)
#pragma omp for schedule(static)
    for (int ix = 0; ix < plan.job.n_sample_x; ++ix) {
      if (!StopNow(stop)) kernels.shift_dist(plan.job, ix, ix + 1);
    }
  }
}

void ComputeShiftDistWith(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                          int grid_size, const PyramidMatchParams& params, float* dist_volume,
                          const int* shifts, bool fill_outside) {
  const PyramidGeometry g = ComputePyramidGeometry(
      desc1.width, desc1.height, grid_size, params.search_radius[0], params.search_radius[1], 0);
  const ShiftDistPlan plan = PlanShiftDist(kernels, desc1, desc2, grid_size, g, shifts, dist_volume,
                                           params.truncate_const, fill_outside);
  if (!plan.has_work) return;
  if (plan.on_grid) {
    RunShiftDist(kernels, plan, desc1, desc2, grid_size);
    return;
  }
  if (fill_outside) {
    const std::ptrdiff_t count = std::ptrdiff_t{g.n_shift} * g.n_sample;
    for (std::ptrdiff_t i = 0; i < count; ++i) dist_volume[i] = params.truncate_const;
  }
  ShiftDistLiteral(desc1, desc2, grid_size, g, params.truncate_const, dist_volume, shifts);
}

}  // namespace densecorr
