#include "common/scratch.h"

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

void AdviseHugePages(void* data, std::uint64_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHuge - 1);
  // Advice only: where the system declines, the buffer keeps small pages.
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

#if defined(__linux__)
namespace {

// A mapped block's own mapping, kept in the page before its 2 MB start.
struct MappedHeader {
  std::uint64_t magic;
  void* base;
  std::size_t length;
};
constexpr std::uint64_t kMappedMagic = 0x64636d6170706564ull;  // "dcmapped"
constexpr std::size_t kPage = 4096;

}  // namespace
#endif

void* AllocAlignedBytes(std::uint64_t bytes) {
  constexpr std::uint64_t kHuge = std::uint64_t{2} << 20;
  if (bytes == 0) bytes = 1;
  if (bytes > SIZE_MAX - 2 * kHuge) throw std::bad_alloc();
#if defined(__linux__)
  if (bytes >= kHugePageAdviceBytes) {
    // Large blocks map their own memory: freed, it goes straight back to
    // the system, where the heap would keep it (and grow past it: the
    // allocator serves blocks up to the largest one freed from the heap, whose
    // holes later blocks of other sizes leave resident).
    const std::size_t length = static_cast<std::size_t>(bytes) + 2 * kHuge;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(base) + kPage;
    const std::uintptr_t start = (first + kHuge - 1) & ~std::uintptr_t{kHuge - 1};
    auto* header = reinterpret_cast<MappedHeader*>(start - sizeof(MappedHeader));
    header->magic = kMappedMagic;
    header->base = base;
    header->length = length;
    AdviseHugePages(reinterpret_cast<void*>(start), bytes);
    return reinterpret_cast<void*>(start);
  }
#endif
  const std::size_t align = bytes >= kHugePageAdviceBytes ? kHuge : 64;
  void* data = nullptr;
#if defined(_WIN32)
  (void)align;
  // No aligned allocation that std::free releases: the usual start.
  data = std::malloc(static_cast<std::size_t>(bytes));
#else
  if (posix_memalign(&data, align, static_cast<std::size_t>(bytes)) != 0) data = nullptr;
#endif
  if (data == nullptr) throw std::bad_alloc();
  if (bytes >= kHugePageAdviceBytes) AdviseHugePages(data, bytes);
  return data;
}

void FreeAlignedBytes(void* data, std::uint64_t bytes) noexcept {
  if (data == nullptr) return;
#if defined(__linux__)
  if (bytes >= kHugePageAdviceBytes) {
    const auto* header = reinterpret_cast<const MappedHeader*>(
        reinterpret_cast<std::uintptr_t>(data) - sizeof(MappedHeader));
    if (header->magic == kMappedMagic) {
      munmap(header->base, header->length);
      return;
    }
  }
#endif
  (void)bytes;
  std::free(data);
}

}  // namespace densecorr
