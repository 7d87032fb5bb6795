// Host entry point of densedisp:
//   [disparity, best_cost] = densedisp(image1, image2, disparity, params)
// Checks the arguments and the memory the whole call needs, copies the
// starting displacement field into the first output and lets PixelMatch
// refine it there (see densedisp.m for the user's view). The host's own
// displacement array is only read. Every failure is a host error:
// densecorr:densedisp:badInput with the documented message, or
// densecorr:outOfMemory; Ctrl-C stops the call.
//
// Host operations used by this file and mex/mex_gateway.h, the whole host
// surface of the module: mxIsSingle, mxIsInt32, mxIsDouble, mxIsNumeric,
// mxIsComplex, mxIsSparse, mxIsStruct, mxGetNumberOfElements,
// mxGetNumberOfDimensions, mxGetDimensions, mxGetData, mxGetField,
// mxGetScalar, mxGetPr, mxCreateNumericMatrix, mxDestroyArray,
// mexErrMsgIdAndTxt, and the host's interrupt state.
#include <cstdint>
#include <cstring>

#include "common/descriptor.h"
#include "common/stop.h"
#include "densedisp/pixel_match.h"
#include "densedisp/search_offsets.h"
#include "mex/mex_gateway.h"

namespace {

using densecorr::gateway::Outcome;

constexpr char kBadInputId[] = "densecorr:densedisp:badInput";

enum { IN_IMAGE1, IN_IMAGE2, IN_DISPARITY, IN_PARAMS, N_IN };
enum { OUT_DISPARITY, OUT_BEST_COST, N_OUT };

void RunDensedisp(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], Outcome* outcome) {
  using namespace densecorr::gateway;

  // ---- Check every argument, in the documented order; stop at the first failure ----
  if (nrhs != N_IN) {
    outcome->BadInput("the number of input arg must be 4");
    return;
  }
  if (!mxIsSingle(prhs[IN_IMAGE1]) || !mxIsSingle(prhs[IN_IMAGE2])) {
    outcome->BadInput("wrong descriptor format: must be single");
    return;
  }
  if (!mxIsInt32(prhs[IN_DISPARITY])) {
    outcome->BadInput("wrong disparity format: must be int32");
    return;
  }
  if (!HasDimensions(prhs[IN_IMAGE1], 3) || !HasDimensions(prhs[IN_IMAGE2], 3)) {
    outcome->BadInput("wrong feature format -- it must be heightxwidthxfeat_dim");
    return;
  }
  if (DimensionSize(prhs[IN_IMAGE1], 2) != DimensionSize(prhs[IN_IMAGE2], 2)) {
    outcome->BadInput("different feature dimension");
    return;
  }
  Descriptor desc1, desc2;
  if (!DescribeImage(prhs[IN_IMAGE1], &desc1, outcome) ||
      !DescribeImage(prhs[IN_IMAGE2], &desc2, outcome)) {
    return;
  }

  // The core reads and writes exactly 2 x P1 displacements and P1 costs.
  const mxArray* disparity_in = prhs[IN_DISPARITY];
  const int n_pixel = desc1.width * desc1.height;  // fits: checked with the image
  if (mxIsComplex(disparity_in)) {
    outcome->BadInput("wrong disparity format: must be real");
    return;
  }
  if (!HasDimensions(disparity_in, 2) || DimensionSize(disparity_in, 0) != 2 ||
      DimensionSize(disparity_in, 1) != n_pixel) {
    outcome->BadInput("wrong disparity size: must be 2 x (height*width of image 1)");
    return;
  }

  const mxArray* param_struct = prhs[IN_PARAMS];
  PixelMatchParams params = {};  // label_mismatch_cost is not a key: the basic run ignores it
  if (!CheckParamStruct(param_struct, outcome) ||
      !ReadIntParam(param_struct, "search_grid_size", &params.search_grid_size, outcome) ||
      !ReadRadiusParam(param_struct, "search_radius", params.search_radius, outcome) ||
      !ReadRealParam(param_struct, "deform_coeff", &params.deform_coeff, outcome) ||
      !ReadRealParam(param_struct, "truncate_const", &params.truncate_const, outcome)) {
    return;
  }
  // The core has no offset for a step below 1 or a negative radius: every
  // pixel would keep its displacement with an infinite cost, which would
  // look like a result.
  if (params.search_grid_size < 1) {
    outcome->BadInput("wrong parameter value: search_grid_size must be at least 1");
    return;
  }
  if (params.search_radius[0] < 0 || params.search_radius[1] < 0) {
    outcome->BadInput("wrong parameter value: search_radius must not be negative");
    return;
  }
  const densecorr::PixelCallPlan plan = densecorr::PlanPixelCall(
      desc1.width, desc1.height, desc2.width, desc2.height, desc1.feat_dim, params);
  if (!plan.fits) {
    outcome->BadInput("search too large: offset and volume counts must fit a 32-bit integer");
    return;
  }
  if (!CheckCallMemory(12 * std::uint64_t(n_pixel), plan.scratch_bytes, outcome)) return;

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

  PixelMatch matcher;
  densecorr::StopToken stop(HostInterruptPending, nullptr);
  matcher.SetStopToken(&stop);
  // A failed allocation or a stop leaves by an exception; `outputs` then
  // destroys the unstored arrays.
  matcher.RunPixelMatch(desc1, desc2, disparity, best_cost, params);
  outputs.Store(nlhs, plhs);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  Outcome outcome;
  densecorr::gateway::RunJob([&] { RunDensedisp(nlhs, plhs, nrhs, prhs, &outcome); }, &outcome);
  densecorr::gateway::ReportOutcome(outcome, kBadInputId);
}
