// Steps of MatchImages that the tests also call on their own; not an
// interface of the library (they are defined with the matcher). Plain C++:
// no host code.
#ifndef DENSECORR_DENSEMATCH_MATCH_STEPS_H_
#define DENSECORR_DENSEMATCH_MATCH_STEPS_H_

#include <cstdint>

#include "common/descriptor.h"
#include "common/stop.h"

namespace densecorr {

// The last pixel search and the sub-pixel step in one pass. Each pixel p of
// d1 searches the 3 x 3 candidates around its match field[2p], field[2p+1]
// exactly as PixelMatch::RunPixelMatch with a step of 1 and a radius of 1
// on both axes (offsets x outer, y inner; the first lowest distance +
// deform_coeff * (|sx| + |sy|) wins; a candidate outside d2 costs
// outside_cost; no total below the largest float: the match stays, its
// cost +Inf). Then a parabola on each axis through the distances at the
// winner and its two neighbours (+Inf outside d2) moves it by at most half
// a pixel, where the winner's cost is finite and a true minimum:
// (u[p], v[p]) = winner + (0.5 (c- - c+) / (c- - 2 c0 + c+)) per axis.
// Column-major planes of d1's size; the same bits whatever the thread
// count. stop (null: never): polled between columns; a stop ends the call
// with densecorr::Stopped, u and v then partly written.
void LastSearchAndParabola(const Descriptor& d1, const Descriptor& d2, const int* field,
                           float deform_coeff, float outside_cost, StopToken* stop, float* u,
                           float* v);

// 3 x 3 median of an integer field, each axis on its own: in and out are
// w x h column-major fields of (dx, dy) pairs (2 ints a pixel); a border
// pixel takes the median of the pixels of its window that exist (the upper
// one of an even count). Removes isolated wrong matches between the two
// pixel passes. The same result whatever the thread count.
void MedianField(const int* in, int width, int height, int* out);

// A rectified pair's fill: each pixel not valid (valid[p] == 0) with valid
// pixels both left and right of it on its row takes the displacement
// nearer 0 of the nearest of them (the first of equal ones); every other
// value stays. dx: w x h, column-major, in place; rows in parallel.
void FillFromTheBackground(int w, int h, const std::uint8_t* valid, float* dx);

// The descriptor passes (a first match of both images, with its
// refinements) that MatchImages has run in this process, every thread
// together: the tests count them to see which tries a call made.
std::int64_t MatchPassesRun();

// The images (or warped views of one) that MatchImages has described in
// this process, every thread together: the tests count them to see that a
// call describes nothing twice.
std::int64_t ImagesDescribedRun();

}  // namespace densecorr

#endif  // DENSECORR_DENSEMATCH_MATCH_STEPS_H_
