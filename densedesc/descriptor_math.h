// Internal: the per-pixel formulas of the dense descriptor, each in one
// place, shared by the column loops and by the tests' literal reference.
// Plain float operations in a fixed order (no library calls whose result
// could differ between vector widths), so every path gives the same bits.
#ifndef DENSECORR_DENSEDESC_DESCRIPTOR_MATH_H_
#define DENSECORR_DENSEDESC_DESCRIPTOR_MATH_H_

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/image_view.h"

namespace densecorr {
namespace desc {
// Internal linkage: the kernel files compile these for their own instruction
// sets, and no wider copy may reach a baseline caller through the linker.
namespace {

// Grey values are kept within +-kGreyLimit: gradients, squares and channel
// sums of any input then stay finite in single precision.
constexpr float kGreyLimit = 1.0e6f;

// A real pixel value made safe for the arithmetic: non-finite values read
// as 0 (a flat pixel), huge ones are clipped. Double is clipped before it is
// narrowed, since a cast beyond the float range is undefined.
inline float SafeReal(double value) {
  if (!(value >= -kGreyLimit && value <= kGreyLimit)) {
    return std::isnan(value) ? 0.0f : (value > 0 ? kGreyLimit : -kGreyLimit);
  }
  return static_cast<float>(value);
}
inline float SafeReal(float value) {
  if (!(value >= -kGreyLimit && value <= kGreyLimit)) {
    return std::isnan(value) ? 0.0f : (value > 0 ? kGreyLimit : -kGreyLimit);
  }
  return value;
}

// A sample as a value on the [0, 1] scale of white.
inline float ToUnit(std::uint8_t v) { return static_cast<float>(v) / 255.0f; }
inline float ToUnit(std::uint16_t v) { return static_cast<float>(v) / 65535.0f; }
inline float ToUnit(float v) { return SafeReal(v); }
inline float ToUnit(double v) { return SafeReal(v); }

// Element (y, x, c) of the view.
inline float PixelValue(const ImageView& image, int x, int y, int c) {
  const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(y) * image.stride_y +
                            static_cast<std::ptrdiff_t>(x) * image.stride_x +
                            static_cast<std::ptrdiff_t>(c) * image.stride_c;
  switch (image.type) {
    case PixelType::kUint8:
      return ToUnit(static_cast<const std::uint8_t*>(image.data)[at]);
    case PixelType::kUint16:
      return ToUnit(static_cast<const std::uint16_t*>(image.data)[at]);
    case PixelType::kFloat32:
      return ToUnit(static_cast<const float*>(image.data)[at]);
    case PixelType::kFloat64:
      return ToUnit(static_cast<const double*>(image.data)[at]);
  }
  return 0.0f;
}

// Luma of a colour pixel (ITU-R BT.601 weights), summed red, green, blue.
inline float Luma(float r, float g, float b) { return 0.299f * r + 0.587f * g + 0.114f * b; }

inline float GreyValue(const ImageView& image, int x, int y) {
  if (image.channels == 1) return PixelValue(image, x, y, 0);
  return Luma(PixelValue(image, x, y, 0), PixelValue(image, x, y, 1), PixelValue(image, x, y, 2));
}

// c ? a : b through the bits: the compilers otherwise move an operation that
// only one side needs onto a branch, which (with floating-point traps
// honoured) keeps the row loops from vectorising. Same value as the ternary.
inline float Select(bool c, float a, float b) {
  std::uint32_t ia, ib;
  std::memcpy(&ia, &a, sizeof ia);
  std::memcpy(&ib, &b, sizeof ib);
  const std::uint32_t mask = 0u - static_cast<std::uint32_t>(c);
  const std::uint32_t bits = (ia & mask) | (ib & ~mask);
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

inline int ClampIndex(int i, int n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

// Gradient direction as a position on the circle of n bins: 0 at +x, n/4 at
// +y (image rows grow downwards), in [0, n). The arctangent is a minimax
// polynomial on [0, 1] (error below 1e-5 rad) folded into the octants;
// a zero gradient gets position 0 (it votes with weight 0 anyway).
inline float OrientationPosition(float gx, float gy, int n_orient) {
  const float ax = std::fabs(gx), ay = std::fabs(gy);
  const bool steep = ay > ax;
  const float hi = Select(steep, ay, ax);
  const float lo = Select(steep, ax, ay);
  const float a = lo / Select(hi > 0.0f, hi, 1.0f);  // 0 / 1 for a zero gradient
  const float s = a * a;
  float t = -0.0117212f;
  t = t * s + 0.05265332f;
  t = t * s - 0.11643287f;
  t = t * s + 0.19354346f;
  t = t * s - 0.33262347f;
  t = t * s + 0.99997726f;
  float angle = t * a;                                          // [0, pi/4]
  angle = Select(steep, 1.57079632679f - angle, angle);         // [0, pi/2]
  angle = Select(gx < 0.0f, 3.14159265359f - angle, angle);     // [0, pi]
  angle = Select(gy < 0.0f, -angle, angle);                     // [-pi, pi]
  const float n = static_cast<float>(n_orient);
  float pos = angle * (n / 6.28318530718f);
  pos = Select(pos < 0.0f, pos + n, pos);
  // -tiny + n rounds to n; NaN cannot arrive (safe grey values) but must
  // never reach an index.
  return Select((pos >= 0.0f) & (pos < n), pos, 0.0f);
}

// Share of a gradient at circular position `pos` that bin `o` receives:
// linear in the angular distance, 1 at the bin, 0 one bin away or further.
inline float BinWeight(float pos, int o, int n_orient) {
  const float direct = std::fabs(pos - static_cast<float>(o));
  const float around = static_cast<float>(n_orient) - direct;
  const float w = 1.0f - Select(around < direct, around, direct);
  return Select(w > 0.0f, w, 0.0f);
}

// Normalised Gaussian taps of standard deviation sigma over [-3 sigma,
// 3 sigma]; a single tap of 1 for sigma 0.
inline std::vector<float> GaussianTaps(float sigma) {
  if (!(sigma > 0.0f)) return {1.0f};
  const int radius = static_cast<int>(std::ceil(3.0 * sigma));
  std::vector<double> w(2 * radius + 1);
  double sum = 0;
  for (int k = -radius; k <= radius; ++k) {
    w[k + radius] = std::exp(-0.5 * k * k / (static_cast<double>(sigma) * sigma));
    sum += w[k + radius];
  }
  std::vector<float> taps(w.size());
  for (std::size_t k = 0; k < w.size(); ++k) taps[k] = static_cast<float>(w[k] / sum);
  return taps;
}

// Triangular window of half-width cell_size (1, 2, .., C, .., 2, 1) / C^2:
// pooling with it spreads each gradient bilinearly over the two nearest cell
// centres of every axis.
inline std::vector<float> TriangleTaps(int cell_size) {
  std::vector<float> taps(2 * cell_size - 1);
  const float area = static_cast<float>(cell_size) * static_cast<float>(cell_size);
  for (int k = 0; k < 2 * cell_size - 1; ++k) {
    const int dist = k < cell_size ? cell_size - 1 - k : k - (cell_size - 1);
    taps[k] = static_cast<float>(cell_size - dist) / area;
  }
  return taps;
}

// Offsets of the cell centres from the pixel along one axis, e.g. -3, 0, 3
// for 3 cells of 3 and -6, -2, 2, 6 for 4 cells of 4 (halves away from 0).
inline std::vector<int> CellCentres(int grid_cells, int cell_size) {
  std::vector<int> centres(grid_cells);
  for (int i = 0; i < grid_cells; ++i) {
    centres[i] = static_cast<int>(std::lround((i - (grid_cells - 1) / 2.0) * cell_size));
  }
  return centres;
}

}  // namespace
}  // namespace desc
}  // namespace densecorr

#endif  // DENSECORR_DENSEDESC_DESCRIPTOR_MATH_H_
