#include "common/scratch.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
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
  std::uint64_t advised;  // bytes from the block's start advised to huge pages
};
constexpr std::uint64_t kMappedMagic = 0x64636d6170706564ull;  // "dcmapped"
constexpr std::size_t kPage = 4096;
constexpr std::uint64_t kHugeBytes = std::uint64_t{2} << 20;

const MappedHeader* HeaderOf(const void* data) {
  return reinterpret_cast<const MappedHeader*>(reinterpret_cast<std::uintptr_t>(data) -
                                               sizeof(MappedHeader));
}

// Bytes of a mapped block that lie on its huge pages: what it serves a
// later request (the mapping reaches further, but in 4 kB pages).
std::uint64_t Capacity(const void* data) { return HeaderOf(data)->advised; }

std::uint64_t RoundUpToHuge(std::uint64_t bytes) {
  return (bytes + kHugeBytes - 1) & ~(kHugeBytes - 1);
}

// Mapping bytes of the large blocks held now, and the most held at once:
// the cache may keep what one call needs even where that is past the
// minimum cap.
std::atomic<std::uint64_t> g_live_mapped{0};
std::atomic<std::uint64_t> g_peak_mapped{0};
std::atomic<std::uint64_t> g_cap_for_testing{0};

void CountMapped(std::uint64_t length) {
  const std::uint64_t live = g_live_mapped.fetch_add(length) + length;
  std::uint64_t peak = g_peak_mapped.load();
  while (live > peak && !g_peak_mapped.compare_exchange_weak(peak, live)) {
  }
}

std::uint64_t PhysicalBytes() {
  static const std::uint64_t bytes = [] {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? std::uint64_t(pages) * std::uint64_t(page) : UINT64_MAX;
  }();
  return bytes;
}

class BlockCache {
 public:
  // The best-fitting cached block for `bytes`, or nullptr.
  void* Take(std::uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    int best = -1;
    std::uint64_t best_capacity = 0;
    for (int i = 0; i < count_; ++i) {
      const std::uint64_t capacity = Capacity(blocks_[i]);
      if (capacity < bytes || capacity / 2 > RoundUpToHuge(bytes)) continue;
      if (best < 0 || capacity < best_capacity) {
        best = i;
        best_capacity = capacity;
      }
    }
    if (best < 0) return nullptr;
    void* data = blocks_[best];
    bytes_ -= HeaderOf(data)->length;
    Remove(best);
    return data;
  }

  // Keeps a freed block while the cap allows, else unmaps what no longer
  // fits: the oldest blocks first, or this one when it alone is past the cap.
  void Put(void* data) noexcept {
    const MappedHeader header = *HeaderOf(data);
    const std::uint64_t cap = Cap();
    if (header.length > cap) {
      munmap(header.base, header.length);
      return;
    }
    MappedHeader evicted[kScratchCacheMaxBlocks + 1];
    int n_evicted = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      blocks_[count_++] = data;
      bytes_ += header.length;
      while (bytes_ > cap || count_ > kScratchCacheMaxBlocks) {
        evicted[n_evicted] = *HeaderOf(blocks_[0]);
        bytes_ -= evicted[n_evicted++].length;
        Remove(0);
      }
    }
    for (int i = 0; i < n_evicted; ++i) munmap(evicted[i].base, evicted[i].length);
  }

  std::uint64_t Release() noexcept {
    MappedHeader gone[kScratchCacheMaxBlocks];
    int n_gone = 0;
    std::uint64_t released = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (int i = 0; i < count_; ++i) gone[n_gone++] = *HeaderOf(blocks_[i]);
      count_ = 0;
      released = bytes_;
      bytes_ = 0;
    }
    for (int i = 0; i < n_gone; ++i) munmap(gone[i].base, gone[i].length);
    return released;
  }

  std::uint64_t Bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

  static std::uint64_t Cap() {
    const std::uint64_t forced = g_cap_for_testing.load();
    if (forced != 0) return forced;
    // What the largest call needed, but never more than a quarter of the
    // machine's memory: after one huge image the host must not keep
    // gigabytes it may want for its own arrays.
    const std::uint64_t peak = std::min(g_peak_mapped.load(), PhysicalBytes() / 4);
    return peak > kScratchCacheMinCap ? peak : kScratchCacheMinCap;
  }

 private:
  void Remove(int i) {
    for (; i + 1 < count_; ++i) blocks_[i] = blocks_[i + 1];
    --count_;
  }

  std::mutex mutex_;
  // Fixed room (one over the limit while a block goes in): freeing never
  // allocates.
  void* blocks_[kScratchCacheMaxBlocks + 1] = {};  // oldest first
  int count_ = 0;
  std::uint64_t bytes_ = 0;  // their whole mappings
};

// Never destroyed: blocks freed by other static objects at exit still find it.
BlockCache& Cache() {
  static BlockCache* cache = new BlockCache;
  return *cache;
}

void* MapFresh(std::uint64_t bytes) {
  // Large blocks map their own memory: freed past the cache's cap, it goes
  // straight back to the system, where the heap would keep it (and grow past
  // it: the allocator serves blocks up to the largest one freed from the
  // heap, whose holes later blocks of other sizes leave resident).
  const std::size_t length = static_cast<std::size_t>(bytes) + 2 * kHugeBytes;
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) throw std::bad_alloc();
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(base) + kPage;
  const std::uintptr_t start = (first + kHugeBytes - 1) & ~std::uintptr_t{kHugeBytes - 1};
  auto* header = reinterpret_cast<MappedHeader*>(start - sizeof(MappedHeader));
  header->magic = kMappedMagic;
  header->base = base;
  header->length = length;
  // The whole 2 MB pages that cover the block, its last partial one too:
  // the mapping reaches past it, and a tail of 4 kB pages would cost up to
  // 511 faults.
  header->advised = RoundUpToHuge(bytes);
  AdviseHugePages(reinterpret_cast<void*>(start), header->advised);
  CountMapped(length);
  return reinterpret_cast<void*>(start);
}

// The slabs: 2 MB huge pages shared by requests from kMappedBlockBytes up to
// kSlabBytes. A slab's used chunks are one bit each of a mask.
constexpr std::uint64_t kChunkBytes = kSlabBytes / kSlabChunks;
static_assert(kSlabChunks == 32 && kSlabBytes == kHugeBytes,
              "a slab is one huge page, its chunks one 32-bit mask");

bool ForSlabs(std::uint64_t bytes) { return bytes >= kMappedBlockBytes && bytes <= kSlabBytes; }

// The mask of a request's run of chunks, from chunk 0.
std::uint32_t RunOf(std::uint64_t bytes) {
  const auto chunks = static_cast<int>((bytes + kChunkBytes - 1) / kChunkBytes);
  return chunks >= kSlabChunks ? ~std::uint32_t{0} : (std::uint32_t{1} << chunks) - 1;
}

class SlabPool {
 public:
  void* Take(std::uint64_t bytes) {
    const std::uint32_t run = RunOf(bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    // First fit, oldest slab first: the early slabs stay full, and the
    // chunks a freed buffer leaves serve the next request of its size.
    for (Slab& slab : slabs_) {
      for (int i = 0; i < kSlabChunks && (run << i) >> i == run; ++i) {
        if ((slab.used & (run << i)) == 0) {
          slab.used |= run << i;
          return reinterpret_cast<void*>(slab.base + i * kChunkBytes);
        }
      }
    }
    slabs_.reserve(slabs_.size() + 1);  // may throw, before anything is mapped
    slabs_.push_back(Slab{MapSlab(), run});
    return reinterpret_cast<void*>(slabs_.back().base);
  }

  void Give(void* data, std::uint64_t bytes) noexcept {
    const auto at = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t base = at & ~std::uintptr_t{kSlabBytes - 1};
    const auto first = static_cast<int>((at - base) / kChunkBytes);
    std::lock_guard<std::mutex> lock(mutex_);
    for (Slab& slab : slabs_) {
      if (slab.base == base) {
        slab.used &= ~(RunOf(bytes) << first);
        return;
      }
    }
  }

  std::uint64_t EmptyBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t bytes = 0;
    for (const Slab& slab : slabs_) bytes += slab.used == 0 ? kSlabBytes : 0;
    return bytes;
  }

  std::uint64_t ReleaseEmpty() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t released = 0;
    std::size_t kept = 0;
    for (const Slab& slab : slabs_) {
      if (slab.used == 0) {
        munmap(reinterpret_cast<void*>(slab.base), kSlabBytes);
        released += kSlabBytes;
      } else {
        slabs_[kept++] = slab;
      }
    }
    slabs_.resize(kept);
    return released;
  }

 private:
  struct Slab {
    std::uintptr_t base;
    std::uint32_t used;
  };

  // One 2 MB page at a 2 MB boundary: twice that mapped, the rest unmapped.
  static std::uintptr_t MapSlab() {
    const std::size_t length = 2 * kSlabBytes;
    void* mapped =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t base = (begin + kSlabBytes - 1) & ~std::uintptr_t{kSlabBytes - 1};
    if (base > begin) munmap(mapped, base - begin);
    if (begin + length > base + kSlabBytes)
      munmap(reinterpret_cast<void*>(base + kSlabBytes), begin + length - (base + kSlabBytes));
    AdviseHugePages(reinterpret_cast<void*>(base), kSlabBytes);
    return base;
  }

  std::mutex mutex_;
  std::vector<Slab> slabs_;
};

SlabPool& Slabs() {
  static SlabPool* pool = new SlabPool;  // never destroyed, as the cache
  return *pool;
}

}  // namespace
#endif

namespace {

void* AllocFresh(std::uint64_t bytes) {
  constexpr std::uint64_t kHuge = std::uint64_t{2} << 20;
#if defined(__linux__)
  if (bytes >= kMappedBlockBytes) return MapFresh(bytes);
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

// A cached block for `bytes`, or nullptr; `bytes` is already at least 1 and
// checked against SIZE_MAX.
void* TakeCached(std::uint64_t bytes) {
#if defined(__linux__)
  if (bytes >= kMappedBlockBytes) {
    void* data = Cache().Take(bytes);
    if (data != nullptr) CountMapped(HeaderOf(data)->length);
    return data;
  }
#else
  (void)bytes;
#endif
  return nullptr;
}

std::uint64_t CheckedRequest(std::uint64_t bytes) {
  constexpr std::uint64_t kHuge = std::uint64_t{2} << 20;
  if (bytes == 0) bytes = 1;
  if (bytes > SIZE_MAX - 2 * kHuge) throw std::bad_alloc();
  return bytes;
}

}  // namespace

void* AllocAlignedBytes(std::uint64_t bytes) {
  bytes = CheckedRequest(bytes);
#if defined(__linux__)
  if (ForSlabs(bytes)) return Slabs().Take(bytes);
#endif
  if (void* cached = TakeCached(bytes)) return cached;
  return AllocFresh(bytes);
}

void* AllocGuardedBytes(std::uint64_t bytes) {
#if defined(__linux__)
  if (ForSlabs(CheckedRequest(bytes))) {
    GuardScratchRequest(bytes);
    return Slabs().Take(bytes);
  }
#endif
  if (void* cached = TakeCached(CheckedRequest(bytes))) return cached;
  GuardScratchRequest(bytes);
  return AllocFresh(CheckedRequest(bytes));
}

void FreeAlignedBytes(void* data, std::uint64_t bytes) noexcept {
  if (data == nullptr) return;
#if defined(__linux__)
  if (ForSlabs(bytes)) {
    Slabs().Give(data, bytes);
    return;
  }
  if (bytes >= kMappedBlockBytes && HeaderOf(data)->magic == kMappedMagic) {
    g_live_mapped.fetch_sub(HeaderOf(data)->length);
    Cache().Put(data);
    return;
  }
#endif
  (void)bytes;
  std::free(data);
}

std::uint64_t ScratchCacheBytes() {
#if defined(__linux__)
  return Cache().Bytes() + Slabs().EmptyBytes();
#else
  return 0;
#endif
}

std::uint64_t ScratchCacheCap() {
#if defined(__linux__)
  return BlockCache::Cap();
#else
  return 0;
#endif
}

std::uint64_t ReleaseScratchCache() noexcept {
#if defined(__linux__)
  return Cache().Release() + Slabs().ReleaseEmpty();
#else
  return 0;
#endif
}

void SetScratchCacheCapForTesting(std::uint64_t cap) {
#if defined(__linux__)
  g_cap_for_testing.store(cap);
#else
  (void)cap;
#endif
}

}  // namespace densecorr
