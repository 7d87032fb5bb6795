// Host entry point of cellcost:
//   [node_cost, shifts, grid] = cellcost(image1, image2, params)
// Checks the arguments, sizes the outputs from the search geometry and lets
// PyramidMatch fill them (see cellcost.m for the user's view).
//
// Host operations used by this file and common/mex_gateway.h, the whole host
// surface of the module: mxIsSingle, mxIsDouble, mxIsNumeric, mxIsComplex,
// mxIsSparse, mxIsStruct, mxGetNumberOfElements, mxGetNumberOfDimensions,
// mxGetDimensions, mxGetData, mxGetField, mxGetScalar, mxGetPr,
// mxCreateNumericMatrix, mxDestroyArray, mexPrintf.
#include <cstdint>

#include "cellcost/pyramid_match.h"
#include "common/descriptor.h"
#include "mex/mex_gateway.h"

namespace {

enum { IN_IMAGE1, IN_IMAGE2, IN_PARAMS, N_IN };
enum { OUT_NODE_COST, OUT_SHIFTS, OUT_GRID, N_OUT };

// Pyramids deeper than this have more than 2^31 cells.
constexpr int kMaxTreeLevel = 15;

// 4^exponent in double precision by repeated squaring over the bits of the
// exponent; a negative exponent gives the reciprocal.
double PowerOfFour(int exponent) {
  unsigned magnitude =
      exponent < 0 ? 0u - static_cast<unsigned>(exponent) : static_cast<unsigned>(exponent);
  double power = 1.0, square = 4.0;
  for (; magnitude != 0; magnitude >>= 1) {
    if (magnitude & 1u) power *= square;
    square *= square;
  }
  return exponent < 0 ? 1.0 / power : power;
}

// Number of translations along one axis of the range (lowest, highest),
// formed in 64 bits: 2R can exceed the 32-bit range.
std::int64_t ShiftCount(const int* range, int grid_size) {
  return (std::int64_t{range[1]} - range[0]) / grid_size + 1;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  using namespace densecorr::gateway;

  // ---- Check every argument, in the documented order; stop at the first failure ----
  if (nrhs != N_IN) {
    mexPrintf("the number of input arg must be 3\n");
    return;
  }
  if (!mxIsSingle(prhs[IN_IMAGE1]) || !mxIsSingle(prhs[IN_IMAGE2])) {
    mexPrintf("wrong descriptor format: must be single\n");
    return;
  }
  if (!HasDimensions(prhs[IN_IMAGE1], 3) || !HasDimensions(prhs[IN_IMAGE2], 3)) {
    mexPrintf("wrong feature format -- it must be heightxwidthxfeat_dim\n");
    return;
  }
  if (DimensionSize(prhs[IN_IMAGE1], 2) != DimensionSize(prhs[IN_IMAGE2], 2)) {
    mexPrintf("different feature dimension\n");
    return;
  }
  Descriptor desc1, desc2;
  if (!DescribeImage(prhs[IN_IMAGE1], &desc1) || !DescribeImage(prhs[IN_IMAGE2], &desc2)) return;

  const mxArray* param_struct = prhs[IN_PARAMS];
  PyramidMatchParams params;
  if (!CheckParamStruct(param_struct) ||
      !ReadIntParam(param_struct, "n_tree_level", &params.n_tree_level) ||
      !ReadRadiusParam(param_struct, "search_radius", params.search_radius) ||
      !ReadIntParam(param_struct, "grid_size", &params.grid_size) ||
      !ReadRealParam(param_struct, "truncate_const", &params.truncate_const)) {
    return;
  }
  if (params.grid_size < 1) {
    mexPrintf("wrong parameter value: grid_size must be at least 1\n");
    return;
  }
  if (params.search_radius[0] < 0 || params.search_radius[1] < 0) {
    mexPrintf("wrong parameter value: search_radius must not be negative\n");
    return;
  }

  PyramidMatch matcher;
  int n_sample_x = 0, n_sample_y = 0, shift_range_x[2], shift_range_y[2];
  matcher.ComputeSearchGrid(desc1.width, desc1.height, params.grid_size,
                            params.search_radius[0], params.search_radius[1], n_sample_x,
                            n_sample_y, shift_range_x, shift_range_y);
  // Pooling reads outside its table once a level's cells are narrower than
  // one sample; L <= 0 stays allowed (a table with no columns).
  const int n_level = params.n_tree_level;
  if (n_level > kMaxTreeLevel ||
      (n_level >= 1 && (1 << (n_level - 1)) > (n_sample_x < n_sample_y ? n_sample_x : n_sample_y))) {
    mexPrintf("wrong parameter value: n_tree_level too large for the sample grid of image 1\n");
    return;
  }
  const int n_cell = static_cast<int>(PowerOfFour(n_level)) / 3;
  // Every count the core forms in 32-bit arithmetic must fit: translations
  // per axis and in all, the translation list, the distance volume and the
  // cost table. Each axis count is checked before the product is formed, so
  // no product leaves 64 bits.
  const std::int64_t n_shift_x = ShiftCount(shift_range_x, params.grid_size);
  const std::int64_t n_shift_y = ShiftCount(shift_range_y, params.grid_size);
  const std::int64_t n_sample = std::int64_t{n_sample_x} * n_sample_y;
  if (!FitsInt32(n_shift_x) || !FitsInt32(n_shift_y) ||
      !FitsInt32(2 * n_shift_x * n_shift_y) || !FitsInt32(n_shift_x * n_shift_y * n_sample) ||
      !FitsInt32(n_shift_x * n_shift_y * n_cell)) {
    mexPrintf("search too large: translation and cell counts must fit a 32-bit integer\n");
    return;
  }
  const int n_shift = static_cast<int>(n_shift_x * n_shift_y);

  // ---- Do the job: create the outputs, run the core, hand the outputs over ----
  OutputArrays<N_OUT> outputs;
  float* node_cost = static_cast<float*>(
      outputs.Create(OUT_NODE_COST, n_shift, n_cell, mxSINGLE_CLASS));
  int* shifts = static_cast<int*>(
      outputs.Create(OUT_SHIFTS, 2, n_shift, mxINT32_CLASS));
  int* grid = static_cast<int*>(outputs.Create(OUT_GRID, 1, 2, mxINT32_CLASS));
  grid[0] = static_cast<int>(n_shift_x);
  grid[1] = static_cast<int>(n_shift_y);

  // An allocation failure inside the core leaves by std::bad_alloc; the host
  // turns it into an error, and `outputs` destroys the unstored arrays.
  matcher.RunPyramidMatch(desc1, desc2, params, node_cost, shifts);
  outputs.Store(nlhs, plhs);
}
