// The probe with 16-lane AVX-512 vectors (compiled with -mavx512f, no FMA).
#include <immintrin.h>

#include "peak_probe.h"
#include "peak_probe_kernel.h"

namespace bench {
namespace {
struct Avx512 {
  static constexpr int kLanes = 16;
  using F = __m512;
  static F Zero() { return _mm512_setzero_ps(); }
  static F Load(const float* p) { return _mm512_loadu_ps(p); }
  static F Add(F a, F b) { return _mm512_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static float First(F a) { return _mm512_cvtss_f32(a); }
};
}  // namespace
extern const Probe kAvx512Probe = {"avx512", 16, ProbeLoop<Avx512>};
}  // namespace bench
