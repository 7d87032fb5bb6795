#include "common/scratch.h"

namespace densecorr {

std::int64_t AvailableMemoryBytes() { return -1; }

bool ScratchRequestFits(std::uint64_t bytes, std::int64_t available) {
  return available < 0 || bytes <= static_cast<std::uint64_t>(available);
}

}  // namespace densecorr
