// The densedisp kernels in portable vectors, for any processor.
#include "densedisp/desc_dist_kernel.h"
#include "simd/traits_portable.h"

namespace densecorr {
namespace {

void DescDist(const DescDistJob& job, int x_begin, int x_end, int y_begin, int y_end) {
  simd::DescDistColumns<simd::Portable, simd::Portable>(job, x_begin, x_end, y_begin, y_end);
}

void BestDisparity(const BestDisparityJob& job, std::ptrdiff_t p_begin, std::ptrdiff_t p_end) {
  simd::BestDisparityPixels<simd::Portable>(job, p_begin, p_end);
}

}  // namespace

extern const PixelKernels kPixelKernelsPortable = {
    "portable", simd::Portable::kLanes, simd::Portable::kMaxTile, DescDist, BestDisparity};

}  // namespace densecorr
