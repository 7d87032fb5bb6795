// Vector traits for processors with AVX2: 8 float lanes. Include only from a
// file compiled with -mavx2 (and never with FMA: every multiply and add
// rounds on its own).
#ifndef DENSECORR_SIMD_TRAITS_AVX2_H_
#define DENSECORR_SIMD_TRAITS_AVX2_H_

#include <immintrin.h>

namespace densecorr {
namespace simd {
// Internal linkage: every kernel file keeps its own copy, compiled for its
// own instruction set, so no wider code reaches a baseline caller through
// the linker.
namespace {

struct Avx2 {
  static constexpr int kLanes = 8;
  static constexpr int kMaxTile = 8;
  using F = __m256;
  using M = __m256;  // all ones in the selected lanes
  using I = __m256i;
  static F Zero() { return _mm256_setzero_ps(); }
  static F Broadcast(float x) { return _mm256_set1_ps(x); }
  static F Load(const float* p) { return _mm256_loadu_ps(p); }
  static F LoadMasked(const float* p, M m) { return _mm256_maskload_ps(p, _mm256_castps_si256(m)); }
  static void Store(float* p, F v) { _mm256_storeu_ps(p, v); }
  static void StoreMasked(float* p, F v, M m) { _mm256_maskstore_ps(p, _mm256_castps_si256(m), v); }
  static F Add(F a, F b) { return _mm256_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F Sqrt(F a) { return _mm256_sqrt_ps(a); }
  static M Greater(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
  // a < b ? a : b: b where either is NaN.
  static F Min(F a, F b) { return _mm256_min_ps(a, b); }
  static M Less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
  static F Select(M m, F if_true, F if_false) { return _mm256_blendv_ps(if_false, if_true, m); }
  static M LaneRange(int lo, int hi) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i from = _mm256_cmpgt_epi32(lane, _mm256_set1_epi32(lo - 1));
    const __m256i below = _mm256_cmpgt_epi32(_mm256_set1_epi32(hi), lane);
    return _mm256_castsi256_ps(_mm256_and_si256(from, below));
  }
  static bool AnyNaN(F a) { return _mm256_movemask_ps(_mm256_cmp_ps(a, a, _CMP_UNORD_Q)) != 0; }
  static M IsNaN(F a) { return _mm256_cmp_ps(a, a, _CMP_UNORD_Q); }
  static M Or(M a, M b) { return _mm256_or_ps(a, b); }
  static bool Any(M m) { return _mm256_movemask_ps(m) != 0; }
  static void ToArray(F v, float* out) { _mm256_storeu_ps(out, v); }
  static I BroadcastInt(int x) { return _mm256_set1_epi32(x); }
  static I SelectInt(M m, I if_true, I if_false) {
    return _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(if_false), _mm256_castsi256_ps(if_true), m));
  }
  static void IntToArray(I v, int* out) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v); }
};

}  // namespace
}  // namespace simd
}  // namespace densecorr

#endif  // DENSECORR_SIMD_TRAITS_AVX2_H_
