// An edge-aware median for displacement fields. Smoothness terms and pooled
// descriptors both spread a near surface's displacement a few pixels over
// the far one beside it; the colour-weighted median of a window takes its
// value from the pixels that look like the one in the middle, so the field's
// edges move back to the image's. Plain C++: no host code.
#ifndef DENSECORR_DENSEMATCH_EDGE_MEDIAN_H_
#define DENSECORR_DENSEMATCH_EDGE_MEDIAN_H_

#include "common/stop.h"

namespace densecorr {

struct EdgeMedianParams {
  int radius = 7;             // the window is (2 radius + 1)^2 pixels
  float colour_scale = 0.04f; // weight exp(-colour difference / colour_scale)
  float gate = 1.0f;          // only a median further than this replaces a value
};

// field: width x height, column-major (value (y, x) at y + x*height).
// guide: the image the field belongs to, planar in the same order, channel
// c at c*width*height, values in [0, 1]. Each value whose window's median,
// weighted by exp(-|guide difference| / colour_scale - distance / radius)
// (the difference averaged over the channels), lies more than `gate` from
// it takes that median; every other value stays as it is, bit for bit, so
// sub-pixel detail survives where the field agrees with its neighbours.
// Medians are read from the field as given, not from values replaced
// before; each depends only on its window, whatever the thread count.
// Non-finite values are left as they are and count as the middle value in
// their neighbours' windows.
// stop (null = never) is polled between columns; a stop leaves the field as
// given and throws Stopped.
// At most 4 channels (std::invalid_argument otherwise, and for a
// colour_scale <= 0 or a negative gate); a radius < 1 leaves the field as it
// is.
void EdgeAwareMedian(const float* guide, int channels, int width, int height,
                     const EdgeMedianParams& params, float* field, StopToken* stop = nullptr);

// 2^y for y in [-126, 0], as the weights are computed (from plain arithmetic
// that vectorises; within 2e-6 of it relative): for tests that rebuild the
// filter from plain loops.
float EdgeMedianExp2(float y);

}  // namespace densecorr

#endif  // DENSECORR_DENSEMATCH_EDGE_MEDIAN_H_
