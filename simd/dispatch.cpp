// Chooses the instruction set from the running processor's features, so that
// one build runs on any x86-64 and uses the widest vectors it offers.
#include "simd/dispatch.h"

namespace densecorr {
namespace simd {

const char* IsaName(Isa isa) {
  switch (isa) {
    case Isa::kAvx512:
      return "avx512";
    case Isa::kAvx2:
      return "avx2";
    case Isa::kPortable:
      break;
  }
  return "portable";
}

bool IsaSupported(Isa isa) {
  switch (isa) {
    case Isa::kPortable:
      return true;
#if defined(DENSECORR_X86_KERNELS)
    case Isa::kAvx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    case Isa::kAvx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

std::vector<Isa> SupportedIsas() {
  std::vector<Isa> isas;
  for (Isa isa : {Isa::kAvx512, Isa::kAvx2}) {
    if (IsaSupported(isa)) isas.push_back(isa);
  }
  isas.push_back(Isa::kPortable);
  return isas;
}

Isa SelectIsa() {
#if defined(DENSECORR_FORCE_ISA)
  constexpr Isa forced = Isa::DENSECORR_FORCE_ISA;
  return IsaSupported(forced) ? forced : Isa::kPortable;
#else
  for (Isa isa : {Isa::kAvx512, Isa::kAvx2}) {
    if (IsaSupported(isa)) return isa;
  }
  return Isa::kPortable;
#endif
}

}  // namespace simd
}  // namespace densecorr
