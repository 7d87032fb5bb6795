// Shared feature-image record of the modules, column-major as the host keeps
// it. Nothing here touches the host.
#ifndef DENSECORR_COMMON_DESCRIPTOR_H_
#define DENSECORR_COMMON_DESCRIPTOR_H_

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

#endif  // DENSECORR_COMMON_DESCRIPTOR_H_
