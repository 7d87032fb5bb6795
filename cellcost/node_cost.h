// Internal: the pooling of cellcost (summed-area tables and cell means),
// shared by the driver and the public step operations.
#ifndef DENSECORR_CELLCOST_NODE_COST_H_
#define DENSECORR_CELLCOST_NODE_COST_H_

#include <cstddef>
#include <memory>

#include "cellcost/pyramid_geometry.h"

namespace densecorr {

// The four summed-area lookups of one non-empty cell; a lookup before the
// first column or row points at a trailing zero.
struct CellLookup {
  std::ptrdiff_t cell;  // cell number: row of node_cost
  std::ptrdiff_t last, before, last_x_before_y, before_x_last_y;
  float area;
};

struct NodeCostPlan {
  std::unique_ptr<float[]> integral;  // n_sample values and the zero (step operation only)
  std::unique_ptr<CellLookup[]> cells;
  int n_cells = 0;
};

// The cell lookups; with_integral also allocates the table RunNodeCost uses.
NodeCostPlan PlanNodeCost(const PyramidGeometry& g, int n_level, bool with_integral);

// Summed-area table of one plane; next_plane (may be null) is fetched ahead.
void BuildIntegral(const float* plane, float* integral, int n_cols, int n_rows,
                   const float* next_plane);

// Pools every plane of dist_volume into node_cost.
// Cells of width or height 0 hold the mean of no samples: NaN in every row.
void FillEmptyCells(const PyramidGeometry& g, int n_level, float* node_cost);

// One translation's plane: its summed-area table in `integral` (n_sample + 1
// floats, the last a zero for lookups before the first row or column), then
// the mean of every non-empty cell into entry k of the cell's row.
void PoolPlane(const NodeCostPlan& plan, const float* plane, float* integral,
               const PyramidGeometry& g, std::ptrdiff_t k, float* node_cost,
               const float* next_plane);

// Pools every plane of dist_volume into node_cost (plan.integral holds the
// table).
void RunNodeCost(const NodeCostPlan& plan, const float* dist_volume, const PyramidGeometry& g,
                 int n_level, float* node_cost);

}  // namespace densecorr

#endif  // DENSECORR_CELLCOST_NODE_COST_H_
