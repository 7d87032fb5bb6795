// Continuous refinement of a displacement field on the images themselves: a
// variational energy (brightness and gradient constancy, robust penalisers,
// flow smoothness) minimised by warping, fixed-point linearisation and
// red-black SOR. Plain C++: no host code.
#ifndef DENSECORR_DENSEMATCH_FLOW_REFINE_H_
#define DENSECORR_DENSEMATCH_FLOW_REFINE_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/image_view.h"
#include "common/scratch.h"
#include "common/stop.h"

namespace densecorr {

// A planar float image: (y, x, c) at data[y + x*height + c*width*height].
struct PlanarImage {
  const float* data = nullptr;
  int width = 0, height = 0, channels = 0;
};

struct FlowRefineParams {
  float smoothness = 0.0f;         // weight of the flow smoothness term
  float brightness = 0.0f;         // weight of brightness constancy
  float gradient = 0.0f;           // weight of gradient constancy
  float presmooth_sigma = 0.0f;    // Gaussian smoothing of the images first, pixels
  float edge_sharpness = 0.0f;     // smoothness weight exp(-edge_sharpness*|grad image 1|)
  float anchor = 0.0f;             // weight of the pull towards the starting field
  // Window (Gaussian sigma, pixels of image 1) of image 1's structure tensor,
  // which shapes the pull; 0: the pull is the same in every direction. Where
  // the window holds one dominant orientation (an edge, stripes), a match
  // fixes only its displacement across it: along it the pull is scaled by
  // four times the ratio of the tensor's smaller eigenvalue to its larger
  // (in full from a ratio of 1/4 on).
  float pull_structure_sigma = 0.0f;
  // A match up to this far past image 2's edge (pixels of image 1's finest
  // scale, scaled with each scale) keeps its data term: image 2 carried on
  // from its nearest point by its derivatives, to first order. 0: a match
  // outside image 2 has none, and one that strays just past the edge stays
  // there, held only by the smoothness.
  float edge_margin = 0.0f;
  // The finest scales refined without the pull (the coarsest always has it).
  int unguided_scales = 1;
  int n_scales = 1;                // scales, coarse to fine
  float scale_factor = 0.5f;       // size of each scale relative to the next finer
  int n_warps = 0;                 // re-linearisations per scale
  // Re-linearisations at the scales coarser than the unguided_scales finest
  // (< 0: n_warps). Those scales carry the displacements the matches leave
  // wrong by several pixels, where a robust data term far from its minimum
  // moves the field a little per linearisation; they are small, so a few
  // more cost a few per cent of the refinement's time.
  int n_coarse_warps = -1;
  int n_fixed_point = 0;           // robust-weight updates per warp
  int n_sor = 0;                   // SOR sweeps per fixed-point step
  float sor_omega = 1.6f;
  // Image 2 and its derivatives sampled bicubically at the warped positions
  // (bilinearly within 2 px of its border): less smoothing of the sampled
  // image than bilinear, a smaller random sub-pixel error.
  bool bicubic = false;
  // Rectified pair: v is held at 0 (the field starts there and the solve
  // moves u alone).
  bool horizontal_only = false;
  // Optional, not owned: 1 per pixel of image 1 (column-major, no_data_width
  // x no_data_height, image 1's size at the finest scale) that shows nothing
  // to match, such as a black frame's padding. Those pixels get no data term
  // at any scale (a pixel of a coarser scale looks up the pixel of this mask
  // under its centre): the smoothness carries the surrounding motion into
  // them instead of whatever the padding's fill suggests.
  const std::uint8_t* no_data = nullptr;
  int no_data_width = 0, no_data_height = 0;
  // Stop before the finest scale (where there is more than one), to look at
  // the nearly refined field before paying for it: see RefineFlowFinest.
  bool stop_before_finest = false;
};

// Memory a refinement leaves to the next: fresh pages cost a fault each on
// first touch, so refining several fields in a row (both directions of a
// match) through one FlowScratch touches new memory only once. Not for two
// refinements at the same time.
class FlowScratch {
 public:
  // A block of at least `floats` floats; grows (losing its contents) when
  // it is smaller.
  float* Reserve(std::ptrdiff_t floats);
  std::int64_t bytes() const { return std::int64_t{size_} * std::int64_t{sizeof(float)}; }
  // Gives the block back to the system.
  void Release() {
    block_.reset();
    size_ = 0;
  }

 private:
  ScratchBlock<float> block_;
  std::ptrdiff_t size_ = 0;
};

// Refines (u, v) in place: pixel (x, y) of image 1 maps to (x + u, y + v) of
// image 2; u, v column-major over image 1. Coarse to fine over n_scales
// scales: the coarsest starts from the given field, and at every scale but
// the unguided_scales finest a robust term weighted by anchor *
// anchor_weight[p] (null = 0) pulls each pixel towards it, so that reliable
// matches guide the rest; with weights,
// the smoothness term penalises how far the field's gradient strays from the
// slopes of those matches' affine motion rather than from 0. Both images
// have the same channel count, values roughly in [0, 1]. Pixels whose match
// leaves image 2 get no data term and follow their neighbours. Deterministic
// whatever the thread count. scratch: memory to reuse (null: the call's own).
// stop (null = never): polled, from the calling thread, before each
// fixed-point step and SOR sweep; a stop request throws Stopped, leaving
// (u, v) partly refined. With params.stop_before_finest and more than one
// scale, stops before the finest, leaving in (u, v) the field that scale
// starts from (the coarser result at image 1's size), and returns true;
// otherwise returns false.
bool RefineFlow(const PlanarImage& image1, const PlanarImage& image2,
                const FlowRefineParams& params, const float* anchor_weight, float* u, float* v,
                FlowScratch* scratch = nullptr, StopToken* stop = nullptr);

// Completes a refinement that RefineFlow stopped before its finest scale:
// (u, v), the field it left, refined in place at the finest scale. The
// images, params and anchor_weight are that call's, (start_u, start_v) the
// field it started from (the reliable matches' trend shapes the smoothness
// term). The same bits as one RefineFlow call through every scale; throws
// std::logic_error where RefineFlow would not have stopped.
void RefineFlowFinest(const PlanarImage& image1, const PlanarImage& image2,
                      const FlowRefineParams& params, const float* anchor_weight,
                      const float* start_u, const float* start_v, float* u, float* v,
                      FlowScratch* scratch = nullptr, StopToken* stop = nullptr);

// Bytes of scratch RefineFlow takes for these images and parameters (with
// or without anchor weights): what a FlowScratch grows to.
std::int64_t RefineFlowScratchBytes(const PlanarImage& image1, const PlanarImage& image2,
                                    const FlowRefineParams& params, bool weighted);

// Reads an image view into planar floats on [0, 1] (integers over their full
// range); throws std::invalid_argument on a value that is not finite.
void ReadPlanar(const ImageView& view, float* out);

// Separable Gaussian blur of each plane, borders replicated; sigma <= 0
// copies. in and out may not alias; scratch (width*height floats, or null to
// allocate) holds the first pass.
void GaussianBlur(const float* in, int width, int height, int channels, float sigma,
                  float* out, float* scratch = nullptr);

// Half-size image by 2 x 2 means (an odd last row or column averages with
// itself), plane by plane: (width + 1) / 2 x (height + 1) / 2 per plane, laid
// out as the input.
void Halve(const float* in, int width, int height, int channels, float* out);

// Bilinear sample of one plane at (x, y), coordinates clamped to the image
// (a coordinate that is not a number reads as 0).
float SampleBilinear(const float* plane, int width, int height, float x, float y);

// The refinement's bicubic sample (Keys' kernel, a = -0.5) of one plane at
// (x, y) inside the image: where the 4 x 4 taps would leave it, the bilinear
// sample. Exact on planes that are quadratic along each axis (x*y included);
// the same bits as the refinement's warp.
float SampleBicubic(const float* plane, int width, int height, float x, float y);

}  // namespace densecorr

#endif  // DENSECORR_DENSEMATCH_FLOW_REFINE_H_
