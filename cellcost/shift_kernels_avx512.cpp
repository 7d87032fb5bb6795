// The cellcost kernel with AVX-512 (compiled with -mavx512f -mavx512vl,
// never with FMA), on 16-lane vectors: on processors with full-width 512-bit
// units they do twice the work of 8-lane ones per instruction, which
// outweighs the lanes wasted at the ends of short runs of rows.
#include "cellcost/shift_dist_kernel.h"
#include "simd/traits_avx512.h"

namespace densecorr {
namespace {

void ShiftDist(const ShiftDistJob& job, int ix_begin, int ix_end) {
  simd::ShiftDistColumns<simd::Avx512>(job, ix_begin, ix_end);
}

}  // namespace

extern const ShiftKernels kShiftKernelsAvx512 = {"avx512", simd::Avx512::kLanes,
                                                 simd::Avx512::kMaxTile, ShiftDist};

}  // namespace densecorr
