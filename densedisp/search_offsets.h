// The offset list of the refinement search and the pieces of arithmetic that
// every variant shares. Internal to the library (tests use it directly).
#ifndef DENSECORR_DENSEDISP_SEARCH_OFFSETS_H_
#define DENSECORR_DENSEDISP_SEARCH_OFFSETS_H_

#include <cstdint>
#include <memory>

#include "common/descriptor.h"
#include "common/int_arith.h"

namespace densecorr {

// Number of offsets: (floor(2rx/g) + 1) * (floor(2ry/g) + 1); 0 when a radius
// is negative or g < 1 (a step below 1 would never reach the radius).
// Throws std::bad_alloc when the count or twice it does not fit 32 bits.
int CountSearchOffsets(int grid, int radius_x, int radius_y);

// The list itself: sx = -rx, -rx+g, ... <= rx outer, sy likewise inner.
std::unique_ptr<int[]> BuildSearchOffsets(int grid, int radius_x, int radius_y, int* n_offsets);

// P = width*height, 0 when either side is not positive; std::bad_alloc when
// the product does not fit 32 bits.
int CheckedPixelCount(int width, int height);

// True when (x + dx + sx, y + dy + sy) lies in a width x height image; the
// sum is formed in 64 bits so that no int32 input can wrap it.
inline bool CandidateInside(std::int64_t x, std::int64_t y, int width, int height) {
  return x >= 0 && x < width && y >= 0 && y < height;
}

}  // namespace densecorr

#endif  // DENSECORR_DENSEDISP_SEARCH_OFFSETS_H_
