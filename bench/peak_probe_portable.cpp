// The probe in plain C++ (8-lane arrays the compiler vectorises), and the
// choice of the widest probe.
#include "peak_probe.h"
#include "peak_probe_kernel.h"

namespace bench {
namespace {
struct Portable {
  static constexpr int kLanes = 8;
  struct F {
    float v[kLanes];
  };
  static F Zero() {
    F r;
    for (float& x : r.v) x = 0.0f;
    return r;
  }
  static F Load(const float* p) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = p[l];
    return r;
  }
  static F Add(F a, F b) {
    for (int l = 0; l < kLanes; ++l) a.v[l] = a.v[l] + b.v[l];
    return a;
  }
  static F Sub(F a, F b) {
    for (int l = 0; l < kLanes; ++l) a.v[l] = a.v[l] - b.v[l];
    return a;
  }
  static F Mul(F a, F b) {
    for (int l = 0; l < kLanes; ++l) a.v[l] = a.v[l] * b.v[l];
    return a;
  }
  static float First(F a) { return a.v[0]; }
};
}  // namespace

const Probe kPortableProbe = {"portable", 8, ProbeLoop<Portable>};
#if defined(DENSECORR_BENCH_X86)
extern const Probe kAvx512Probe;
extern const Probe kAvx2Probe;
#endif

Probe WidestProbe() {
#if defined(DENSECORR_BENCH_X86)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return kAvx512Probe;
  if (__builtin_cpu_supports("avx2")) return kAvx2Probe;
#endif
  return kPortableProbe;
}

}  // namespace bench
