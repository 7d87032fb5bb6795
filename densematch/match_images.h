// The matcher: two images in, a dense sub-pixel correspondence field with a
// validity mask out. Plain C++: no host code.
#ifndef DENSECORR_DENSEMATCH_MATCH_IMAGES_H_
#define DENSECORR_DENSEMATCH_MATCH_IMAGES_H_

#include <cstdint>
#include <vector>

#include "common/image_view.h"
#include "densedesc/dense_descriptor.h"

namespace densecorr {

struct MatchOptions {
  DescribeOptions descriptor;
  // Largest displacement searched on each axis, pixels; negative = chosen
  // from the image size.
  int search_radius_x = -1;
  int search_radius_y = -1;
  // Further fields (pyramid levels, smoothness, refinement, sub-pixel step,
  // consistency check) are added with their defaults by the implementation.
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
