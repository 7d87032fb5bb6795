// The densedisp kernels with AVX2 (compiled with -mavx2, never with FMA).
#include "densedisp/desc_dist_kernel.h"
#include "simd/traits_avx2.h"

namespace densecorr {
namespace {

void DescDist(const DescDistJob& job, int x_begin, int x_end, int y_begin, int y_end) {
  simd::DescDistColumns<simd::Avx2, simd::Avx2>(job, x_begin, x_end, y_begin, y_end);
}

void BestDisparity(const BestDisparityJob& job, std::ptrdiff_t p_begin, std::ptrdiff_t p_end) {
  simd::BestDisparityPixels<simd::Avx2>(job, p_begin, p_end);
}

}  // namespace

extern const PixelKernels kPixelKernelsAvx2 = {"avx2", simd::Avx2::kLanes, simd::Avx2::kMaxTile,
                                               DescDist, BestDisparity};

}  // namespace densecorr
