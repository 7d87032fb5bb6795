#include "common/distance.h"

namespace densecorr {

float LiteralDistance(const float* a, std::ptrdiff_t plane_a, const float* b,
                      std::ptrdiff_t plane_b, int feat_dim) {
  return DescriptorDistance(a, plane_a, b, plane_b, feat_dim);
}

}  // namespace densecorr
