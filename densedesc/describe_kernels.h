// Internal: the column loops of the dense descriptor behind one table per
// instruction set. A table's functions run one thread's share of a parallel
// loop over image columns; the driver opens the OpenMP loops, allocates every
// buffer and picks the table once per call. Every table computes each value
// with the same float operations in the same order (vector lanes run over the
// rows of a column, which are independent), so they agree bit for bit.
#ifndef DENSECORR_DENSEDESC_DESCRIBE_KERNELS_H_
#define DENSECORR_DENSEDESC_DESCRIBE_KERNELS_H_

#include <cstddef>

#include "common/image_view.h"
#include "densedesc/dense_descriptor.h"
#include "simd/dispatch.h"

namespace densecorr {

// One call's sizes, windows and buffers. Planes are column-major (y fastest),
// width*height floats; pooled columns carry `pad` replicated rows above and
// below, so that every cell centre reads inside its column.
struct DescribeJob {
  ImageView image;
  int width, height, n_orient;
  std::ptrdiff_t n_pixel;
  const float* smooth_taps;  // Gaussian, odd count, centre in the middle
  int n_smooth_taps;
  const float* pool_taps;  // triangular, odd count
  int n_pool_taps;
  const int* centres;  // cell-centre offsets along either axis
  int n_centres;
  int pad;
  std::ptrdiff_t padded_height, padded_plane;
  float norm_floor;
  bool root_normalise;
  float* grey;      // plane: grey values, then the smoothed image
  float* work;      // plane: vertical smoothing, then gradient bin positions
  float* mag;       // plane: gradient magnitudes, then vector lengths
  float* pooled_v;  // n_orient planes: votes pooled down the columns
  float* pooled;    // n_orient padded planes: pooled both ways (before: votes)
  float* out;       // the descriptor: channel c of pixel (x, y) at c*out_plane + x*height + y
  std::ptrdiff_t out_plane;
};

struct DescribeKernels {
  const char* name;
  // Each runs columns [x_begin, x_end) of its stage; a stage reads only what
  // earlier stages wrote.
  void (*read_smooth)(const DescribeJob& job, int x_begin, int x_end);  // grey, smoothed down
  void (*smooth_across)(const DescribeJob& job, int x_begin, int x_end);
  void (*orient_pool)(const DescribeJob& job, int x_begin, int x_end);  // votes, pooled down
  void (*pool_across)(const DescribeJob& job, int x_begin, int x_end);
  void (*write_out)(const DescribeJob& job, int x_begin, int x_end);
};

// One table per kernel file; the x86 ones exist only in x86-64 builds.
extern const DescribeKernels kDescribeKernelsPortable;
extern const DescribeKernels kDescribeKernelsAvx2;
extern const DescribeKernels kDescribeKernelsAvx512;

// The table of a supported instruction set (see simd::SupportedIsas).
const DescribeKernels& DescribeKernelsFor(simd::Isa isa);

// DescribeImage on a chosen table (the public call uses simd::SelectIsa()'s).
void DescribeImageWith(const DescribeKernels& kernels, const ImageView& image,
                       const DescribeOptions& options, float* out, StopToken* stop = nullptr,
                       std::ptrdiff_t out_plane = 0, float* scratch = nullptr);

}  // namespace densecorr

#endif  // DENSECORR_DENSEDESC_DESCRIBE_KERNELS_H_
