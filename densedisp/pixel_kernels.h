// Internal: the basic densedisp operations on a given kernel table. The
// public operations use the widest table the processor supports; the tests
// and the benchmarks reach every table through these.
#ifndef DENSECORR_DENSEDISP_PIXEL_KERNELS_H_
#define DENSECORR_DENSEDISP_PIXEL_KERNELS_H_

#include "densedisp/desc_kernels.h"
#include "densedisp/pixel_match.h"

namespace densecorr {

// The basic RunPixelMatch with the given kernels; `stop` may be null.
void RunPixelMatchWith(const PixelKernels& kernels, Descriptor desc1, Descriptor desc2,
                       int* disparity, float* best_cost, const PixelMatchParams& params,
                       StopToken* stop = nullptr);

// The label-constrained RunPixelMatch with the given kernels (selection).
void RunLabelMatchWith(const PixelKernels& kernels, Descriptor desc1, Descriptor desc2,
                       const unsigned char* labels1, const unsigned char* labels2, int* disparity,
                       float* best_cost, const PixelMatchParams& params, StopToken* stop = nullptr);

// The basic ComputeDescDist with the given kernels. With fill_outside the
// entries of candidates outside image 2 are set to truncate_const as well, so
// dist_volume needs no pre-fill; otherwise they are left as they are.
void ComputeDescDistWith(const PixelKernels& kernels, Descriptor desc1, Descriptor desc2,
                         float* dist_volume, const int* disparity, const int* search_offsets,
                         int n_offsets, float truncate_const, bool fill_outside);

// ComputeBestDisparity with the given kernels.
void ComputeBestDisparityWith(const PixelKernels& kernels, const float* dist_volume, int* disparity,
                              float* best_cost, const int* search_offsets, float deform_coeff,
                              int width, int height, int n_offsets);

}  // namespace densecorr

#endif  // DENSECORR_DENSEDISP_PIXEL_KERNELS_H_
