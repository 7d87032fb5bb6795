#include "cellcost/shift_kernels.h"

namespace densecorr {

const ShiftKernels& ShiftKernelsFor(simd::Isa isa) {
#if defined(DENSECORR_X86_KERNELS)
  if (isa == simd::Isa::kAvx512) return kShiftKernelsAvx512;
  if (isa == simd::Isa::kAvx2) return kShiftKernelsAvx2;
#else
  (void)isa;
#endif
  return kShiftKernelsPortable;
}

}  // namespace densecorr
