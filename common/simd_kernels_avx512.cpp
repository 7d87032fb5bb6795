// Kernels for processors with AVX-512 (F and VL): 16 float lanes over pixels
// or samples, 8 over the offsets of one pixel. Compiled with -mavx512f
// -mavx512vl and never with FMA: every multiply and add rounds on its own.
#include <immintrin.h>

#include "cellcost/shift_dist_kernel.h"
#include "common/simd_kernels.h"
#include "densedisp/desc_dist_kernel.h"

namespace densecorr {
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

// 8 lanes with AVX-512VL masks: the offsets of one pixel, and the sample
// rows of cellcost, where shorter vectors waste fewer lanes at the ends of
// the shifted rows (on processors that split 512-bit operations in two, they
// cost nothing in throughput).
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
using Avx512Offsets = Avx512Half;
using Avx512Rows = Avx512Half;

void ShiftDist(const ShiftDistJob& job, int ix_begin, int ix_end) {
  simd::ShiftDistColumns<Avx512Rows>(job, ix_begin, ix_end);
}

void DescDist(const DescDistJob& job, int x_begin, int x_end) {
  simd::DescDistColumns<Avx512, Avx512Offsets>(job, x_begin, x_end);
}

void BestDisparity(const BestDisparityJob& job, std::ptrdiff_t p_begin, std::ptrdiff_t p_end) {
  simd::BestDisparityPixels<Avx512>(job, p_begin, p_end);
}

}  // namespace

extern const KernelTable kAvx512Kernels = {"avx512",       Avx512Rows::kLanes, Avx512Rows::kMaxTile,
                                           Avx512::kLanes, Avx512::kMaxTile,   ShiftDist,
                                           DescDist,       BestDisparity};

}  // namespace densecorr
