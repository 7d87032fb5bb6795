// The cellcost kernel with AVX-512 (compiled with -mavx512f -mavx512vl,
// never with FMA). Sample rows run on 8-lane vectors: the shifted rows are
// short, and shorter vectors waste fewer lanes at their ends.
#include "cellcost/shift_dist_kernel.h"
#include "simd/traits_avx512.h"

namespace densecorr {
namespace {

void ShiftDist(const ShiftDistJob& job, int ix_begin, int ix_end) {
  simd::ShiftDistColumns<simd::Avx512Half>(job, ix_begin, ix_end);
}

}  // namespace

extern const ShiftKernels kShiftKernelsAvx512 = {"avx512", simd::Avx512Half::kLanes,
                                                 simd::Avx512Half::kMaxTile, ShiftDist};

}  // namespace densecorr
