// Internal: the clipped-distance kernel of cellcost behind one table per
// instruction set. A table's function runs one thread's share of the
// parallel loop; the driver opens the OpenMP loop, packs the buffers and
// picks the table once per call. Every table computes each entry with the
// same float operations in the same order (lanes run over independent
// sample rows, each entry's channel sum stays sequential), so they agree bit
// for bit.
#ifndef DENSECORR_CELLCOST_SHIFT_KERNELS_H_
#define DENSECORR_CELLCOST_SHIFT_KERNELS_H_

#include <cstddef>
#include <cstdint>

#include "simd/dispatch.h"

namespace densecorr {

// Upper bound of the translations that share one load of image 1, over
// every table.
constexpr int kShiftMaxTile = 12;

// Translations first_k, first_k+1, ..., first_k+count-1 of the list, in
// units of the grid: (tx, ty), (tx, ty+1), ..., (tx, ty+count-1). The plan
// groups translations whose in-image sample rows need the same number of
// vectors, so that a tile wastes few lanes.
struct ShiftTile {
  int first_k;
  int count;  // 1 .. table's max_tile
  std::int64_t tx, ty;
};

// Both images sampled every grid_size-th pixel and laid out column by
// column, channel by channel, rows fastest. packed2 holds only the window
// [jx_lo, jx_hi) x [jy_lo, jy_hi) of image 2's grid that some translation
// can reach. A vector that straddles a column reads its neighbour's values
// (in lanes that are discarded); both buffers carry zero padding at either
// end (simd::kMaxLanes for packed1, kShiftPad for packed2), so no read
// leaves them.
struct ShiftDistJob {
  const float* packed1;  // sample (ix, iy), channel c: ix*column1 + c*channel1 + iy
  std::ptrdiff_t column1, channel1;
  const float* packed2;  // grid (jx, jy), channel c: (jx-jx_lo)*column2 + c*channel2 + jy-jy_lo
  std::ptrdiff_t column2, channel2;
  std::int64_t jx_lo, jx_hi, jy_lo, jy_hi;
  int n_sample_x, n_sample_y, feat_dim;
  const ShiftTile* tiles;
  int n_tiles;
  // Entry of translation k at sample (ix, iy):
  // (k - k_origin)*n_sample + ix*x_stride + iy. The whole volume: k_origin 0,
  // n_sample and x_stride as named. The fused driver points it at one sample
  // column of a block of translations: k_origin the block's first, n_sample
  // = n_sample_y, x_stride 0.
  float* dist_volume;
  std::ptrdiff_t n_sample;
  std::ptrdiff_t x_stride;
  std::ptrdiff_t k_origin;
  float truncate_const;
  // Also write truncate_const where the translated sample leaves image 2
  // (the volume then needs no pre-fill); otherwise leave those entries.
  bool fill_outside;
};
// Runs of translations shorter than this join a neighbouring run in the
// plan (a tile's additions need a few independent sums to keep the adder
// busy).
constexpr int kMinShiftRun = 4;

constexpr int kShiftPad = simd::kMaxLanes + kShiftMaxTile;

struct ShiftKernels {
  const char* name;
  int lanes;     // sample rows per vector
  // Rows the vectors cover in steps of: lanes, or fewer where a shorter
  // vector takes the cover's partial end.
  int cover_lanes;
  int max_tile;  // translations sharing one load of image 1
  // Sample columns [ix_begin, ix_end), every translation of the job.
  void (*shift_dist)(const ShiftDistJob& job, int ix_begin, int ix_end);
  // The fused call's running sums, or null where the portable loop serves:
  // for each of `count` translations, column[t*rows + iy] summed down the
  // rows (r = r + value, from r = 0) and added to the previous summed-area
  // column, left[SumIndex(t, iy)] = r + left[SumIndex(t, iy)] (just r when
  // `first`).
  void (*column_sums)(const float* column, int rows, int count, bool first, float* left);
  // Translations interleaved in `left` (1 for the portable loop): the
  // vector kernels keep the table's newest column as their sums leave the
  // adder, a vector of sum_lanes translations per row, and skip
  // transposing back. `left` then holds count rounded up to sum_lanes.
  int sum_lanes;
};

// Where column_sums keeps row iy of translation t.
inline std::ptrdiff_t SumIndex(int sum_lanes, int rows, int t, int iy) {
  return (std::ptrdiff_t{t} / sum_lanes * rows + iy) * sum_lanes + t % sum_lanes;
}

// One table per kernel file; the x86 ones exist only in x86-64 builds.
extern const ShiftKernels kShiftKernelsPortable;
extern const ShiftKernels kShiftKernelsAvx2;
extern const ShiftKernels kShiftKernelsAvx512;

// The table of a supported instruction set (see simd::SupportedIsas).
const ShiftKernels& ShiftKernelsFor(simd::Isa isa);

}  // namespace densecorr

#endif  // DENSECORR_CELLCOST_SHIFT_KERNELS_H_
