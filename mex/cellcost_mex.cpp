// Host entry point of cellcost:
//   [node_cost, shifts, grid] = cellcost(image1, image2, params)
// Checks the arguments and the memory the whole call needs, sizes the
// outputs from the core's plan of the call and lets PyramidMatch fill them
// (see cellcost.m for the user's view). Every failure is a host error:
// densecorr:cellcost:badInput with the documented message, or
// densecorr:outOfMemory; Ctrl-C stops the call.
//
// Host operations used by this file and mex/mex_gateway.h, the whole host
// surface of the module: mxIsSingle, mxIsDouble, mxIsNumeric, mxIsComplex,
// mxIsSparse, mxIsStruct, mxGetNumberOfElements, mxGetNumberOfDimensions,
// mxGetDimensions, mxGetData, mxGetField, mxGetScalar, mxGetPr,
// mxCreateNumericMatrix, mxDestroyArray, mexErrMsgIdAndTxt, and the host's
// interrupt state.
#include <cstdint>

#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_match.h"
#include "common/descriptor.h"
#include "common/stop.h"
#include "mex/mex_gateway.h"

namespace {

using densecorr::gateway::Outcome;

constexpr char kBadInputId[] = "densecorr:cellcost:badInput";

enum { IN_IMAGE1, IN_IMAGE2, IN_PARAMS, N_IN };
enum { OUT_NODE_COST, OUT_SHIFTS, OUT_GRID, N_OUT };

void RunCellcost(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], Outcome* outcome) {
  using namespace densecorr::gateway;

  // ---- Check every argument, in the documented order; stop at the first failure ----
  if (nrhs != N_IN) {
    outcome->BadInput("the number of input arg must be 3");
    return;
  }
  if (!mxIsSingle(prhs[IN_IMAGE1]) || !mxIsSingle(prhs[IN_IMAGE2])) {
    outcome->BadInput("wrong descriptor format: must be single");
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

  const mxArray* param_struct = prhs[IN_PARAMS];
  PyramidMatchParams params;
  if (!CheckParamStruct(param_struct, outcome) ||
      !ReadIntParam(param_struct, "n_tree_level", &params.n_tree_level, outcome) ||
      !ReadRadiusParam(param_struct, "search_radius", params.search_radius, outcome) ||
      !ReadIntParam(param_struct, "grid_size", &params.grid_size, outcome) ||
      !ReadRealParam(param_struct, "truncate_const", &params.truncate_const, outcome)) {
    return;
  }
  if (params.grid_size < 1) {
    outcome->BadInput("wrong parameter value: grid_size must be at least 1");
    return;
  }
  if (params.search_radius[0] < 0 || params.search_radius[1] < 0) {
    outcome->BadInput("wrong parameter value: search_radius must not be negative");
    return;
  }

  // The documented depth rule: every level's cells must hold at least one
  // sample of image 1 (the core would pool the finer ones to NaN), and no
  // table may have 4^L cells beyond 32 bits. L <= 0 gives a table with no
  // columns.
  PyramidMatch matcher;
  int n_sample_x = 0, n_sample_y = 0, shift_range_x[2], shift_range_y[2];
  matcher.ComputeSearchGrid(desc1.width, desc1.height, params.grid_size,
                            params.search_radius[0], params.search_radius[1], n_sample_x,
                            n_sample_y, shift_range_x, shift_range_y);
  const int n_level = params.n_tree_level;
  if (densecorr::PyramidCellCount(n_level) < 0 ||
      (n_level >= 1 && (1 << (n_level - 1)) > (n_sample_x < n_sample_y ? n_sample_x : n_sample_y))) {
    outcome->BadInput("wrong parameter value: n_tree_level too large for the sample grid of image 1");
    return;
  }
  const densecorr::PyramidCallPlan plan = densecorr::PlanPyramidCall(
      desc1.width, desc1.height, desc2.width, desc2.height, desc1.feat_dim, params);
  if (!plan.fits) {
    outcome->BadInput("search too large: translation and cell counts must fit a 32-bit integer");
    return;
  }
  const densecorr::PyramidGeometry& g = plan.geometry;
  const std::uint64_t output_bytes = 4 * std::uint64_t(g.n_shift) * std::uint64_t(g.n_cell) +
                                     8 * std::uint64_t(g.n_shift) + 8;
  if (!CheckCallMemory(output_bytes, plan.scratch_bytes, outcome)) return;

  // ---- Do the job: create the outputs, run the core, hand the outputs over ----
  OutputArrays<N_OUT> outputs;
  float* node_cost =
      static_cast<float*>(outputs.Create(OUT_NODE_COST, g.n_shift, g.n_cell, mxSINGLE_CLASS));
  int* shifts = static_cast<int*>(outputs.Create(OUT_SHIFTS, 2, g.n_shift, mxINT32_CLASS));
  int* grid = static_cast<int*>(outputs.Create(OUT_GRID, 1, 2, mxINT32_CLASS));
  grid[0] = g.n_shift_x;
  grid[1] = g.n_shift_y;

  densecorr::StopToken stop(HostInterruptPending, nullptr);
  matcher.SetStopToken(&stop);
  // A failed allocation or a stop leaves by an exception; `outputs` then
  // destroys the unstored arrays.
  matcher.RunPyramidMatch(desc1, desc2, params, node_cost, shifts);
  outputs.Store(nlhs, plhs);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  Outcome outcome;
  densecorr::gateway::RunJob([&] { RunCellcost(nlhs, plhs, nrhs, prhs, &outcome); }, &outcome);
  densecorr::gateway::ReportOutcome(outcome, kBadInputId);
}
