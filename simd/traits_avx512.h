// Vector traits for processors with AVX-512 (F and VL): 16 float lanes, and
// 8 lanes with AVX-512 masks. Include only from a file compiled with
// -mavx512f -mavx512vl (never with FMA).
#ifndef DENSECORR_SIMD_TRAITS_AVX512_H_
#define DENSECORR_SIMD_TRAITS_AVX512_H_

#include <immintrin.h>

namespace densecorr {
namespace simd {
// Internal linkage: every kernel file keeps its own copy, compiled for its
// own instruction set, so no wider code reaches a baseline caller through
// the linker.
namespace {

struct Avx512 {
  static constexpr int kLanes = 16;
  static constexpr int kMaxTile = 12;
  using F = __m512;
  using M = __mmask16;
  using I = __m512i;
  static F Zero() { return _mm512_setzero_ps(); }
  static F Broadcast(float x) { return _mm512_set1_ps(x); }
  static F Load(const float* p) { return _mm512_loadu_ps(p); }
  static F LoadMasked(const float* p, M m) { return _mm512_maskz_loadu_ps(m, p); }
  static void Store(float* p, F v) { _mm512_storeu_ps(p, v); }
  static void StoreMasked(float* p, F v, M m) { _mm512_mask_storeu_ps(p, m, v); }
  static F Add(F a, F b) { return _mm512_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm512_mul_ps(a, b); }
  // (The zero-masked form with every lane selected avoids a spurious
  // uninitialised-value warning of the plain form in some compilers.)
  static F Sqrt(F a) { return _mm512_maskz_sqrt_ps(static_cast<M>(0xFFFF), a); }
  static M Greater(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
  // a < b ? a : b: b where either is NaN.
  static F Min(F a, F b) { return _mm512_maskz_min_ps(static_cast<M>(0xFFFF), a, b); }
  static M Less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
  static F Select(M m, F if_true, F if_false) { return _mm512_mask_blend_ps(m, if_false, if_true); }
  static M LaneRange(int lo, int hi) {
    return lo < hi ? static_cast<M>(((1u << hi) - 1u) & ~((1u << lo) - 1u)) : M{0};
  }
  static bool AnyNaN(F a) { return _mm512_cmp_ps_mask(a, a, _CMP_UNORD_Q) != 0; }
  static M IsNaN(F a) { return _mm512_cmp_ps_mask(a, a, _CMP_UNORD_Q); }
  static M Or(M a, M b) { return static_cast<M>(a | b); }
  static bool Any(M m) { return m != 0; }
  static void ToArray(F v, float* out) { _mm512_storeu_ps(out, v); }
  static I BroadcastInt(int x) { return _mm512_set1_epi32(x); }
  static I SelectInt(M m, I if_true, I if_false) {
    return _mm512_mask_blend_epi32(m, if_false, if_true);
  }
  static void IntToArray(I v, int* out) { _mm512_storeu_si512(out, v); }
};

// 8 lanes with AVX-512VL masks, for loops whose runs are short: shorter
// vectors waste fewer lanes at the ends of a run (on processors that split
// 512-bit operations in two, they cost nothing in throughput).
struct Avx512Half {
  static constexpr int kLanes = 8;
  static constexpr int kMaxTile = 8;
  using F = __m256;
  using M = __mmask8;
  static F Zero() { return _mm256_setzero_ps(); }
  static F Broadcast(float x) { return _mm256_set1_ps(x); }
  static F Load(const float* p) { return _mm256_loadu_ps(p); }
  static F LoadMasked(const float* p, M m) { return _mm256_maskz_loadu_ps(m, p); }
  static void Store(float* p, F v) { _mm256_storeu_ps(p, v); }
  static void StoreMasked(float* p, F v, M m) { _mm256_mask_storeu_ps(p, m, v); }
  static F Add(F a, F b) { return _mm256_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F Sqrt(F a) { return _mm256_sqrt_ps(a); }
  static M Greater(F a, F b) { return _mm256_cmp_ps_mask(a, b, _CMP_GT_OQ); }
  // a < b ? a : b: b where either is NaN.
  static F Min(F a, F b) { return _mm256_min_ps(a, b); }
  static F Select(M m, F if_true, F if_false) { return _mm256_mask_blend_ps(m, if_false, if_true); }
  static M LaneRange(int lo, int hi) {
    return lo < hi ? static_cast<M>(((1u << hi) - 1u) & ~((1u << lo) - 1u)) : M{0};
  }
  static bool AnyNaN(F a) { return _mm256_cmp_ps_mask(a, a, _CMP_UNORD_Q) != 0; }
  static M IsNaN(F a) { return _mm256_cmp_ps_mask(a, a, _CMP_UNORD_Q); }
  static M Or(M a, M b) { return static_cast<M>(a | b); }
  static bool Any(M m) { return m != 0; }
  static void ToArray(F v, float* out) { _mm256_storeu_ps(out, v); }
};

}  // namespace
}  // namespace simd
}  // namespace densecorr

#endif  // DENSECORR_SIMD_TRAITS_AVX512_H_
