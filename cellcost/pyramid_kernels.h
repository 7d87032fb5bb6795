// Internal: the cellcost operations on a given kernel table. The public
// operations use the widest table the processor supports; the tests and the
// benchmarks reach every table through these.
#ifndef DENSECORR_CELLCOST_PYRAMID_KERNELS_H_
#define DENSECORR_CELLCOST_PYRAMID_KERNELS_H_

#include "cellcost/pyramid_match.h"
#include "cellcost/shift_kernels.h"

namespace densecorr {

// RunPyramidMatch with the given kernels; `stop` may be null.
void RunPyramidMatchWith(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                         const PyramidMatchParams& params, float* node_cost, int* shifts,
                         StopToken* stop = nullptr);

// ComputeShiftDist with the given kernels. With fill_outside the entries
// whose translated sample leaves image 2 are set to truncate_const as well,
// so dist_volume needs no pre-fill; otherwise they are left as they are.
void ComputeShiftDistWith(const ShiftKernels& kernels, Descriptor desc1, Descriptor desc2,
                          int grid_size, const PyramidMatchParams& params, float* dist_volume,
                          const int* shifts, bool fill_outside);

}  // namespace densecorr

#endif  // DENSECORR_CELLCOST_PYRAMID_KERNELS_H_
