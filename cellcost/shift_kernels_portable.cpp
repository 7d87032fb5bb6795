// The cellcost kernel in portable vectors, for any processor.
#include "cellcost/shift_dist_kernel.h"
#include "simd/traits_portable.h"

namespace densecorr {
namespace {

void ShiftDist(const ShiftDistJob& job, int ix_begin, int ix_end) {
  simd::ShiftDistColumns<simd::Portable>(job, ix_begin, ix_end);
}

}  // namespace

extern const ShiftKernels kShiftKernelsPortable = {"portable", simd::Portable::kLanes,
                                                   simd::Portable::kLanes,
                                                   simd::Portable::kMaxTile, ShiftDist, nullptr, 1};

}  // namespace densecorr
