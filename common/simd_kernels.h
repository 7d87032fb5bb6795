// Internal: the hot loops of both cores behind one table per instruction set.
//
// Each table's functions run one thread's share of a parallel loop; the
// cores open the OpenMP loops, allocate and pack every buffer, and pick a
// table once per call. All tables compute every entry with the same float
// operations in the same order (lanes run over independent entries, each
// entry's channel sum stays sequential), so they agree bit for bit.
#ifndef DENSECORR_COMMON_SIMD_KERNELS_H_
#define DENSECORR_COMMON_SIMD_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace densecorr {

// Upper bounds every table keeps: lanes of its widest vector and entries
// (translations or offsets) that share one load of image 1.
constexpr int kMaxLanes = 16;
constexpr int kMaxTile = 12;
// Lanes of the vectors that run over the offsets of one pixel.
constexpr int kOffsetLanes = 8;

// ---- cellcost: clipped distances on the packed sample grids ----

// Translations first_k, first_k+1, ..., first_k+count-1 of the list, in
// units of the grid: (tx, ty), (tx, ty+1), ..., (tx, ty+count-1). The plan
// groups translations whose in-image sample rows need the same number of
// vectors, so that a tile wastes few lanes.
struct ShiftTile {
  int first_k;
  int count;  // 1 .. table's shift_max_tile
  std::int64_t tx, ty;
};

// Both images sampled every grid_size-th pixel and laid out column by
// column, channel by channel, rows fastest. packed2 holds only the window
// [jx_lo, jx_hi) x [jy_lo, jy_hi) of image 2's grid that some translation
// can reach. A vector that straddles a column reads its neighbour's values
// (in lanes that are discarded); both buffers carry zero padding at either
// end (kMaxLanes for packed1, kShiftPad for packed2), so no read leaves them.
struct ShiftDistJob {
  const float* packed1;  // sample (ix, iy), channel c: ix*column1 + c*channel1 + iy
  std::ptrdiff_t column1, channel1;
  const float* packed2;  // grid (jx, jy), channel c: (jx-jx_lo)*column2 + c*channel2 + jy-jy_lo
  std::ptrdiff_t column2, channel2;
  std::int64_t jx_lo, jx_hi, jy_lo, jy_hi;
  int n_sample_x, n_sample_y, feat_dim;
  const ShiftTile* tiles;
  int n_tiles;
  float* dist_volume;  // entry of translation k at sample s: k*n_sample + s
  std::ptrdiff_t n_sample;
  float truncate_const;
  // Also write truncate_const where the translated sample leaves image 2
  // (the volume then needs no pre-fill); otherwise leave those entries.
  bool fill_outside;
};
constexpr int kShiftPad = kMaxLanes + kMaxTile;

// ---- densedisp: unclipped distances around each pixel's displacement ----

// Offsets first_k .. first_k+count-1 of the list: (sx, sy), (sx, sy+1), ...
// Consecutive offsets of a column of the search grid land on consecutive
// pixels of image 2: for one pixel they form a vector (segments, count <=
// kOffsetLanes), and for a run of pixels they share one base address (groups,
// count <= the table's pixel_max_tile).
struct OffsetSegment {
  int first_k;
  int count;
  int sx, sy;
};

struct DescDistJob {
  const float* data1;  // channel c of pixel (x, y): x*column1 + y + c*plane1
  int height1;
  std::ptrdiff_t column1, plane1;
  const float* data2;  // channel c of pixel (x2, y2): x2*column2 + y2 + c*plane2
  int width2, height2;
  std::ptrdiff_t column2, plane2;
  int feat_dim;
  const int* disparity;  // (dx, dy) of pixel p at 2p, 2p+1
  const int* offsets;    // (sx, sy) of offset k at 2k, 2k+1
  int n_offsets;
  const OffsetSegment* segments;  // a partition of 0 .. n_offsets-1, in order
  int n_segments;
  const OffsetSegment* groups;  // another partition, in order
  int n_groups;
  float* dist_volume;  // entry of offset k at pixel p: k*n_pixel + p
  std::ptrdiff_t n_pixel;
  float truncate_const;
  bool fill_outside;  // as in ShiftDistJob
};

// ---- densedisp: best offset per pixel ----

struct BestDisparityJob {
  const float* dist_volume;
  std::ptrdiff_t n_pixel;
  const float* penalty;  // n_offsets values
  const int* offsets;
  int n_offsets;
  int* disparity;
  float* best_cost;
};

// The literal scalar distance (common/distance.h), compiled for the baseline.
// Lanes whose channel sum turned NaN are recomputed with it: which of two NaN
// operands an addition returns depends on the operand order a compiler
// picks, and the literal loop is what defines the stored NaN.
float LiteralDistance(const float* a, std::ptrdiff_t plane_a, const float* b,
                      std::ptrdiff_t plane_b, int feat_dim);

struct KernelTable {
  const char* name;
  int shift_lanes;     // lanes of the cellcost distance kernel
  int shift_max_tile;  // translations sharing one load of image 1
  int pixel_lanes;     // lanes of the densedisp kernels over pixels
  int pixel_max_tile;  // offsets sharing one load of image 1
  // Sample columns [ix_begin, ix_end), every translation of the job.
  void (*shift_dist)(const ShiftDistJob& job, int ix_begin, int ix_end);
  // Columns [x_begin, x_end) of image 1, every offset of the job.
  void (*desc_dist)(const DescDistJob& job, int x_begin, int x_end);
  // Pixels [p_begin, p_end).
  void (*best_disparity)(const BestDisparityJob& job, std::ptrdiff_t p_begin, std::ptrdiff_t p_end);
};

// One table per kernel file; the x86 ones exist only in x86-64 builds.
extern const KernelTable kPortableKernels;
extern const KernelTable kAvx2Kernels;
extern const KernelTable kAvx512Kernels;

// The tables of this build that the running processor supports, widest
// first; the last is always the portable one.
std::vector<const KernelTable*> SupportedKernelTables();

// The widest supported table: what every public operation uses.
const KernelTable& SelectKernels();

}  // namespace densecorr

#endif  // DENSECORR_COMMON_SIMD_KERNELS_H_
