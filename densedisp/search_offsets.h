// The offset list of the refinement search and the pieces of arithmetic that
// every variant shares. Internal to the library (tests use it directly).
#ifndef DENSECORR_DENSEDISP_SEARCH_OFFSETS_H_
#define DENSECORR_DENSEDISP_SEARCH_OFFSETS_H_

#include <cstdint>

#include "common/descriptor.h"
#include "common/int_arith.h"
#include "common/scratch.h"
#include "densedisp/pixel_match.h"

namespace densecorr {

// Number of offsets: (floor(2rx/g) + 1) * (floor(2ry/g) + 1); 0 when a radius
// is negative or g < 1 (a step below 1 would never reach the radius).
// Throws std::bad_alloc when the count or twice it does not fit 32 bits.
int CountSearchOffsets(int grid, int radius_x, int radius_y);

// The list itself: sx = -rx, -rx+g, ... <= rx outer, sy likewise inner.
ScratchBlock<int> BuildSearchOffsets(int grid, int radius_x, int radius_y, int* n_offsets);

// P = width*height, 0 when either side is not positive; std::bad_alloc when
// the product does not fit 32 bits.
int CheckedPixelCount(int width, int height);

// What a RunPixelMatch call (any of the three) with these sizes would form,
// without running it and without throwing: `fits` is false exactly when the
// basic or label call would fail its 32-bit count checks (std::bad_alloc
// before any output: the offset count, twice it, the pixel count, or
// n_offsets x n_pixel); then the counts are 0. Otherwise scratch_bytes is
// the peak scratch the call allocates besides its outputs with the current
// OpenMP thread count (omp_get_max_threads()): never below what it really
// allocates.
struct PixelCallPlan {
  bool fits;
  int n_offsets;
  int n_pixel;
  std::uint64_t scratch_bytes;
};
PixelCallPlan PlanPixelCall(int width1, int height1, int width2, int height2, int feat_dim,
                            const PixelMatchParams& params) noexcept;

// True when (x + dx + sx, y + dy + sy) lies in a width x height image; the
// sum is formed in 64 bits so that no int32 input can wrap it.
inline bool CandidateInside(std::int64_t x, std::int64_t y, int width, int height) {
  return x >= 0 && x < width && y >= 0 && y < height;
}

}  // namespace densecorr

#endif  // DENSECORR_DENSEDISP_SEARCH_OFFSETS_H_
