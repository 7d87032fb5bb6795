// Shared feature-image record of the modules, column-major as the host keeps
// it. Nothing here touches the host.
#ifndef DENSECORR_COMMON_DESCRIPTOR_H_
#define DENSECORR_COMMON_DESCRIPTOR_H_

#include <cstddef>

// A descriptor image borrowed from its owner (usually the host): height x
// width x feat_dim single values, row index fastest, then column, then
// channel. Element (y, x, c) lies at data[y + x*height + c*plane], plane
// being width*height as the host keeps it. Passed by value; the pointee is
// only ever read.
struct Descriptor {
  const float* data;
  int width;     // number of columns (host dimension 2)
  int height;    // number of rows (host dimension 1)
  int feat_dim;  // number of channels (host dimension 3)
  // Floats from one channel to the next; 0 = width*height. Buffers the
  // library owns pad it: where width*height floats are a multiple of 4 kB,
  // a pixel's channels all fall into one set of the first-level cache and
  // evict one another.
  std::ptrdiff_t plane = 0;
};

inline std::ptrdiff_t PlaneOf(const Descriptor& d) {
  return d.plane > 0 ? d.plane : std::ptrdiff_t{d.width} * d.height;
}

#endif  // DENSECORR_COMMON_DESCRIPTOR_H_
