// Shared feature-image record and the column-major pixel-index conventions
// used by both modules. Nothing here touches the host.
#ifndef DENSECORR_COMMON_DESCRIPTOR_H_
#define DENSECORR_COMMON_DESCRIPTOR_H_

#include <cstddef>

// A descriptor image borrowed from its owner (usually the host): height x
// width x feat_dim single values, row index fastest, then column, then
// channel. Element (y, x, c) lies at data[y + x*height + c*width*height].
// Passed by value; the pointee is only ever read.
struct Descriptor {
  const float* data;
  int width;     // number of columns (host dimension 2)
  int height;    // number of rows (host dimension 1)
  int feat_dim;  // number of channels (host dimension 3)
};

// Pixel (x, y) of an image with `height` rows has index p = x*height + y.
inline int PixelIndex(int x, int y, int height) { return x * height + y; }
inline int PixelColumn(int p, int height) { return p / height; }
inline int PixelRow(int p, int height) { return p % height; }

// Offset of channel c of pixel p, formed in the address width so that the
// full element count of a large image never wraps in 32-bit arithmetic.
inline std::ptrdiff_t ChannelOffset(int p, int c, int width, int height) {
  return static_cast<std::ptrdiff_t>(p) +
         static_cast<std::ptrdiff_t>(c) * width * height;
}

#endif  // DENSECORR_COMMON_DESCRIPTOR_H_
