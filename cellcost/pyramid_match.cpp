#include "cellcost/pyramid_match.h"

#include "cellcost/node_cost.h"
#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_kernels.h"
#include "cellcost/shift_dist.h"
#include "common/scratch.h"

namespace densecorr {

namespace {

// Sample columns (or rows) of image 2's grid that a translation of the
// geometry reaches, as PlanShiftDist finds them for the full grid.
std::int64_t WindowExtent(int n_sample, int extent2, int grid, const int* range) {
  if (extent2 <= 0) return 0;
  const std::int64_t n_grid2 = (std::int64_t{extent2} - 1) / grid + 1;
  const std::int64_t t_min = range[0] / grid, t_max = range[1] / grid;
  const std::int64_t lo = t_min > 0 ? t_min : 0;
  const std::int64_t hi = n_sample + t_max < n_grid2 ? n_sample + t_max : n_grid2;
  return hi > lo ? hi - lo : 0;
}

}  // namespace

PyramidCallPlan PlanPyramidCall(int width1, int height1, int width2, int height2, int feat_dim,
                                const PyramidMatchParams& params) noexcept {
  PyramidCallPlan plan{false, PyramidGeometry{}, 0};
  try {
    plan.geometry =
        ComputePyramidGeometry(width1, height1, params.grid_size, params.search_radius[0],
                               params.search_radius[1], params.n_tree_level);
  } catch (const std::bad_alloc&) {
    return plan;
  }
  plan.fits = true;
  const PyramidGeometry& g = plan.geometry;
  const std::uint64_t n_shift = static_cast<std::uint64_t>(g.n_shift);
  const std::uint64_t n_sample = static_cast<std::uint64_t>(g.n_sample);
  std::uint64_t bytes = n_shift * n_sample * sizeof(float) + 2 * n_shift * sizeof(int);
  if (n_shift > 0 && n_sample > 0) {
    const std::uint64_t channels = feat_dim > 0 ? static_cast<std::uint64_t>(feat_dim) : 0;
    const std::uint64_t n_jx = static_cast<std::uint64_t>(
        WindowExtent(g.n_sample_x, width2, params.grid_size, g.shift_range_x));
    const std::uint64_t n_jy = static_cast<std::uint64_t>(
        WindowExtent(g.n_sample_y, height2, params.grid_size, g.shift_range_y));
    const std::uint64_t packed =
        n_sample * channels + 2 * simd::kMaxLanes + 16 + n_jx * n_jy * channels + 2 * kShiftPad;
    bytes += packed * sizeof(float) + n_shift * sizeof(ShiftTile);
  }
  if (n_shift > 0) {
    bytes +=
        (n_sample + 1) * sizeof(float) + static_cast<std::uint64_t>(g.n_cell) * sizeof(CellLookup);
  }
  plan.scratch_bytes = bytes;
  return plan;
}

void RunPyramidMatchWith(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                         const PyramidMatchParams& params, float* node_cost, int* shifts,
                         StopToken* stop) {
  const PyramidGeometry g =
      ComputePyramidGeometry(desc1.width, desc1.height, params.grid_size, params.search_radius[0],
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

  if (stop != nullptr && stop->StopRequested(true)) throw Stopped();
  for (int i = 0; i < slot; ++i) shifts[i] = list[i];
  if (shift_plan.has_work) RunShiftDist(kernels, shift_plan, desc1, desc2, params.grid_size, stop);
  ThrowIfStopped(stop);
  RunNodeCost(pool_plan, dist_volume.get(), g, params.n_tree_level, node_cost, stop);
  ThrowIfStopped(stop);
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
  const densecorr::NodeCostPlan plan = densecorr::PlanNodeCost(g, params.n_tree_level);
  densecorr::RunNodeCost(plan, dist_volume, g, params.n_tree_level, node_cost);
}
