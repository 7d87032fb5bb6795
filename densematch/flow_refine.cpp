#include "densematch/flow_refine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/scratch.h"

namespace densecorr {

namespace {

using Index = std::ptrdiff_t;

// Loops over fewer pixels run on the calling thread: at the coarse scales a
// parallel region's start and barrier cost more than the work, and far more
// when other processes hold the cores.
constexpr Index kParallelPixels = 32768;

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
// as differences so that a flat image gives exactly 0.
void Derivative(const float* in, int width, int height, bool along_x, float* out) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (Index{width} * height >= kParallelPixels)
#endif
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; ++y) {
      const auto at = [&](int dx, int dy) {
        const int xx = std::min(std::max(x + dx, 0), width - 1);
        const int yy = std::min(std::max(y + dy, 0), height - 1);
        return in[Index{xx} * height + yy];
      };
      float d;
      if (along_x)
        d = ((at(-2, 0) - at(2, 0)) + 8.0f * (at(1, 0) - at(-1, 0))) * (1.0f / 12.0f);
      else
        d = ((at(0, -2) - at(0, 2)) + 8.0f * (at(0, 1) - at(0, -1))) * (1.0f / 12.0f);
      out[Index{x} * height + y] = d;
    }
  }
}

// Per-pixel quadratic forms of the linearised data terms: for a step
// (du, dv), residual^2 summed over channels = [du dv 1] T [du dv 1]^T.
struct Tensor {
  float t11, t12, t13, t22, t23, t33;
};

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
  std::unique_ptr<float[]> own;
  if (scratch == nullptr) {
    own = AllocScratch<float>(plane);
    scratch = own.get();
  }
  float* const tmp = scratch;
  for (int c = 0; c < channels; ++c) {
    const float* src = in + c * plane;
    float* dst = out + c * plane;
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (Index{width} * height >= kParallelPixels)
#endif
    for (int x = 0; x < width; ++x) {
      for (int y = 0; y < height; ++y) {
        float s = 0.0f;
        for (int i = -radius; i <= radius; ++i) {
          const int yy = std::min(std::max(y + i, 0), height - 1);
          s += kernel[i + radius] * src[Index{x} * height + yy];
        }
        tmp[Index{x} * height + y] = s;
      }
    }
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (Index{width} * height >= kParallelPixels)
#endif
    for (int x = 0; x < width; ++x) {
      for (int y = 0; y < height; ++y) {
        float s = 0.0f;
        for (int i = -radius; i <= radius; ++i) {
          const int xx = std::min(std::max(x + i, 0), width - 1);
          s += kernel[i + radius] * tmp[Index{xx} * height + y];
        }
        dst[Index{x} * height + y] = s;
      }
    }
  }
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

namespace {

// Buffers of one refinement, sized for its largest scale and shared by all:
// fresh pages cost more than the arithmetic on them.
struct Workspace {
  std::unique_ptr<float[]> i1, i2, d1, d2, edge, du, dv, psi_s, a11, a12, a22, b1, b2, wr, wb,
      blur;
  std::unique_ptr<Tensor[]> bright, grad;
  Workspace(Index n, Index n2, int nc) {
    i1 = AllocScratch<float>(n * nc);
    i2 = AllocScratch<float>(n2 * nc);
    d1 = AllocScratch<float>(n * nc * 6);
    d2 = AllocScratch<float>(n2 * nc * 6);
    for (auto* b : {&edge, &du, &dv, &psi_s, &a11, &a12, &a22, &b1, &b2, &wr, &wb})
      *b = AllocScratch<float>(n);
    blur = AllocScratch<float>(std::max(n, n2));
    bright = AllocScratch<Tensor>(n);
    grad = AllocScratch<Tensor>(n);
  }
};

// One scale: warps, fixed-point steps and SOR sweeps on (u, v), attached to
// the anchor field with per-pixel weights (null: no attachment).
void RefineLevel(const PlanarImage& image1, const PlanarImage& image2,
                 const FlowRefineParams& params, const float* anchor_u, const float* anchor_v,
                 const float* anchor_w, Workspace& ws, float* u, float* v) {
  const int w = image1.width, h = image1.height, nc = image1.channels;
  const int w2 = image2.width, h2 = image2.height;
  if (w <= 0 || h <= 0 || w2 <= 0 || h2 <= 0 || params.n_warps <= 0) return;
  if (image2.channels != nc) throw std::invalid_argument("flow refinement: channel counts differ");
  const Index n = Index{w} * h, n2 = Index{w2} * h2;

  // Smoothed images and their derivatives: image 1's once, image 2's once
  // (warped at every re-linearisation).
  float* const i1 = ws.i1.get();
  float* const i2 = ws.i2.get();
  GaussianBlur(image1.data, w, h, nc, params.presmooth_sigma, i1, ws.blur.get());
  GaussianBlur(image2.data, w2, h2, nc, params.presmooth_sigma, i2, ws.blur.get());
  // Per channel: value, x, y, xx, xy, yy.
  float* const d1 = ws.d1.get();
  float* const d2 = ws.d2.get();
  const auto derivatives = [](const float* img, int ww, int hh, float* out) {
    const Index m = Index{ww} * hh;
    std::memcpy(out, img, sizeof(float) * m);
    Derivative(img, ww, hh, true, out + m);
    Derivative(img, ww, hh, false, out + 2 * m);
    Derivative(out + m, ww, hh, true, out + 3 * m);
    Derivative(out + m, ww, hh, false, out + 4 * m);
    Derivative(out + 2 * m, ww, hh, false, out + 5 * m);
  };
  for (int c = 0; c < nc; ++c) {
    derivatives(i1 + c * n, w, h, d1 + c * 6 * n);
    derivatives(i2 + c * n2, w2, h2, d2 + c * 6 * n2);
  }

  // Smoothness weight per pixel from image 1's edges: the flow may change
  // where the image does.
  float* const edge = ws.edge.get();
  for (Index p = 0; p < n; ++p) {
    float g2 = 0.0f;
    for (int c = 0; c < nc; ++c) {
      const float gx = d1[c * 6 * n + n + p], gy = d1[c * 6 * n + 2 * n + p];
      g2 += gx * gx + gy * gy;
    }
    edge[p] = params.smoothness * std::exp(-params.edge_sharpness * std::sqrt(g2 / nc));
  }

  Tensor* const bright = ws.bright.get();
  Tensor* const grad = ws.grad.get();
  float* const du = ws.du.get();
  float* const dv = ws.dv.get();
  float* const psi_s = ws.psi_s.get();
  float* const a11 = ws.a11.get();
  float* const a12 = ws.a12.get();
  float* const a22 = ws.a22.get();
  float* const b1 = ws.b1.get();
  float* const b2 = ws.b2.get();
  // Weights of the edges to the right (x+1) and below (y+1) neighbours.
  float* const wr = ws.wr.get();
  float* const wb = ws.wb.get();

  // Keeps a data term from dividing by a flat patch's zero gradient, in the
  // images' [0, 1] units.
  const float zeta2 = 1e-4f;
  const float eps_data2 = 1e-4f, eps_smooth2 = 1e-6f;
  // A small pull of each step towards 0: where neither the data nor the
  // neighbours constrain a pixel (a flat image, a lone pixel) the step stays
  // put instead of dividing by a vanishing term.
  const float step_damping = 1e-2f;
  const float eps_anchor2 = 0.01f;

  for (int warp = 0; warp < params.n_warps; ++warp) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (n >= kParallelPixels)
#endif
    for (int x = 0; x < w; ++x) {
      for (int y = 0; y < h; ++y) {
        const Index p = Index{x} * h + y;
        const float xw = x + u[p], yw = y + v[p];
        Tensor tb{0, 0, 0, 0, 0, 0}, tg{0, 0, 0, 0, 0, 0};
        const bool inside = xw >= 0.0f && xw <= w2 - 1 && yw >= 0.0f && yw <= h2 - 1;
        if (inside) {
          for (int c = 0; c < nc; ++c) {
            const float* s1 = d1 + c * 6 * n;
            const float* s2 = d2 + c * 6 * n2;
            float q[6];
            for (int k = 0; k < 6; ++k) q[k] = SampleBilinear(s2 + k * n2, w2, h2, xw, yw);
            // Derivatives averaged over both images; differences warped 2 - 1.
            const float ix = 0.5f * (q[1] + s1[n + p]), iy = 0.5f * (q[2] + s1[2 * n + p]);
            const float iz = q[0] - s1[p];
            const float ixx = 0.5f * (q[3] + s1[3 * n + p]);
            const float ixy = 0.5f * (q[4] + s1[4 * n + p]);
            const float iyy = 0.5f * (q[5] + s1[5 * n + p]);
            const float ixz = q[1] - s1[n + p], iyz = q[2] - s1[2 * n + p];
            // Each constancy term divided by its gradient's squared length:
            // residuals become displacement errors, the same on faint and on
            // strong texture.
            const float nb = 1.0f / (ix * ix + iy * iy + zeta2);
            tb.t11 += nb * ix * ix; tb.t12 += nb * ix * iy; tb.t13 += nb * ix * iz;
            tb.t22 += nb * iy * iy; tb.t23 += nb * iy * iz; tb.t33 += nb * iz * iz;
            const float ngx = 1.0f / (ixx * ixx + ixy * ixy + zeta2);
            const float ngy = 1.0f / (ixy * ixy + iyy * iyy + zeta2);
            tg.t11 += ngx * ixx * ixx + ngy * ixy * ixy;
            tg.t12 += ngx * ixx * ixy + ngy * ixy * iyy;
            tg.t13 += ngx * ixx * ixz + ngy * ixy * iyz;
            tg.t22 += ngx * ixy * ixy + ngy * iyy * iyy;
            tg.t23 += ngx * ixy * ixz + ngy * iyy * iyz;
            tg.t33 += ngx * ixz * ixz + ngy * iyz * iyz;
          }
        }
        bright[p] = tb;
        grad[p] = tg;
        du[p] = 0.0f;
        dv[p] = 0.0f;
      }
    }

    for (int fp = 0; fp < params.n_fixed_point; ++fp) {
      // Robust weights at the current step.
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (n >= kParallelPixels)
#endif
      for (int x = 0; x < w; ++x) {
        for (int y = 0; y < h; ++y) {
          const Index p = Index{x} * h + y;
          const Index pr = x + 1 < w ? p + h : p, pl = x > 0 ? p - h : p;
          const Index pb = y + 1 < h ? p + 1 : p, pt = y > 0 ? p - 1 : p;
          const float ux = 0.5f * ((u[pr] + du[pr]) - (u[pl] + du[pl]));
          const float uy = 0.5f * ((u[pb] + du[pb]) - (u[pt] + du[pt]));
          const float vx = 0.5f * ((v[pr] + dv[pr]) - (v[pl] + dv[pl]));
          const float vy = 0.5f * ((v[pb] + dv[pb]) - (v[pt] + dv[pt]));
          psi_s[p] = edge[p] * 0.5f / std::sqrt(ux * ux + uy * uy + vx * vx + vy * vy + eps_smooth2);

          const float a = du[p], b = dv[p];
          const Tensor& tb = bright[p];
          const Tensor& tg = grad[p];
          const float rb = tb.t11 * a * a + 2.0f * tb.t12 * a * b + tb.t22 * b * b +
                           2.0f * tb.t13 * a + 2.0f * tb.t23 * b + tb.t33;
          const float rg = tg.t11 * a * a + 2.0f * tg.t12 * a * b + tg.t22 * b * b +
                           2.0f * tg.t13 * a + 2.0f * tg.t23 * b + tg.t33;
          const float pb_ = params.brightness * 0.5f / std::sqrt(std::max(rb, 0.0f) + eps_data2);
          const float pg_ = params.gradient * 0.5f / std::sqrt(std::max(rg, 0.0f) + eps_data2);
          a11[p] = pb_ * tb.t11 + pg_ * tg.t11;
          a12[p] = pb_ * tb.t12 + pg_ * tg.t12;
          a22[p] = pb_ * tb.t22 + pg_ * tg.t22;
          b1[p] = -(pb_ * tb.t13 + pg_ * tg.t13);
          b2[p] = -(pb_ * tb.t23 + pg_ * tg.t23);
          if (anchor_w != nullptr && anchor_w[p] > 0.0f) {
            // Robust pull towards the descriptor match.
            const float eu = u[p] + a - anchor_u[p], ev = v[p] + b - anchor_v[p];
            const float pm = params.anchor * anchor_w[p] * 0.5f /
                             std::sqrt(eu * eu + ev * ev + eps_anchor2);
            a11[p] += pm;
            a22[p] += pm;
            b1[p] -= pm * (u[p] - anchor_u[p]);
            b2[p] -= pm * (v[p] - anchor_v[p]);
          }
        }
      }
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (n >= kParallelPixels)
#endif
      for (int x = 0; x < w; ++x) {
        for (int y = 0; y < h; ++y) {
          const Index p = Index{x} * h + y;
          wr[p] = x + 1 < w ? 0.5f * (psi_s[p] + psi_s[p + h]) : 0.0f;
          wb[p] = y + 1 < h ? 0.5f * (psi_s[p] + psi_s[p + 1]) : 0.0f;
        }
      }
      // Red-black SOR: pixels of one colour read only the other's, so the
      // sweep is the same whatever the thread count.
      for (int sweep = 0; sweep < params.n_sor; ++sweep) {
        for (int colour = 0; colour < 2; ++colour) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (n >= kParallelPixels)
#endif
          for (int x = 0; x < w; ++x) {
            for (int y = (x + colour) & 1; y < h; y += 2) {
              const Index p = Index{x} * h + y;
              float sw = 0.0f, su = 0.0f, sv = 0.0f;
              const auto add = [&](Index q, float weight) {
                sw += weight;
                su += weight * (u[q] + du[q] - u[p]);
                sv += weight * (v[q] + dv[q] - v[p]);
              };
              if (x + 1 < w) add(p + h, wr[p]);
              if (x > 0) add(p - h, wr[p - h]);
              if (y + 1 < h) add(p + 1, wb[p]);
              if (y > 0) add(p - 1, wb[p - 1]);
              const float omega = params.sor_omega;
              const float d11 = a11[p] + sw + step_damping;
              const float d22 = a22[p] + sw + step_damping;
              du[p] = (1.0f - omega) * du[p] + omega * (b1[p] + su - a12[p] * dv[p]) / d11;
              dv[p] = (1.0f - omega) * dv[p] + omega * (b2[p] + sv - a12[p] * du[p]) / d22;
            }
          }
        }
      }
    }
    for (Index p = 0; p < n; ++p) {
      u[p] += du[p];
      v[p] += dv[p];
    }
  }
}

// Half-size image by 2 x 2 means (an odd last row or column averages with
// itself), plane by plane.
void Halve(const float* in, int w, int h, int channels, float* out) {
  const int hw = (w + 1) / 2, hh = (h + 1) / 2;
  const Index n = Index{w} * h, hn = Index{hw} * hh;
  for (int c = 0; c < channels; ++c) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (hn >= kParallelPixels)
#endif
    for (int x = 0; x < hw; ++x) {
      const int x0 = 2 * x, x1 = std::min(2 * x + 1, w - 1);
      for (int y = 0; y < hh; ++y) {
        const int y0 = 2 * y, y1 = std::min(2 * y + 1, h - 1);
        const float* p = in + c * n;
        out[c * hn + Index{x} * hh + y] =
            0.25f * ((p[Index{x0} * h + y0] + p[Index{x1} * h + y0]) +
                     (p[Index{x0} * h + y1] + p[Index{x1} * h + y1]));
      }
    }
  }
}

// Fills the field where weight is low from where it is high: weighted
// halvings down to one pixel (push), then at each size back up, each pixel
// mixes its own value with the coarser fill by its weight (pull). Values stay
// in the units of the input. weight in [0, 1].
void FillByWeight(float* u, float* v, const float* weight, int w, int h) {
  const Index n = Index{w} * h;
  if (w <= 1 && h <= 1) return;
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  const Index cn = Index{cw} * ch;
  auto wu = AllocScratch<float>(n), wv = AllocScratch<float>(n);
  for (Index p = 0; p < n; ++p) {
    wu[p] = weight[p] * u[p];
    wv[p] = weight[p] * v[p];
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
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (n >= kParallelPixels)
#endif
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const Index p = Index{x} * h + y;
      const float sx = (x + 0.5f) * 0.5f - 0.5f, sy = (y + 0.5f) * 0.5f - 0.5f;
      const float a = std::min(std::max(weight[p], 0.0f), 1.0f);
      u[p] = a * u[p] + (1.0f - a) * SampleBilinear(cu.get(), cw, ch, sx, sy);
      v[p] = a * v[p] + (1.0f - a) * SampleBilinear(cv.get(), cw, ch, sx, sy);
    }
  }
}

// Resamples each plane to cw x ch (smaller): a Gaussian against aliasing
// whose width follows the ratio, then bilinear samples at the new pixel
// centres.
void Shrink(const float* in, int w, int h, int channels, int cw, int ch, float* out) {
  const Index n = Index{w} * h, cn = Index{cw} * ch;
  const float ratio = std::min(static_cast<float>(cw) / w, static_cast<float>(ch) / h);
  const float sigma = 0.6f * std::sqrt(std::max(1.0f / (ratio * ratio) - 1.0f, 0.0f));
  auto blurred = AllocScratch<float>(n * channels);
  GaussianBlur(in, w, h, channels, sigma, blurred.get());
  const float rx = static_cast<float>(w) / cw, ry = static_cast<float>(h) / ch;
  for (int c = 0; c < channels; ++c) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (cn >= kParallelPixels)
#endif
    for (int x = 0; x < cw; ++x) {
      for (int y = 0; y < ch; ++y) {
        out[c * cn + Index{x} * ch + y] = SampleBilinear(
            blurred.get() + c * n, w, h, (x + 0.5f) * rx - 0.5f, (y + 0.5f) * ry - 0.5f);
      }
    }
  }
}

struct Scale {
  int w1, h1, w2, h2;
  std::unique_ptr<float[]> image1, image2, anchor_u, anchor_v, anchor_w;
};

}  // namespace

void RefineFlow(const PlanarImage& image1, const PlanarImage& image2,
                const FlowRefineParams& params, const float* anchor_weight, float* u, float* v) {
  const int nc = image1.channels;
  if (image1.width <= 0 || image1.height <= 0 || image2.width <= 0 || image2.height <= 0 ||
      params.n_warps <= 0)
    return;
  if (image2.channels != nc) throw std::invalid_argument("flow refinement: channel counts differ");
  // Scale 0 is the images as given; each further scale halves both, while
  // every side stays at least min_side.
  const int min_side = 12;
  std::vector<Scale> scales(1);
  const Index n = Index{image1.width} * image1.height;
  {
    Scale& s = scales[0];
    s.w1 = image1.width;
    s.h1 = image1.height;
    s.w2 = image2.width;
    s.h2 = image2.height;
    s.anchor_u = AllocScratch<float>(n);
    s.anchor_v = AllocScratch<float>(n);
    std::copy(u, u + n, s.anchor_u.get());
    std::copy(v, v + n, s.anchor_v.get());
    if (anchor_weight != nullptr) {
      s.anchor_w = AllocScratch<float>(n);
      std::copy(anchor_weight, anchor_weight + n, s.anchor_w.get());
    }
  }
  const float factor = params.scale_factor;
  while (static_cast<int>(scales.size()) < params.n_scales) {
    const Scale& f = scales.back();
    const auto shrink = [&](int size) {
      return std::max(1, static_cast<int>(std::lround(size * factor)));
    };
    const int w1 = shrink(f.w1), h1 = shrink(f.h1), w2 = shrink(f.w2), h2 = shrink(f.h2);
    if (std::min({w1, h1, w2, h2}) < min_side || (w1 == f.w1 && h1 == f.h1)) break;
    Scale c;
    c.w1 = w1;
    c.h1 = h1;
    c.w2 = w2;
    c.h2 = h2;
    const Index cn1 = Index{w1} * h1;
    c.image1 = AllocScratch<float>(cn1 * nc);
    c.image2 = AllocScratch<float>(Index{w2} * h2 * nc);
    Shrink(f.image1 ? f.image1.get() : image1.data, f.w1, f.h1, nc, w1, h1, c.image1.get());
    Shrink(f.image2 ? f.image2.get() : image2.data, f.w2, f.h2, nc, w2, h2, c.image2.get());
    c.anchor_u = AllocScratch<float>(cn1);
    c.anchor_v = AllocScratch<float>(cn1);
    const Index fn = Index{f.w1} * f.h1;
    if (f.anchor_w) {
      // Means of the reliable matches only, where there are any.
      auto wu = AllocScratch<float>(fn), wv = AllocScratch<float>(fn);
      for (Index p = 0; p < fn; ++p) {
        wu[p] = f.anchor_w[p] * f.anchor_u[p];
        wv[p] = f.anchor_w[p] * f.anchor_v[p];
      }
      c.anchor_w = AllocScratch<float>(cn1);
      Shrink(f.anchor_w.get(), f.w1, f.h1, 1, w1, h1, c.anchor_w.get());
      Shrink(wu.get(), f.w1, f.h1, 1, w1, h1, c.anchor_u.get());
      Shrink(wv.get(), f.w1, f.h1, 1, w1, h1, c.anchor_v.get());
      auto pu = AllocScratch<float>(cn1), pv = AllocScratch<float>(cn1);
      Shrink(f.anchor_u.get(), f.w1, f.h1, 1, w1, h1, pu.get());
      Shrink(f.anchor_v.get(), f.w1, f.h1, 1, w1, h1, pv.get());
      for (Index p = 0; p < cn1; ++p) {
        const bool any = c.anchor_w[p] > 1e-6f;
        c.anchor_u[p] = any ? c.anchor_u[p] / c.anchor_w[p] : pu[p];
        c.anchor_v[p] = any ? c.anchor_v[p] / c.anchor_w[p] : pv[p];
      }
    } else {
      Shrink(f.anchor_u.get(), f.w1, f.h1, 1, w1, h1, c.anchor_u.get());
      Shrink(f.anchor_v.get(), f.w1, f.h1, 1, w1, h1, c.anchor_v.get());
    }
    const float sx = static_cast<float>(w1) / f.w1, sy = static_cast<float>(h1) / f.h1;
    for (Index p = 0; p < cn1; ++p) {
      c.anchor_u[p] *= sx;
      c.anchor_v[p] *= sy;
    }
    scales.push_back(std::move(c));
  }

  Workspace ws(n, Index{image2.width} * image2.height, nc);
  // Coarse to fine: the coarsest scale starts from the anchor field with its
  // unreliable parts filled in from the reliable ones, every finer one from
  // the coarser result.
  std::unique_ptr<float[]> cu, cv;
  for (int k = static_cast<int>(scales.size()) - 1; k >= 0; --k) {
    Scale& s = scales[k];
    const Index sn = Index{s.w1} * s.h1;
    auto fu = AllocScratch<float>(sn), fv = AllocScratch<float>(sn);
    if (!cu) {
      std::copy(s.anchor_u.get(), s.anchor_u.get() + sn, fu.get());
      std::copy(s.anchor_v.get(), s.anchor_v.get() + sn, fv.get());
      if (s.anchor_w) FillByWeight(fu.get(), fv.get(), s.anchor_w.get(), s.w1, s.h1);
    } else {
      const Scale& c = scales[k + 1];
#ifdef _OPENMP
#pragma omp parallel for schedule(static) if (sn >= kParallelPixels)
#endif
      for (int x = 0; x < s.w1; ++x) {
        const float rx = static_cast<float>(c.w1) / s.w1, ry = static_cast<float>(c.h1) / s.h1;
        for (int y = 0; y < s.h1; ++y) {
          const float cx = (x + 0.5f) * rx - 0.5f, cy = (y + 0.5f) * ry - 0.5f;
          fu[Index{x} * s.h1 + y] = SampleBilinear(cu.get(), c.w1, c.h1, cx, cy) / rx;
          fv[Index{x} * s.h1 + y] = SampleBilinear(cv.get(), c.w1, c.h1, cx, cy) / ry;
        }
      }
    }
    const PlanarImage i1{s.image1 ? s.image1.get() : image1.data, s.w1, s.h1, nc};
    const PlanarImage i2{s.image2 ? s.image2.get() : image2.data, s.w2, s.h2, nc};
    // The matches guide the coarse scales; at the finest their whole-pixel
    // search and parabola would only bias the sub-pixel result.
    const bool guided = k > 0 || scales.size() == 1 || params.anchor_finest;
    RefineLevel(i1, i2, params, s.anchor_u.get(), s.anchor_v.get(),
                guided ? s.anchor_w.get() : nullptr, ws, fu.get(), fv.get());
    cu = std::move(fu);
    cv = std::move(fv);
  }
  std::copy(cu.get(), cu.get() + n, u);
  std::copy(cv.get(), cv.get() + n, v);
}

}  // namespace densecorr
