// Black frames: the padding that rendering, rectifying, stabilising or
// warping an image leaves around its content. Its sharp edge against the
// content is not in the other image, so beside it the descriptor and the
// refinement's data terms read an edge that is not there and pull the
// matches away from it. Plain C++: no host code.
#ifndef DENSECORR_DENSEMATCH_FRAME_H_
#define DENSECORR_DENSEMATCH_FRAME_H_

#include <cstdint>
#include <vector>

namespace densecorr {

// The frame of a planar image (value (y, x, c) at y + x*height +
// c*width*height): the pixels exactly 0 in every channel that reach the
// image's border through such pixels (4-neighbours), 1 per pixel in the same
// column-major order. Empty when there is none, or when the whole image is 0
// (no content to tell a frame from).
std::vector<std::uint8_t> FindFrame(const float* planar, int width, int height, int channels);

// Gives every frame pixel the values of its nearest content pixel (Euclidean
// distance; of several at the same distance, the leftmost, then the upper),
// so that the content's border reads like an image's own border. frame:
// FindFrame's result, not empty.
void FillFrame(const std::vector<std::uint8_t>& frame, int width, int height, int channels,
               float* planar);

}  // namespace densecorr

#endif  // DENSECORR_DENSEMATCH_FRAME_H_
