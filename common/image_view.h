// A borrowed grey or colour image of any of the pixel types the toolkit
// accepts, with explicit element strides so that both the host's
// column-major arrays and row-major arrays (numpy) are read in place.
#ifndef DENSECORR_COMMON_IMAGE_VIEW_H_
#define DENSECORR_COMMON_IMAGE_VIEW_H_

#include <cstddef>

namespace densecorr {

enum class PixelType { kUint8, kUint16, kFloat32, kFloat64 };

// Element (y, x, c) lies at data + y*stride_y + x*stride_x + c*stride_c, in
// elements of `type`. channels is 1 (grey) or 3 (RGB). Integer images are
// read on their full range (255 or 65535 = white), real ones on [0, 1].
struct ImageView {
  const void* data = nullptr;
  PixelType type = PixelType::kFloat32;
  int width = 0;
  int height = 0;
  int channels = 1;
  std::ptrdiff_t stride_y = 0, stride_x = 0, stride_c = 0;
};

// Column-major view (y fastest, then x, then channel): the host's layout.
inline ImageView ColumnMajorImage(const void* data, PixelType type, int width, int height,
                                  int channels) {
  ImageView v;
  v.data = data;
  v.type = type;
  v.width = width;
  v.height = height;
  v.channels = channels;
  v.stride_y = 1;
  v.stride_x = height;
  v.stride_c = static_cast<std::ptrdiff_t>(width) * height;
  return v;
}

}  // namespace densecorr

#endif  // DENSECORR_COMMON_IMAGE_VIEW_H_
