// The modules' entry points as built on the host adapter. Each gateway
// is compiled with its mexFunction renamed, so that both can live in one
// test or fuzzing binary.
#ifndef DENSECORR_HOST_ADAPTER_GATEWAYS_H_
#define DENSECORR_HOST_ADAPTER_GATEWAYS_H_

#include "mex.h"

extern "C" {
void densecorr_cellcost_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void densecorr_densedisp_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void densecorr_densedesc_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void densecorr_densematch_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
}

#endif  // DENSECORR_HOST_ADAPTER_GATEWAYS_H_
