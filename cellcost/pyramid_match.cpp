#include "cellcost/pyramid_match.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_kernels.h"
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

void ShiftDistLiteral(Descriptor desc1, Descriptor desc2, int grid_size, const PyramidGeometry& g,
                      float truncate_const, float* dist_volume, const int* shifts) {
  const int n_sample = g.n_sample, n_sample_y = g.n_sample_y, n_shift = g.n_shift;
  const std::ptrdiff_t plane1 = std::ptrdiff_t{desc1.width} * desc1.height;
  const std::ptrdiff_t plane2 = std::ptrdiff_t{desc2.width} * desc2.height;
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

// Everything one distance pass needs, allocated before any output is written.
struct ShiftDistPlan {
  bool has_work = false;  // samples and translations exist
  bool on_grid = false;   // every translation a multiple of the grid: the packed kernels apply
  // Both packed grids in one allocation, which the allocator can hand back
  // from call to call without fresh pages.
  std::unique_ptr<float[]> storage;
  std::unique_ptr<ShiftTile[]> tiles;
  ShiftDistJob job{};
  int n_jx = 0;
};

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
  const std::int64_t n_grid_x2 =
      desc2.width > 0 ? (std::int64_t{desc2.width} - 1) / grid + 1 : 0;
  const std::int64_t n_grid_y2 =
      desc2.height > 0 ? (std::int64_t{desc2.height} - 1) / grid + 1 : 0;
  std::int64_t jx_lo = tx_min > 0 ? tx_min : 0;
  std::int64_t jx_hi = g.n_sample_x + tx_max < n_grid_x2 ? g.n_sample_x + tx_max : n_grid_x2;
  std::int64_t jy_lo = ty_min > 0 ? ty_min : 0;
  std::int64_t jy_hi = g.n_sample_y + ty_max < n_grid_y2 ? g.n_sample_y + ty_max : n_grid_y2;
  if (jx_hi <= jx_lo || jy_hi <= jy_lo) jx_hi = jx_lo = jy_hi = jy_lo = 0;
  const int n_jx = static_cast<int>(jx_hi - jx_lo);
  const std::int64_t n_jy = jy_hi - jy_lo;
  const int feat_dim = desc1.feat_dim > 0 ? desc1.feat_dim : 0;

  // Tiles: runs of translations with one column shift and consecutive row
  // shifts whose inside rows take the same number of vectors from the same
  // end of the column, split evenly into pieces of at most max_tile.
  const std::int64_t lanes = kernels.lanes, n_rows = g.n_sample_y;
  const auto rows_key = [&](std::int64_t ty) -> std::int64_t {
    const std::int64_t r0 = jy_lo - ty < 0 ? 0 : (jy_lo - ty > n_rows ? n_rows : jy_lo - ty);
    const std::int64_t r1 = jy_hi - ty < 0 ? 0 : (jy_hi - ty > n_rows ? n_rows : jy_hi - ty);
    if (r0 >= r1) return 0;
    const std::int64_t anchor = r0 == 0 ? 1 : (r1 == n_rows ? 2 : 3);
    return (r1 - r0 + lanes - 1) / lanes * 4 + anchor;
  };
  auto tiles = AllocScratch<ShiftTile>(g.n_shift);
  int n_tiles = 0;
  for (int k = 0; k < g.n_shift;) {
    const std::int64_t tx = shifts[2 * k] / grid, ty = shifts[2 * k + 1] / grid;
    const std::int64_t key = rows_key(ty);
    int run = 1;
    while (k + run < g.n_shift && shifts[2 * (k + run)] / grid == tx &&
           shifts[2 * (k + run) + 1] / grid == ty + run && rows_key(ty + run) == key) {
      ++run;
    }
    const int pieces = (run + kernels.max_tile - 1) / kernels.max_tile;
    for (int i = 0, first = 0; i < pieces; ++i) {
      const int count = run / pieces + (i < run % pieces ? 1 : 0);
      tiles[n_tiles++] = ShiftTile{k + first, count, tx, ty + first};
      first += count;
    }
    k += run;
  }

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
  job.truncate_const = truncate_const;
  job.fill_outside = fill_outside;
  return plan;
}

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

// Packs both sample grids, then runs the kernel; one parallel region, with
// the sample columns of the distance loop split statically over the threads.
void RunShiftDist(const ShiftKernels& kernels, const ShiftDistPlan& plan, Descriptor desc1,
                  Descriptor desc2, int grid_size) {
  const ShiftDistJob& job = plan.job;
  float* packed1 = const_cast<float*>(job.packed1);
  float* packed2 = const_cast<float*>(job.packed2);
  const std::ptrdiff_t plane1 = std::ptrdiff_t{desc1.width} * desc1.height;
  const std::ptrdiff_t plane2 = std::ptrdiff_t{desc2.width} * desc2.height;
  const std::ptrdiff_t grid = grid_size;
  const int n_sample_x = job.n_sample_x, n_sample_y = job.n_sample_y, n_jx = plan.n_jx;
  const std::ptrdiff_t n_jy = job.channel2;
  // Padding read by vectors past either end: zeros, never uninitialised.
  for (int i = 0; i < simd::kMaxLanes; ++i) {
    packed1[i - simd::kMaxLanes] = 0.0f;
    packed1[n_sample_x * job.column1 + i] = 0.0f;
  }
  for (int i = 0; i < kShiftPad; ++i) {
    packed2[i - kShiftPad] = 0.0f;
    packed2[n_jx * job.column2 + i] = 0.0f;
  }
#pragma omp parallel
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
    // (barrier: both grids are complete)
#pragma omp for schedule(static)
    for (int ix = 0; ix < n_sample_x; ++ix) kernels.shift_dist(job, ix, ix + 1);
  }
}

// ---- pooling ----

// The four summed-area lookups of one non-empty cell; a lookup before the
// first column or row points at a trailing zero.
struct CellLookup {
  std::ptrdiff_t cell;  // cell number: row of node_cost
  std::ptrdiff_t last, before, last_x_before_y, before_x_last_y;
  float area;
};

struct NodeCostPlan {
  std::unique_ptr<float[]> integral;  // n_sample values and the zero
  std::unique_ptr<CellLookup[]> cells;
  int n_cells = 0;
};

NodeCostPlan PlanNodeCost(const PyramidGeometry& g, int n_level) {
  NodeCostPlan plan;
  if (g.n_shift <= 0) return plan;
  plan.integral = AllocScratch<float>(std::int64_t{g.n_sample} + 1);
  std::int64_t n_cells = 0;
  for (int l = 0; l < n_level; ++l) {
    const int n = 1 << l;
    if (g.n_sample_x / n == 0 || g.n_sample_y / n == 0) break;  // finer levels are empty too
    n_cells += std::int64_t{n} * n;
  }
  plan.cells = AllocScratch<CellLookup>(n_cells);
  const int n_sample_y = g.n_sample_y;
  const std::ptrdiff_t zero = g.n_sample;
  const auto at = [&](int ix, int iy) -> std::ptrdiff_t {
    return (ix < 0 || iy < 0) ? zero : std::ptrdiff_t{ix} * n_sample_y + iy;
  };
  for (int l = 0; l < n_level; ++l) {
    const int n = 1 << l;
    const int level_offset = ((1 << (2 * l)) - 1) / 3;
    const int cw = g.n_sample_x / n, ch = g.n_sample_y / n;
    if (cw == 0 || ch == 0) break;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        const int x0 = i * cw, y0 = j * ch;
        const int x1 = x0 + cw - 1, y1 = y0 + ch - 1;
        plan.cells[plan.n_cells++] =
            CellLookup{std::ptrdiff_t{level_offset} + std::ptrdiff_t{i} * n + j, at(x1, y1),
                       at(x0 - 1, y0 - 1), at(x1, y0 - 1), at(x0 - 1, y1),
                       static_cast<float>(cw * ch)};
      }
    }
  }
  return plan;
}

// The summed-area table column by column, as defined.
void BuildIntegralLiteral(const float* plane, float* integral, int n_cols, int n_rows) {
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

// Summed-area table: the running sum down each column first (several
// columns interleaved, so that their independent chains overlap), then each
// column's sums plus the finished column on its left. Each entry sees the
// same additions in the same order as the column-by-column definition.
// next_plane (may be null) is fetched ahead while this one is summed: the
// volume is read once, plane after plane, and may be far larger than the
// caches.
void BuildIntegral(const float* plane, float* integral, int n_cols, int n_rows,
                   const float* next_plane) {
  if (n_cols <= 0 || n_rows <= 0) return;
  constexpr int kGroup = 8;
  const std::ptrdiff_t rows = n_rows;
  int ix = 0;
  for (; ix + kGroup <= n_cols; ix += kGroup) {
    const float* column = plane + ix * rows;
    float* out = integral + ix * rows;
    if (next_plane != nullptr) {
      const char* ahead = reinterpret_cast<const char*>(next_plane + ix * rows);
      const std::ptrdiff_t bytes = kGroup * rows * std::ptrdiff_t{sizeof(float)};
      for (std::ptrdiff_t offset = 0; offset < bytes; offset += 64) Prefetch(ahead + offset);
    }
    float r[kGroup] = {};
    for (std::ptrdiff_t iy = 0; iy < rows; ++iy) {
      for (int j = 0; j < kGroup; ++j) {
        r[j] = r[j] + column[j * rows + iy];
        out[j * rows + iy] = r[j];
      }
    }
  }
  for (; ix < n_cols; ++ix) {
    const float* column = plane + ix * rows;
    float* out = integral + ix * rows;
    float r = 0.0f;
    for (std::ptrdiff_t iy = 0; iy < rows; ++iy) {
      r = r + column[iy];
      out[iy] = r;
    }
  }
  for (ix = 1; ix < n_cols; ++ix) {
    float* out = integral + ix * rows;
    const float* left = out - rows;
    for (std::ptrdiff_t iy = 0; iy < rows; ++iy) out[iy] = out[iy] + left[iy];
  }
  // Which of two NaN operands an addition returns depends on the operand
  // order the compiler picks. The last entry sums the whole plane, so it is
  // NaN exactly when a NaN (or both infinities) occurs anywhere: then the
  // table is rebuilt by the defining loop, which decides the stored NaNs.
  const float total = integral[n_cols * rows - 1];
  if (total != total) BuildIntegralLiteral(plane, integral, n_cols, n_rows);
}

void RunNodeCost(const NodeCostPlan& plan, const float* dist_volume, const PyramidGeometry& g,
                 int n_level, float* node_cost) {
  const std::ptrdiff_t n_shift = g.n_shift;
  if (n_shift <= 0) return;
  // Cells of width or height 0 hold the mean of no samples.
  for (int l = 0; l < n_level; ++l) {
    const int n = 1 << l;
    if (g.n_sample_x / n != 0 && g.n_sample_y / n != 0) continue;
    const std::ptrdiff_t first = (((std::ptrdiff_t{1} << (2 * l)) - 1) / 3) * n_shift;
    const std::ptrdiff_t count = std::ptrdiff_t{n} * n * n_shift;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
      node_cost[first + i] = std::numeric_limits<float>::quiet_NaN();
    }
  }
  float* integral = plan.integral.get();
  integral[g.n_sample] = 0.0f;
  for (std::ptrdiff_t k = 0; k < n_shift; ++k) {
    const float* plane = dist_volume + k * g.n_sample;
    BuildIntegral(plane, integral, g.n_sample_x, g.n_sample_y,
                  k + 1 < n_shift ? plane + g.n_sample : nullptr);
    for (int i = 0; i < plan.n_cells; ++i) {
      const CellLookup& c = plan.cells[i];
      node_cost[c.cell * n_shift + k] =
          (((integral[c.last] + integral[c.before]) - integral[c.last_x_before_y]) -
           integral[c.before_x_last_y]) /
          c.area;
    }
  }
}

}  // namespace

void ComputeShiftDistWith(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                          int grid_size, const PyramidMatchParams& params, float* dist_volume,
                          const int* shifts, bool fill_outside) {
  const PyramidGeometry g =
      ComputePyramidGeometry(desc1.width, desc1.height, grid_size, params.search_radius[0],
                             params.search_radius[1], 0);
  const ShiftDistPlan plan = PlanShiftDist(kernels, desc1, desc2, grid_size, g, shifts,
                                           dist_volume, params.truncate_const, fill_outside);
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

void RunPyramidMatchWith(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                         const PyramidMatchParams& params, float* node_cost, int* shifts) {
  const PyramidGeometry g = ComputePyramidGeometry(
      desc1.width, desc1.height, params.grid_size, params.search_radius[0],
      params.search_radius[1], params.n_tree_level);
  // No pre-fill: the distance pass writes truncate_const wherever it
  // computes no distance.
  auto dist_volume = AllocScratch<float>(std::int64_t{g.n_shift} * g.n_sample);
  // The translations are built aside so that every buffer of the call exists
  // before the first output is written.
  auto list = AllocScratch<int>(2 * std::int64_t{g.n_shift});
  int slot = 0;
  for (int ix = 0; ix < g.n_shift_x; ++ix) {
    for (int iy = 0; iy < g.n_shift_y; ++iy) {
      // -R + i*G never passes R, but i*G alone can leave 32 bits for steps near the limit.
      list[slot++] = static_cast<int>(g.shift_range_x[0] + std::int64_t{ix} * params.grid_size);
      list[slot++] = static_cast<int>(g.shift_range_y[0] + std::int64_t{iy} * params.grid_size);
    }
  }
  const ShiftDistPlan shift_plan =
      PlanShiftDist(kernels, desc1, desc2, params.grid_size, g, list.get(), dist_volume.get(),
                    params.truncate_const, true);
  const NodeCostPlan pool_plan = PlanNodeCost(g, params.n_tree_level);

  for (int i = 0; i < slot; ++i) shifts[i] = list[i];
  if (shift_plan.has_work) RunShiftDist(kernels, shift_plan, desc1, desc2, params.grid_size);
  RunNodeCost(pool_plan, dist_volume.get(), g, params.n_tree_level, node_cost);
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
  densecorr::RunPyramidMatchWith(densecorr::ShiftKernelsFor(densecorr::simd::SelectIsa()), desc1, desc2, params, node_cost,
                                 shifts);
}

void PyramidMatch::ComputeShiftDist(Descriptor desc1, Descriptor desc2, int grid_size,
                                    const PyramidMatchParams& params, float* dist_volume,
                                    const int* shifts) {
  densecorr::ComputeShiftDistWith(densecorr::ShiftKernelsFor(densecorr::simd::SelectIsa()), desc1, desc2, grid_size, params,
                                  dist_volume, shifts, false);
}

void PyramidMatch::BuildIntegralImage(const float* plane, float* integral, int n_cols,
                                      int n_rows) {
  densecorr::BuildIntegral(plane, integral, n_cols, n_rows, nullptr);
}

void PyramidMatch::ComputeNodeCost(const float* dist_volume, int width, int height,
                                   const PyramidMatchParams& params, int grid_size,
                                   float* node_cost) {
  const PyramidGeometry g = densecorr::ComputePyramidGeometry(
      width, height, grid_size, params.search_radius[0], params.search_radius[1],
      params.n_tree_level);
  const densecorr::NodeCostPlan plan = densecorr::PlanNodeCost(g, params.n_tree_level);
  densecorr::RunNodeCost(plan, dist_volume, g, params.n_tree_level, node_cost);
}
