#include "common/scratch.h"

#include <climits>

namespace densecorr {

int CheckedCount(std::int64_t count) {
  if (count > INT_MAX || count < INT_MIN) throw std::bad_alloc();
  return static_cast<int>(count);
}

}  // namespace densecorr
