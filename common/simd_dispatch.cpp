// Chooses the kernel table from the running processor's features, so that one
// build runs on any x86-64 and uses the widest vectors it offers.
#include "common/distance.h"
#include "common/simd_kernels.h"

namespace densecorr {

namespace {

#if defined(DENSECORR_X86_KERNELS)
// The compiler's run-time probe also checks that the operating system saves
// the wider registers.
bool HasAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}
bool HasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

}  // namespace

float LiteralDistance(const float* a, std::ptrdiff_t plane_a, const float* b,
                      std::ptrdiff_t plane_b, int feat_dim) {
  return DescriptorDistance(a, plane_a, b, plane_b, feat_dim);
}

std::vector<const KernelTable*> SupportedKernelTables() {
  std::vector<const KernelTable*> tables;
#if defined(DENSECORR_X86_KERNELS)
  if (HasAvx512()) tables.push_back(&kAvx512Kernels);
  if (HasAvx2()) tables.push_back(&kAvx2Kernels);
#endif
  tables.push_back(&kPortableKernels);
  return tables;
}

const KernelTable& SelectKernels() {
#if defined(DENSECORR_X86_KERNELS)
  if (HasAvx512()) return kAvx512Kernels;
  if (HasAvx2()) return kAvx2Kernels;
#endif
  return kPortableKernels;
}

}  // namespace densecorr
