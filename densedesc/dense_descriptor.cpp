#include "densedesc/dense_descriptor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/scratch.h"
#include "densedesc/descriptor_math.h"

#ifdef _OPENMP
#define DENSEDESC_PARALLEL _Pragma("omp parallel")
#define DENSEDESC_FOR _Pragma("omp for schedule(static)")
#else
#define DENSEDESC_PARALLEL
#define DENSEDESC_FOR
#endif

namespace densecorr {

namespace {

// Ranges that keep every window, pad and channel count small and every
// division well defined.
constexpr float kMaxSmoothingSigma = 10.0f;
constexpr int kMaxOrientations = 32;
constexpr int kMaxCellSize = 16;
constexpr int kMaxGridCells = 8;

void Require(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(what);
}

void CheckOptions(const DescribeOptions& o) {
  Require(std::isfinite(o.smoothing_sigma) && o.smoothing_sigma >= 0.0f &&
              o.smoothing_sigma <= kMaxSmoothingSigma,
          "smoothing_sigma must be finite and in [0, 10]");
  Require(o.n_orientations >= 2 && o.n_orientations <= kMaxOrientations,
          "n_orientations must be in [2, 32]");
  Require(o.cell_size >= 1 && o.cell_size <= kMaxCellSize, "cell_size must be in [1, 16]");
  Require(o.grid_cells >= 1 && o.grid_cells <= kMaxGridCells, "grid_cells must be in [1, 8]");
  Require(std::isfinite(o.norm_floor) && o.norm_floor > 0.0f,
          "norm_floor must be finite and positive");
}

void CheckImage(const ImageView& image) {
  Require(image.width >= 0 && image.height >= 0, "image width and height must not be negative");
  Require(image.channels == 1 || image.channels == 3, "image must have 1 or 3 channels");
  Require(image.data != nullptr || image.width == 0 || image.height == 0,
          "image data missing");
  Require(image.type == PixelType::kUint8 || image.type == PixelType::kUint16 ||
              image.type == PixelType::kFloat32 || image.type == PixelType::kFloat64,
          "unknown pixel type");
}

// Sizes and windows of one call.
struct Plan {
  int width, height, n_orient;
  std::ptrdiff_t n_pixel;  // width * height: one plane, column-major
  std::vector<float> smooth_taps, pool_taps;
  std::vector<int> centres;  // cell-centre offsets along either axis
  int pad;                   // rows of replication above and below a pooled column
  std::ptrdiff_t padded_height, padded_plane;
  float norm_floor;
};

// out[y] = sum_k taps[k] * in[clamp(y + k - r)] for a column of n values,
// r = n_taps / 2, terms added in increasing k (the first one assigned).
void FilterColumn(const float* in, int n, const std::vector<float>& taps, float* out) {
  const int n_taps = static_cast<int>(taps.size());
  const int r = n_taps / 2;
  for (int k = 0; k < n_taps; ++k) {
    const float t = taps[k];
    const int shift = k - r;
    // Rows whose source row y + shift lies inside the column.
    int lo = shift < 0 ? -shift : 0;
    int hi = shift > 0 ? n - shift : n;
    if (lo > n) lo = n;
    if (hi < lo) hi = lo;
    const float first = in[0], last = in[n - 1];
    const float* src = in + shift;
    if (k == 0) {
      for (int y = 0; y < lo; ++y) out[y] = t * first;
      for (int y = lo; y < hi; ++y) out[y] = t * src[y];
      for (int y = hi; y < n; ++y) out[y] = t * last;
    } else {
      for (int y = 0; y < lo; ++y) out[y] = out[y] + t * first;
      for (int y = lo; y < hi; ++y) out[y] = out[y] + t * src[y];
      for (int y = hi; y < n; ++y) out[y] = out[y] + t * last;
    }
  }
}

// Column x of the horizontal pass over a plane (column-major, `height` rows):
// out[y] = sum_k taps[k] * in(clamp(x + k - r), y), same order as above.
void FilterAcross(const float* in, int width, int height, int x, const std::vector<float>& taps,
                  float* out) {
  const int n_taps = static_cast<int>(taps.size());
  const int r = n_taps / 2;
  for (int k = 0; k < n_taps; ++k) {
    const float t = taps[k];
    const float* src = in + static_cast<std::ptrdiff_t>(desc::ClampIndex(x + k - r, width)) * height;
    if (k == 0) {
      for (int y = 0; y < height; ++y) out[y] = t * src[y];
    } else {
      for (int y = 0; y < height; ++y) out[y] = out[y] + t * src[y];
    }
  }
}

void ReadGreyColumn(const ImageView& image, int x, float* out) {
  for (int y = 0; y < image.height; ++y) out[y] = desc::GreyValue(image, x, y);
}

// Gradient by central differences of the smoothed image (borders
// replicated), as a bin position and a magnitude per pixel of column x.
void GradientColumn(const float* smooth, int width, int height, int x, float* pos, float* mag,
                    int n_orient) {
  const float* left = smooth + static_cast<std::ptrdiff_t>(desc::ClampIndex(x - 1, width)) * height;
  const float* right = smooth + static_cast<std::ptrdiff_t>(desc::ClampIndex(x + 1, width)) * height;
  const float* col = smooth + static_cast<std::ptrdiff_t>(x) * height;
  for (int y = 0; y < height; ++y) {
    const float gx = (right[y] - left[y]) * 0.5f;
    const float up = col[desc::ClampIndex(y - 1, height)];
    const float down = col[desc::ClampIndex(y + 1, height)];
    const float gy = (down - up) * 0.5f;
    mag[y] = std::sqrt(gx * gx + gy * gy);
    pos[y] = desc::OrientationPosition(gx, gy, n_orient);
  }
}

void VoteColumn(const float* pos, const float* mag, int height, int o, int n_orient, float* out) {
  for (int y = 0; y < height; ++y) out[y] = mag[y] * desc::BinWeight(pos[y], o, n_orient);
}

// Column x of the output: every channel of the pooled maps sampled at the
// cell centres, divided by the pixel's length (channels summed in increasing
// order) or by the floor if that is larger. `length` is a column of scratch.
void WriteOutputColumn(const Plan& p, const float* pooled, int x, float* length, float* out) {
  const int h = p.height;
  const int g = static_cast<int>(p.centres.size());
  const std::ptrdiff_t column = static_cast<std::ptrdiff_t>(x) * h;
  auto source = [&](int ix, int iy, int o) {
    const int sx = desc::ClampIndex(x + p.centres[ix], p.width);
    return pooled + o * p.padded_plane + sx * p.padded_height + p.pad + p.centres[iy];
  };
  bool first = true;
  for (int ix = 0; ix < g; ++ix) {
    for (int iy = 0; iy < g; ++iy) {
      for (int o = 0; o < p.n_orient; ++o) {
        const float* src = source(ix, iy, o);
        if (first) {
          for (int y = 0; y < h; ++y) length[y] = src[y] * src[y];
          first = false;
        } else {
          for (int y = 0; y < h; ++y) length[y] = length[y] + src[y] * src[y];
        }
      }
    }
  }
  for (int y = 0; y < h; ++y) {
    const float len = std::sqrt(length[y]);
    length[y] = len > p.norm_floor ? len : p.norm_floor;
  }
  std::ptrdiff_t c = 0;
  for (int ix = 0; ix < g; ++ix) {
    for (int iy = 0; iy < g; ++iy) {
      for (int o = 0; o < p.n_orient; ++o, ++c) {
        const float* src = source(ix, iy, o);
        float* dst = out + c * p.n_pixel + column;
        for (int y = 0; y < h; ++y) dst[y] = src[y] / length[y];
      }
    }
  }
}

}  // namespace

int DescriptorChannels(const DescribeOptions& options) {
  CheckOptions(options);
  return options.n_orientations * options.grid_cells * options.grid_cells;
}

void DescribeImage(const ImageView& image, const DescribeOptions& options, float* out) {
  CheckOptions(options);
  CheckImage(image);
  if (image.width == 0 || image.height == 0) return;
  Require(out != nullptr, "output missing");

  Plan p;
  p.width = image.width;
  p.height = image.height;
  p.n_orient = options.n_orientations;
  p.n_pixel = static_cast<std::ptrdiff_t>(p.width) * p.height;
  p.smooth_taps = desc::GaussianTaps(options.smoothing_sigma);
  p.pool_taps = desc::TriangleTaps(options.cell_size);
  p.centres = desc::CellCentres(options.grid_cells, options.cell_size);
  p.pad = 0;
  for (int c : p.centres) p.pad = std::max(p.pad, c < 0 ? -c : c);
  p.padded_height = static_cast<std::ptrdiff_t>(p.height) + 2 * p.pad;
  p.padded_plane = p.padded_height * p.width;
  p.norm_floor = options.norm_floor;
  const int n = p.n_orient;

  // Every buffer before any work: a failed allocation leaves `out` untouched.
  auto grey = AllocScratch<float>(p.n_pixel);  // then the smoothed image
  auto work = AllocScratch<float>(p.n_pixel);  // vertical smoothing, then bin positions
  auto mag = AllocScratch<float>(p.n_pixel);   // gradient magnitude, then lengths
  auto votes = AllocScratch<float>(n * p.n_pixel);
  auto pooled_v = AllocScratch<float>(n * p.n_pixel);
  auto pooled = AllocScratch<float>(n * p.padded_plane);

  const int w = p.width, h = p.height;
  // Every loop below writes each entry from fixed inputs in a fixed order,
  // so the split of columns between threads cannot change a bit.
  DENSEDESC_PARALLEL
  {
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x) {
      ReadGreyColumn(image, x, grey.get() + static_cast<std::ptrdiff_t>(x) * h);
      FilterColumn(grey.get() + static_cast<std::ptrdiff_t>(x) * h, h, p.smooth_taps,
                   work.get() + static_cast<std::ptrdiff_t>(x) * h);
    }
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x) {
      FilterAcross(work.get(), w, h, x, p.smooth_taps,
                   grey.get() + static_cast<std::ptrdiff_t>(x) * h);
    }
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x) {
      const std::ptrdiff_t column = static_cast<std::ptrdiff_t>(x) * h;
      GradientColumn(grey.get(), w, h, x, work.get() + column, mag.get() + column, n);
      for (int o = 0; o < n; ++o) {
        float* vote = votes.get() + o * p.n_pixel + column;
        VoteColumn(work.get() + column, mag.get() + column, h, o, n, vote);
        FilterColumn(vote, h, p.pool_taps, pooled_v.get() + o * p.n_pixel + column);
      }
    }
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x) {
      for (int o = 0; o < n; ++o) {
        float* col = pooled.get() + o * p.padded_plane + x * p.padded_height;
        FilterAcross(pooled_v.get() + o * p.n_pixel, w, h, x, p.pool_taps, col + p.pad);
        for (int y = 0; y < p.pad; ++y) {
          col[y] = col[p.pad];
          col[p.pad + h + y] = col[p.pad + h - 1];
        }
      }
    }
    DENSEDESC_FOR
    for (int x = 0; x < w; ++x) {
      WriteOutputColumn(p, pooled.get(), x, mag.get() + static_cast<std::ptrdiff_t>(x) * h, out);
    }
  }
}

}  // namespace densecorr
