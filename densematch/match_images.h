// The matcher: two images in, a dense sub-pixel correspondence field with a
// validity mask out. Plain C++: no host code.
#ifndef DENSECORR_DENSEMATCH_MATCH_IMAGES_H_
#define DENSECORR_DENSEMATCH_MATCH_IMAGES_H_

#include <cstdint>
#include <vector>

#include "common/image_view.h"
#include "common/stop.h"
#include "densedesc/dense_descriptor.h"

namespace densecorr {

// The matcher's descriptor: densedesc's defaults, but cell_size 0, which
// the matcher reads as "from the grid" (see MatchOptions::descriptor).
inline DescribeOptions MatcherDescriptorDefaults() {
  DescribeOptions d;
  d.cell_size = 0;
  return d;
}

struct MatchOptions {
  // cell_size 0 = from the grid: 3 up to grid_size 4 (images up to about
  // 360 px), then 3/4 of grid_size, so that the descriptor's reach keeps
  // pace with the sample grid on larger images (a cell of 3 px under a grid
  // of 8 px left whole regions of fine repetitive texture at a wrong
  // translation: six rendered pairs at 640 px, 97.9 -> 99.6 % within 1 px).
  // Where such a larger cell's matches agree in neither window, one more
  // try smooths the image in proportion (smoothing_sigma * cell_size / 3).
  DescribeOptions descriptor = MatcherDescriptorDefaults();
  // Largest displacement searched on each axis, pixels; negative = chosen
  // from the image size (a quarter of the longer side, and twice that where
  // the first window leaves fewer than a quarter of the pixels of texture
  // valid, their descriptors disagreeing, or crowding its edge with
  // distances near the clip: see MatchImages).
  int search_radius_x = -1;
  int search_radius_y = -1;

  // Pyramid stage. grid_size: step of the sample and translation grids,
  // pixels; 0 = from the image size (about 80 samples along the longer
  // side). n_tree_level: pyramid levels; 0 = the most whose finest cells
  // still span 3 samples each way, at most 6.
  int grid_size = 0;
  int n_tree_level = 0;
  float cell_truncate = 0.5f;  // clip of every descriptor distance in the cell costs

  // Joint choice of the cells' translations (min-sum belief propagation):
  // cost per translation step between neighbouring cells of a level and
  // between a cell and its parent, each capped.
  float neighbour_weight = 0.02f;
  float neighbour_truncate = 0.2f;
  float parent_weight = 0.02f;
  float parent_truncate = 0.2f;
  // One sweep coarse to fine and back: a second one costs a sixth of a
  // 320 px call and moved the evaluation pairs by less than 0.2 points.
  int bp_iterations = 1;

  // Pixel search around the cells' translations: a pass within
  // refine_radius pixels (0 = half of grid_size, 1 to 4), then one within 1 pixel, each
  // scoring descriptor distance + deform_coeff * (|sx| + |sy|).
  int refine_radius = 0;
  int refine_step = 1;  // step of the first search's offset grid
  float deform_coeff = 0.005f;

  // Continuous refinement on the images (0 warps turns it off, leaving the
  // parabola step through the descriptor distances).
  int flow_warps = 3;
  // Re-linearisations at every scale but the two finest (0: those scales
  // keep the field they start from). The matches near image 2's edge can be
  // several pixels off where a warp presses the content against it, and
  // three linearisations at the coarse scales left a smooth bulge of that
  // error; five, measured against three: 28 more rendered pairs 99.48 ->
  // 99.64 % within 1 px, the default synthetic pairs 99.69 -> 99.77 %, ten
  // rendered pairs of other photos 95.47 -> 95.78 %, the stereo pair
  // 76.5 -> 76.9 %, graf 95.9 -> 95.2 % within 3 px; a warm call 6 - 7 % longer.
  int flow_coarse_warps = 5;
  int flow_fixed_point = 1;
  int flow_sor = 10;
  // 0.8 against 0.9, measured with the two finest scales unguided:
  // synthetic pairs 99.61 -> 99.69 % within 1 px (mean EPE 0.086 -> 0.088
  // px), seven held-out rendered pairs 99.01 -> 99.11 % (0.112 -> 0.108
  // px), the stereo pair 76.3 -> 76.5 %; graf 96.6 -> 95.9 % within 3 px.
  // Lower still raises the mean error (0.7: 0.091 px, graf 94.7 %).
  float flow_smoothness = 0.8f;
  float flow_brightness = 0.5f;
  float flow_gradient = 0.8f;
  float flow_sigma = 0.4f;
  float flow_edge = 2.0f;
  // Coarse to fine over flow_scales scales; at all but the two finest (the
  // coarsest always), matches confirmed by the backward match pull the field
  // towards them with weight flow_anchor: fully across image 1's edges and
  // stripes, weakly along them, where a match can be off a few pixels.
  int flow_scales = 9;
  float flow_scale_factor = 0.75f;  // size of each scale relative to the next
  float flow_anchor = 0.5f;

  // Global motion: where one homography explains at least half of the
  // reliable matches of the first pass and strays from a plain translation
  // by more than a grid step, 3 px and 5 % of the half-diagonal (a change
  // of viewpoint, a rotation of 3 degrees or more, a zoom), a second pass
  // matches each image against the other seen through it, within a small
  // window: the descriptor is neither rotation- nor scale-invariant. Each
  // pixel keeps the second pass's match where that one passes the check or
  // the first's does not. Needs the check. When many matches fall outside
  // that homography and agree on another (a repeated structure can lend
  // many, even most, matches to a motion off by whole periods), the one that
  // lays image 1's descriptors onto image 2's clearly better wins, and
  // without a majority such a clear winner with a quarter of the matches
  // serves as well. Where no window's matches agree (a camera turned
  // beyond the descriptor's tolerance, some 35 degrees, or zoomed by some
  // 1.6), image 2 is also looked at turned by each multiple of 45 degrees,
  // then zoomed by 1.6 or 1 / 1.6 as well, and the best view is matched
  // through where its matches agree (in the automatic window, with the
  // check and without `rectified`; three to six times a plain call's time
  // for a pair that matches under no view).
  bool global_motion = true;

  // Rectified pair (stereo): every pixel's match lies on its own row. The
  // search runs along the rows only, the refinement moves dx alone, dy is
  // 0, and there is no global-motion pass. A pixel without a reliable match
  // between valid pixels on its row takes the displacement nearer 0 of the
  // nearest of them to its left and right (an occluded pixel shows the
  // background, which moves less); valid still marks it. Then two
  // edge-aware steps (below).
  // Measured on the accuracy command's stereo pair: 76 -> 83 % of pixels
  // within 1 px, 86 % with both steps.
  bool rectified = false;
  // On a rectified pair, a colour-weighted median over windows of
  // (2 median_radius + 1)^2 pixels replaces each dx that lies more than a
  // pixel from its window's median (weights fall with the colour difference
  // from the middle pixel and with distance), so that the disparity's edges
  // follow the image's instead of spreading a near surface's disparity over
  // the far one beside it; values that agree with their neighbours stay as
  // they are; on a surface sloping by 0.2 px per px or more the window's
  // values are carried along the slope first (EdgeMedianParams::slant).
  // valid is left as the check set it. 0: no median. Measured on
  // six held-out rendered stereo scenes: 96.2 -> 97.0 % of pixels within
  // 1 px.
  int median_radius = 7;
  // On a rectified pair, after the median: each valid pixel takes the
  // displacement of a pixel 3, 6, 9 or 12 px to its left or right on its
  // row, where that differs from its own by 1 px or more (carried along
  // the row's slope from 0.2 px per px), lies past a step off that slope
  // on the way (EdgeSnapParams::edge_step), and matches a
  // (2 snap_radius + 1)^2 window around it, its pixels weighted by colour
  // similarity and distance, at below 0.9 times the cost of its own: the far
  // surface beside a near one wins back its disparity, and a near part its
  // own where a pixel of it a few px away kept it. 0: no such step.
  // Measured after the median: the six held-out scenes 97.0 -> 97.4 %, the
  // stereo pair 84.6 -> 85.7 %.
  int snap_radius = 4;

  // Black frame: pixels exactly 0 in every channel that reach the image's
  // border through each other (the padding of a rectified, rendered or
  // stabilised image) take the values of the nearest content before
  // matching, so that the frame's sharp edge, which the other image does not
  // share, does not pull the matches beside it (measured on rendered pairs:
  // a band 3 - 6 px wide along the frame came out 1 - 2 px off). Such
  // pixels of image 1 show nothing: the refinement gives them no data term,
  // so that they take the motion around them. They, and matches that land on
  // such pixels of image 2, are marked not valid.
  bool fill_frame = true;

  // Forward-backward check: a pixel is valid when its match lies inside
  // image 2 and the match back from there returns within this many pixels
  // (<= 0: only the inside test, and no backward match is computed). With
  // the check, no pixel is valid where fewer than a quarter of the pixels on
  // texture pass it and their matches pair unlike descriptors as a whole
  // (median distance at cell_truncate or beyond, upright and where the
  // images are aligned by the homography they fit): a field both directions
  // keep to between two unrelated images.
  float consistency_threshold = 1.0f;

  // Not an option but a hook: a caller's stop request (Ctrl-C) ends the call
  // between stages and inside the cell-cost and pixel-search passes with
  // densecorr::Stopped. Null = never stop.
  StopToken* stop = nullptr;
};

// Fields of image 1's size, laid out column-major (pixel (x, y) at
// x*height + y): pixel (x, y) of image 1 maps to (x + dx, y + dy) of image 2.
struct MatchResult {
  int width = 0, height = 0;
  std::vector<float> dx, dy, cost;
  std::vector<std::uint8_t> valid;  // 1 = reliable match, 0 = occluded or unreliable
};

// Deterministic whatever the thread count or kernel path. Throws
// std::invalid_argument on inputs or options out of range, std::bad_alloc
// when memory runs out.
MatchResult MatchImages(const ImageView& image1, const ImageView& image2,
                        const MatchOptions& options);

}  // namespace densecorr

#endif  // DENSECORR_DENSEMATCH_MATCH_IMAGES_H_
