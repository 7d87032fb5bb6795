// Matching costs of every translation on a grid for every cell of a
// quad-tree spatial pyramid laid over image 1. Plain C++: no host code.
#ifndef DENSECORR_CELLCOST_PYRAMID_MATCH_H_
#define DENSECORR_CELLCOST_PYRAMID_MATCH_H_

#include "common/descriptor.h"
#include "common/stop.h"

// Parameters of one call. Five 32-bit fields, in this order.
struct PyramidMatchParams {
  int grid_size;         // step of the sample grid and of the translation grid, >= 1
  int n_tree_level;      // pyramid levels L; level l has 2^l x 2^l cells
  int search_radius[2];  // [0] horizontal (x), [1] vertical (y); >= 0
  float truncate_const;  // upper clip of every distance; value of out-of-image entries
};

// Make one per call. All sizes are 32-bit; any element count the geometry
// forms that does not fit ends the call with std::bad_alloc before an output
// is written.
class PyramidMatch {
 public:
  // RunPyramidMatch polls `token` (null: never stop) between blocks of work
  // and, once a stop is requested, ends with densecorr::Stopped; node_cost
  // may then hold partial results and must be discarded. A token already
  // stopped ends the call before any output is written. Not owned.
  void SetStopToken(densecorr::StopToken* token) { stop_ = token; }

  // Geometry of one call. Samples are x = 0, G, 2G, ... < width (likewise y);
  // each radius is rounded down to a multiple of G, giving the translation
  // ranges (-R, R) stored as (lowest, highest) in shift_range_x/y[0..1].
  void ComputeSearchGrid(int width, int height, int grid_size, int radius_x, int radius_y,
                         int& n_sample_x, int& n_sample_y, int* shift_range_x,
                         int* shift_range_y);
  void ComputeSearchGrid(int width, int height, int grid_size, int radius_x, int radius_y,
                         int* n_sample_x, int* n_sample_y, int* shift_range_x,
                         int* shift_range_y);

  // The driver. node_cost receives n_shift x n_cell floats, translation index
  // fastest (cost of translation k in cell c at c*n_shift + k); shifts
  // receives n_shift (dx, dy) pairs, dx outer, dy inner (fastest). Both are
  // owned by the caller and written in full. The result of ComputeShiftDist
  // (entries outside image 2 = truncate_const) and ComputeNodeCost, bit for
  // bit, computed in blocks of translations without the distance volume;
  // parallel over the blocks.
  void RunPyramidMatch(Descriptor desc1, Descriptor desc2, const PyramidMatchParams& params,
                       float* node_cost, int* shifts);

  // Fills dist_volume (n_shift planes of n_sample_x*n_sample_y floats, each
  // plane column-major over the sample grid) with the clipped distance of
  // every sample under every translation of `shifts`. Entries whose
  // translated sample leaves image 2 are not written. Parallel over samples.
  void ComputeShiftDist(Descriptor desc1, Descriptor desc2, int grid_size,
                        const PyramidMatchParams& params, float* dist_volume, const int* shifts);

  // Pools every plane of dist_volume into the mean of every pyramid cell
  // through a summed-area table; width and height are those of image 1.
  // Cells of width or height 0 (2^l above a side of the sample grid) get NaN.
  void ComputeNodeCost(const float* dist_volume, int width, int height,
                       const PyramidMatchParams& params, int grid_size, float* node_cost);

  // Inclusive summed-area table of an n_cols x n_rows column-major plane:
  // each column is summed down its rows, then added to the finished column
  // on its left. An empty plane writes nothing.
  static void BuildIntegralImage(const float* plane, float* integral, int n_cols, int n_rows);

 private:
  densecorr::StopToken* stop_ = nullptr;
};

#endif  // DENSECORR_CELLCOST_PYRAMID_MATCH_H_
