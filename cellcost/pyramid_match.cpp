#include "cellcost/pyramid_match.h"

#include "cellcost/node_cost.h"
#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_kernels.h"
#include "cellcost/shift_dist.h"
#include "common/scratch.h"

namespace densecorr {

void RunPyramidMatchWith(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                         const PyramidMatchParams& params, float* node_cost, int* shifts) {
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

  for (int i = 0; i < slot; ++i) shifts[i] = list[i];
  if (shift_plan.has_work) RunShiftDist(kernels, shift_plan, desc1, desc2, params.grid_size);
  RunNodeCost(pool_plan, dist_volume.get(), g, params.n_tree_level, node_cost);
}

}  // namespace densecorr

using densecorr::PyramidGeometry;

void PyramidMatch::RunPyramidMatch(Descriptor desc1, Descriptor desc2,
                                   const PyramidMatchParams& params, float* node_cost,
                                   int* shifts) {
  densecorr::RunPyramidMatchWith(densecorr::ShiftKernelsFor(densecorr::simd::SelectIsa()), desc1,
                                 desc2, params, node_cost, shifts);
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
