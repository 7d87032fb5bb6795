// Internal: the distance and selection kernels of densedisp behind one table
// per instruction set. A table's functions run one thread's share of a
// parallel loop; the driver opens the OpenMP loops, allocates every buffer
// and picks the table once per call. Every table computes each entry with
// the same float operations in the same order (lanes run over independent
// pixels or offsets, each entry's channel sum stays sequential), so they
// agree bit for bit.
#ifndef DENSECORR_DENSEDISP_DESC_KERNELS_H_
#define DENSECORR_DENSEDISP_DESC_KERNELS_H_

#include <cstddef>
#include <cstdint>

#include "simd/dispatch.h"

namespace densecorr {

// Lanes of the vectors that run over the offsets of one pixel.
constexpr int kOffsetLanes = 8;

// The distance kernels visit image 1 in bands of this many rows, so that
// the candidates of neighbouring pixels (which overlap) are still cached
// when reused. A panel (DescDistJob::panel) holds the copies for a piece of
// one band, at most kMaxPanelFloats floats (1 MB: it is reread from the
// second-level cache).
constexpr int kBandRows = 32;
constexpr std::ptrdiff_t kMaxPanelFloats = std::ptrdiff_t{256} << 10;

// Offsets first_k .. first_k+count-1 of the list: (sx, sy), (sx, sy+step),
// (sx, sy+2*step), ... Consecutive offsets of a column of the search grid
// land on pixels of image 2 `step` rows apart: for one pixel, with step 1,
// they form a vector (segments, count <= kOffsetLanes), and for a run of
// pixels they share one load of image 1 (groups, count <= the table's
// pixel_max_tile, any step: each member loads its own vector of image 2).
struct OffsetSegment {
  int first_k;
  int count;
  int sx, sy;
  int step;
};

struct DescDistJob {
  // Channel c of pixel (x, y): x*column1 + y - origin1 + c*plane1. The
  // images as given have origin 0; copies of a part of them (see panel)
  // start at their first pixel.
  const float* data1;
  int height1;
  std::ptrdiff_t column1, plane1, origin1;
  const float* data2;  // channel c of pixel (x2, y2): x2*column2 + y2 - origin2 + c*plane2
  int width2, height2;
  std::ptrdiff_t column2, plane2, origin2;
  // Rows [reach_lo, reach_hi) of image 2 are there to read in any column
  // read at all: offset lanes load a whole vector from there even where a
  // segment has fewer lanes (the rest are discarded). The images as given:
  // 0, height2; a copy: its rows.
  std::int64_t reach_lo, reach_hi;
  int feat_dim;
  const int* disparity;  // (dx, dy) of pixel p at 2p, 2p+1
  const int* offsets;    // (sx, sy) of offset k at 2k, 2k+1
  int n_offsets;
  int sx_min, sx_max, sy_min, sy_max;  // extent of the offsets (n_offsets > 0)
  const OffsetSegment* segments;  // a partition of 0 .. n_offsets-1, in order
  int n_segments;
  const OffsetSegment* groups;  // another partition, in order
  int n_groups;
  // Entry of offset k at pixel (x, y): k*k_stride + x*vol_column + y -
  // vol_origin. The whole volume: n_pixel, height1, 0; a block of pixels
  // (the fused driver) maps its rectangle onto a small buffer.
  float* dist_volume;
  std::ptrdiff_t k_stride, vol_column, vol_origin;
  float truncate_const;
  // Also write truncate_const where the candidate leaves image 2 (the volume
  // then needs no pre-fill); otherwise leave those entries.
  bool fill_outside;
  // Optional scratch of panel_floats floats (one thread's): where given, the
  // kernels copy what a piece of a band reads of image 1 (and, where it
  // pays, of image 2) into it, each pixel's channels a few lines apart, and
  // read the copies instead. In the images as given they are a plane apart,
  // which with planes a multiple of 4 KB maps all channels of a pixel to one
  // set of the first-level cache.
  float* panel;
  std::ptrdiff_t panel_floats;
};

// Floats of the panel a thread of a fused call gets (0: the kernels read
// the images directly); PanelFloats(...) * threads is part of the call's
// memory plan.
std::ptrdiff_t PanelFloats(int width1, int height1, int width2, int height2, int feat_dim);

// Best offset per pixel.
struct BestDisparityJob {
  // Entry of offset k at volume index i: dist_volume[k*k_stride + i]. Index
  // i holds pixel first + (i / rows)*column + i % rows: the whole volume has
  // rows = column = height1 and first = 0; a block buffer of the fused
  // driver holds its rectangle's columns one after the other.
  const float* dist_volume;
  std::ptrdiff_t k_stride;
  std::ptrdiff_t rows, column, first;
  const float* penalty;  // n_offsets values
  const int* offsets;
  int n_offsets;
  int* disparity;
  float* best_cost;
};

struct PixelKernels {
  const char* name;
  int pixel_lanes;     // lanes of the kernels over pixels
  int pixel_max_tile;  // offsets sharing one load of image 1
  // Pixels of columns [x_begin, x_end), rows [y_begin, y_end) of image 1,
  // every offset of the job.
  void (*desc_dist)(const DescDistJob& job, int x_begin, int x_end, int y_begin, int y_end);
  // Volume indices [i_begin, i_end).
  void (*best_disparity)(const BestDisparityJob& job, std::ptrdiff_t i_begin, std::ptrdiff_t i_end);
};

// One table per kernel file; the x86 ones exist only in x86-64 builds.
extern const PixelKernels kPixelKernelsPortable;
extern const PixelKernels kPixelKernelsAvx2;
extern const PixelKernels kPixelKernelsAvx512;

// The table of a supported instruction set (see simd::SupportedIsas).
const PixelKernels& PixelKernelsFor(simd::Isa isa);

}  // namespace densecorr

#endif  // DENSECORR_DENSEDISP_DESC_KERNELS_H_
