// Internal: the descriptor's column loops, written once as loops over the
// rows of a column and included by one kernel file per instruction set, whose
// flags let the compiler vectorise them that wide; square roots go through
// the vector traits V (the compilers keep a library call, which sets errno,
// out of vector loops). The rows of a column are independent and each
// value's operations keep their order, so every width gives the same bits.
// Internal linkage: each kernel file keeps its own copy, and no wider code
// reaches a baseline caller through the linker.
#ifndef DENSECORR_DENSEDESC_DESCRIBE_KERNEL_H_
#define DENSECORR_DENSEDESC_DESCRIBE_KERNEL_H_

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "densedesc/describe_kernels.h"
#include "densedesc/descriptor_math.h"

namespace densecorr {
namespace desc {
namespace {

inline std::ptrdiff_t Column(int x, int height) { return static_cast<std::ptrdiff_t>(x) * height; }

// values[i] = sqrt(values[i]) for i < n: whole vectors, then the rest one by
// one (both roots are correctly rounded).
template <class V>
void SqrtSpan(float* values, int n) {
  int i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) V::Store(values + i, V::Sqrt(V::Load(values + i)));
  for (; i < n; ++i) values[i] = std::sqrt(values[i]);
}

// out[y] = sum_k taps[k] * in[clamp(y + k - r)] over a column of n values,
// r = n_taps / 2, terms added in increasing k (the first one assigned).
inline void FilterColumn(const float* in, int n, const float* taps, int n_taps, float* out) {
  const int r = n_taps / 2;
  const float first = in[0], last = in[n - 1];
  for (int k = 0; k < n_taps; ++k) {
    const float t = taps[k];
    const int shift = k - r;
    // Rows whose source row y + shift lies inside the column.
    int lo = shift < 0 ? -shift : 0;
    int hi = shift > 0 ? n - shift : n;
    if (lo > n) lo = n;
    if (hi < lo) hi = lo;
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

// Column x of the horizontal pass over a plane: out[y] = sum_k taps[k] *
// in(clamp(x + k - r), y), in the same order.
inline void FilterAcross(const float* in, int width, int height, int x, const float* taps,
                         int n_taps, float* out) {
  const int r = n_taps / 2;
  for (int k = 0; k < n_taps; ++k) {
    const float t = taps[k];
    const float* src = in + Column(ClampIndex(x + k - r, width), height);
    if (k == 0) {
      for (int y = 0; y < height; ++y) out[y] = t * src[y];
    } else {
      for (int y = 0; y < height; ++y) out[y] = out[y] + t * src[y];
    }
  }
}

template <class T>
void ReadGreyColumnAs(const ImageView& image, int x, float* out) {
  const T* base = static_cast<const T*>(image.data) + static_cast<std::ptrdiff_t>(x) * image.stride_x;
  const std::ptrdiff_t sy = image.stride_y, sc = image.stride_c;
  if (image.channels == 1) {
    for (int y = 0; y < image.height; ++y) out[y] = ToUnit(base[y * sy]);
  } else {
    for (int y = 0; y < image.height; ++y) {
      const T* px = base + y * sy;
      out[y] = Luma(ToUnit(px[0]), ToUnit(px[sc]), ToUnit(px[2 * sc]));
    }
  }
}

inline void ReadGreyColumn(const ImageView& image, int x, float* out) {
  switch (image.type) {
    case PixelType::kUint8: ReadGreyColumnAs<std::uint8_t>(image, x, out); break;
    case PixelType::kUint16: ReadGreyColumnAs<std::uint16_t>(image, x, out); break;
    case PixelType::kFloat32: ReadGreyColumnAs<float>(image, x, out); break;
    case PixelType::kFloat64: ReadGreyColumnAs<double>(image, x, out); break;
  }
}

void ReadSmooth(const DescribeJob& job, int x_begin, int x_end) {
  for (int x = x_begin; x < x_end; ++x) {
    float* grey = job.grey + Column(x, job.height);
    ReadGreyColumn(job.image, x, grey);
    FilterColumn(grey, job.height, job.smooth_taps, job.n_smooth_taps,
                 job.work + Column(x, job.height));
  }
}

void SmoothAcross(const DescribeJob& job, int x_begin, int x_end) {
  for (int x = x_begin; x < x_end; ++x) {
    FilterAcross(job.work, job.width, job.height, x, job.smooth_taps, job.n_smooth_taps,
                 job.grey + Column(x, job.height));
  }
}

// Gradient at row y of a column by central differences, the rows above the
// first and below the last replicated.
inline void GradientAt(const float* col, const float* left, const float* right, int y, int h,
                       float* gx, float* gy) {
  *gx = (right[y] - left[y]) * 0.5f;
  *gy = (col[y < h - 1 ? y + 1 : h - 1] - col[y > 0 ? y - 1 : 0]) * 0.5f;
}

// The gradient of the smoothed image as a magnitude and a bin position per
// pixel; each bin's votes, pooled down the column.
template <class V>
void OrientPool(const DescribeJob& job, int x_begin, int x_end) {
  const int w = job.width, h = job.height, n = job.n_orient;
  for (int x = x_begin; x < x_end; ++x) {
    const float* col = job.grey + Column(x, h);
    const float* left = job.grey + Column(ClampIndex(x - 1, w), h);
    const float* right = job.grey + Column(ClampIndex(x + 1, w), h);
    float* pos = job.work + Column(x, h);
    float* mag = job.mag + Column(x, h);
    // The first and last rows apart, so that the rows between read their
    // neighbours without clamping.
    const int last = h - 1;
    float gx, gy;
    for (int y : {0, last}) {
      GradientAt(col, left, right, y, h, &gx, &gy);
      mag[y] = gx * gx + gy * gy;
      pos[y] = OrientationPosition(gx, gy, n);
    }
    for (int y = 1; y < last; ++y) {
      const float dx = (right[y] - left[y]) * 0.5f;
      const float dy = (col[y + 1] - col[y - 1]) * 0.5f;
      mag[y] = dx * dx + dy * dy;
    }
    SqrtSpan<V>(mag, h);
    for (int y = 1; y < last; ++y) {
      const float dx = (right[y] - left[y]) * 0.5f;
      const float dy = (col[y + 1] - col[y - 1]) * 0.5f;
      pos[y] = OrientationPosition(dx, dy, n);
    }
    for (int o = 0; o < n; ++o) {
      // The votes pass through this column's slot of the pooled maps, which
      // the next stage fills.
      float* vote = job.pooled + o * job.padded_plane + x * job.padded_height;
      for (int y = 0; y < h; ++y) vote[y] = mag[y] * BinWeight(pos[y], o, n);
      FilterColumn(vote, h, job.pool_taps, job.n_pool_taps,
                   job.pooled_v + o * job.n_pixel + Column(x, h));
    }
  }
}

void PoolAcross(const DescribeJob& job, int x_begin, int x_end) {
  const int h = job.height, pad = job.pad;
  for (int x = x_begin; x < x_end; ++x) {
    for (int o = 0; o < job.n_orient; ++o) {
      float* col = job.pooled + o * job.padded_plane + x * job.padded_height;
      FilterAcross(job.pooled_v + o * job.n_pixel, job.width, h, x, job.pool_taps,
                   job.n_pool_taps, col + pad);
      for (int y = 0; y < pad; ++y) {
        col[y] = col[pad];
        col[pad + h + y] = col[pad + h - 1];
      }
    }
  }
}

// Every channel of the pooled maps read at the cell centres, divided by the
// pixel's length (channels summed in increasing order) or by the floor if
// that is larger; in root mode divided by the sum of the channels (or the
// floor), then square-rooted. Channel order: orientation, then cell row,
// then cell column.
template <class V>
void WriteOut(const DescribeJob& job, int x_begin, int x_end) {
  const int h = job.height, g = job.n_centres;
  const bool root = job.root_normalise;
  for (int x = x_begin; x < x_end; ++x) {
    float* length = job.mag + Column(x, h);
    auto source = [&](int ix, int iy, int o) {
      const int sx = ClampIndex(x + job.centres[ix], job.width);
      return job.pooled + o * job.padded_plane + sx * job.padded_height + job.pad + job.centres[iy];
    };
    bool first = true;
    for (int ix = 0; ix < g; ++ix) {
      for (int iy = 0; iy < g; ++iy) {
        for (int o = 0; o < job.n_orient; ++o) {
          const float* src = source(ix, iy, o);
          if (first) {
            for (int y = 0; y < h; ++y) length[y] = root ? src[y] : src[y] * src[y];
            first = false;
          } else if (root) {
            for (int y = 0; y < h; ++y) length[y] = length[y] + src[y];
          } else {
            for (int y = 0; y < h; ++y) length[y] = length[y] + src[y] * src[y];
          }
        }
      }
    }
    if (!root) SqrtSpan<V>(length, h);
    const float floor = job.norm_floor;
    for (int y = 0; y < h; ++y) length[y] = length[y] > floor ? length[y] : floor;
    std::ptrdiff_t c = 0;
    for (int ix = 0; ix < g; ++ix) {
      for (int iy = 0; iy < g; ++iy) {
        for (int o = 0; o < job.n_orient; ++o, ++c) {
          const float* src = source(ix, iy, o);
          float* dst = job.out + c * job.out_plane + Column(x, h);
          for (int y = 0; y < h; ++y) dst[y] = src[y] / length[y];
          if (root) SqrtSpan<V>(dst, h);
        }
      }
    }
  }
}

template <class V>
constexpr DescribeKernels KernelTable(const char* name) {
  return {name, ReadSmooth, SmoothAcross, OrientPool<V>, PoolAcross, WriteOut<V>};
}

}  // namespace
}  // namespace desc
}  // namespace densecorr

#endif  // DENSECORR_DENSEDESC_DESCRIBE_KERNEL_H_
