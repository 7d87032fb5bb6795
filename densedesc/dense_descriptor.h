// Dense descriptor: one vector of gradient-orientation histograms per pixel.
// Plain C++: no host code.
#ifndef DENSECORR_DENSEDESC_DENSE_DESCRIPTOR_H_
#define DENSECORR_DENSEDESC_DENSE_DESCRIPTOR_H_

#include "common/image_view.h"

namespace densecorr {

struct DescribeOptions {
  // Design parameters; the defaults are the matcher's. Every field is
  // documented where it is defined in the implementation's help text.
  float smoothing_sigma = 1.0f;  // Gaussian pre-smoothing, pixels
  int n_orientations = 8;        // orientation bins over 0..360 degrees
  int cell_size = 3;             // side of one pooling cell, pixels
  int grid_cells = 3;            // cells per side of the pooling grid
};

// Channels of the descriptor the options give.
int DescriptorChannels(const DescribeOptions& options);

// Writes width*height*DescriptorChannels(options) floats to `out`, laid out as
// the cores' Descriptor (y fastest, then x, then channel). Deterministic
// whatever the thread count or kernel path. Throws std::invalid_argument on
// options out of range, std::bad_alloc when memory runs out.
void DescribeImage(const ImageView& image, const DescribeOptions& options, float* out);

}  // namespace densecorr

#endif  // DENSECORR_DENSEDESC_DENSE_DESCRIPTOR_H_
