// Integer arithmetic with defined results at the ends of the int32 range.
#ifndef DENSECORR_COMMON_INT_ARITH_H_
#define DENSECORR_COMMON_INT_ARITH_H_

#include <cstdint>

namespace densecorr {

// value + offset with the two's-complement wrap of 32-bit arithmetic, without
// signed overflow.
inline int WrappingAdd(int value, int offset) {
  return static_cast<int>(static_cast<std::uint32_t>(value) + static_cast<std::uint32_t>(offset));
}

}  // namespace densecorr

#endif  // DENSECORR_COMMON_INT_ARITH_H_
