// The cellcost kernel with AVX2 (compiled with -mavx2, never with FMA).
#include "cellcost/shift_dist_kernel.h"
#include "simd/traits_avx2.h"

namespace densecorr {
namespace {

void ShiftDist(const ShiftDistJob& job, int ix_begin, int ix_end) {
  simd::ShiftDistColumns<simd::Avx2>(job, ix_begin, ix_end);
}

}  // namespace

extern const ShiftKernels kShiftKernelsAvx2 = {"avx2", simd::Avx2::kLanes, simd::Avx2::kLanes,
                                               simd::Avx2::kMaxTile,
                                               ShiftDist, nullptr, 1};

}  // namespace densecorr
