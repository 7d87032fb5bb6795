// Internal: the distance pass of cellcost (both sample grids packed once,
// then the kernel), shared by the driver and the public step operation.
#ifndef DENSECORR_CELLCOST_SHIFT_DIST_H_
#define DENSECORR_CELLCOST_SHIFT_DIST_H_

#ifdef _OPENMP
#include <omp.h>
#endif

#include "cellcost/pyramid_geometry.h"
#include "cellcost/shift_kernels.h"
#include "common/scratch.h"
#include "common/stop.h"

namespace densecorr {


// Everything one distance pass needs, allocated before any output is written.
struct ShiftDistPlan {
  bool has_work = false;  // samples and translations exist
  bool on_grid = false;   // every translation a multiple of the grid: the packed kernels apply
  // Both packed grids in one allocation, which the allocator can hand back
  // from call to call without fresh pages.
  ScratchBlock<float> storage;
  ScratchBlock<ShiftTile> tiles;
  ShiftDistJob job{};
  int n_jx = 0;
};

ShiftDistPlan PlanShiftDist(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                            int grid_size, const PyramidGeometry& g, const int* shifts,
                            float* dist_volume, float truncate_const, bool fill_outside);

// Packing, in two parts: ZeroShiftPadding writes the zero padding (once, on
// one thread); PackShiftGridColumns fills both grids with work-sharing loops
// that bind to the enclosing parallel region (every thread of it must call
// it) and ends with a barrier.
void ZeroShiftPadding(const ShiftDistPlan& plan);
void PackShiftGridColumns(const ShiftDistPlan& plan, Descriptor desc1, Descriptor desc2,
                          int grid_size);

// Packs both sample grids, then runs the kernel; one parallel region, with
// the sample columns of the distance loop split statically over the threads.
// Once `stop` (may be null) asks, the remaining columns are skipped.
void RunShiftDist(const ShiftKernels& kernels, const ShiftDistPlan& plan, Descriptor desc1,
                  Descriptor desc2, int grid_size, StopToken* stop = nullptr);

}  // namespace densecorr

#endif  // DENSECORR_CELLCOST_SHIFT_DIST_H_
