// Edge-aware steps for disparities. Smoothness terms and pooled descriptors
// both spread a near surface's displacement a few pixels over the far one
// beside it, and thin near parts take the far one's. Two steps move the
// field's edges back to the image's: a colour-weighted median of the field,
// and a choice, per pixel, among its row neighbours' disparities by a
// colour-weighted matching cost of a small window. Plain C++: no host code.
#ifndef DENSECORR_DENSEMATCH_STEREO_EDGES_H_
#define DENSECORR_DENSEMATCH_STEREO_EDGES_H_

#include <cstdint>

#include "common/stop.h"

namespace densecorr {

struct EdgeMedianParams {
  int radius = 7;             // the window is (2 radius + 1)^2 pixels
  float colour_scale = 0.04f; // weight exp(-colour difference / colour_scale)
  float gate = 1.0f;          // only a median further than this replaces a value
  float slant = 0.2f;         // slopes (px per px) from this up are followed; +inf: none
};

// field: width x height, column-major (value (y, x) at y + x*height).
// guide: the image the field belongs to, planar in the same order, channel
// c at c*width*height, values in [0, 1]. Each value whose window's median,
// weighted by exp(-|guide difference| / colour_scale - distance / radius)
// (the difference averaged over the channels), lies more than `gate` from
// it takes that median; every other value stays as it is, bit for bit, so
// sub-pixel detail survives where the field agrees with its neighbours.
// On a slanted surface the window's values differ from the middle by the
// slope times the distance, and a median taken as they are would pull the
// middle onto one side's values (colour weights rarely fall evenly): each
// window value v at (qx, qy) is therefore carried to the middle along the
// field's slopes first, v - sx (qx - x) - sy (qy - y). The slope sx (sy) is
// the median difference between horizontally (vertically) consecutive
// finite values on the window's row (column) through the pixel: a depth
// edge is one step among many and leaves it as it is. A slope whose
// magnitude is below `slant` counts as 0, so that nearly fronto-parallel
// surfaces are filtered as they are. Only windows whose values, as given,
// span more than the gate, and (carried) less than the largest float, are
// filtered at all.
// Medians are read from the field as given, not from values replaced
// before; each depends only on its window, whatever the thread count.
// Non-finite values are left as they are and count as the middle value in
// their neighbours' windows.
// stop (null = never) is polled between columns; a stop leaves the field as
// given and throws Stopped.
// At most 4 channels and a radius of at most 64 (std::invalid_argument
// otherwise, and for a colour_scale <= 0, a negative gate or slant); a radius < 1
// leaves the field as it is.
void EdgeAwareMedian(const float* guide, int channels, int width, int height,
                     const EdgeMedianParams& params, float* field, StopToken* stop = nullptr);

// 2^y for y in [-126, 0], as the weights are computed (from plain arithmetic
// that vectorises; within 2e-6 of it relative): for tests that rebuild the
// filter from plain loops.
float EdgeMedianExp2(float y);

struct EdgeSnapParams {
  int radius = 4;              // the cost window is (2 radius + 1)^2 pixels, radius <= 31
  float colour_scale = 0.04f;  // window weights: see SnapToEdges
  float truncate = 0.04f;      // cap of each window pixel's colour difference in the cost
  float margin = 0.9f;         // a candidate must cost below margin times the own cost
  int spacing = 3;             // candidates: the pixels spacing, 2 spacing, ...
  int reach = 4;               // ... reach spacing (reach <= 16) left and right on the row
  float slant = 0.2f;          // slopes (px per px) from this up are followed; +inf: none
  float edge_step = 0.5f;      // a step this far off the slope parts two surfaces; 0: none needed
};

// dx: a rectified pair's horizontal displacements, width1 x height1,
// column-major; pixel (x, y) of image 1 matches (x + dx, y) of image 2.
// image1, image2: planar, channel c at c * width * height, values in [0, 1],
// the same channel count (at most 4). For each pixel with valid[p] != 0
// (null: every pixel), the candidates are the displacements of the pixels
// spacing, 2 spacing, ... reach spacing to its left and right on its row
// (clamped to the image), each carried to the pixel along the row's slope s
// (c - s (xc - x) for the value c at column xc), that differ from its own
// by 1 px or more (of several within 0.25 px of each other, the first):
// neighbours on the pixel's own slanted surface are no candidates. The
// slope is the median difference between consecutive finite values of the
// row from reach spacing (at most 64) px left of the pixel to as far right
// of it, 0 where its magnitude is below `slant`. Nor are the neighbours the
// row reaches from the pixel without a step (between consecutive values)
// that differs from the slope by edge_step or more, or is not finite: a
// curved surface strays from the slope's line, and a candidate lies on
// another surface only past such a step. Each candidate's cost is the
// weighted sum, over the window around the pixel, of the mean absolute
// colour difference between image 1 there and image 2 displaced by the
// candidate (linear between columns, clamped to image 2), capped at
// truncate; weights exp(-|colour difference from the middle| / colour_scale
// - distance / radius) from image 1, window pixels outside image 1 and rows
// that image 2 lacks left out. The pixel takes the cheapest candidate (the
// first of equal ones) where that costs below margin times its own
// displacement's cost. Every choice reads the field as given; deterministic
// whatever the thread count. stop (null = never) is polled between columns;
// a stop leaves dx as given and throws Stopped. std::invalid_argument for
// more than 4 channels, a radius past 31, a reach past 16, a spacing below
// 1, a colour_scale <= 0 or a negative truncate, margin, slant or edge_step; a radius or reach
// below 1 leaves dx as it is.
void SnapToEdges(const float* image1, int width1, int height1, const float* image2, int width2,
                 int height2, int channels, const std::uint8_t* valid,
                 const EdgeSnapParams& params, float* dx, StopToken* stop = nullptr);

}  // namespace densecorr

#endif  // DENSECORR_DENSEMATCH_STEREO_EDGES_H_
