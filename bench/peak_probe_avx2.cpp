// The probe with 8-lane AVX2 vectors (compiled with -mavx2, no FMA).
#include <immintrin.h>

#include "peak_probe.h"
#include "peak_probe_kernel.h"

namespace bench {
namespace {
struct Avx2 {
  static constexpr int kLanes = 8;
  using F = __m256;
  static F Zero() { return _mm256_setzero_ps(); }
  static F Load(const float* p) { return _mm256_loadu_ps(p); }
  static F Add(F a, F b) { return _mm256_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static float First(F a) { return _mm256_cvtss_f32(a); }
};
}  // namespace
extern const Probe kAvx2Probe = {"avx2", 8, ProbeLoop<Avx2>};
}  // namespace bench
