#include "common/scratch.h"

#include <atomic>
#include <climits>

namespace densecorr {

namespace {

std::atomic<std::uint64_t> g_scratch_bytes{0};

}  // namespace

int CheckedCount(std::int64_t count) {
  if (count > INT_MAX || count < INT_MIN) throw std::bad_alloc();
  return static_cast<int>(count);
}

std::uint64_t ScratchBytesAllocated() { return g_scratch_bytes.load(std::memory_order_relaxed); }

void CountScratchBytes(std::uint64_t bytes) {
  g_scratch_bytes.fetch_add(bytes, std::memory_order_relaxed);
}

}  // namespace densecorr
