#include "densematch/flow_refine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/scratch.h"
#include "common/threads.h"
#include "simd/target_clones.h"

namespace densecorr {

namespace {

using Index = std::ptrdiff_t;

// Loops over fewer pixels run on the calling thread: at the coarse scales a
// parallel region's start and barrier cost more than the work, and far more
// when other processes hold the cores.
constexpr Index kParallelPixels = 32768;

// The refinement's vector loops are also built for AVX2 and AVX-512
// (DENSECORR_WIDE_CLONES): twice or four times the lanes of the baseline.

template <class T>
void ReadTyped(const ImageView& view, float scale, float* out) {
  const T* data = static_cast<const T*>(view.data);
  const Index plane = Index{view.width} * view.height;
  bool finite = true;
#ifdef _OPENMP
#pragma omp parallel for schedule(static) reduction(&& : finite) if (Index{view.width} * view.height >= kParallelPixels)
#endif
  for (int x = 0; x < view.width; ++x) {
    for (int c = 0; c < view.channels; ++c) {
      float* column = out + c * plane + Index{x} * view.height;
      const T* in = data + x * view.stride_x + c * view.stride_c;
      for (int y = 0; y < view.height; ++y) {
        const float value = static_cast<float>(in[y * view.stride_y]) * scale;
        finite = finite && std::isfinite(value);
        column[y] = value;
      }
    }
  }
  if (!finite) throw std::invalid_argument("image values must be finite");
}

// Five-point central derivative along one axis, borders replicated; grouped
// as differences so that a flat image gives exactly 0. Column loops over
// whole columns (along x) or over the rows that need no clamp (along y), so
// that they vectorise; every value takes the same operations either way.
void Derivative(const float* in, int width, int height, bool along_x, float* out) {
  const auto five = [](float m2, float m1, float p1, float p2) {
    return ((m2 - p2) + 8.0f * (p1 - m1)) * (1.0f / 12.0f);
  };
  ParallelFor(width, Index{width} * height >= kParallelPixels, [&](int x) {
    float* dst = out + Index{x} * height;
    if (along_x) {
      const auto column = [&](int dx) {
        return in + Index{std::min(std::max(x + dx, 0), width - 1)} * height;
      };
      const float* __restrict m2 = column(-2);
      const float* __restrict m1 = column(-1);
      const float* __restrict p1 = column(1);
      const float* __restrict p2 = column(2);
      for (int y = 0; y < height; ++y) dst[y] = five(m2[y], m1[y], p1[y], p2[y]);
    } else {
      const float* src = in + Index{x} * height;
      const auto at = [&](int y) { return src[std::min(std::max(y, 0), height - 1)]; };
      const int lo = std::min(2, height), hi = std::max(lo, height - 2);
      for (int y = 0; y < lo; ++y) dst[y] = five(at(y - 2), at(y - 1), at(y + 1), at(y + 2));
      for (int y = lo; y < hi; ++y) dst[y] = five(src[y - 2], src[y - 1], src[y + 1], src[y + 2]);
      for (int y = hi; y < height; ++y) dst[y] = five(at(y - 2), at(y - 1), at(y + 1), at(y + 2));
    }
  });
}

}  // namespace

void ReadPlanar(const ImageView& view, float* out) {
  switch (view.type) {
    case PixelType::kUint8:
      ReadTyped<std::uint8_t>(view, 1.0f / 255.0f, out);
      break;
    case PixelType::kUint16:
      ReadTyped<std::uint16_t>(view, 1.0f / 65535.0f, out);
      break;
    case PixelType::kFloat32:
      ReadTyped<float>(view, 1.0f, out);
      break;
    case PixelType::kFloat64:
      ReadTyped<double>(view, 1.0f, out);
      break;
  }
}

void GaussianBlur(const float* in, int width, int height, int channels, float sigma,
                  float* out, float* scratch) {
  const Index plane = Index{width} * height;
  if (sigma <= 0.0f) {
    std::memcpy(out, in, sizeof(float) * plane * channels);
    return;
  }
  const int radius = std::max(1, static_cast<int>(std::ceil(3.0f * sigma)));
  std::vector<float> kernel(2 * radius + 1);
  float total = 0.0f;
  for (int i = -radius; i <= radius; ++i) {
    kernel[i + radius] = std::exp(-0.5f * i * i / (sigma * sigma));
    total += kernel[i + radius];
  }
  for (float& k : kernel) k /= total;
  ScratchBlock<float> own;
  if (scratch == nullptr) {
    own = AllocScratch<float>(plane);
    scratch = own.get();
  }
  float* const tmp = scratch;
  const int taps = 2 * radius + 1;
  for (int c = 0; c < channels; ++c) {
    const float* src = in + c * plane;
    float* dst = out + c * plane;
    // Each value is 0 plus the taps' products in tap order, whichever the
    // loop order; tap-outer loops over a column vectorise.
    ParallelFor(width, Index{width} * height >= kParallelPixels, [&](int x) {
      const float* __restrict col = src + Index{x} * height;
      float* __restrict acc = tmp + Index{x} * height;
      if (taps == 5) {
        // The usual width (the refinement's sigmas all give radius 2):
        // the sums in registers rather than a pass over acc per tap.
        const float k0 = kernel[0], k1 = kernel[1], k2 = kernel[2], k3 = kernel[3],
                    k4 = kernel[4];
        const auto clamped = [&](int y) {
          float a = 0.0f;
          for (int t = 0; t < 5; ++t)
            a += kernel[t] * col[std::min(std::max(y + t - 2, 0), height - 1)];
          acc[y] = a;
        };
        for (int y = 0; y < std::min(2, height); ++y) clamped(y);
        for (int y = 2; y < height - 2; ++y)
          acc[y] = ((((0.0f + k0 * col[y - 2]) + k1 * col[y - 1]) + k2 * col[y]) +
                    k3 * col[y + 1]) + k4 * col[y + 2];
        for (int y = std::max(2, height - 2); y < height; ++y) clamped(y);
        return;
      }
      for (int y = 0; y < height; ++y) acc[y] = 0.0f;
      for (int t = 0; t < taps; ++t) {
        const int i = t - radius;
        const float k = kernel[t];
        // Rows whose source row y + i lies inside the column.
        const int lo = std::min(std::max(-i, 0), height);
        const int hi = std::max(lo, std::min(height - i, height));
        for (int y = 0; y < lo; ++y) acc[y] += k * col[0];
        for (int y = lo; y < hi; ++y) acc[y] += k * col[y + i];
        for (int y = hi; y < height; ++y) acc[y] += k * col[height - 1];
      }
    });
    ParallelFor(width, Index{width} * height >= kParallelPixels, [&](int x) {
      float* __restrict acc = dst + Index{x} * height;
      if (taps == 5) {
        const auto column = [&](int dx) {
          return tmp + Index{std::min(std::max(x + dx, 0), width - 1)} * height;
        };
        const float* __restrict c0 = column(-2);
        const float* __restrict c1 = column(-1);
        const float* __restrict c2 = column(0);
        const float* __restrict c3 = column(1);
        const float* __restrict c4 = column(2);
        const float k0 = kernel[0], k1 = kernel[1], k2 = kernel[2], k3 = kernel[3],
                    k4 = kernel[4];
        for (int y = 0; y < height; ++y)
          acc[y] = ((((0.0f + k0 * c0[y]) + k1 * c1[y]) + k2 * c2[y]) + k3 * c3[y]) + k4 * c4[y];
        return;
      }
      for (int y = 0; y < height; ++y) acc[y] = 0.0f;
      for (int t = 0; t < taps; ++t) {
        const int xx = std::min(std::max(x + t - radius, 0), width - 1);
        const float* __restrict col = tmp + Index{xx} * height;
        const float k = kernel[t];
        for (int y = 0; y < height; ++y) acc[y] += k * col[y];
      }
    });
  }
}

// Keys' cubic convolution weights (a = -0.5) of the taps at -1, 0, 1, 2 for
// a sample at fraction t in [0, 1): they sum to 1 and reproduce quadratics
// exactly.
static inline void CubicWeights(float t, float w[4]) {
  const float s = 1.0f - t;
  w[0] = -0.5f * t * s * s;
  w[1] = (1.5f * t - 2.5f) * t * t + 1.0f;
  w[2] = (-1.5f * t + 2.0f) * t * t + 0.5f * t;
  w[3] = -0.5f * t * t * s;
}

float SampleBilinear(const float* plane, int width, int height, float x, float y) {
  // Written so that a coordinate that is not a number lands on 0: converting
  // it to an index would be undefined.
  x = x > 0.0f ? x : 0.0f;
  y = y > 0.0f ? y : 0.0f;
  x = x < width - 1.0f ? x : width - 1.0f;
  y = y < height - 1.0f ? y : height - 1.0f;
  const int x0 = std::min(static_cast<int>(x), width - 1);
  const int y0 = std::min(static_cast<int>(y), height - 1);
  const int x1 = std::min(x0 + 1, width - 1);
  const int y1 = std::min(y0 + 1, height - 1);
  const float fx = x - x0, fy = y - y0;
  const float a = plane[Index{x0} * height + y0], b = plane[Index{x1} * height + y0];
  const float c = plane[Index{x0} * height + y1], d = plane[Index{x1} * height + y1];
  return (a * (1.0f - fx) + b * fx) * (1.0f - fy) + (c * (1.0f - fx) + d * fx) * fy;
}

float SampleBicubic(const float* plane, int width, int height, float x, float y) {
  // The warp's rule: bicubic where the taps at -1 .. 2 around the sample's
  // whole part lie inside (written so that a coordinate that is not a number
  // falls through to the bilinear sample's clamps).
  if (!(x >= 1.0f && x < width - 2.0f && y >= 1.0f && y < height - 2.0f))
    return SampleBilinear(plane, width, height, x, y);
  const int xf = static_cast<int>(x), yf = static_cast<int>(y);
  float wx[4], wy[4];
  CubicWeights(x - xf, wx);
  CubicWeights(y - yf, wy);
  float r[4];
  for (int i = 0; i < 4; ++i) {
    const float* c = plane + Index{xf - 1 + i} * height + (yf - 1);
    r[i] = ((wy[0] * c[0] + wy[1] * c[1]) + wy[2] * c[2]) + wy[3] * c[3];
  }
  return ((wx[0] * r[0] + wx[1] * r[1]) + wx[2] * r[2]) + wx[3] * r[3];
}

namespace {

// All the buffers of one refinement come from one block: a fresh page costs
// a fault on first touch, and one large block gets huge pages (see
// AdviseHugePages) where many medium ones would each be faulted in 4 kB at a
// time. Sizes are rounded up to an odd number of cache lines
// (OddLineFloats): the loops read a dozen buffers at the same index.
class Arena {
 public:
  // Counting mode: Take only adds up the sizes.
  Arena() = default;
  Arena(float* block, Index floats) : block_(block), size_(floats) {}
  float* Take(Index count) {
    const Index rounded = OddLineFloats(count);
    float* out = block_ ? block_ + used_ : nullptr;
    used_ += rounded;
    if (block_ && used_ > size_) throw std::logic_error("flow refinement: arena too small");
    return out;
  }
  Index used() const { return used_; }
  // Hands out again what was taken after `used` (buffers whose lives do not
  // overlap); taking resumes there.
  void Rewind(Index used) { used_ = used; }

 private:
  float* block_ = nullptr;
  Index size_ = 0, used_ = 0;
};

// Buffers of one scale's solve, sized for the largest scale and shared by
// all. Image 2's derivative planes are needed only until they are packed
// pixel-major, before any of the planes from `edge` on is written, so they
// lie over those where they fit (fresh memory costs a page fault per page:
// the smaller the block, the fewer).
struct Workspace {
  float *d1, *d2, *d2_packed, *edge, *du, *dv, *psi_s, *a11, *a12, *a22, *b1, *b2, *wr,
      *wb, *u_split, *v_split, *du_split, *dv_split, *blur, *tensor, *slope;
  Workspace() = default;
  Workspace(Index n, Index n2, int nc, Arena& arena) {
    d1 = arena.Take(n * nc * 6);
    d2_packed = arena.Take(n2 * nc * 6);
    const Index late_begin = arena.used();
    for (float** b : {&edge, &du, &dv, &psi_s, &a11, &a12, &a22, &b1, &b2, &wr, &wb, &u_split,
                      &v_split, &du_split, &dv_split})
      *b = arena.Take(n);
    blur = arena.Take(std::max(n, n2));
    tensor = arena.Take(n * 12);
    slope = arena.Take(n * 4);
    // Image 2's planes before packing: the later buffers are free until then.
    if (arena.used() - late_begin >= n2 * nc * 6)
      d2 = edge;
    else
      d2 = arena.Take(n2 * nc * 6);
  }
};

// Weight of a constancy term from the squared derivative lengths of the two
// images (both > 0): 1 while they agree within a factor of 2, falling as the
// square of their ratio beyond.
inline float Agreement(float a, float b) {
  return std::min(1.0f, 4.0f * std::min(a, b) / std::max(a, b));
}

// Adds one channel's terms to a column of the brightness (t0 .. t5) and
// gradient (t6 .. t11) tensors: q0 .. q5 image 2's value, x, y, xx, xy, yy
// at the warped positions, s0 .. s5 image 1's. Separate restrict-qualified
// planes, so that the loop vectorises.
//
// Each term is also scaled down where the two images' derivative lengths
// disagree by more than a factor of 2 (weight (2 * shorter / longer)^2 on the
// squared lengths, at most 1): a match cannot turn a faint gradient into a
// strong one, so such a residual comes from something image 1 does not show
// (an occluding edge, the black beyond a rendered image's frame, the image
// border), and divided by its gradient's squared length it would read as a
// displacement of a few pixels instead of as an outlier.
// zeta2b: the brightness term's own normaliser floor (see RefineLevel).
DENSECORR_WIDE_CLONES
void TensorColumn(int h, float zeta2, float zeta2b, const float* __restrict q0,
                  const float* __restrict q1, const float* __restrict q2,
                  const float* __restrict q3,
                  const float* __restrict q4, const float* __restrict q5,
                  const float* __restrict s0, const float* __restrict s1,
                  const float* __restrict s2, const float* __restrict s3,
                  const float* __restrict s4, const float* __restrict s5, float* __restrict t0,
                  float* __restrict t1, float* __restrict t2, float* __restrict t3,
                  float* __restrict t4, float* __restrict t5, float* __restrict t6,
                  float* __restrict t7, float* __restrict t8, float* __restrict t9,
                  float* __restrict t10, float* __restrict t11) {
  for (int y = 0; y < h; ++y) {
    // Derivatives averaged over both images; differences warped 2 - 1.
    const float ix = 0.5f * (q1[y] + s1[y]), iy = 0.5f * (q2[y] + s2[y]);
    const float iz = q0[y] - s0[y];
    const float ixx = 0.5f * (q3[y] + s3[y]);
    const float ixy = 0.5f * (q4[y] + s4[y]);
    const float iyy = 0.5f * (q5[y] + s5[y]);
    const float ixz = q1[y] - s1[y], iyz = q2[y] - s2[y];
    // Each constancy term divided by its gradient's squared length:
    // residuals become displacement errors, the same on faint and on strong
    // texture.
    const float nb = Agreement(s1[y] * s1[y] + s2[y] * s2[y] + zeta2,
                               q1[y] * q1[y] + q2[y] * q2[y] + zeta2) /
                     (ix * ix + iy * iy + zeta2b);
    t0[y] += nb * ix * ix; t1[y] += nb * ix * iy; t2[y] += nb * ix * iz;
    t3[y] += nb * iy * iy; t4[y] += nb * iy * iz; t5[y] += nb * iz * iz;
    const float ngx = Agreement(s3[y] * s3[y] + s4[y] * s4[y] + zeta2,
                                q3[y] * q3[y] + q4[y] * q4[y] + zeta2) /
                      (ixx * ixx + ixy * ixy + zeta2);
    const float ngy = Agreement(s4[y] * s4[y] + s5[y] * s5[y] + zeta2,
                                q4[y] * q4[y] + q5[y] * q5[y] + zeta2) /
                      (ixy * ixy + iyy * iyy + zeta2);
    t6[y] += ngx * ixx * ixx + ngy * ixy * ixy;
    t7[y] += ngx * ixx * ixy + ngy * ixy * iyy;
    t8[y] += ngx * ixx * ixz + ngy * ixy * iyz;
    t9[y] += ngx * ixy * ixy + ngy * iyy * iyy;
    t10[y] += ngx * ixy * ixz + ngy * iyy * iyz;
    t11[y] += ngx * ixz * ixz + ngy * iyz * iyz;
  }
}

// The robust weights' constants.
struct RobustTerms {
  float brightness, gradient, anchor, eps_smooth2, eps_data2, eps_anchor2;
};

// values[i] = sqrt(values[i]) for i < count: correctly rounded either way,
// four at a time where the processor has SSE (the compilers keep the
// library call, which may set errno, out of vector loops).
void SqrtInPlace(float* values, int count) {
  int i = 0;
#if defined(__SSE2__)
  for (; i + 4 <= count; i += 4)
    _mm_storeu_ps(values + i, _mm_sqrt_ps(_mm_loadu_ps(values + i)));
#endif
  for (; i < count; ++i) values[i] = std::sqrt(values[i]);
}

// One column of the robust weights, first half: the arguments of the square
// roots (smoothness, brightness, gradient, pull). ur .. dvl: the columns to
// the right and left (the column itself at the border); ext_u, ext_v: the
// column's u + du, v + dv with one replicated row above and below; t: the
// column's 12 tensor planes, n apart; au, av: the pull's target (null: no
// pull); pt: the pull's shape (3 planes n apart: t11, t12, t22; null: the
// same in every direction).
DENSECORR_WIDE_CLONES
void RobustArguments(const RobustTerms& k, int h, Index n, const float* __restrict ur,
                     const float* __restrict dur, const float* __restrict ul,
                     const float* __restrict dul, const float* __restrict vr,
                     const float* __restrict dvr, const float* __restrict vl,
                     const float* __restrict dvl, const float* __restrict ext_u,
                     const float* __restrict ext_v, const float* __restrict u,
                     const float* __restrict v, const float* __restrict du,
                     const float* __restrict dv, const float* __restrict t,
                     const float* __restrict au, const float* __restrict av,
                     const float* __restrict sux, const float* __restrict suy,
                     const float* __restrict svx, const float* __restrict svy,
                     float* __restrict root_s, float* __restrict root_b,
                     float* __restrict root_g, float* __restrict root_m,
                     const float* __restrict pt) {
  const float* __restrict b11 = t;
  const float* __restrict b12 = t + n;
  const float* __restrict b13 = t + 2 * n;
  const float* __restrict b22 = t + 3 * n;
  const float* __restrict b23 = t + 4 * n;
  const float* __restrict b33 = t + 5 * n;
  const float* __restrict g11 = t + 6 * n;
  const float* __restrict g12 = t + 7 * n;
  const float* __restrict g13 = t + 8 * n;
  const float* __restrict g22 = t + 9 * n;
  const float* __restrict g23 = t + 10 * n;
  const float* __restrict g33 = t + 11 * n;
  for (int y = 0; y < h; ++y) {
    const float ux = 0.5f * ((ur[y] + dur[y]) - (ul[y] + dul[y])) - sux[y];
    const float uy = 0.5f * (ext_u[y + 2] - ext_u[y]) - suy[y];
    const float vx = 0.5f * ((vr[y] + dvr[y]) - (vl[y] + dvl[y])) - svx[y];
    const float vy = 0.5f * (ext_v[y + 2] - ext_v[y]) - svy[y];
    root_s[y] = ux * ux + uy * uy + vx * vx + vy * vy + k.eps_smooth2;
    const float a = du[y], b = dv[y];
    const float rb = b11[y] * a * a + 2.0f * b12[y] * a * b + b22[y] * b * b +
                     2.0f * b13[y] * a + 2.0f * b23[y] * b + b33[y];
    const float rg = g11[y] * a * a + 2.0f * g12[y] * a * b + g22[y] * b * b +
                     2.0f * g13[y] * a + 2.0f * g23[y] * b + g33[y];
    root_b[y] = std::max(rb, 0.0f) + k.eps_data2;
    root_g[y] = std::max(rg, 0.0f) + k.eps_data2;
  }
  if (au != nullptr && pt != nullptr) {
    for (int y = 0; y < h; ++y) {
      const float eu = u[y] + du[y] - au[y], ev = v[y] + dv[y] - av[y];
      root_m[y] = pt[y] * eu * eu + 2.0f * pt[y + n] * eu * ev + pt[y + 2 * n] * ev * ev +
                  k.eps_anchor2;
    }
  } else if (au != nullptr) {
    for (int y = 0; y < h; ++y) {
      const float eu = u[y] + du[y] - au[y], ev = v[y] + dv[y] - av[y];
      root_m[y] = eu * eu + ev * ev + k.eps_anchor2;
    }
  }
}

// Second half, from the roots: the smoothness weight psi and the five
// planes of the linear system (a11, a12, a22, b1, b2, h apart in out).
// aw: the pull's weights (null: no pull); a pixel with weight 0 gets none;
// pt: its shape, as in RobustArguments.
DENSECORR_WIDE_CLONES
void RobustOutputs(const RobustTerms& k, int h, Index n, const float* __restrict edge,
                   const float* __restrict t, const float* __restrict root_s,
                   const float* __restrict root_b, const float* __restrict root_g,
                   const float* __restrict u, const float* __restrict v,
                   const float* __restrict au, const float* __restrict av,
                   const float* __restrict aw, const float* __restrict root_m,
                   const float* __restrict pt, float* __restrict psi, float* __restrict out) {
  const float* __restrict b11 = t;
  const float* __restrict b12 = t + n;
  const float* __restrict b13 = t + 2 * n;
  const float* __restrict b22 = t + 3 * n;
  const float* __restrict b23 = t + 4 * n;
  const float* __restrict g11 = t + 6 * n;
  const float* __restrict g12 = t + 7 * n;
  const float* __restrict g13 = t + 8 * n;
  const float* __restrict g22 = t + 9 * n;
  const float* __restrict g23 = t + 10 * n;
  float* __restrict o11 = out;
  float* __restrict o12 = out + h;
  float* __restrict o22 = out + 2 * h;
  float* __restrict o1 = out + 3 * h;
  float* __restrict o2 = out + 4 * h;
  for (int y = 0; y < h; ++y) {
    psi[y] = edge[y] * 0.5f / root_s[y];
    const float pb = k.brightness * 0.5f / root_b[y];
    const float pg = k.gradient * 0.5f / root_g[y];
    o11[y] = pb * b11[y] + pg * g11[y];
    o12[y] = pb * b12[y] + pg * g12[y];
    o22[y] = pb * b22[y] + pg * g22[y];
    o1[y] = -(pb * b13[y] + pg * g13[y]);
    o2[y] = -(pb * b23[y] + pg * g23[y]);
  }
  if (aw != nullptr && pt != nullptr) {
    // Robust pull towards the descriptor match, its quadratic form shaped by
    // pt: (e^T T e).
    for (int y = 0; y < h; ++y) {
      const float pm = k.anchor * aw[y] * 0.5f / root_m[y];
      const bool on = aw[y] > 0.0f;
      const float t11 = pt[y], t12 = pt[y + n], t22 = pt[y + 2 * n];
      const float eu = u[y] - au[y], ev = v[y] - av[y];
      o11[y] = on ? o11[y] + pm * t11 : o11[y];
      o12[y] = on ? o12[y] + pm * t12 : o12[y];
      o22[y] = on ? o22[y] + pm * t22 : o22[y];
      o1[y] = on ? o1[y] - pm * (t11 * eu + t12 * ev) : o1[y];
      o2[y] = on ? o2[y] - pm * (t12 * eu + t22 * ev) : o2[y];
    }
  } else if (aw != nullptr) {
    // Robust pull towards the descriptor match.
    for (int y = 0; y < h; ++y) {
      const float pm = k.anchor * aw[y] * 0.5f / root_m[y];
      const bool on = aw[y] > 0.0f;
      o11[y] = on ? o11[y] + pm : o11[y];
      o22[y] = on ? o22[y] + pm : o22[y];
      o1[y] = on ? o1[y] - pm * (u[y] - au[y]) : o1[y];
      o2[y] = on ? o2[y] - pm * (v[y] - av[y]) : o2[y];
    }
  }
}

// The SOR sweeps run on planes whose columns hold their even rows first,
// then their odd rows: the pixels of one colour in a column are then one
// contiguous run, their vertical neighbours another, and their horizontal
// neighbours the runs at the same place one column over, so the sweep's
// inner loop reads and writes consecutive floats and vectorises.
void ToSplit(const float* in, int w, int h, float* out) {
  ParallelFor(w, Index{w} * h >= kParallelPixels, [&](int x) {
    const float* src = in + Index{x} * h;
    float* even = out + Index{x} * h;
    float* odd = even + (h + 1) / 2;
    for (int k = 0; 2 * k < h; ++k) even[k] = src[2 * k];
    for (int k = 0; 2 * k + 1 < h; ++k) odd[k] = src[2 * k + 1];
  });
}

void FromSplit(const float* in, int w, int h, float* out) {
  ParallelFor(w, Index{w} * h >= kParallelPixels, [&](int x) {
    const float* even = in + Index{x} * h;
    const float* odd = even + (h + 1) / 2;
    float* dst = out + Index{x} * h;
    for (int k = 0; 2 * k < h; ++k) dst[2 * k] = even[k];
    for (int k = 0; 2 * k + 1 < h; ++k) dst[2 * k + 1] = odd[k];
  });
}

// out += the split-layout plane `in`.
void AddFromSplit(const float* in, int w, int h, float* out) {
  ParallelFor(w, Index{w} * h >= kParallelPixels, [&](int x) {
    const float* even = in + Index{x} * h;
    const float* odd = even + (h + 1) / 2;
    float* dst = out + Index{x} * h;
    for (int k = 0; 2 * k < h; ++k) dst[2 * k] += even[k];
    for (int k = 0; 2 * k + 1 < h; ++k) dst[2 * k + 1] += odd[k];
  });
}

// The linear system of one SOR pass, every plane in the split layout.
struct SorSystem {
  const float *u, *v, *a11, *a12, *a22, *b1, *b2, *wr, *wb;
  float *du, *dv;
  float omega, damping;
};

// One pixel's SOR update; `self` its index, `above`/`below` its vertical
// neighbours' (or -1 where there is none). Terms are added in the order
// right, left, below, above, skipping the missing ones.
inline void SorPixel(const SorSystem& s, Index self, Index h, bool left, bool right, Index above,
                     Index below) {
  float sw = 0.0f, su = 0.0f, sv = 0.0f;
  const auto add = [&](Index q, float weight) {
    sw += weight;
    su += weight * (s.u[q] + s.du[q] - s.u[self]);
    sv += weight * (s.v[q] + s.dv[q] - s.v[self]);
  };
  if (right) add(self + h, s.wr[self]);
  if (left) add(self - h, s.wr[self - h]);
  if (below >= 0) add(below, s.wb[self]);
  if (above >= 0) add(above, s.wb[above]);
  const float omega = s.omega;
  const float d11 = s.a11[self] + sw + s.damping;
  const float d22 = s.a22[self] + sw + s.damping;
  s.du[self] = (1.0f - omega) * s.du[self] + omega * (s.b1[self] + su - s.a12[self] * s.dv[self]) / d11;
  s.dv[self] = (1.0f - omega) * s.dv[self] + omega * (s.b2[self] + sv - s.a12[self] * s.du[self]) / d22;
}

// The same update over a run of pixels that all have both vertical
// neighbours: `o` points at the run's vertical neighbours above, o + 1 at
// those below, and every pointer is offset to the run's start. Written with
// restrict-qualified pointers and no branches so that the compiler
// vectorises it; each lane does SorPixel's operations in SorPixel's order.
template <bool kLeft, bool kRight>
DENSECORR_WIDE_CLONES void SorRun(int count, float omega, float damping, const float* __restrict u,
            const float* __restrict v, const float* __restrict a11, const float* __restrict a12,
            const float* __restrict a22, const float* __restrict b1, const float* __restrict b2,
            const float* __restrict wr, const float* __restrict wr_left,
            const float* __restrict wb, const float* __restrict wb_above,
            const float* __restrict u_o, const float* __restrict v_o,
            const float* __restrict du_o, const float* __restrict dv_o,
            const float* __restrict u_r, const float* __restrict v_r,
            const float* __restrict du_r, const float* __restrict dv_r,
            const float* __restrict u_l, const float* __restrict v_l,
            const float* __restrict du_l, const float* __restrict dv_l,
            float* __restrict du, float* __restrict dv) {
  for (int k = 0; k < count; ++k) {
    float sw = 0.0f, su = 0.0f, sv = 0.0f;
    if (kRight) {
      sw += wr[k];
      su += wr[k] * (u_r[k] + du_r[k] - u[k]);
      sv += wr[k] * (v_r[k] + dv_r[k] - v[k]);
    }
    if (kLeft) {
      sw += wr_left[k];
      su += wr_left[k] * (u_l[k] + du_l[k] - u[k]);
      sv += wr_left[k] * (v_l[k] + dv_l[k] - v[k]);
    }
    sw += wb[k];
    su += wb[k] * (u_o[k + 1] + du_o[k + 1] - u[k]);
    sv += wb[k] * (v_o[k + 1] + dv_o[k + 1] - v[k]);
    sw += wb_above[k];
    su += wb_above[k] * (u_o[k] + du_o[k] - u[k]);
    sv += wb_above[k] * (v_o[k] + dv_o[k] - v[k]);
    const float d11 = a11[k] + sw + damping;
    const float d22 = a22[k] + sw + damping;
    const float nu = (1.0f - omega) * du[k] + omega * (b1[k] + su - a12[k] * dv[k]) / d11;
    du[k] = nu;
    dv[k] = (1.0f - omega) * dv[k] + omega * (b2[k] + sv - a12[k] * nu) / d22;
  }
}

// The pixels of one colour in column x: rows y = 2k + parity.
void SorColumn(const SorSystem& s, int x, int w, int h, int parity) {
  const Index he = (h + 1) / 2;
  const Index base = Index{x} * h;
  const Index self0 = base + (parity ? he : 0);  // the run being updated
  const Index other0 = base + (parity ? 0 : he);  // the other rows of the column
  const int count = parity ? h / 2 : (h + 1) / 2;
  const bool left = x > 0, right = x + 1 < w;
  // Row 2k + parity has its neighbour above at other0 + k + parity - 1 and
  // below at other0 + k + parity; both exist for k in [lo, hi).
  const int lo = 1 - parity;
  const int hi = std::max(lo, std::min(count, (h - parity) / 2));
  const auto scalar = [&](int k) {
    const int y = 2 * k + parity;
    const Index above = y > 0 ? other0 + k + parity - 1 : -1;
    const Index below = y + 1 < h ? other0 + k + parity : -1;
    SorPixel(s, self0 + k, h, left, right, above, below);
  };
  for (int k = 0; k < std::min(lo, count); ++k) scalar(k);
  if (hi > lo) {
    const Index p = self0 + lo, o = other0 + lo + parity - 1;
    const Index hh = h;
    // Left/right reads of a missing column point at the run itself; the
    // kernel variant that skips them never touches them.
    const Index r = right ? p + hh : p, l = left ? p - hh : p;
    const auto run = [&](auto kernel) {
      kernel(hi - lo, s.omega, s.damping, s.u + p, s.v + p, s.a11 + p, s.a12 + p, s.a22 + p,
             s.b1 + p, s.b2 + p, s.wr + p, s.wr + l, s.wb + p, s.wb + o, s.u + o, s.v + o,
             s.du + o, s.dv + o, s.u + r, s.v + r, s.du + r, s.dv + r, s.u + l, s.v + l,
             s.du + l, s.dv + l, s.du + p, s.dv + p);
    };
    if (left && right) run(SorRun<true, true>);
    else if (left) run(SorRun<true, false>);
    else if (right) run(SorRun<false, true>);
    else run(SorRun<false, false>);
  }
  for (int k = std::max(hi, lo); k < count; ++k) scalar(k);
}

// Image 2's 6 * nc planes (pixel-major in `packed`, w2 x h2) at the warped
// positions of column x of image 1 (displacements u, v over its h rows),
// into `sampled` plane after plane (h floats each); inside[y]: whether the
// match lies in image 2 or within `margin` pixels past its edge (else its
// samples are 0). Bicubic (cubic) where the 4 x 4 taps lie inside image 2,
// bilinear elsewhere; every plane with the same weights. Past the edge, each
// channel's value and gradient are carried on from the nearest point of
// image 2 by its first derivatives (measured against a point 2 px inside,
// beyond the reach of the derivatives' stencils: that lost a little on the
// warps and the field pairs alike). acc: n_plane2 * h floats of workspace;
// taps: 8 * h floats, whole: 3 * h ints.
// kM: n_plane2 when known at compile time (0: not), so that the loops over
// the planes unroll into whole vectors (with 18 planes counted at run time
// the bicubic samples took five times as long).
// ColumnTaps' rows: kind 0 outside image 2 (and its margin), 1 bicubic, 2
// bilinear, 3 within the margin (bilinear at the nearest point); the
// whole parts and CubicWeights' weights (the same operations, so the same
// bits) of x + u[y], y + v[y]. Every output its own restrict pointer and no
// short-circuit operators: GCC then vectorises the loop.
__attribute__((always_inline)) inline void ColumnTaps(
    int x, int h, const float* __restrict u, const float* __restrict v, int w2, int h2,
    float margin, int use_cubic, int* __restrict xfs, int* __restrict yfs, int* __restrict kind,
    float* __restrict wx0, float* __restrict wx1, float* __restrict wx2, float* __restrict wx3,
    float* __restrict wy0, float* __restrict wy1, float* __restrict wy2, float* __restrict wy3) {
  for (int y = 0; y < h; ++y) {
    const float xw = x + u[y], yw = y + v[y];
    const int in = (xw >= 0.0f) & (xw <= w2 - 1) & (yw >= 0.0f) & (yw <= h2 - 1);
    const int near = (xw >= -margin) & (xw <= w2 - 1 + margin) & (yw >= -margin) &
                     (yw <= h2 - 1 + margin);
    // Clamped as in SampleBilinear (not a number: 0) so that the
    // conversion is defined; inside image 2 the clamps change nothing.
    float xc = xw > 0.0f ? xw : 0.0f, yc = yw > 0.0f ? yw : 0.0f;
    xc = xc < w2 - 1.0f ? xc : w2 - 1.0f;
    yc = yc < h2 - 1.0f ? yc : h2 - 1.0f;
    const int xf = static_cast<int>(xc), yf = static_cast<int>(yc);
    const int bicubic =
        use_cubic & (xf >= 1) & (xf + 2 <= w2 - 1) & (yf >= 1) & (yf + 2 <= h2 - 1);
    kind[y] = in * (2 - bicubic) + (1 - in) * near * 3;
    xfs[y] = xf;
    yfs[y] = yf;
    const float tx = xw - xf, ty = yw - yf;
    const float sx = 1.0f - tx, sy = 1.0f - ty;
    wx0[y] = -0.5f * tx * sx * sx;
    wx1[y] = (1.5f * tx - 2.5f) * tx * tx + 1.0f;
    wx2[y] = (-1.5f * tx + 2.0f) * tx * tx + 0.5f * tx;
    wx3[y] = -0.5f * tx * tx * sx;
    wy0[y] = -0.5f * ty * sy * sy;
    wy1[y] = (1.5f * ty - 2.5f) * ty * ty + 1.0f;
    wy2[y] = (-1.5f * ty + 2.0f) * ty * ty + 0.5f * ty;
    wy3[y] = -0.5f * ty * ty * sy;
  }
}

template <int kM>
DENSECORR_WIDE_CLONES void SampleColumn(int x, int h, const float* __restrict u,
                                        const float* __restrict v, const float* __restrict packed,
                                        int w2, int h2, float margin, int n_plane2, bool cubic,
                                        float* __restrict sampled, unsigned char* __restrict inside,
                                        float* __restrict acc, float* __restrict taps,
                                        int* __restrict whole) {
  const int m = kM > 0 ? kM : n_plane2;
  // First the rows' whole parts, kinds and cubic weights, in a loop over
  // the rows that vectorises (one row at a time, they took a fifth of the
  // sampling).
  float* const wx = taps;  // 4 planes of h: weights of columns xf - 1 .. xf + 2
  float* const wy = wx + 4 * Index{h};
  int* const kind = whole + 2 * Index{h};
  ColumnTaps(x, h, u, v, w2, h2, margin, cubic ? 1 : 0, whole, whole + h, kind, wx, wx + h,
             wx + 2 * h, wx + 3 * h, wy, wy + h, wy + 2 * h, wy + 3 * h);
  for (int y = 0; y < h; ++y) {
    float* const out = acc + Index{y} * m;
    const int k = kind[y];
    inside[y] = static_cast<unsigned char>(k != 0);
    if (k == 0) {
      for (int e = 0; e < m; ++e) out[e] = 0.0f;
      continue;
    }
    if (k == 1) {
      const int xf = whole[y], yf = whole[h + y];
      // A column's 4 rows of taps lie together: rows first, then columns.
      const float wy0 = wy[y], wy1 = wy[h + y], wy2 = wy[2 * h + y], wy3 = wy[3 * h + y];
      const float wx0 = wx[y], wx1 = wx[h + y], wx2 = wx[2 * h + y], wx3 = wx[3 * h + y];
      const float* c0 = packed + (Index{xf - 1} * h2 + (yf - 1)) * m;
      const float* c1 = c0 + Index{h2} * m;
      const float* c2 = c1 + Index{h2} * m;
      const float* c3 = c2 + Index{h2} * m;
      const auto rows = [=](const float* c, int e) {
        return ((wy0 * c[e] + wy1 * c[m + e]) + wy2 * c[2 * m + e]) + wy3 * c[3 * m + e];
      };
      for (int e = 0; e < m; ++e)
        out[e] = ((wx0 * rows(c0, e) + wx1 * rows(c1, e)) + wx2 * rows(c2, e)) +
                 wx3 * rows(c3, e);
    } else {
      // SampleBilinear's corners and weights (inside, its clamps change
      // nothing).
      const float xr = x + u[y], yr = y + v[y];
      const float xw = k == 3 ? std::min(std::max(xr, 0.0f), w2 - 1.0f) : xr;
      const float yw = k == 3 ? std::min(std::max(yr, 0.0f), h2 - 1.0f) : yr;
      const int x0 = std::min(static_cast<int>(xw), w2 - 1);
      const int y0 = std::min(static_cast<int>(yw), h2 - 1);
      const int x1 = std::min(x0 + 1, w2 - 1), y1 = std::min(y0 + 1, h2 - 1);
      const float fx = xw - x0, fy = yw - y0;
      const float* c00 = packed + (Index{x0} * h2 + y0) * m;
      const float* c10 = packed + (Index{x1} * h2 + y0) * m;
      const float* c01 = packed + (Index{x0} * h2 + y1) * m;
      const float* c11 = packed + (Index{x1} * h2 + y1) * m;
      for (int e = 0; e < m; ++e) {
        out[e] = (c00[e] * (1.0f - fx) + c10[e] * fx) * (1.0f - fy) +
                 (c01[e] * (1.0f - fx) + c11[e] * fx) * fy;
      }
      if (k == 3) {
        // Just past image 2's edge: its value and gradient carried on from
        // the nearest point by their own derivatives.
        const float ox = xr - xw, oy = yr - yw;
        for (int e = 0; e + 6 <= m; e += 6) {
          const float i0 = out[e], ix = out[e + 1], iy = out[e + 2];
          const float ixx = out[e + 3], ixy = out[e + 4], iyy = out[e + 5];
          out[e] = i0 + (ix * ox + iy * oy);
          out[e + 1] = ix + (ixx * ox + ixy * oy);
          out[e + 2] = iy + (ixy * ox + iyy * oy);
        }
      }
    }
  }
  // Plane after plane: strided loads cost less than strided stores.
  for (int e = 0; e < m; ++e) {
    float* const plane = sampled + Index{e} * h;
    for (int y = 0; y < h; ++y) plane[y] = acc[Index{y} * m + e];
  }
}

// One pixel's right-hand-side term of the slope targets (see RefineLevel):
// each neighbour edge's weight (the mean of its two pixels' psi_s) times
// its slope target, 0 for an edge the pixel does not have.
template <bool kLeft, bool kRight, bool kAbove, bool kBelow>
DENSECORR_INLINE float SlopeTerm(const float* ps, const float* tx, const float* ty,
                                 const float* wr_col, const float* wb_col, int h, int y) {
  const float w_left = kLeft ? 0.5f * (ps[y - h] + ps[y]) : 0.0f;
  const float w_above = kAbove ? 0.5f * (ps[y - 1] + ps[y]) : 0.0f;
  const float t_left = kLeft ? 0.5f * (tx[y - h] + tx[y]) : 0.0f;
  const float t_right = kRight ? 0.5f * (tx[y] + tx[y + h]) : 0.0f;
  const float t_above = kAbove ? 0.5f * (ty[y - 1] + ty[y]) : 0.0f;
  const float t_below = kBelow ? 0.5f * (ty[y] + ty[y + 1]) : 0.0f;
  return (t_left * w_left - t_right * wr_col[y]) + (t_above * w_above - t_below * wb_col[y]);
}

// SlopeTerm down a column (kLeft, kRight: whether the column has neighbours
// on those sides): the first and last rows on their own, so that the rows
// between run with no branch, in vectors.
template <bool kLeft, bool kRight>
DENSECORR_WIDE_CLONES void SlopeTermsColumn(const float* __restrict ps, const float* __restrict tx,
                                            const float* __restrict ty,
                                            const float* __restrict wr_col,
                                            const float* __restrict wb_col, int h,
                                            float* __restrict out) {
  if (h == 1) {
    out[0] = SlopeTerm<kLeft, kRight, false, false>(ps, tx, ty, wr_col, wb_col, h, 0);
    return;
  }
  out[0] = SlopeTerm<kLeft, kRight, false, true>(ps, tx, ty, wr_col, wb_col, h, 0);
  for (int y = 1; y + 1 < h; ++y)
    out[y] = SlopeTerm<kLeft, kRight, true, true>(ps, tx, ty, wr_col, wb_col, h, y);
  out[h - 1] = SlopeTerm<kLeft, kRight, true, false>(ps, tx, ty, wr_col, wb_col, h, h - 1);
}

// `passes` box filters of radius r over a plane (w x h, column-major),
// borders replicated: about a Gaussian of sigma r * sqrt(passes / 3). Down
// the columns, each sum of the 2r + 1 rows in row order (loops over a
// column's rows vectorise; a running sum there would be one long chain of
// dependent adds); across them, running sums along each row, a block of
// rows per thread (again over a column's rows). Either way the result does
// not depend on the thread count. scratch: w * h floats.
// BoxSmooth's column: d = the sums of c's 2r + 1 rows around each row, times
// norm.
DENSECORR_WIDE_CLONES void BoxColumn(const float* __restrict c, int h, int r, float norm,
                                     float* __restrict d) {
  for (int y = 0; y < h; ++y) d[y] = 0.0f;
  for (int i = -r; i <= r; ++i) {
    // Rows whose row y + i lies inside the column.
    const int lo = std::min(std::max(-i, 0), h);
    const int hi = std::max(lo, std::min(h - i, h));
    for (int y = 0; y < lo; ++y) d[y] += c[0];
    for (int y = lo; y < hi; ++y) d[y] += c[y + i];
    for (int y = hi; y < h; ++y) d[y] += c[h - 1];
  }
  for (int y = 0; y < h; ++y) d[y] *= norm;
}

// BoxSmooth's step across the columns: d = acc * norm, then the running
// sums move on by one column.
DENSECORR_WIDE_CLONES void BoxStep(float* __restrict acc, const float* __restrict add,
                                   const float* __restrict drop, int rows, float norm,
                                   float* __restrict d) {
  for (int y = 0; y < rows; ++y) {
    d[y] = acc[y] * norm;
    acc[y] += add[y] - drop[y];
  }
}

void BoxSmooth(const float* in, int w, int h, int r, int passes, float* out, float* scratch) {
  const Index n = Index{w} * h;
  const float norm = 1.0f / static_cast<float>(2 * r + 1);
  const float* src = in;
  for (int pass = 0; pass < passes; ++pass) {
    // Down the columns into scratch.
    ParallelFor(w, n >= kParallelPixels, [&](int x) {
      BoxColumn(src + Index{x} * h, h, r, norm, scratch + Index{x} * h);
    });
    // Across the columns into out: a running column of sums, a block of
    // rows per thread (each row's sums are the same whatever the blocks).
    const int parts = n >= kParallelPixels && TeamPossible() ? MaxThreads() : 1;
    ParallelFor(parts, parts > 1, [&](int part) {
      const int y0 = static_cast<int>(Index{h} * part / parts);
      const int y1 = static_cast<int>(Index{h} * (part + 1) / parts);
      const int rows = y1 - y0;
      std::unique_ptr<float[]> sum(new float[std::max(rows, 1)]);
      float* __restrict acc = sum.get();
      for (int y = 0; y < rows; ++y) acc[y] = 0.0f;
      for (int i = -r; i <= r; ++i) {
        const float* __restrict c = scratch + Index{std::min(std::max(i, 0), w - 1)} * h + y0;
        for (int y = 0; y < rows; ++y) acc[y] += c[y];
      }
      for (int x = 0; x < w; ++x) {
        BoxStep(acc, scratch + Index{std::min(x + r + 1, w - 1)} * h + y0,
                scratch + Index{std::max(x - r, 0)} * h + y0, rows, norm, out + Index{x} * h + y0);
      }
    });
    src = out;
  }
}

// The smoothness term's slope targets (du/dx, du/dy, dv/dx, dv/dy planes,
// n apart): the starting field's own slopes, averaged over about 6 pixels
// (three box passes of radius 6). A smooth non-rigid motion then costs
// nothing either, and where the data say little (a flat area, the band
// along the border) the field carries on the local motion instead of the
// global one (measured on the accuracy command's rendered pairs: 0.16 ->
// 0.09 px mean error; the viewpoint pair's pixels within 1 px 75 -> 77 %).
// Pixels with a slope more than kSlopeReach from the trend's (a motion
// boundary's step) are left out of the means, which would spread the step
// into ramps beside it: a normalised convolution, with the trend's slopes
// where nothing is left. trend: the trend's 4 slopes; kept, share, scratch:
// n floats each.
void SlopeTargets(const float* u, const float* v, int w, int h, const float* trend, float* kept,
                  float* share, float* scratch, float* out) {
  constexpr int kSlopeRadius = 6;
  constexpr int kSlopePasses = 3;
  constexpr float kSlopeReach = 0.6f;
  const Index n = Index{w} * h;
  // out: each slope's departure from the trend; kept: 1 where all four
  // are within reach (those departures stay, the others become 0); share:
  // the kept share of each mean.
  ParallelFor(w, n >= kParallelPixels, [&](int x) {
    const Index col = Index{x} * h;
    const int xl = std::max(x - 1, 0), xr = std::min(x + 1, w - 1);
    const float scale = xr - xl == 2 ? 0.5f : 1.0f;
    const float* const fields[2] = {u, v};
    for (int f = 0; f < 2; ++f) {
      // Central differences, one-sided at the border.
      const float* const l = fields[f] + Index{xl} * h;
      const float* const r = fields[f] + Index{xr} * h;
      const float* const c = fields[f] + col;
      float* const dx = out + 2 * f * n + col;
      float* const dy = dx + n;
      for (int y = 0; y < h; ++y) dx[y] = (xr == xl ? 0.0f : scale * (r[y] - l[y])) - trend[2 * f];
      if (h == 1) {
        dy[0] = 0.0f - trend[2 * f + 1];
      } else {
        dy[0] = (c[1] - c[0]) - trend[2 * f + 1];
        for (int y = 1; y + 1 < h; ++y) dy[y] = 0.5f * (c[y + 1] - c[y - 1]) - trend[2 * f + 1];
        dy[h - 1] = (c[h - 1] - c[h - 2]) - trend[2 * f + 1];
      }
    }
    float* const m = kept + col;
    for (int y = 0; y < h; ++y) {
      bool near = true;
      for (int k = 0; k < 4; ++k) near = near && std::fabs(out[k * n + col + y]) <= kSlopeReach;
      m[y] = near ? 1.0f : 0.0f;
      for (int k = 0; k < 4; ++k) out[k * n + col + y] = near ? out[k * n + col + y] : 0.0f;
    }
  });
  BoxSmooth(kept, w, h, kSlopeRadius, kSlopePasses, share, scratch);
  for (int k = 0; k < 4; ++k) {
    float* const plane = out + k * n;
    BoxSmooth(plane, w, h, kSlopeRadius, kSlopePasses, plane, scratch);
    for (Index p = 0; p < n; ++p)
      plane[p] = trend[k] + (share[p] > 1e-3f ? plane[p] / share[p] : 0.0f);
  }
}

// Gradient constancy under the trend: where image 2 is image 1 moved by the
// affine map x -> x + (u, v) with Jacobian J = I + slopes, image 1's
// gradient is J^T times image 2's, so image 1's gradients become J^-T g and
// its second derivatives J^-T H J^-1 before they are compared with image 2's.
// A rotation, zoom or shear then leaves the gradient term unbiased
// (measured: a viewpoint pair's pixels within 1 px 72 -> 75 %).
// d1: image 1's 6 planes per channel (value, x, y, xx, xy, yy), n apart.
void UnderTrend(const float* trend, Index n, int nc, float* d1) {
  const float a = 1.0f + trend[0], b = trend[1], c = trend[2], d = 1.0f + trend[3];
  const float det = a * d - b * c;
  if (!(std::fabs(det) > 1e-3f)) return;  // a degenerate trend: leave the images be
  // M = J^-T.
  const float m00 = d / det, m01 = -c / det, m10 = -b / det, m11 = a / det;
  for (int ch = 0; ch < nc; ++ch) {
    float* const g = d1 + Index{6 * ch} * n;
    float* __restrict gx = g + n;
    float* __restrict gy = g + 2 * n;
    float* __restrict hxx = g + 3 * n;
    float* __restrict hxy = g + 4 * n;
    float* __restrict hyy = g + 5 * n;
    for (Index p = 0; p < n; ++p) {
      const float x = gx[p], y = gy[p];
      gx[p] = m00 * x + m01 * y;
      gy[p] = m10 * x + m11 * y;
      const float t00 = m00 * hxx[p] + m01 * hxy[p], t01 = m00 * hxy[p] + m01 * hyy[p];
      const float t10 = m10 * hxx[p] + m11 * hxy[p], t11 = m10 * hxy[p] + m11 * hyy[p];
      hxx[p] = t00 * m00 + t01 * m01;
      hxy[p] = t00 * m10 + t01 * m11;
      hyy[p] = t10 * m10 + t11 * m11;
    }
  }
}

// One scale: warps, fixed-point steps and SOR sweeps on (u, v), attached to
// the anchor field with per-pixel weights (null: no attachment) and the
// pull's shape (anchor_t: 3 planes, null: the same every way); slopes: the
// trend's du/dx, du/dy, dv/dx, dv/dy in this scale's pixels, from which the
// smoothness term measures the field's gradient (null: from 0); ratio: this
// scale's size relative to the finest (1 at the finest).
void RefineLevel(const PlanarImage& image1, const PlanarImage& image2,
                 const FlowRefineParams& params, const float* anchor_u, const float* anchor_v,
                 const float* anchor_w, const float* anchor_t, const float* slopes,
                 Workspace& ws, float* u, float* v, StopToken* stop, float ratio = 1.0f) {
  const int w = image1.width, h = image1.height, nc = image1.channels;
  const int w2 = image2.width, h2 = image2.height;
  if (w <= 0 || h <= 0 || w2 <= 0 || h2 <= 0 || params.n_warps <= 0) return;
  if (image2.channels != nc) throw std::invalid_argument("flow refinement: channel counts differ");
  const Index n = Index{w} * h, n2 = Index{w2} * h2;

  // Smoothed images and their derivatives: image 1's once, image 2's once
  // (warped at every re-linearisation). Per channel: value, x, y, xx, xy,
  // yy. Each channel is smoothed straight into its value plane, with its x
  // plane (written next) as the blur's scratch: no image-sized buffers of
  // their own (memory a first call must fault in).
  float* const d1 = ws.d1;
  float* const d2 = ws.d2;
  const auto derivatives = [&](const float* image, int ww, int hh, float* out) {
    const Index m = Index{ww} * hh;
    GaussianBlur(image, ww, hh, 1, params.presmooth_sigma, out, out + m);
    Derivative(out, ww, hh, true, out + m);
    Derivative(out, ww, hh, false, out + 2 * m);
    Derivative(out + m, ww, hh, true, out + 3 * m);
    Derivative(out + m, ww, hh, false, out + 4 * m);
    Derivative(out + 2 * m, ww, hh, false, out + 5 * m);
  };
  for (int c = 0; c < nc; ++c) {
    derivatives(image1.data + c * n, w, h, d1 + c * 6 * n);
    derivatives(image2.data + c * n2, w2, h2, d2 + c * 6 * n2);
  }
  // Image 2's planes are read at the warped positions, four corners per
  // sample: pixel-major, the 6 * nc values a corner gives lie together.
  const int n_plane2 = 6 * nc;
  float* const d2_packed = ws.d2_packed;
  ParallelFor(w2, n2 >= kParallelPixels, [&](int x) {
    // Plane by plane down the column: the planes lie a multiple of 4 kB
    // apart at common sizes (320 x 240), so a pixel's n_plane2 values all
    // fall in one set of the first-level cache; the packed column (n_plane2
    // * h2 floats) stays in that cache while it fills.
    const float* column = d2 + Index{x} * h2;
    float* const packed = d2_packed + Index{x} * h2 * n_plane2;
    for (int k = 0; k < n_plane2; ++k) {
      const float* const plane = column + k * n2;
      for (int y = 0; y < h2; ++y) packed[Index{y} * n_plane2 + k] = plane[y];
    }
  });

  // Smoothness weight per pixel from image 1's edges: the flow may change
  // where the image does.
  float* const edge = ws.edge;
  for (Index p = 0; p < n; ++p) {
    float g2 = 0.0f;
    for (int c = 0; c < nc; ++c) {
      const float gx = d1[c * 6 * n + n + p], gy = d1[c * 6 * n + 2 * n + p];
      g2 += gx * gx + gy * gy;
    }
    edge[p] = params.smoothness * std::exp(-params.edge_sharpness * std::sqrt(g2 / nc));
  }
  float* const slope = ws.slope;
  if (slopes != nullptr) {
    // du, dv and psi_s are free until the first warp.
    SlopeTargets(u, v, w, h, slopes, ws.du, ws.dv, ws.blur, slope);
    UnderTrend(slopes, n, nc, d1);
  } else {
    std::fill(slope, slope + 4 * n, 0.0f);
  }

  // Per-pixel quadratic forms of the linearised data terms: for a step
  // (du, dv), residual^2 summed over channels = [du dv 1] T [du dv 1]^T,
  // T's entries t11 t12 t13 t22 t23 t33 for the brightness term, then for
  // the gradient term: 12 planes.
  float* const tensor = ws.tensor;
  float* const du = ws.du;
  float* const dv = ws.dv;
  float* const psi_s = ws.psi_s;
  float* const a11 = ws.a11;
  float* const a12 = ws.a12;
  float* const a22 = ws.a22;
  float* const b1 = ws.b1;
  float* const b2 = ws.b2;
  // Weights of the edges to the right (x+1) and below (y+1) neighbours.
  float* const wr = ws.wr;
  float* const wb = ws.wb;
  // The SOR's copies of the field and the step; a11 .. wb are written
  // straight into that layout.
  float* const u_split = ws.u_split;
  float* const v_split = ws.v_split;
  float* const du_split = ws.du_split;
  float* const dv_split = ws.dv_split;

  // Keeps a data term from dividing by a flat patch's zero gradient, in the
  // images' [0, 1] units.
  const float zeta2 = 1e-4f;
  // The brightness term's floor shrinks with the scale (ratio^1.5): a coarse
  // pixel averages many fine ones, so its noise is smaller and its faint
  // gradients (sky, haze, vignetting) are real. With the finest scale's floor
  // everywhere, such areas were held by the smoothness term alone, carried
  // the motion of the textured pixels beside them to the image's borders and
  // ended there 1 - 3 px off, where the finest scale, started that far off,
  // cannot pull them back (measured on the accuracy command's pairs; ratio^2
  // gains as much there but costs the viewpoint pair, a fixed lower floor at
  // every coarse scale costs it more). The gradient term keeps its floor: its
  // second derivatives are noisier, and a lower floor there loses on fine
  // repetitive texture.
  const float zeta2b = zeta2 * ratio * std::sqrt(ratio);
  const float eps_data2 = 1e-4f, eps_smooth2 = 1e-6f;
  // A small pull of each step towards 0: where neither the data nor the
  // neighbours constrain a pixel (a flat image, a lone pixel) the step stays
  // put instead of dividing by a vanishing term.
  const float step_damping = 1e-2f;
  const float eps_anchor2 = 0.01f;

  // The no-data mask's pixel under each column's and row's centre.
  std::vector<int> no_data_column, no_data_row;
  if (params.no_data != nullptr) {
    const auto under = [](int i, int size, int full) {
      const int at = static_cast<int>((i + 0.5) * full / size);
      return std::min(std::max(at, 0), full - 1);
    };
    no_data_column.resize(w);
    no_data_row.resize(h);
    for (int x = 0; x < w; ++x) no_data_column[x] = under(x, w, params.no_data_width);
    for (int y = 0; y < h; ++y) no_data_row[y] = under(y, h, params.no_data_height);
  }
  // In this scale's pixels (not a number: no margin).
  const float edge_margin = params.edge_margin * ratio;
  for (int warp = 0; warp < params.n_warps; ++warp) {
    if (stop != nullptr && stop->StopRequested(true)) throw Stopped();
    const bool threaded = n >= kParallelPixels && TeamPossible();
    OnTeam(threaded, [&] {
      // One column at a time: image 2's values at the warped positions are
      // gathered first, then the tensors come from loops over the column's
      // rows, which vectorise.
      auto sampled = AllocScratch<float>(Index{n_plane2} * h);
      auto inside = AllocScratch<unsigned char>(h);
      auto acc = AllocScratch<float>(Index{n_plane2} * h);  // pixel after pixel
      auto taps = AllocScratch<float>(8 * Index{h});
      auto whole = AllocScratch<int>(3 * Index{h});
      TeamFor(w, threaded, [&](int x) {
        const Index col = Index{x} * h;
        // Colour and grey images, then any other channel count.
        const auto sample = n_plane2 == 18 ? SampleColumn<18>
                            : n_plane2 == 6 ? SampleColumn<6>
                                            : SampleColumn<0>;
        sample(x, h, u + col, v + col, d2_packed, w2, h2, edge_margin, n_plane2, params.bicubic,
               sampled.get(), inside.get(), acc.get(), taps.get(), whole.get());
        float* t[12];
        for (int k = 0; k < 12; ++k) t[k] = tensor + k * n + col;
        for (int k = 0; k < 12; ++k)
          for (int y = 0; y < h; ++y) t[k][y] = 0.0f;
        for (int c = 0; c < nc; ++c) {
          const float* s1[6];
          const float* q[6];
          for (int k = 0; k < 6; ++k) {
            s1[k] = d1 + (6 * c + k) * n + col;
            q[k] = sampled.get() + Index{6 * c + k} * h;
          }
          TensorColumn(h, zeta2, zeta2b, q[0], q[1], q[2], q[3], q[4], q[5], s1[0], s1[1], s1[2],
                       s1[3], s1[4], s1[5], t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8],
                       t[9], t[10], t[11]);
        }
        // A match outside image 2 has no data term, nor a pixel of image 1
        // that shows nothing.
        const std::uint8_t* no_data =
            params.no_data == nullptr
                ? nullptr
                : params.no_data + Index{no_data_column[x]} * params.no_data_height;
        for (int y = 0; y < h; ++y) {
          if (!inside[y] || (no_data != nullptr && no_data[no_data_row[y]]))
            for (int k = 0; k < 12; ++k) t[k][y] = 0.0f;
        }
        for (int y = 0; y < h; ++y) {
          du[col + y] = 0.0f;
          dv[col + y] = 0.0f;
        }
      });
    });

    ToSplit(u, w, h, u_split);
    ToSplit(v, w, h, v_split);
    for (int fp = 0; fp < params.n_fixed_point; ++fp) {
      // Polled again before each sweep: a step of a large image takes
      // tens of milliseconds, a poll (at most one host call per 5 ms) nothing.
      if (stop != nullptr && stop->StopRequested(true)) throw Stopped();
      // Robust weights at the current step, a column at a time: the loops
      // over its rows vectorise, the square roots taken between them.
      RobustTerms terms;
      terms.brightness = params.brightness;
      terms.gradient = params.gradient;
      terms.anchor = params.anchor;
      terms.eps_smooth2 = eps_smooth2;
      terms.eps_data2 = eps_data2;
      terms.eps_anchor2 = eps_anchor2;
      const bool threaded = n >= kParallelPixels && TeamPossible();
      OnTeam(threaded, [&] {
        auto buffer = AllocScratch<float>(11 * Index{h} + 4);
        float* const ext_u = buffer.get();        // h + 2: u + du, rows -1 .. h
        float* const ext_v = ext_u + (h + 2);     // h + 2
        float* const root_s = ext_v + (h + 2);    // h each from here
        float* const root_b = root_s + h;
        float* const root_g = root_b + h;
        float* const root_m = root_g + h;
        float* const out = root_m + h;            // 5 planes: a11 a12 a22 b1 b2
        TeamFor(w, threaded, [&](int x) {
          const Index col = Index{x} * h;
          const Index cr = x + 1 < w ? col + h : col, cl = x > 0 ? col - h : col;
          for (int y = 0; y < h; ++y) {
            ext_u[y + 1] = u[col + y] + du[col + y];
            ext_v[y + 1] = v[col + y] + dv[col + y];
          }
          ext_u[0] = ext_u[1];
          ext_v[0] = ext_v[1];
          ext_u[h + 1] = ext_u[h];
          ext_v[h + 1] = ext_v[h];
          const float* t = tensor + col;
          const bool pulled = anchor_w != nullptr;
          const bool shaped = pulled && anchor_t != nullptr;
          RobustArguments(terms, h, n, u + cr, du + cr, u + cl, du + cl, v + cr, dv + cr, v + cl,
                          dv + cl, ext_u, ext_v, u + col, v + col, du + col, dv + col, t,
                          pulled ? anchor_u + col : nullptr, pulled ? anchor_v + col : nullptr,
                          slope + col, slope + n + col, slope + 2 * n + col, slope + 3 * n + col,
                          root_s, root_b, root_g, root_m, shaped ? anchor_t + col : nullptr);
          SqrtInPlace(root_s, h);
          SqrtInPlace(root_b, h);
          SqrtInPlace(root_g, h);
          if (pulled) SqrtInPlace(root_m, h);
          RobustOutputs(terms, h, n, edge + col, t, root_s, root_b, root_g, u + col, v + col,
                        pulled ? anchor_u + col : nullptr, pulled ? anchor_v + col : nullptr,
                        pulled ? anchor_w + col : nullptr, root_m,
                        shaped ? anchor_t + col : nullptr, psi_s + col, out);
          if (params.horizontal_only) {
            // With no coupling and no right-hand side, dv stays exactly 0.
            for (int y = 0; y < h; ++y) out[h + y] = out[4 * h + y] = 0.0f;
          }
          // Into the SOR's layout: even rows, then odd rows.
          float* const dst[5] = {a11, a12, a22, b1, b2};
          for (int k = 0; k < 5; ++k) {
            const float* src_col = out + Index{k} * h;
            float* even = dst[k] + col;
            float* odd = even + (h + 1) / 2;
            for (int m = 0; 2 * m < h; ++m) even[m] = src_col[2 * m];
            for (int m = 0; 2 * m + 1 < h; ++m) odd[m] = src_col[2 * m + 1];
          }
        });
      });
      OnTeam(threaded, [&] {
        // A column at a time in row order (loops that vectorise), then
        // into the SOR's layout.
        auto buffer = AllocScratch<float>(4 * Index{h});
        float* const wr_col = buffer.get();
        float* const wb_col = wr_col + h;
        float* const b1_col = wb_col + h;  // the trend's terms of b1, b2
        float* const b2_col = b1_col + h;
        TeamFor(w, threaded, [&](int x) {
          const float* const ps = psi_s + Index{x} * h;
          if (x + 1 < w) {
            for (int y = 0; y < h; ++y) wr_col[y] = 0.5f * (ps[y] + ps[y + h]);
          } else {
            for (int y = 0; y < h; ++y) wr_col[y] = 0.0f;
          }
          for (int y = 0; y + 1 < h; ++y) wb_col[y] = 0.5f * (ps[y] + ps[y + 1]);
          wb_col[h - 1] = 0.0f;
          float* const dst[2] = {wr + Index{x} * h, wb + Index{x} * h};
          const float* const src[2] = {wr_col, wb_col};
          for (int k = 0; k < 2; ++k) {
            float* even = dst[k];
            float* odd = even + (h + 1) / 2;
            for (int m = 0; 2 * m < h; ++m) even[m] = src[k][2 * m];
            for (int m = 0; 2 * m + 1 < h; ++m) odd[m] = src[k][2 * m + 1];
          }
          if (slopes != nullptr) {
            // Each neighbour's difference is measured from the slope
            // target of the edge between them (the mean of its two
            // pixels'): fixed during the solve, so it moves to the
            // right-hand side.
            const Index col = Index{x} * h;
            const float* const sx[2] = {slope + col, slope + 2 * n + col};  // d/dx of u, v
            const float* const sy[2] = {slope + n + col, slope + 3 * n + col};  // d/dy
            float* const b_col[2] = {b1_col, b2_col};
            for (int k = 0; k < 2; ++k) {
              const float* const tx = sx[k];
              const float* const ty = sy[k];
              const auto column = x > 0 ? (x + 1 < w ? SlopeTermsColumn<true, true>
                                                     : SlopeTermsColumn<true, false>)
                                        : (x + 1 < w ? SlopeTermsColumn<false, true>
                                                     : SlopeTermsColumn<false, false>);
              column(ps, tx, ty, wr_col, wb_col, h, b_col[k]);
            }
            float* const b[2] = {b1 + Index{x} * h, b2 + Index{x} * h};
            const float* const add[2] = {b1_col, b2_col};
            for (int k = 0; k < 2; ++k) {
              float* even = b[k];
              float* odd = even + (h + 1) / 2;
              for (int m = 0; 2 * m < h; ++m) even[m] += add[k][2 * m];
              for (int m = 0; 2 * m + 1 < h; ++m) odd[m] += add[k][2 * m + 1];
            }
          }
        });
      });
      // Red-black SOR: pixels of one colour read only the other's, so the
      // sweep is the same whatever the thread count. (The step starts at 0
      // in each warp.)
      if (fp == 0) {
        std::fill(du_split, du_split + n, 0.0f);
        std::fill(dv_split, dv_split + n, 0.0f);
      } else {
        ToSplit(du, w, h, du_split);
        ToSplit(dv, w, h, dv_split);
      }
      const SorSystem system{u_split, v_split, a11, a12, a22, b1, b2, wr, wb,
                             du_split, dv_split, params.sor_omega, step_damping};
      if (n < kParallelPixels || !TeamPossible()) {
        // On one thread, both colours in one pass over the planes: column
        // x's first colour, then column x - 1's second, which reads only
        // first-colour pixels of columns x - 2 .. x, all updated by then.
        for (int sweep = 0; sweep < params.n_sor; ++sweep) {
          if (stop != nullptr && stop->StopRequested(true)) throw Stopped();
          for (int x = 0; x < w; ++x) {
            SorColumn(system, x, w, h, x & 1);
            if (x > 0) SorColumn(system, x - 1, w, h, x & 1);
          }
          SorColumn(system, w - 1, w, h, w & 1);
        }
      } else {
        for (int sweep = 0; sweep < params.n_sor; ++sweep) {
          if (stop != nullptr && stop->StopRequested(true)) throw Stopped();
          for (int colour = 0; colour < 2; ++colour) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
            for (int x = 0; x < w; ++x) SorColumn(system, x, w, h, (x + colour) & 1);
          }
        }
      }
      if (fp + 1 < params.n_fixed_point) {
        FromSplit(du_split, w, h, du);
        FromSplit(dv_split, w, h, dv);
      } else {
        // The last step goes straight into the field.
        AddFromSplit(du_split, w, h, u);
        AddFromSplit(dv_split, w, h, v);
      }
    }
  }
}

}  // namespace

void Halve(const float* in, int w, int h, int channels, float* out) {
  const int hw = (w + 1) / 2, hh = (h + 1) / 2;
  const Index n = Index{w} * h, hn = Index{hw} * hh;
  for (int c = 0; c < channels; ++c) {
    ParallelFor(hw, hn >= kParallelPixels, [&](int x) {
      const int x0 = 2 * x, x1 = std::min(2 * x + 1, w - 1);
      for (int y = 0; y < hh; ++y) {
        const int y0 = 2 * y, y1 = std::min(2 * y + 1, h - 1);
        const float* p = in + c * n;
        out[c * hn + Index{x} * hh + y] =
            0.25f * ((p[Index{x0} * h + y0] + p[Index{x1} * h + y0]) +
                     (p[Index{x0} * h + y1] + p[Index{x1} * h + y1]));
      }
    });
  }
}

namespace {

// The reliable pixels' weighted least-squares affine motion, u = cu3[0] +
// cu3[1] X + cu3[2] Y (likewise v) with X, Y about the image centre; the
// slopes only where the reliable pixels spread far enough to fix them (else
// 0), nothing where there are fewer than 3 (all 0).
void FitTrend(const float* u, const float* v, const float* weight, int w, int h, double* cu3,
              double* cv3) {
  // Weighted normal equations of u, v = c0 + c1 X + c2 Y, X and Y about the
  // centre; double sums in pixel order (the field is small: one thread).
  const double ox = 0.5 * (w - 1), oy = 0.5 * (h - 1);
  double m[3][3] = {}, bu[3] = {}, bv[3] = {};
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const Index p = Index{x} * h + y;
      const double a = std::min(std::max(weight[p], 0.0f), 1.0f);
      if (a <= 0.0) continue;
      const double f[3] = {1.0, x - ox, y - oy};
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[i][j] += a * f[i] * f[j];
        bu[i] += a * f[i] * u[p];
        bv[i] += a * f[i] * v[p];
      }
    }
  }
  for (int i = 0; i < 3; ++i) cu3[i] = cv3[i] = 0.0;
  const double total = m[0][0];
  if (total >= 3.0) {
    cu3[0] = bu[0] / total;
    cv3[0] = bv[0] / total;
    // The slopes only where the reliable pixels spread over a tenth of the
    // shorter side both ways: fitted to a small patch they would throw the
    // far side of the image anywhere.
    const double mx = m[0][1] / total, my = m[0][2] / total;
    const double sxx = m[1][1] / total - mx * mx, syy = m[2][2] / total - my * my;
    const double sxy = m[1][2] / total - mx * my;
    const double half_trace = 0.5 * (sxx + syy);
    const double spread2 =
        half_trace - std::sqrt(std::max(0.0, half_trace * half_trace - (sxx * syy - sxy * sxy)));
    const double least = 0.1 * std::min(w, h);
    if (spread2 >= least * least) {
      // Centred 2 x 2 system for the slopes, then the offset.
      const double ru_x = bu[1] / total - mx * cu3[0], ru_y = bu[2] / total - my * cu3[0];
      const double rv_x = bv[1] / total - mx * cv3[0], rv_y = bv[2] / total - my * cv3[0];
      const double det = sxx * syy - sxy * sxy;
      cu3[1] = (syy * ru_x - sxy * ru_y) / det;
      cu3[2] = (sxx * ru_y - sxy * ru_x) / det;
      cv3[1] = (syy * rv_x - sxy * rv_y) / det;
      cv3[2] = (sxx * rv_y - sxy * rv_x) / det;
      cu3[0] -= cu3[1] * mx + cu3[2] * my;
      cv3[0] -= cv3[1] * mx + cv3[2] * my;
    }
  }
}

// Fills the field where weight is low from where it is high. The reliable
// pixels' least-squares affine motion is taken out first and put back at the
// end, so that a gap along an image border or around a region no match
// reaches carries on the zoom, rotation or shear of its surroundings rather
// than their mean. The rest is filled by weighted halvings down to one pixel
// (push), then at each size back up, each pixel mixing its own value with the
// coarser fill by its weight (pull); at the halved sizes the trend of the
// rest is about zero. Values stay in the units of the input. weight in [0, 1].
void FillByWeight(float* u, float* v, const float* weight, int w, int h) {
  const Index n = Index{w} * h;
  if (w <= 1 && h <= 1) return;
  double cu3[3], cv3[3];
  FitTrend(u, v, weight, w, h, cu3, cv3);
  const double ox = 0.5 * (w - 1), oy = 0.5 * (h - 1);
  const auto trend_u = [&](int x, int y) {
    return static_cast<float>(cu3[0] + cu3[1] * (x - ox) + cu3[2] * (y - oy));
  };
  const auto trend_v = [&](int x, int y) {
    return static_cast<float>(cv3[0] + cv3[1] * (x - ox) + cv3[2] * (y - oy));
  };
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  const Index cn = Index{cw} * ch;
  auto wu = AllocScratch<float>(n), wv = AllocScratch<float>(n);
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const Index p = Index{x} * h + y;
      wu[p] = weight[p] * (u[p] - trend_u(x, y));
      wv[p] = weight[p] * (v[p] - trend_v(x, y));
    }
  }
  auto cu = AllocScratch<float>(cn), cv = AllocScratch<float>(cn), cwt = AllocScratch<float>(cn);
  Halve(wu.get(), w, h, 1, cu.get());
  Halve(wv.get(), w, h, 1, cv.get());
  Halve(weight, w, h, 1, cwt.get());
  for (Index p = 0; p < cn; ++p) {
    if (cwt[p] > 0.0f) {
      cu[p] /= cwt[p];
      cv[p] /= cwt[p];
    }
    // A block with some reliable pixels is reliable as a whole one size up.
    cwt[p] = std::min(1.0f, 4.0f * cwt[p]);
  }
  FillByWeight(cu.get(), cv.get(), cwt.get(), cw, ch);
  ParallelFor(w, n >= kParallelPixels, [&](int x) {
    for (int y = 0; y < h; ++y) {
      const Index p = Index{x} * h + y;
      const float sx = (x + 0.5f) * 0.5f - 0.5f, sy = (y + 0.5f) * 0.5f - 0.5f;
      const float a = std::min(std::max(weight[p], 0.0f), 1.0f);
      // a * u + (1 - a) * (fill + trend), written so that a reliable pixel
      // keeps its value to the bit.
      u[p] += (1.0f - a) * (SampleBilinear(cu.get(), cw, ch, sx, sy) - (u[p] - trend_u(x, y)));
      v[p] += (1.0f - a) * (SampleBilinear(cv.get(), cw, ch, sx, sy) - (v[p] - trend_v(x, y)));
    }
  });
}

// One axis of a resampling to `out_size` samples at the pixel centres of
// the new grid, (i + 0.5) * ratio - 0.5 with ratio = in_size / out_size:
// SampleBilinear's clamps, corners and weights, worked out once per row or
// column instead of once per sample.
struct BilinearAxis {
  std::vector<int> lo, hi;
  std::vector<float> f, g;  // weight of hi and of lo (1 - f)
  BilinearAxis(int in_size, int out_size, bool extrapolate = false)
      : lo(out_size), hi(out_size), f(out_size), g(out_size) {
    const float ratio = static_cast<float>(in_size) / out_size;
    for (int i = 0; i < out_size; ++i) {
      float t = (i + 0.5f) * ratio - 0.5f;
      if (extrapolate && in_size >= 2) {
        // The end samples' line carried on beyond them.
        lo[i] = std::min(std::max(static_cast<int>(std::floor(t)), 0), in_size - 2);
        hi[i] = lo[i] + 1;
        f[i] = t - lo[i];
        g[i] = 1.0f - f[i];
        continue;
      }
      t = t > 0.0f ? t : 0.0f;
      t = t < in_size - 1.0f ? t : in_size - 1.0f;
      lo[i] = std::min(static_cast<int>(t), in_size - 1);
      hi[i] = std::min(lo[i] + 1, in_size - 1);
      f[i] = t - lo[i];
      g[i] = 1.0f - f[i];
    }
  }
};

// Each plane of `in` (w x h) sampled bilinearly at the pixel centres of a
// cw x ch grid over the same extent, divided by `divisor` (1: left as is).
// Every sample takes SampleBilinear's operations in its order: the blend
// across x, (a * gx + b * fx) for its two rows, is a whole column's loop
// first, then the rows' blend (top * gy + bottom * fy).
void Resample(const float* in, int w, int h, int channels, int cw, int ch, float divisor,
              float* out, bool extrapolate = false) {
  const Index n = Index{w} * h, cn = Index{cw} * ch;
  const BilinearAxis ax(w, cw, extrapolate), ay(h, ch, extrapolate);
  for (int c = 0; c < channels; ++c) {
    const float* plane = in + c * n;
    float* dst_plane = out + c * cn;
    const bool threaded = cn >= kParallelPixels && TeamPossible();
    OnTeam(threaded, [&] {
      std::vector<float> blend(h);
      TeamFor(cw, threaded, [&](int x) {
        const float* __restrict c0 = plane + Index{ax.lo[x]} * h;
        const float* __restrict c1 = plane + Index{ax.hi[x]} * h;
        const float fx = ax.f[x], gx = ax.g[x];
        float* __restrict b = blend.data();
        for (int y = 0; y < h; ++y) b[y] = c0[y] * gx + c1[y] * fx;
        float* dst = dst_plane + Index{x} * ch;
        if (divisor == 1.0f) {
          for (int y = 0; y < ch; ++y) dst[y] = b[ay.lo[y]] * ay.g[y] + b[ay.hi[y]] * ay.f[y];
        } else {
          for (int y = 0; y < ch; ++y)
            dst[y] = (b[ay.lo[y]] * ay.g[y] + b[ay.hi[y]] * ay.f[y]) / divisor;
        }
      });
    });
  }
}

// Resamples each plane to cw x ch (smaller): a Gaussian against aliasing
// whose width follows the ratio, then bilinear samples at the new pixel
// centres.
// blurred: w*h*channels floats of scratch, plane: w*h.
void Shrink(const float* in, int w, int h, int channels, int cw, int ch, float* out,
            float* blurred, float* plane) {
  const float ratio = std::min(static_cast<float>(cw) / w, static_cast<float>(ch) / h);
  const float sigma = 0.6f * std::sqrt(std::max(1.0f / (ratio * ratio) - 1.0f, 0.0f));
  GaussianBlur(in, w, h, channels, sigma, blurred, plane);
  Resample(blurred, w, h, channels, cw, ch, 1.0f, out);
}

struct Scale {
  int w1, h1, w2, h2;
  // Null at scale 0 for the images (the caller's) and for anchor_w without
  // weights.
  float *image1 = nullptr, *image2 = nullptr, *anchor_u = nullptr, *anchor_v = nullptr,
        *anchor_w = nullptr;
  // The pull's shape at a scale that has a pull (3 planes: t11, t12, t22;
  // null: the same in every direction).
  float* pull_t = nullptr;
};

}  // namespace

float* FlowScratch::Reserve(std::ptrdiff_t floats) {
  if (floats > size_) {
    block_.reset();
    size_ = 0;
    block_ = AllocScratchBlock<float>(floats);
    size_ = floats;
  }
  return block_.get();
}

namespace {

// The refinement's scales: scale 0 is the images as given; each further
// scale shrinks both by scale_factor, while every side stays at least
// min_side.
std::vector<Scale> PlanScales(const PlanarImage& image1, const PlanarImage& image2,
                              const FlowRefineParams& params) {
  const int min_side = 12;
  std::vector<Scale> scales(1);
  scales[0].w1 = image1.width;
  scales[0].h1 = image1.height;
  scales[0].w2 = image2.width;
  scales[0].h2 = image2.height;
  const float factor = params.scale_factor;
  while (static_cast<int>(scales.size()) < params.n_scales) {
    const Scale& f = scales.back();
    const auto shrink = [&](int size) {
      return std::max(1, static_cast<int>(std::lround(size * factor)));
    };
    Scale c;
    c.w1 = shrink(f.w1);
    c.h1 = shrink(f.h1);
    c.w2 = shrink(f.w2);
    c.h2 = shrink(f.h2);
    if (std::min({c.w1, c.h1, c.w2, c.h2}) < min_side || (c.w1 == f.w1 && c.h1 == f.h1)) break;
    scales.push_back(c);
  }
  return scales;
}

// Whether scale k of `count` pulls towards the matches: the matches guide
// the coarse scales, which carry the large displacements; at the finest their
// whole-pixel search and parabola would only bias the sub-pixel result, and a
// confirmed but wrong match (along a ridge or a repeated texture both
// directions can agree on the same wrong shift) would hold its patch there
// against the data and the smoothness around it.
bool Guided(int k, int count, const FlowRefineParams& params) {
  return k >= params.unguided_scales || k + 1 == count;
}

// The pull's shape at every scale that has a pull: image 1's structure
// tensor S (products of its grey level's central differences, each scale's
// shrunk from the next finer one's, then summed over a Gaussian window of
// pull_structure_sigma finest pixels), as the form T = m I + (1 - m) e1 e1^T,
// e1 the direction of S's larger eigenvalue and m = min(1, 4 * l2 / l1) with
// a floor added to both eigenvalues. A match is reliable across an edge or
// stripes and not along them (the descriptor matches a striped leaf equally
// well a few pixels along its stripes, and both directions then agree on
// the wrong shift), so there the pull leaves the displacement along them to
// the data and the smoothness; where the window holds structure in every
// direction (l2 / l1 of 1/4 or more) or none (below the floor) it pulls the
// same every way. Every value per pixel in a fixed order: deterministic.
// temp: at least 5 planes of image 1's size (CarveAll's temp[1..5]) and one
// (temp[0]) for Shrink.
void ShapePull(std::vector<Scale>& scales, const PlanarImage& image1,
               const FlowRefineParams& params, float* const* temp) {
  // Squared grey-level differences per pixel, values on [0, 1]: a pattern
  // whose differences stay below about a hundredth counts as flat.
  constexpr float kFloor = 1e-4f;
  constexpr float kKnee = 4.0f;
  const int count = static_cast<int>(scales.size());
  int first = 0;
  while (first < count && scales[first].pull_t == nullptr) ++first;
  if (first == count) return;
  const int w = image1.width, h = image1.height, nc = image1.channels;
  const Index n = Index{w} * h;
  const bool threaded = n >= kParallelPixels;
  float* const grey = temp[5];
  float* const raw[3] = {temp[2], temp[3], temp[4]};  // S at the finest scale
  ParallelFor(w, threaded, [&](int x) {
    for (int y = 0; y < h; ++y) {
      const Index p = Index{x} * h + y;
      float sum = 0.0f;
      for (int c = 0; c < nc; ++c) sum += image1.data[c * n + p];
      grey[p] = sum / static_cast<float>(nc);
    }
  });
  ParallelFor(w, threaded, [&](int x) {
    const float* left = grey + Index{x > 0 ? x - 1 : x} * h;
    const float* right = grey + Index{x + 1 < w ? x + 1 : x} * h;
    const float* column = grey + Index{x} * h;
    for (int y = 0; y < h; ++y) {
      const float gx = 0.5f * (right[y] - left[y]);
      const float gy = 0.5f * (column[y + 1 < h ? y + 1 : y] - column[y > 0 ? y - 1 : y]);
      const Index p = Index{x} * h + y;
      raw[0][p] = gx * gx;
      raw[1][p] = gx * gy;
      raw[2][p] = gy * gy;
    }
  });
  // S at each scale from `first` on, coarse ones from the next finer.
  for (int k = first; k < count; ++k) {
    Scale& s = scales[k];
    const Index sn = Index{s.w1} * s.h1;
    const int fw = k == first ? w : scales[k - 1].w1, fh = k == first ? h : scales[k - 1].h1;
    const Index fn = Index{fw} * fh;
    for (int q = 0; q < 3; ++q) {
      const float* from = k == first ? raw[q] : scales[k - 1].pull_t + q * fn;
      if (k == 0)
        std::copy(from, from + fn, s.pull_t + q * sn);
      else
        Shrink(from, fw, fh, 1, s.w1, s.h1, s.pull_t + q * sn, temp[0], temp[1]);
    }
  }
  // Each scale's window, then the form; coarse to fine, since each S above
  // was shrunk from the finer one's.
  for (int k = count - 1; k >= first; --k) {
    Scale& s = scales[k];
    const Index sn = Index{s.w1} * s.h1;
    const float sigma = params.pull_structure_sigma * static_cast<float>(s.w1) / w;
    for (int q = 0; q < 3; ++q)
      GaussianBlur(s.pull_t + q * sn, s.w1, s.h1, 1, sigma, temp[2 + q], temp[1]);
    const float* s11 = temp[2];
    const float* s12 = temp[3];
    const float* s22 = temp[4];
    float* const t11 = s.pull_t;
    float* const t12 = s.pull_t + sn;
    float* const t22 = s.pull_t + 2 * sn;
    ParallelFor(s.w1, sn >= kParallelPixels, [&](int x) {
      for (Index p = Index{x} * s.h1; p < Index{x + 1} * s.h1; ++p) {
        const float a = s11[p] + kFloor, b = s12[p], c = s22[p] + kFloor;
        const float mid = 0.5f * (a + c);
        const float rad = std::sqrt(0.25f * (a - c) * (a - c) + b * b);
        const float l1 = mid + rad, l2 = mid - rad;
        const float m = std::min(1.0f, kKnee * l2 / l1);
        if (!(rad > 0.0f) || !(m < 1.0f)) {
          t11[p] = 1.0f;
          t12[p] = 0.0f;
          t22[p] = 1.0f;
          continue;
        }
        // e1 e1^T = (S - l2 I) / (l1 - l2).
        const float along = (1.0f - m) / (2.0f * rad);
        t11[p] = m + along * (a - l2);
        t12[p] = along * b;
        t22[p] = m + along * (c - l2);
      }
    });
  }
}

// Every buffer of a refinement; the same walk on an arena in counting mode
// sizes the block. The scales' planes and the field at two scales (field:
// 4 planes) live throughout; the pyramid's temporaries (Shrink's blurred
// planes and their blur's first pass, the weighted anchors and plain means:
// temp, 6 pointers) are done with before the first solve, so they share
// their memory with the solves' workspace.
void CarveAll(std::vector<Scale>& scales, int nc, bool weighted, const FlowRefineParams& params,
              Index n2, Arena& arena, float** field, float** temp, Workspace* ws) {
  const int count = static_cast<int>(scales.size());
  const bool shaped = weighted && params.pull_structure_sigma > 0.0f;
  for (int k = 0; k < count; ++k) {
    Scale& s = scales[k];
    const Index sn1 = Index{s.w1} * s.h1;
    if (k > 0) {
      s.image1 = arena.Take(sn1 * nc);
      s.image2 = arena.Take(Index{s.w2} * s.h2 * nc);
    }
    s.anchor_u = arena.Take(sn1);
    s.anchor_v = arena.Take(sn1);
    s.anchor_w = weighted ? arena.Take(sn1) : nullptr;
    s.pull_t = shaped && Guided(k, count, params) ? arena.Take(3 * sn1) : nullptr;
  }
  const Index n = Index{scales[0].w1} * scales[0].h1;
  const Index n_max = std::max(n, n2);
  for (int k = 0; k < 4; ++k) field[k] = arena.Take(n);
  const Index shared = arena.used();
  temp[0] = arena.Take(n_max * nc);
  temp[1] = arena.Take(n_max);
  for (int k = 2; k < 6; ++k) temp[k] = arena.Take(n);
  const Index after_temp = arena.used();
  arena.Rewind(shared);
  *ws = Workspace(n, n2, nc, arena);
  if (arena.used() < after_temp) arena.Rewind(after_temp);
}

bool Refinable(const PlanarImage& image1, const PlanarImage& image2,
               const FlowRefineParams& params) {
  return image1.width > 0 && image1.height > 0 && image2.width > 0 && image2.height > 0 &&
         params.n_warps > 0;
}

}  // namespace

std::int64_t RefineFlowScratchBytes(const PlanarImage& image1, const PlanarImage& image2,
                                    const FlowRefineParams& params, bool weighted) {
  if (!Refinable(image1, image2, params)) return 0;
  std::vector<Scale> scales = PlanScales(image1, image2, params);
  Arena sizes;
  float* field[4];
  float* temp[6];
  Workspace ws;
  CarveAll(scales, image1.channels, weighted, params, Index{image2.width} * image2.height, sizes,
           field, temp, &ws);
  return static_cast<std::int64_t>(sizes.used()) * static_cast<std::int64_t>(sizeof(float));
}

namespace {

// Which of a refinement's scales one call runs.
enum class ScaleRange { kAll, kAllButFinest, kFinestOnly };

// RefineFlow and RefineFlowFinest. (u, v): the field refined in place; for
// kFinestOnly the field a kAllButFinest call left, with (trend_u, trend_v)
// the field that call started from, whose trend shapes the smoothness term
// (otherwise they are u and v). Returns whether the finest scale remains.
bool RefineScales(const PlanarImage& image1, const PlanarImage& image2,
                  const FlowRefineParams& params, const float* anchor_weight,
                  const float* trend_u, const float* trend_v, float* u, float* v,
                  FlowScratch* scratch, StopToken* stop, ScaleRange range) {
  const int nc = image1.channels;
  if (!Refinable(image1, image2, params)) return false;
  if (image2.channels != nc) throw std::invalid_argument("flow refinement: channel counts differ");
  if (params.no_data != nullptr &&
      (params.no_data_width != image1.width || params.no_data_height != image1.height))
    throw std::invalid_argument("flow refinement: the no-data mask is not image 1's size");
  std::vector<Scale> scales = PlanScales(image1, image2, params);
  const bool finest_only = range == ScaleRange::kFinestOnly;
  if (finest_only && scales.size() < 2)
    throw std::logic_error("flow refinement: a single scale is never left for later");
  const int last = range == ScaleRange::kAllButFinest && scales.size() > 1 ? 1 : 0;
  const Index n = Index{image1.width} * image1.height;
  const Index n2 = Index{image2.width} * image2.height;
  const bool weighted = anchor_weight != nullptr;
  const Index total = RefineFlowScratchBytes(image1, image2, params, weighted) /
                      static_cast<Index>(sizeof(float));
  FlowScratch own;
  Arena arena((scratch != nullptr ? scratch : &own)->Reserve(total), total);
  float* planes[4];
  float* temp[6];
  Workspace ws;
  CarveAll(scales, nc, weighted, params, n2, arena, planes, temp, &ws);
  float* const blurred = temp[0];
  float* const blur_plane = temp[1];
  float* const wu = temp[2];
  float* const wv = temp[3];
  float* const pu = temp[4];
  float* const pv = temp[5];
  float* const field[2][2] = {{planes[0], planes[1]}, {planes[2], planes[3]}};

  if (params.horizontal_only) std::fill(v, v + n, 0.0f);
  {
    // The finest scale's pull (where it has one) is towards the field the
    // refinement started from; a rectified pair's v is 0.
    Scale& s = scales[0];
    std::copy(trend_u, trend_u + n, s.anchor_u);
    if (params.horizontal_only)
      std::fill(s.anchor_v, s.anchor_v + n, 0.0f);
    else
      std::copy(trend_v, trend_v + n, s.anchor_v);
    if (weighted) std::copy(anchor_weight, anchor_weight + n, s.anchor_w);
  }
  // The finest scale alone reads nothing else of the pyramid (its images
  // are the caller's).
  for (std::size_t k = 1; k < scales.size() && !finest_only; ++k) {
    if (stop != nullptr && stop->StopRequested(true)) throw Stopped();
    const Scale& f = scales[k - 1];
    Scale& c = scales[k];
    const int w1 = c.w1, h1 = c.h1;
    const Index cn1 = Index{w1} * h1;
    const auto shrink = [&](const float* in, int fw, int fh, int channels, int cw, int ch,
                            float* out) { Shrink(in, fw, fh, channels, cw, ch, out, blurred, blur_plane); };
    shrink(f.image1 ? f.image1 : image1.data, f.w1, f.h1, nc, w1, h1, c.image1);
    shrink(f.image2 ? f.image2 : image2.data, f.w2, f.h2, nc, c.w2, c.h2, c.image2);
    const Index fn = Index{f.w1} * f.h1;
    if (weighted) {
      // Means of the reliable matches only, where there are any.
      for (Index p = 0; p < fn; ++p) {
        wu[p] = f.anchor_w[p] * f.anchor_u[p];
        wv[p] = f.anchor_w[p] * f.anchor_v[p];
      }
      shrink(f.anchor_w, f.w1, f.h1, 1, w1, h1, c.anchor_w);
      shrink(wu, f.w1, f.h1, 1, w1, h1, c.anchor_u);
      shrink(wv, f.w1, f.h1, 1, w1, h1, c.anchor_v);
      shrink(f.anchor_u, f.w1, f.h1, 1, w1, h1, pu);
      shrink(f.anchor_v, f.w1, f.h1, 1, w1, h1, pv);
      for (Index p = 0; p < cn1; ++p) {
        const bool any = c.anchor_w[p] > 1e-6f;
        c.anchor_u[p] = any ? c.anchor_u[p] / c.anchor_w[p] : pu[p];
        c.anchor_v[p] = any ? c.anchor_v[p] / c.anchor_w[p] : pv[p];
      }
    } else {
      shrink(f.anchor_u, f.w1, f.h1, 1, w1, h1, c.anchor_u);
      shrink(f.anchor_v, f.w1, f.h1, 1, w1, h1, c.anchor_v);
    }
    const float sx = static_cast<float>(w1) / f.w1, sy = static_cast<float>(h1) / f.h1;
    for (Index p = 0; p < cn1; ++p) {
      c.anchor_u[p] *= sx;
      c.anchor_v[p] *= sy;
    }
  }

  if (!finest_only) ShapePull(scales, image1, params, temp);

  // The smoothness term measures the field's gradient from the slopes of
  // the reliable matches' affine motion rather than from 0: a zoom, rotation
  // or shear then costs nothing, and where the data say little (flat areas,
  // borders, terms turned down) the field carries on that motion instead of
  // flattening out towards the image's edges (measured: 1.4 px at the border
  // of a zoomed flat pair, pixels 1 - 2.6 px too far inside image 2 beside
  // the black of the accuracy command's rendered pairs).
  double slopes0[4] = {0.0, 0.0, 0.0, 0.0};
  bool has_slopes = false;
  if (weighted) {
    double cu3[3], cv3[3];
    FitTrend(scales[0].anchor_u, scales[0].anchor_v, anchor_weight, image1.width,
             image1.height, cu3, cv3);
    slopes0[0] = cu3[1];
    slopes0[1] = cu3[2];
    slopes0[2] = cv3[1];
    slopes0[3] = cv3[2];
    const bool finite = std::isfinite(cu3[1]) && std::isfinite(cu3[2]) &&
                        std::isfinite(cv3[1]) && std::isfinite(cv3[2]);
    has_slopes = finite && (cu3[1] != 0.0 || cu3[2] != 0.0 || cv3[1] != 0.0 || cv3[2] != 0.0);
  }
  // Coarse to fine: the coarsest scale starts from the anchor field with its
  // unreliable parts filled in from the reliable ones, every finer one from
  // the coarser result.
  const float* cu = nullptr;
  const float* cv = nullptr;
  for (int k = finest_only ? 0 : static_cast<int>(scales.size()) - 1; k >= last; --k) {
    Scale& s = scales[k];
    const Index sn = Index{s.w1} * s.h1;
    float* const fu = field[k & 1][0];
    float* const fv = field[k & 1][1];
    if (finest_only) {
      std::copy(u, u + n, fu);
      std::copy(v, v + n, fv);
    } else if (cu == nullptr) {
      std::copy(s.anchor_u, s.anchor_u + sn, fu);
      std::copy(s.anchor_v, s.anchor_v + sn, fv);
      if (s.anchor_w) FillByWeight(fu, fv, s.anchor_w, s.w1, s.h1);
    } else {
      const Scale& c = scales[k + 1];
      // The coarser field at this scale's pixel centres, in its pixels.
      const float rx = static_cast<float>(c.w1) / s.w1, ry = static_cast<float>(c.h1) / s.h1;
      Resample(cu, c.w1, c.h1, 1, s.w1, s.h1, rx, fu, true);
      Resample(cv, c.w1, c.h1, 1, s.w1, s.h1, ry, fv, true);
    }
    const PlanarImage i1{s.image1 ? s.image1 : image1.data, s.w1, s.h1, nc};
    const PlanarImage i2{s.image2 ? s.image2 : image2.data, s.w2, s.h2, nc};
    const bool guided = Guided(k, static_cast<int>(scales.size()), params);
    // Slopes in this scale's pixels: each axis scales by its own ratio.
    const double rx = static_cast<double>(s.w1) / image1.width;
    const double ry = static_cast<double>(s.h1) / image1.height;
    const float slopes[4] = {static_cast<float>(slopes0[0]), static_cast<float>(slopes0[1] * rx / ry),
                             static_cast<float>(slopes0[2] * ry / rx), static_cast<float>(slopes0[3])};
    FlowRefineParams level = params;
    if (k >= params.unguided_scales && params.n_coarse_warps >= 0)
      level.n_warps = params.n_coarse_warps;
    RefineLevel(i1, i2, level, s.anchor_u, s.anchor_v, guided ? s.anchor_w : nullptr, s.pull_t,
                has_slopes ? slopes : nullptr, ws, fu, fv, stop, static_cast<float>(rx));
    cu = fu;
    cv = fv;
  }
  if (last == 1) {
    // The field the finest scale starts from, as it would read it.
    const Scale& c = scales[1];
    const float rx = static_cast<float>(c.w1) / image1.width;
    const float ry = static_cast<float>(c.h1) / image1.height;
    Resample(cu, c.w1, c.h1, 1, image1.width, image1.height, rx, u, true);
    Resample(cv, c.w1, c.h1, 1, image1.width, image1.height, ry, v, true);
    return true;
  }
  std::copy(cu, cu + n, u);
  std::copy(cv, cv + n, v);
  return false;
}

}  // namespace

bool RefineFlow(const PlanarImage& image1, const PlanarImage& image2,
                const FlowRefineParams& params, const float* anchor_weight, float* u, float* v,
                FlowScratch* scratch, StopToken* stop) {
  return RefineScales(image1, image2, params, anchor_weight, u, v, u, v, scratch, stop,
                      params.stop_before_finest ? ScaleRange::kAllButFinest : ScaleRange::kAll);
}

void RefineFlowFinest(const PlanarImage& image1, const PlanarImage& image2,
                      const FlowRefineParams& params, const float* anchor_weight,
                      const float* start_u, const float* start_v, float* u, float* v,
                      FlowScratch* scratch, StopToken* stop) {
  RefineScales(image1, image2, params, anchor_weight, start_u, start_v, u, v, scratch, stop,
               ScaleRange::kFinestOnly);
}

}  // namespace densecorr
