// The descriptor's column loops in portable code the compiler vectorises for any target.
#include "densedesc/describe_kernel.h"
#include "simd/traits_portable.h"

namespace densecorr {

extern const DescribeKernels kDescribeKernelsPortable = desc::KernelTable<simd::Portable>("portable");

}  // namespace densecorr
