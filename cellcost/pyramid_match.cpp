#include "cellcost/pyramid_match.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "cellcost/node_cost.h"
#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_kernels.h"
#include "cellcost/shift_dist.h"
#include "common/scratch.h"
#include "common/threads.h"

namespace densecorr {

namespace {


// Sample columns (or rows) of image 2's grid that a translation of the
// geometry reaches, as PlanShiftDist finds them for the full grid.
std::int64_t WindowExtent(int n_sample, int extent2, int grid, const int* range) {
  if (extent2 <= 0 || grid < 1) return 0;
  const std::int64_t n_grid2 = (std::int64_t{extent2} - 1) / grid + 1;
  const std::int64_t t_min = range[0] / grid, t_max = range[1] / grid;
  const std::int64_t lo = t_min > 0 ? t_min : 0;
  const std::int64_t hi = n_sample + t_max < n_grid2 ? n_sample + t_max : n_grid2;
  return hi > lo ? hi - lo : 0;
}

// Per-thread state of a block: about half a second-level cache.
constexpr std::int64_t kBlockBudgetFloats = std::int64_t{128} << 10;

// Floats one translation of a block keeps: a column of distances, the
// table's newest column and the corner table.
std::int64_t FloatsPerTranslation(const PyramidGeometry& g, std::int64_t corner_stride) {
  return 2 * std::int64_t{g.n_sample_y} + corner_stride;
}

// Translations of one block: whole tiles (at most kShiftMaxTile each), as
// many as the budget allows, and no more than an eighth of a thread's share,
// so that the dynamically scheduled blocks balance.
std::int64_t BlockTranslations(const PyramidGeometry& g, std::int64_t corner_stride,
                               int n_threads) {
  const std::int64_t by_cache = kBlockBudgetFloats / FloatsPerTranslation(g, corner_stride);
  const std::int64_t by_balance = g.n_shift / (8 * std::int64_t{n_threads > 0 ? n_threads : 1});
  std::int64_t b = by_cache < by_balance ? by_cache : by_balance;
  if (b < kShiftMaxTile) b = kShiftMaxTile;
  return b < g.n_shift ? b : g.n_shift;
}

// Floats of one thread's scratch: the block's state, then one whole plane
// and its summed-area table (with its zero) for translations pooled again,
// rounded up to whole 64-byte lines so that threads never share one.
// The table's newest columns: translations rounded up to the widest
// interleave of column_sums.
std::int64_t SumFloats(const PyramidGeometry& g, std::int64_t block_translations) {
  return (block_translations + simd::kMaxLanes - 1) / simd::kMaxLanes * simd::kMaxLanes *
         g.n_sample_y;
}

std::int64_t ThreadFloats(const PyramidGeometry& g, std::int64_t corner_stride,
                          std::int64_t block_translations) {
  const std::int64_t floats = block_translations * FloatsPerTranslation(g, corner_stride) -
                              block_translations * g.n_sample_y +
                              SumFloats(g, block_translations) + 2 * std::int64_t{g.n_sample} + 1;
  return (floats + 15) / 16 * 16;
}

// Distinct last columns (or rows) j*w - 1, j = 1 .. 2^l, of the cells of
// every non-empty level, w = extent / 2^l: the corner columns (rows) that
// PlanStreamPooling finds from the cell lookups.
std::int64_t CornerCount(int extent, int other_extent, int n_level) {
  std::vector<std::int64_t> positions;
  for (int l = 0; l < n_level && l < 31; ++l) {
    const int n = 1 << l;
    if (extent / n == 0 || other_extent / n == 0) break;
    for (int j = 1; j <= n; ++j) positions.push_back(std::int64_t{j} * (extent / n) - 1);
  }
  std::sort(positions.begin(), positions.end());
  return std::unique(positions.begin(), positions.end()) - positions.begin();
}

std::int64_t CornerStride(const PyramidGeometry& g, int n_level) {
  return CornerCount(g.n_sample_x, g.n_sample_y, n_level) *
             CornerCount(g.n_sample_y, g.n_sample_x, n_level) +
         1;
}

// The corner rows of sample column ix's summed-area columns (left, one
// column of n_sample_y per translation), where ix is a corner column.
void CopyCorners(const StreamPlan& stream, const PyramidGeometry& g, int ix, int count,
                 int sum_lanes, const float* left, float* corners) {
  const int x = stream.x_slot[ix];
  if (x < 0) return;
  const std::ptrdiff_t stride = stream.corner_stride();
  for (int t = 0; t < count; ++t) {
    float* table = corners + t * stride + std::ptrdiff_t{x} * stream.n_y;
    for (int y = 0; y < stream.n_y; ++y) {
      table[y] = left[SumIndex(sum_lanes, g.n_sample_y, t, stream.y_rows[y])];
    }
  }
}

// Consecutive tiles of the distance plan, translations first_k .. +count-1.
struct ShiftBlock {
  int first_tile, n_tiles;
  int first_k, count;
};

}  // namespace

PyramidCallPlan PlanPyramidCall(int width1, int height1, int width2, int height2, int feat_dim,
                                const PyramidMatchParams& params) noexcept {
  PyramidCallPlan plan{false, PyramidGeometry{}, 0};
  std::int64_t corner_stride = 1;
  try {
    plan.geometry =
        ComputePyramidGeometry(width1, height1, params.grid_size, params.search_radius[0],
                               params.search_radius[1], params.n_tree_level);
    // (A few thousand positions at most: 2^l stays below both sides.)
    corner_stride = CornerStride(plan.geometry, params.n_tree_level);
  } catch (const std::bad_alloc&) {
    plan.geometry = PyramidGeometry{};
    return plan;
  }
  plan.fits = true;
  const PyramidGeometry& g = plan.geometry;
  const std::uint64_t n_shift = static_cast<std::uint64_t>(g.n_shift);
  const std::uint64_t n_sample = static_cast<std::uint64_t>(g.n_sample);
  // The translation list; everything else exists only when there is work.
  std::uint64_t bytes = 2 * n_shift * sizeof(int);
  if (n_shift > 0 && n_sample > 0) {
    const std::uint64_t channels = feat_dim > 0 ? static_cast<std::uint64_t>(feat_dim) : 0;
    const std::uint64_t n_jx = static_cast<std::uint64_t>(
        WindowExtent(g.n_sample_x, width2, params.grid_size, g.shift_range_x));
    const std::uint64_t n_jy = static_cast<std::uint64_t>(
        WindowExtent(g.n_sample_y, height2, params.grid_size, g.shift_range_y));
    const std::uint64_t packed =
        n_sample * channels + 2 * simd::kMaxLanes + 16 + n_jx * n_jy * channels + 2 * kShiftPad;
    const int n_threads = MaxThreads();
    const std::int64_t max_count = BlockTranslations(g, corner_stride, n_threads);
    const std::uint64_t per_thread =
        static_cast<std::uint64_t>(ThreadFloats(g, corner_stride, max_count)) * sizeof(float) +
        static_cast<std::uint64_t>(max_count) * sizeof(bool);
    const std::uint64_t n_cell = static_cast<std::uint64_t>(g.n_cell);
    bytes += packed * sizeof(float) + n_shift * (sizeof(ShiftTile) + sizeof(ShiftBlock)) +
             n_cell * (sizeof(CellLookup) + sizeof(StreamCell)) +
             static_cast<std::uint64_t>(g.n_sample_x + 2 * g.n_sample_y) * sizeof(int) +
             static_cast<std::uint64_t>(n_threads) * per_thread;
  }
  plan.scratch_bytes = bytes;
  return plan;
}

// Blocks of translations instead of the whole distance volume: each thread
// takes a block of whole tiles and walks the sample columns, computing one
// column of clipped distances for the block with the distance kernel and
// folding it into the block's summed-area tables at once; the cell means
// follow from the tables' corners. A translation whose table total is NaN
// is pooled again from its whole plane, exactly as the step operations do.
// A block writes only its own translations' entries.
void RunPyramidMatchWith(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                         const PyramidMatchParams& params, float* node_cost, int* shifts,
                         StopToken* stop) {
  const PyramidGeometry g =
      ComputePyramidGeometry(desc1.width, desc1.height, params.grid_size, params.search_radius[0],
                             params.search_radius[1], params.n_tree_level);
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
  const ShiftDistPlan shift_plan = PlanShiftDist(kernels, desc1, desc2, params.grid_size, g,
                                                 list.get(), nullptr, params.truncate_const, true);
  const int n_threads = MaxThreads();
  ScratchBlock<ShiftBlock> blocks;
  ScratchBlock<float> scratch;
  ScratchBlock<bool> nan_flags;
  NodeCostPlan pool_plan;
  StreamPlan stream;
  int n_blocks = 0;
  std::int64_t max_count = 0, thread_floats = 0;
  if (shift_plan.has_work) {
    // Every translation of the call lies on the grid: the packed kernels apply.
    pool_plan = PlanNodeCost(g, params.n_tree_level, false);
    stream = PlanStreamPooling(pool_plan, g);
    // (stream.corner_stride() equals CornerStride(g, n_tree_level): the same
    // corners, found from the lookups; the call plan counts with the latter.)
    max_count = BlockTranslations(g, stream.corner_stride(), n_threads);
    blocks = AllocScratch<ShiftBlock>(shift_plan.job.n_tiles);
    for (int i = 0; i < shift_plan.job.n_tiles; ++i) {
      const ShiftTile& tile = shift_plan.job.tiles[i];
      if (n_blocks > 0 && blocks[n_blocks - 1].count + tile.count <= max_count) {
        ++blocks[n_blocks - 1].n_tiles;
        blocks[n_blocks - 1].count += tile.count;
      } else {
        blocks[n_blocks++] = ShiftBlock{i, 1, tile.first_k, tile.count};
      }
    }
    thread_floats = ThreadFloats(g, stream.corner_stride(), max_count);
    scratch = AllocScratch<float>(n_threads * thread_floats);
    nan_flags = AllocScratch<bool>(n_threads * max_count);
  }

  if (stop != nullptr && stop->StopRequested(true)) throw Stopped();
  if (g.n_shift > 0) FillEmptyCells(g, params.n_tree_level, node_cost);
  // Without a non-empty cell no distance is ever read.
  if (shift_plan.has_work && pool_plan.n_cells > 0) {
    ZeroShiftPadding(shift_plan);
#pragma omp parallel num_threads(n_threads)
    {
      PackShiftGridColumns(shift_plan, desc1, desc2, params.grid_size);
      // (barrier: both grids are complete)
      const int thread = ThreadNumber();
      float* column = scratch.get() + thread * thread_floats;
      float* left = column + max_count * g.n_sample_y;
      float* corners = left + SumFloats(g, max_count);
      float* plane = corners + max_count * stream.corner_stride();
      float* integral = plane + g.n_sample;
      bool* nan_total = nan_flags.get() + thread * max_count;
      ShiftDistJob job = shift_plan.job;
#pragma omp for schedule(dynamic, 1)
      for (int b = 0; b < n_blocks; ++b) {
        if (StopNow(stop)) continue;
        const ShiftBlock& block = blocks[b];
        job.tiles = shift_plan.job.tiles + block.first_tile;
        job.n_tiles = block.n_tiles;
        job.dist_volume = column;
        job.n_sample = g.n_sample_y;
        job.x_stride = 0;
        job.k_origin = block.first_k;
        for (int ix = 0; ix < g.n_sample_x; ++ix) {
          kernels.shift_dist(job, ix, ix + 1);
          if (kernels.column_sums == nullptr) {
            StreamColumn(stream, g, ix, block.count, column, left, corners);  // sum_lanes 1
          } else {
            // The same running sums on the table's vectors, then the corners.
            kernels.column_sums(column, g.n_sample_y, block.count, ix == 0, left);
            CopyCorners(stream, g, ix, block.count, kernels.sum_lanes, left, corners);
          }
        }
        FinishStream(stream, g, block.first_k, block.count,
                     kernels.column_sums == nullptr ? 1 : kernels.sum_lanes, left, corners,
                     node_cost, nan_total);
        for (int t = 0; t < block.count; ++t) {
          if (!nan_total[t]) continue;
          // The whole plane of this one translation, pooled as the step
          // operation pools it.
          const int k = block.first_k + t;
          const ShiftTile single{k, 1, list[2 * k] / params.grid_size,
                                 list[2 * k + 1] / params.grid_size};
          ShiftDistJob one = shift_plan.job;
          one.tiles = &single;
          one.n_tiles = 1;
          one.dist_volume = plane;
          one.k_origin = k;
          kernels.shift_dist(one, 0, g.n_sample_x);
          PoolPlane(pool_plan, plane, integral, g, k, node_cost, nullptr);
        }
      }
    }
  }
  ThrowIfStopped(stop);
  for (int i = 0; i < slot; ++i) shifts[i] = list[i];
}

}  // namespace densecorr

using densecorr::PyramidGeometry;

void PyramidMatch::RunPyramidMatch(Descriptor desc1, Descriptor desc2,
                                   const PyramidMatchParams& params, float* node_cost,
                                   int* shifts) {
  densecorr::RunPyramidMatchWith(densecorr::ShiftKernelsFor(densecorr::simd::SelectIsa()), desc1,
                                 desc2, params, node_cost, shifts, stop_);
}

void PyramidMatch::ComputeShiftDist(Descriptor desc1, Descriptor desc2, int grid_size,
                                    const PyramidMatchParams& params, float* dist_volume,
                                    const int* shifts) {
  densecorr::ComputeShiftDistWith(densecorr::ShiftKernelsFor(densecorr::simd::SelectIsa()), desc1,
                                  desc2, grid_size, params, dist_volume, shifts, false);
}

void PyramidMatch::BuildIntegralImage(const float* plane, float* integral, int n_cols, int n_rows) {
  densecorr::BuildIntegral(plane, integral, n_cols, n_rows, nullptr);
}

void PyramidMatch::ComputeNodeCost(const float* dist_volume, int width, int height,
                                   const PyramidMatchParams& params, int grid_size,
                                   float* node_cost) {
  const PyramidGeometry g =
      densecorr::ComputePyramidGeometry(width, height, grid_size, params.search_radius[0],
                                        params.search_radius[1], params.n_tree_level);
  const densecorr::NodeCostPlan plan = densecorr::PlanNodeCost(g, params.n_tree_level, true);
  densecorr::RunNodeCost(plan, dist_volume, g, params.n_tree_level, node_cost);
}
