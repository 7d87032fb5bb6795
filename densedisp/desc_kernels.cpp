#include "densedisp/desc_kernels.h"

#include <cstdint>

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

std::ptrdiff_t PanelFloats(int width1, int height1, int width2, int height2, int feat_dim) {
  if (width1 <= 0 || height1 <= 0 || width2 <= 0 || height2 <= 0 || feat_dim <= 0) return 0;
  // A piece's copies never exceed both images' bands in full.
  const std::int64_t rows1 = height1 < kBandRows ? height1 : kBandRows;
  const std::int64_t most =
      (std::int64_t{width2} * height2 + std::int64_t{width1} * rows1) * feat_dim;
  return static_cast<std::ptrdiff_t>(most < kMaxPanelFloats ? most : kMaxPanelFloats);
}

}  // namespace densecorr
