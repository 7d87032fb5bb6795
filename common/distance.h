// The descriptor distance, in the one order of operations every path keeps:
// channels in increasing order, difference, square and sum each rounded to
// single precision (no fused multiply-add), then the correctly rounded root.
#ifndef DENSECORR_COMMON_DISTANCE_H_
#define DENSECORR_COMMON_DISTANCE_H_

#include <cmath>
#include <cstddef>

namespace densecorr {

// a and b point at channel 0 of the two pixels; consecutive channels lie
// plane_a and plane_b floats apart.
inline float DescriptorDistance(const float* a, std::ptrdiff_t plane_a, const float* b,
                                std::ptrdiff_t plane_b, int feat_dim) {
  float sum = 0.0f;
  for (int c = 0; c < feat_dim; ++c) {
    const float d = a[c * plane_a] - b[c * plane_b];
    sum = sum + d * d;
  }
  // The root of a float taken in double and rounded back equals the
  // correctly rounded single-precision root.
  return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

// The same distance compiled once for the baseline instruction set. The
// vector kernels recompute lanes whose channel sum turned NaN with it: which
// of two NaN operands an addition returns depends on the operand order a
// compiler picks, and the literal loop is what defines the stored NaN.
float LiteralDistance(const float* a, std::ptrdiff_t plane_a, const float* b,
                      std::ptrdiff_t plane_b, int feat_dim);

}  // namespace densecorr

#endif  // DENSECORR_COMMON_DISTANCE_H_
