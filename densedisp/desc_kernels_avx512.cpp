// The densedisp kernels with AVX-512 (compiled with -mavx512f -mavx512vl,
// never with FMA): 16 lanes over pixels, 8 over the offsets of one pixel.
#include "densedisp/desc_dist_kernel.h"
#include "simd/traits_avx512.h"

namespace densecorr {
namespace {

void DescDist(const DescDistJob& job, int x_begin, int x_end, int y_begin, int y_end) {
  simd::DescDistColumns<simd::Avx512, simd::Avx512Half>(job, x_begin, x_end, y_begin, y_end);
}

void BestDisparity(const BestDisparityJob& job, std::ptrdiff_t p_begin, std::ptrdiff_t p_end) {
  simd::BestDisparityPixels<simd::Avx512>(job, p_begin, p_end);
}

}  // namespace

extern const PixelKernels kPixelKernelsAvx512 = {"avx512", simd::Avx512::kLanes,
                                                 simd::Avx512::kMaxTile, DescDist, BestDisparity};

}  // namespace densecorr
