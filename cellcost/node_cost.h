// Internal: the pooling of cellcost (summed-area tables and cell means),
// shared by the driver and the public step operations.
#ifndef DENSECORR_CELLCOST_NODE_COST_H_
#define DENSECORR_CELLCOST_NODE_COST_H_

#include <cstddef>

#include "cellcost/pyramid_geometry.h"
#include "common/scratch.h"

namespace densecorr {

// The four summed-area lookups of one non-empty cell; a lookup before the
// first column or row points at a trailing zero.
struct CellLookup {
  std::ptrdiff_t cell;  // cell number: row of node_cost
  std::ptrdiff_t last, before, last_x_before_y, before_x_last_y;
  float area;
};

struct NodeCostPlan {
  ScratchBlock<float> integral;  // n_sample values and the zero (step operation only)
  ScratchBlock<CellLookup> cells;
  int n_cells = 0;
};

// The cell lookups; with_integral also allocates the table RunNodeCost uses.
NodeCostPlan PlanNodeCost(const PyramidGeometry& g, int n_level, bool with_integral);

// Summed-area table of one plane; next_plane (may be null) is fetched ahead.
void BuildIntegral(const float* plane, float* integral, int n_cols, int n_rows,
                   const float* next_plane);

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

// ---- pooling fed one sample column at a time (the fused driver) ----
//
// A block of translations keeps, per translation, the summed-area table's
// newest column (`left`, n_sample_y floats) and its values at the rows and
// columns where some cell has a corner (`corners`). Each new column of
// clipped distances is summed down its rows and added to `left`: the same
// additions in the same order as BuildIntegral, so without NaN the same
// bits. A translation whose table total is NaN is pooled again from its
// whole plane by PoolPlane, which decides its NaNs.

// Slots of the corner table: a lookup of cell c reads slot
// last/before/..., n_x*n_y being the zero before the first row or column.
struct StreamCell {
  std::ptrdiff_t cell;
  int last, before, last_x_before_y, before_x_last_y;
  float area;
};

struct StreamPlan {
  ScratchBlock<int> x_slot;  // per sample column: its corner column, or -1
  ScratchBlock<int> y_rows;  // per corner row: the sample row
  int n_x = 0, n_y = 0;
  ScratchBlock<StreamCell> cells;
  int n_cells = 0;
  int corner_stride() const { return n_x * n_y + 1; }
};

StreamPlan PlanStreamPooling(const NodeCostPlan& cells, const PyramidGeometry& g);

// Folds sample column ix of `count` translations (column of translation t
// at column[t*n_sample_y]) into their tables.
void StreamColumn(const StreamPlan& plan, const PyramidGeometry& g, int ix, int count,
                  const float* column, float* left, float* corners);

// After the last column: the cell means of translations first_k ..
// first_k+count-1 into node_cost; nan_total[t] tells whether translation t
// must be pooled again from its plane (its entries are then left alone).
// left holds the tables' last columns, sum_lanes translations interleaved
// (see SumIndex; 1 as StreamColumn leaves them).
void FinishStream(const StreamPlan& plan, const PyramidGeometry& g, int first_k, int count,
                  int sum_lanes, const float* left, float* corners, float* node_cost,
                  bool* nan_total);

}  // namespace densecorr

#endif  // DENSECORR_CELLCOST_NODE_COST_H_
