// Dense descriptor: one vector of gradient-orientation histograms per pixel.
// Plain C++: no host code.
#ifndef DENSECORR_DENSEDESC_DENSE_DESCRIPTOR_H_
#define DENSECORR_DENSEDESC_DENSE_DESCRIPTOR_H_

#include <cstddef>
#include <cstdint>

#include "common/image_view.h"
#include "common/stop.h"

namespace densecorr {

// How a pixel's vector is formed: the image (grey, or the luma of RGB) is
// smoothed with a Gaussian; each pixel's gradient (central differences)
// votes with its magnitude for the two nearest of n_orientations bins over
// 0..360 degrees; each orientation map is pooled with a triangular window of
// half-width cell_size; the pooled maps are sampled at a grid_cells x
// grid_cells grid of cell centres cell_size apart, centred on the pixel
// (borders replicated); each value is divided by the sum of the values, or
// by norm_floor if that is larger, and replaced by its square root (without
// root_normalise: the vector is divided by its length or the floor).
struct DescribeOptions {
  // Design parameters; the defaults are the matcher's.
  // 5 bins (45 channels) instead of 8 cut every descriptor distance the
  // matcher takes by 3/8; with the lighter smoothing they match as well on
  // the accuracy pairs and better on synthetic pairs held out from them.
  // 4 bins lose the rotation-and-zoom pairs (24 degrees, x1.2) that 5 keep.
  float smoothing_sigma = 0.7f;  // Gaussian pre-smoothing, pixels; [0, 10], 0 = none
  int n_orientations = 5;        // orientation bins over 0..360 degrees; [2, 32]
  int cell_size = 3;             // spacing of the cells and half-width of their window; [1, 16]
  int grid_cells = 3;            // cells per side of the pooling grid; [1, 8]
  // Sums (lengths) below this are not scaled up to 1, so flat areas keep
  // short vectors instead of amplified noise; on the [0, 1] grey scale
  // textured areas of photos have sums of about 0.1 to 0.8 and lengths of
  // about 0.02 to 0.2. > 0.
  float norm_floor = 0.01f;
  // Square roots of the values divided by their sum (the vector keeps length
  // 1, or less where the sum is below norm_floor): a few strong edges then
  // weigh less against many weak gradients. Measured with the matcher on the
  // accuracy pairs, it lowers the mean endpoint error on the synthetic pairs
  // from 0.76 to 0.54 px. false: divide by the length instead.
  bool root_normalise = true;
};

// Channels of the descriptor the options give: n_orientations *
// grid_cells^2, orientation fastest, then cell row, then cell column.
// Throws std::invalid_argument on options out of range.
int DescriptorChannels(const DescribeOptions& options);

// Writes width*height*DescriptorChannels(options) floats to `out`, laid out as
// the cores' Descriptor (y fastest, then x, then channel). Integer pixels are
// read on their full range, real ones as they are (non-finite values as 0).
// `out` is written only once every buffer is allocated. Deterministic
// whatever the thread count or kernel path. Throws std::invalid_argument on
// options out of range, std::bad_alloc when memory runs out. stop (null =
// never) is polled between columns; a stop request throws Stopped, `out`
// then partly written. out_plane: floats from one channel to the next
// (0 = width*height; more leaves gaps that are not written). scratch: the
// call's working memory lent by the caller, at least DescribeScratchFloats
// floats on a 64-byte boundary, apart from `out` and the image, overwritten
// (null: the call allocates its own); for callers that hold a large block
// between stages anyway, as fresh memory costs a page fault per page on a
// process's first call.
void DescribeImage(const ImageView& image, const DescribeOptions& options, float* out,
                   StopToken* stop = nullptr, std::ptrdiff_t out_plane = 0,
                   float* scratch = nullptr);

// Floats of working memory DescribeImage takes for a width x height image
// (0 for an empty one). Throws std::invalid_argument on options out of range.
std::int64_t DescribeScratchFloats(int width, int height, const DescribeOptions& options);

}  // namespace densecorr

#endif  // DENSECORR_DENSEDESC_DENSE_DESCRIPTOR_H_
