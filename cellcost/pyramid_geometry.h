// The search-grid geometry of one cellcost call, derived once from image 1's
// size and the parameters, with every count checked to fit 32 bits.
#ifndef DENSECORR_CELLCOST_PYRAMID_GEOMETRY_H_
#define DENSECORR_CELLCOST_PYRAMID_GEOMETRY_H_

#include <cstdint>

#include "cellcost/pyramid_match.h"

namespace densecorr {

struct PyramidGeometry {
  int n_sample_x = 0, n_sample_y = 0, n_sample = 0;  // Sx, Sy, P = Sx*Sy
  int shift_range_x[2] = {0, 0}, shift_range_y[2] = {0, 0};
  int n_shift_x = 0, n_shift_y = 0, n_shift = 0;
  int n_cell = 0;  // (4^L - 1) / 3, 0 for L <= 0
};

// Throws std::bad_alloc when a count (n_shift_x, n_shift_y, n_shift, 2*n_shift,
// P, n_shift*P, 4^L, n_shift*n_cell) does not fit a signed 32-bit integer.
// Outside the core's preconditions (grid_size < 1, a negative radius) the
// geometry is empty rather than undefined: no samples or no translations.
PyramidGeometry ComputePyramidGeometry(int width, int height, int grid_size, int radius_x,
                                       int radius_y, int n_tree_level);

// The plain loop nest of the clipped distances (samples outer and parallel,
// translations, channels), for any translation list; the reference the fast
// kernels keep to, and their fallback for translations off the grid.
void ShiftDistLiteral(Descriptor desc1, Descriptor desc2, int grid_size, const PyramidGeometry& g,
                      float truncate_const, float* dist_volume, const int* shifts);

// What a RunPyramidMatch call with these sizes would form, without running
// it and without throwing: `fits` is false exactly when the call would fail
// its 32-bit count checks (std::bad_alloc before any output); then the
// geometry is empty and scratch_bytes 0. Otherwise scratch_bytes is the
// peak scratch the call allocates besides its outputs with the current
// OpenMP thread count (omp_get_max_threads()): never below what it really
// allocates.
struct PyramidCallPlan {
  bool fits;
  PyramidGeometry geometry;
  std::uint64_t scratch_bytes;
};
PyramidCallPlan PlanPyramidCall(int width1, int height1, int width2, int height2, int feat_dim,
                                const PyramidMatchParams& params) noexcept;

// Number of pyramid cells of levels 0 .. n_tree_level-1; -1 when 4^L does
// not fit a signed 32-bit integer (L > 15).
int PyramidCellCount(int n_tree_level);

}  // namespace densecorr

#endif  // DENSECORR_CELLCOST_PYRAMID_GEOMETRY_H_
