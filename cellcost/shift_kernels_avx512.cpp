// The cellcost kernel with AVX-512 (compiled with -mavx512f -mavx512vl,
// never with FMA), on 16-lane vectors: on processors with full-width 512-bit
// units they do twice the work of 8-lane ones per instruction, which
// outweighs the lanes wasted at the ends of short runs of rows. A cover's
// partial end that 8 lanes hold runs on an 8-lane vector: the same one
// instruction where 512-bit units are full width, half the work where they
// are split.
#include <cstddef>

#include "cellcost/shift_dist_kernel.h"
#include "simd/traits_avx512.h"

namespace densecorr {
namespace {

void ShiftDist(const ShiftDistJob& job, int ix_begin, int ix_end) {
  simd::ShiftDistColumns<simd::Avx512, simd::Avx512Half>(job, ix_begin, ix_end);
}

// (The zero-masked forms with every lane selected avoid a spurious
// uninitialised-value warning of the plain forms in some compilers.)
constexpr __mmask16 kAll16 = 0xFFFF;
constexpr __mmask8 kAll8 = 0xFF;

// x[j][c] becomes x[c][j].
inline void Transpose16(__m512* x) {
  __m512 t[16];
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = _mm512_maskz_unpacklo_ps(kAll16, x[2 * i], x[2 * i + 1]);
    t[2 * i + 1] = _mm512_maskz_unpackhi_ps(kAll16, x[2 * i], x[2 * i + 1]);
  }
  for (int i = 0; i < 4; ++i) {
    const __m512d a = _mm512_castps_pd(t[4 * i]), b = _mm512_castps_pd(t[4 * i + 1]);
    const __m512d c = _mm512_castps_pd(t[4 * i + 2]), d = _mm512_castps_pd(t[4 * i + 3]);
    x[4 * i] = _mm512_castpd_ps(_mm512_maskz_unpacklo_pd(kAll8, a, c));
    x[4 * i + 1] = _mm512_castpd_ps(_mm512_maskz_unpackhi_pd(kAll8, a, c));
    x[4 * i + 2] = _mm512_castpd_ps(_mm512_maskz_unpacklo_pd(kAll8, b, d));
    x[4 * i + 3] = _mm512_castpd_ps(_mm512_maskz_unpackhi_pd(kAll8, b, d));
  }
  // x[4i + k]: elements k, k+4, k+8, k+12 (one per 128-bit lane) of rows 4i .. 4i+3.
  for (int k = 0; k < 4; ++k) {
    t[k] = _mm512_maskz_shuffle_f32x4(kAll16, x[k], x[4 + k], 0x88);
    t[4 + k] = _mm512_maskz_shuffle_f32x4(kAll16, x[k], x[4 + k], 0xDD);
    t[8 + k] = _mm512_maskz_shuffle_f32x4(kAll16, x[8 + k], x[12 + k], 0x88);
    t[12 + k] = _mm512_maskz_shuffle_f32x4(kAll16, x[8 + k], x[12 + k], 0xDD);
  }
  for (int k = 0; k < 4; ++k) {
    x[k] = _mm512_maskz_shuffle_f32x4(kAll16, t[k], t[8 + k], 0x88);
    x[8 + k] = _mm512_maskz_shuffle_f32x4(kAll16, t[k], t[8 + k], 0xDD);
    x[4 + k] = _mm512_maskz_shuffle_f32x4(kAll16, t[4 + k], t[12 + k], 0x88);
    x[12 + k] = _mm512_maskz_shuffle_f32x4(kAll16, t[4 + k], t[12 + k], 0xDD);
  }
}

// The running sums go down the rows, one addition after another; lanes run
// over 16 translations instead, so each block of 16 rows x 16 translations
// is transposed in and summed, and the sums stay in that layout (sum_lanes
// 16): a row of 16 translations per vector, which is how the next column's
// sums read them.
void ColumnSums(const float* column, int rows, int count, bool first, float* left) {
  const std::ptrdiff_t stride = rows;
  for (int t0 = 0; t0 < count; t0 += 16) {
    const int nt = count - t0 < 16 ? count - t0 : 16;
    float* sums = left + std::ptrdiff_t{t0} * stride;
    __m512 r = _mm512_setzero_ps();
    for (int iy0 = 0; iy0 < rows; iy0 += 16) {
      const int nr = rows - iy0 < 16 ? rows - iy0 : 16;
      const __mmask16 m = static_cast<__mmask16>(nr == 16 ? 0xFFFFu : (1u << nr) - 1u);
      __m512 x[16];
      DENSECORR_UNROLL
      for (int j = 0; j < 16; ++j) {
        x[j] = j < nt ? _mm512_maskz_loadu_ps(m, column + ((t0 + j) * stride + iy0))
                      : _mm512_setzero_ps();
      }
      Transpose16(x);
      // (Translations past the count sum zeros into the rounded-up lanes.)
      float* dst = sums + std::ptrdiff_t{iy0} * 16;
      if (first) {
        DENSECORR_UNROLL
        for (int i = 0; i < 16; ++i) {
          if (i >= nr) break;
          r = _mm512_add_ps(r, x[i]);
          _mm512_storeu_ps(dst + 16 * i, r);
        }
      } else {
        DENSECORR_UNROLL
        for (int i = 0; i < 16; ++i) {
          if (i >= nr) break;
          r = _mm512_add_ps(r, x[i]);
          _mm512_storeu_ps(dst + 16 * i, _mm512_add_ps(r, _mm512_loadu_ps(dst + 16 * i)));
        }
      }
    }
  }
}

}  // namespace

extern const ShiftKernels kShiftKernelsAvx512 = {"avx512", simd::Avx512::kLanes,
                                                 simd::Avx512Half::kLanes,
                                                 simd::Avx512::kMaxTile, ShiftDist, ColumnSums,
                                                 16};

}  // namespace densecorr
