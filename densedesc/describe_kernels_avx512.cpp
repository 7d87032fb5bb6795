// The descriptor's column loops for AVX-512 (compiled with -mavx512f -mavx512vl, never with FMA).
#include "densedesc/describe_kernel.h"
#include "simd/traits_avx512.h"

namespace densecorr {

extern const DescribeKernels kDescribeKernelsAvx512 = desc::KernelTable<simd::Avx512>("avx512");

}  // namespace densecorr
