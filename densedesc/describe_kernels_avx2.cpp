// The descriptor's column loops for AVX2 (compiled with -mavx2, never with FMA).
#include "densedesc/describe_kernel.h"
#include "simd/traits_avx2.h"

namespace densecorr {

extern const DescribeKernels kDescribeKernelsAvx2 = desc::KernelTable<simd::Avx2>("avx2");

}  // namespace densecorr
