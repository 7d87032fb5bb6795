#include "densedisp/desc_kernels.h"

namespace densecorr {

const PixelKernels& PixelKernelsFor(simd::Isa isa) {
#if defined(DENSECORR_X86_KERNELS)
  if (isa == simd::Isa::kAvx512) return kPixelKernelsAvx512;
  if (isa == simd::Isa::kAvx2) return kPixelKernelsAvx2;
#else
  (void)isa;
#endif
  return kPixelKernelsPortable;
}

}  // namespace densecorr
