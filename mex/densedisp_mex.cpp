// Host entry point of densedisp:
//   [disparity, best_cost] = densedisp(image1, image2, disparity, params)
// Checks the arguments, copies the starting displacement field into the first
// output and lets PixelMatch refine it there (see densedisp.m for the user's
// view). The host's own displacement array is only read.
//
// Host operations used by this file and common/mex_gateway.h, the whole host
// surface of the module: mxIsSingle, mxIsInt32, mxIsDouble, mxIsNumeric,
// mxIsComplex, mxIsSparse, mxIsStruct, mxGetNumberOfElements,
// mxGetNumberOfDimensions, mxGetDimensions, mxGetData, mxGetField,
// mxGetScalar, mxGetPr, mxCreateNumericMatrix, mxDestroyArray, mexPrintf.
#include <cstdint>
#include <cstring>

#include "common/descriptor.h"
#include "mex/mex_gateway.h"
#include "densedisp/pixel_match.h"

namespace {

enum { IN_IMAGE1, IN_IMAGE2, IN_DISPARITY, IN_PARAMS, N_IN };
enum { OUT_DISPARITY, OUT_BEST_COST, N_OUT };

// Offsets along one axis: -r, -r+g, ... <= r.
std::int64_t OffsetCount(int radius, int grid) { return 2 * std::int64_t{radius} / grid + 1; }

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  using namespace densecorr::gateway;

  // ---- Check every argument, in the documented order; stop at the first failure ----
  if (nrhs != N_IN) {
    mexPrintf("the number of input arg must be 4\n");
    return;
  }
  if (!mxIsSingle(prhs[IN_IMAGE1]) || !mxIsSingle(prhs[IN_IMAGE2])) {
    mexPrintf("wrong descriptor format: must be single\n");
    return;
  }
  if (!mxIsInt32(prhs[IN_DISPARITY])) {
    mexPrintf("wrong disparity format: must be int32\n");
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

  // The core reads and writes exactly 2 x P1 displacements and P1 costs.
  const mxArray* disparity_in = prhs[IN_DISPARITY];
  const int n_pixel = desc1.width * desc1.height;  // fits: checked with the image
  if (mxIsComplex(disparity_in)) {
    mexPrintf("wrong disparity format: must be real\n");
    return;
  }
  if (!HasDimensions(disparity_in, 2) || DimensionSize(disparity_in, 0) != 2 ||
      DimensionSize(disparity_in, 1) != n_pixel) {
    mexPrintf("wrong disparity size: must be 2 x (height*width of image 1)\n");
    return;
  }

  const mxArray* param_struct = prhs[IN_PARAMS];
  PixelMatchParams params = {};  // label_mismatch_cost is not a key: the basic run ignores it
  if (!CheckParamStruct(param_struct) ||
      !ReadIntParam(param_struct, "search_grid_size", &params.search_grid_size) ||
      !ReadRadiusParam(param_struct, "search_radius", params.search_radius) ||
      !ReadRealParam(param_struct, "deform_coeff", &params.deform_coeff) ||
      !ReadRealParam(param_struct, "truncate_const", &params.truncate_const)) {
    return;
  }
  // The offset loops only end for a positive step.
  if (params.search_grid_size < 1) {
    mexPrintf("wrong parameter value: search_grid_size must be at least 1\n");
    return;
  }
  // A negative radius would leave every pixel without a candidate.
  if (params.search_radius[0] < 0 || params.search_radius[1] < 0) {
    mexPrintf("wrong parameter value: search_radius must not be negative\n");
    return;
  }
  // The offset list (2n ints) and the volume (n x P1 floats) are counted in
  // 32-bit arithmetic. Each axis count is checked before the product is
  // formed, so no product leaves 64 bits.
  const std::int64_t n_offset_x = OffsetCount(params.search_radius[0], params.search_grid_size);
  const std::int64_t n_offset_y = OffsetCount(params.search_radius[1], params.search_grid_size);
  if (!FitsInt32(n_offset_x) || !FitsInt32(n_offset_y) ||
      !FitsInt32(2 * n_offset_x * n_offset_y) || !FitsInt32(n_offset_x * n_offset_y * n_pixel)) {
    mexPrintf("search too large: offset and volume counts must fit a 32-bit integer\n");
    return;
  }

  // ---- Do the job: create the outputs, run the core, hand the outputs over ----
  OutputArrays<N_OUT> outputs;
  int* disparity =
      static_cast<int*>(outputs.Create(OUT_DISPARITY, 2, n_pixel, mxINT32_CLASS));
  float* best_cost =
      static_cast<float*>(outputs.Create(OUT_BEST_COST, 1, n_pixel, mxSINGLE_CLASS));
  // The refinement works on this copy; an empty field may have no data at all.
  if (n_pixel > 0) {
    std::memcpy(disparity, mxGetData(disparity_in), 2 * sizeof(int) * static_cast<size_t>(n_pixel));
  }

  // An allocation failure inside the core leaves by std::bad_alloc; the host
  // turns it into an error, and `outputs` destroys the unstored arrays.
  PixelMatch matcher;
  matcher.RunPixelMatch(desc1, desc2, disparity, best_cost, params);
  outputs.Store(nlhs, plhs);
}
