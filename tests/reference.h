// Literal loop nests: the oracle for bit-exact comparisons. Written straight
// from the order of operations the modules promise, with no shortcuts, so a
// fast path that drifts by one rounding shows up here.
#ifndef DENSECORR_TESTS_REFERENCE_H_
#define DENSECORR_TESTS_REFERENCE_H_

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "cellcost/pyramid_match.h"
#include "common/descriptor.h"
#include "densedisp/pixel_match.h"

namespace ref {

struct Image {
  int width = 0, height = 0, feat_dim = 0;
  std::vector<float> values;
  Descriptor desc() const { return Descriptor{values.data(), width, height, feat_dim}; }
  float at(int y, int x, int c) const {
    return values[static_cast<size_t>(y) + static_cast<size_t>(x) * height +
                  static_cast<size_t>(c) * width * height];
  }
};

// Random image; `special` > 0 sprinkles NaN and +-Inf into one entry in `special`.
inline Image RandomImage(std::mt19937& rng, int height, int width, int feat_dim,
                         int special = 0) {
  Image im;
  im.width = width;
  im.height = height;
  im.feat_dim = feat_dim;
  im.values.resize(static_cast<size_t>(width) * height * feat_dim);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::uniform_int_distribution<int> pick(0, special > 0 ? special - 1 : 0);
  for (float& v : im.values) {
    v = u(rng);
    if (special > 0 && pick(rng) == 0) {
      const int kind = pick(rng) % 3;
      v = kind == 0 ? std::numeric_limits<float>::quiet_NaN()
                    : (kind == 1 ? std::numeric_limits<float>::infinity()
                                 : -std::numeric_limits<float>::infinity());
    }
  }
  return im;
}

inline float Dist(const Image& a, int ya, int xa, const Image& b, int yb, int xb, int feat_dim) {
  float sum = 0.0f;
  for (int c = 0; c < feat_dim; ++c) {
    volatile float d = a.at(ya, xa, c) - b.at(yb, xb, c);  // volatile: no contraction possible
    volatile float sq = d * d;
    sum = sum + sq;
  }
  return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

// a + b with a NaN operand deciding the result as the first operand of an
// addition does in hardware: the order the pooling definition is written in,
// whatever order a compiler gives the operands of a commutative addition.
inline float OrderedAdd(float a, float b) {
  if (a != a) return a;
  if (b != b) return b;
  return a + b;
}

struct PyramidResult {
  std::vector<float> node_cost;
  std::vector<int> shifts;
  int n_shift_x = 0, n_shift_y = 0;
};

inline PyramidResult Pyramid(const Image& im1, const Image& im2, const PyramidMatchParams& prm) {
  const int G = prm.grid_size;
  int sx = 0, sy = 0;
  for (int pos = 0; pos < im1.width; pos += G) ++sx;
  for (int pos = 0; pos < im1.height; pos += G) ++sy;
  const int rx = G * (prm.search_radius[0] / G), ry = G * (prm.search_radius[1] / G);
  PyramidResult r;
  r.n_shift_x = (2 * rx) / G + 1;
  r.n_shift_y = (2 * ry) / G + 1;
  const int T = r.n_shift_x * r.n_shift_y, P = sx * sy;
  const int L = prm.n_tree_level;
  const int n_cell = L > 0 ? static_cast<int>(std::pow(4.0, L)) / 3 : 0;
  for (int ix = 0; ix < r.n_shift_x; ++ix)
    for (int iy = 0; iy < r.n_shift_y; ++iy) {
      r.shifts.push_back(-rx + ix * G);
      r.shifts.push_back(-ry + iy * G);
    }
  std::vector<float> vol(static_cast<size_t>(T) * P, prm.truncate_const);
  for (int s = 0; s < P; ++s) {
    const int x1 = G * (s / sy), y1 = G * (s % sy);
    for (int k = 0; k < T; ++k) {
      const int x2 = x1 + r.shifts[2 * k], y2 = y1 + r.shifts[2 * k + 1];
      if (x2 < 0 || x2 >= im2.width || y2 < 0 || y2 >= im2.height) continue;
      const float d = Dist(im1, y1, x1, im2, y2, x2, im1.feat_dim);
      vol[static_cast<size_t>(k) * P + s] = d > prm.truncate_const ? prm.truncate_const : d;
    }
  }
  r.node_cost.assign(static_cast<size_t>(T) * n_cell, -12345.0f);
  std::vector<float> I(P);
  for (int k = 0; k < T; ++k) {
    const float* V = vol.data() + static_cast<size_t>(k) * P;
    if (P > 0) {
      float s = 0;
      for (int iy = 0; iy < sy; ++iy) I[iy] = s = OrderedAdd(s, V[iy]);
      for (int ix = 1; ix < sx; ++ix) {
        float c = 0;
        for (int iy = 0; iy < sy; ++iy) {
          c = OrderedAdd(c, V[ix * sy + iy]);
          I[ix * sy + iy] = OrderedAdd(c, I[(ix - 1) * sy + iy]);
        }
      }
    }
    auto at = [&](int ix, int iy) { return (ix < 0 || iy < 0) ? 0.0f : I[ix * sy + iy]; };
    for (int l = 0; l < L; ++l) {
      const int n = static_cast<int>(std::pow(2.0, l));
      const int off = static_cast<int>(std::pow(4.0, l) - 1) / 3;
      const int cw = sx / n, ch = sy / n;
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
          float v = std::numeric_limits<float>::quiet_NaN();
          if (cw > 0 && ch > 0) {
            const int x0 = i * cw, y0 = j * ch, x1 = x0 + cw - 1, y1 = y0 + ch - 1;
            v = ((OrderedAdd(at(x1, y1), at(x0 - 1, y0 - 1)) - at(x1, y0 - 1)) - at(x0 - 1, y1)) /
                static_cast<float>(cw * ch);
          }
          r.node_cost[static_cast<size_t>(off + i * n + j) * T + k] = v;
        }
    }
  }
  return r;
}

inline std::vector<int> Offsets(int g, int rx, int ry) {
  std::vector<int> o;
  if (rx < 0 || ry < 0 || g < 1) return o;
  for (int sx = -rx; sx <= rx; sx += g)
    for (int sy = -ry; sy <= ry; sy += g) {
      o.push_back(sx);
      o.push_back(sy);
    }
  return o;
}

// Basic pipeline (labels == nullptr) or label-constrained pipeline.
inline void Pixel(const Image& im1, const Image& im2, std::vector<int>& disp,
                  std::vector<float>& cost, const PixelMatchParams& prm,
                  const unsigned char* labels1 = nullptr, const unsigned char* labels2 = nullptr) {
  const std::vector<int> off = Offsets(prm.search_grid_size, prm.search_radius[0],
                                       prm.search_radius[1]);
  const int n = static_cast<int>(off.size() / 2), P1 = im1.width * im1.height;
  std::vector<float> vol(static_cast<size_t>(n) * P1, prm.truncate_const);
  for (int p = 0; p < P1; ++p) {
    const int x = p / im1.height, y = p % im1.height;
    for (int k = 0; k < n; ++k) {
      const long long x2 = static_cast<long long>(x) + disp[2 * p] + off[2 * k];
      const long long y2 = static_cast<long long>(y) + disp[2 * p + 1] + off[2 * k + 1];
      if (x2 < 0 || x2 >= im2.width || y2 < 0 || y2 >= im2.height) continue;
      const size_t q = static_cast<size_t>(x2 * im2.height + y2);
      float e;
      if (labels1 == nullptr) {
        e = Dist(im1, y, x, im2, static_cast<int>(y2), static_cast<int>(x2), im1.feat_dim);
      } else if (labels1[p] == 2 || labels2[q] == 2 || labels1[p] == labels2[q]) {
        const float d = Dist(im1, y, x, im2, static_cast<int>(y2), static_cast<int>(x2),
                             im1.feat_dim);
        e = prm.truncate_const < d ? prm.truncate_const : d;
      } else {
        e = prm.label_mismatch_cost;
      }
      vol[static_cast<size_t>(k) * P1 + p] = e;
    }
  }
  std::vector<float> pen(n);
  for (int k = 0; k < n; ++k)
    pen[k] = (std::fabs(static_cast<float>(off[2 * k])) +
              std::fabs(static_cast<float>(off[2 * k + 1]))) * prm.deform_coeff;
  cost.assign(P1, 0.0f);
  for (int p = 0; p < P1; ++p) {
    int best = -1;
    float mn = std::numeric_limits<float>::max();
    for (int k = 0; k < n; ++k) {
      const float t = vol[static_cast<size_t>(k) * P1 + p] + pen[k];
      if (t < mn) {
        mn = t;
        best = k;
      }
    }
    if (best < 0) {
      cost[p] = std::numeric_limits<float>::infinity();
      continue;
    }
    disp[2 * p] += off[2 * best];
    disp[2 * p + 1] += off[2 * best + 1];
    cost[p] = vol[static_cast<size_t>(best) * P1 + p];
  }
}

// Region-wise update, pixel loop over the whole image as the rule is stated.
inline void Regions(const Image& im1, const Image& im2, const std::vector<int>& regions,
                    const std::vector<int>& rdisp, std::vector<int>& disp,
                    std::vector<float>& cost, const PixelMatchParams& prm) {
  const std::vector<int> off = Offsets(prm.search_grid_size, prm.search_radius[0],
                                       prm.search_radius[1]);
  const int n = static_cast<int>(off.size() / 2), P1 = im1.width * im1.height;
  std::vector<float> pen(n);
  for (int k = 0; k < n; ++k) {
    const float a = static_cast<float>(off[2 * k]), b = static_cast<float>(off[2 * k + 1]);
    volatile float a2 = a * a, b2 = b * b;
    pen[k] = std::sqrt(a2 + b2) * prm.deform_coeff;
  }
  for (size_t r = 0; r < rdisp.size() / 2; ++r) {
    for (int p = 0; p < P1; ++p) {
      const int x = p / im1.height, y = p % im1.height;
      if (!(regions[4 * r] <= x && x <= regions[4 * r + 1] && regions[4 * r + 2] <= y &&
            y <= regions[4 * r + 3]))
        continue;
      float best = std::numeric_limits<float>::max();
      int chosen = -1;
      for (int k = 0; k < n; ++k) {
        const long long x2 = static_cast<long long>(x) + rdisp[2 * r] + off[2 * k];
        const long long y2 = static_cast<long long>(y) + rdisp[2 * r + 1] + off[2 * k + 1];
        if (x2 < 0 || x2 >= im2.width || y2 < 0 || y2 >= im2.height) continue;
        const float s = Dist(im1, y, x, im2, static_cast<int>(y2), static_cast<int>(x2),
                             im1.feat_dim) + pen[k];
        if (s < best) {
          best = s;
          chosen = k;
        }
      }
      if (chosen >= 0 && cost[p] > best) {
        cost[p] = best;
        disp[2 * p] = rdisp[2 * r] + off[2 * chosen];
        disp[2 * p + 1] = rdisp[2 * r + 1] + off[2 * chosen + 1];
      }
    }
  }
}

// Bitwise equality of float arrays (NaN payloads included).
inline bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

}  // namespace ref

#endif  // DENSECORR_TESTS_REFERENCE_H_
