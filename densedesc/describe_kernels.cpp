#include "densedesc/describe_kernels.h"

namespace densecorr {

const DescribeKernels& DescribeKernelsFor(simd::Isa isa) {
#if defined(DENSECORR_X86_KERNELS)
  if (isa == simd::Isa::kAvx512) return kDescribeKernelsAvx512;
  if (isa == simd::Isa::kAvx2) return kDescribeKernelsAvx2;
#else
  (void)isa;
#endif
  return kDescribeKernelsPortable;
}

}  // namespace densecorr
