// Scratch-buffer allocation shared by the cores: checked 32-bit element
// counts and a guard against requests the system cannot back with memory.
#ifndef DENSECORR_COMMON_SCRATCH_H_
#define DENSECORR_COMMON_SCRATCH_H_

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace densecorr {

// Returns `count` as a 32-bit count, or throws std::bad_alloc when it does
// not fit: a count that would wrap must fail the call, never allocate less.
int CheckedCount(std::int64_t count);

// Bytes the system can still provide to this process, or -1 when the
// platform offers no such figure (then nothing is refused up front).
std::int64_t AvailableMemoryBytes();

// The guard's decision: may a request of `bytes` go ahead when `available`
// bytes can be provided (-1 = unknown)? It keeps an eighth of `available`
// free for the host and the call's other buffers.
bool ScratchRequestFits(std::uint64_t bytes, std::int64_t available);

// Throws std::bad_alloc when a request of `bytes` does not fit what the
// process may still use. Small requests pass without asking the system.
// The scratch cache's bytes count as usable: when the request needs them,
// the cache is released first.
void GuardScratchRequest(std::uint64_t bytes);

// Bytes handed out by AllocScratch since the process started, over every
// thread. The cores allocate a call's scratch up front and hold it to the
// end of the call, so the growth across one call is that call's peak
// scratch (the benchmarks and tests read it; nothing else depends on it).
std::uint64_t ScratchBytesAllocated();
void CountScratchBytes(std::uint64_t bytes);

// Asks the system to back the whole 2 MB blocks inside [data, data + bytes)
// with huge pages where it can (Linux; elsewhere nothing happens). A fresh
// page costs a fault on first touch, and the cores' large buffers are
// touched once per call: with 4 kB pages those faults cost as much as some
// stages' arithmetic.
void AdviseHugePages(void* data, std::uint64_t bytes);
constexpr std::uint64_t kHugePageAdviceBytes = std::uint64_t{4} << 20;

// Requests of this many bytes or more live on huge pages: up to
// kSlabBytes they share 2 MB slabs (below), larger ones get a mapping of
// their own, 2 MB aligned and advised to huge pages, that the block cache
// keeps when it is freed. In this kind of virtual machine a fresh 4 kB page
// costs some 10 us to fault in: a buffer of one image plane (300 kB at 320 x
// 240) about 0.8 ms on a process's first call, a whole 2 MB page well under
// 0.1 ms while the host still backs the memory (up to 3 ms where it must back
// it again), and none once the block is kept.
// Builds with AddressSanitizer keep all but the large blocks on the heap,
// where it watches for overruns.
#if defined(__SANITIZE_ADDRESS__)
#define DENSECORR_SCRATCH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DENSECORR_SCRATCH_ASAN 1
#endif
#endif
#if defined(DENSECORR_SCRATCH_ASAN)
constexpr std::uint64_t kMappedBlockBytes = kHugePageAdviceBytes;
#else
constexpr std::uint64_t kMappedBlockBytes = std::uint64_t{256} << 10;
#endif

// Requests from kMappedBlockBytes up to this many bytes share slabs: 2 MB
// huge pages of kSlabChunks chunks each, a request taking the first run of
// free chunks that holds it (Linux; elsewhere, and with AddressSanitizer,
// none). A page of its own for each such buffer touched up to seven times
// the memory, and on a first call each page costs its fault and its backing.
// Freed chunks serve the next request; a slab whose chunks are all free is
// kept, and counts with the block cache (ScratchCacheBytes,
// ReleaseScratchCache).
constexpr std::uint64_t kSlabBytes = std::uint64_t{2} << 20;
constexpr int kSlabChunks = 32;

// Raw memory of `bytes` (at least 1): from kMappedBlockBytes on on huge
// pages, in a slab up to kSlabBytes (aligned to its 64 kB chunk), beyond on
// a block of its own aligned to 2 MB, else from the heap aligned to 64
// bytes; throws std::bad_alloc. A 2 MB start lets every page of a large
// buffer be huge: with the usual start, the part before the first 2 MB
// boundary and after the last falls back to 4 kB pages (some 1000 faults for
// a 22 MB buffer). Release with FreeAlignedBytes and the same `bytes`.
//
// Mapped blocks are served from the block cache first (below) and go back
// to it when freed; slab chunks go back to their slab. No guard:
// AllocGuardedBytes is the guarded entry.
void* AllocAlignedBytes(std::uint64_t bytes);
void FreeAlignedBytes(void* data, std::uint64_t bytes) noexcept;

// AllocAlignedBytes behind the scratch guard: a request the cache serves
// goes ahead without asking (the memory is already this process's); one
// that needs fresh memory asks the guard, which counts the cached bytes as
// available and gives them back to the system when the request needs them.
void* AllocGuardedBytes(std::uint64_t bytes);

// The cache of freed large blocks (Linux; elsewhere it stays empty). Every
// call maps the same few large buffers; a fresh mapping costs a zeroed page
// per fault (about a seventh of a 320 px match), a kept one none. A freed
// block of kMappedBlockBytes or more is kept while the cache stays within
// its cap (the larger of kScratchCacheMinCap and the most large-block bytes
// the process has held at once, the latter at most a quarter of the
// machine's memory; at most kScratchCacheMaxBlocks blocks; the
// oldest go first), and handed to the next request it fits best, if that
// request, rounded up to whole 2 MB pages, needs at least half of it (a
// small request must not pin a large block). Thread-safe.
constexpr std::uint64_t kScratchCacheMinCap = std::uint64_t{256} << 20;
constexpr int kScratchCacheMaxBlocks = 48;

// Bytes held by the cache now (its blocks' whole mappings) and by the slabs
// that are empty.
std::uint64_t ScratchCacheBytes();
// The cache's current cap in bytes.
std::uint64_t ScratchCacheCap();
// Gives every cached block and empty slab back to the system; returns the
// bytes released.
// The hosts call it when the module is unloaded; it is safe at any time.
std::uint64_t ReleaseScratchCache() noexcept;
// Test hook: a cap in bytes that replaces the rule above (0 restores it).
void SetScratchCacheCapForTesting(std::uint64_t cap);

// Frees a block of AllocScratchBlock (which records its size here).
struct ScratchFree {
  std::uint64_t bytes = 0;
  void operator()(void* p) const noexcept { FreeAlignedBytes(p, bytes); }
};
template <class T>
using ScratchBlock = std::unique_ptr<T[], ScratchFree>;

// `floats` rounded up to an odd number of 64-byte lines: buffers or planes
// that far apart fall into different sets of the caches when a loop reads
// them at the same index (planes of many image sizes, 320 x 240 among them,
// are multiples of 4 kB, which would put them all into one set).
inline std::int64_t OddLineFloats(std::int64_t floats) {
  std::int64_t rounded = (std::max<std::int64_t>(floats, 0) + 15) / 16 * 16;
  if ((rounded / 16) % 2 == 0) rounded += 16;
  return rounded;
}

namespace scratch_detail {

// Bytes of `count` plain values (a negative count is 0); std::bad_alloc when
// they would not fit a size_t.
template <class T>
std::uint64_t PlainBytes(std::int64_t count) {
  static_assert(std::is_trivial<T>::value, "plain values only: no constructors run");
  if (count < 0) return 0;
  if (static_cast<std::uint64_t>(count) > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
  return static_cast<std::uint64_t>(count) * sizeof(T);
}

template <class T>
ScratchBlock<T> Owned(void* data, std::uint64_t bytes) {
  ScratchBlock<T> block(static_cast<T*>(data), ScratchFree{bytes});
  CountScratchBytes(bytes);
  return block;
}

}  // namespace scratch_detail

// `count` plain values (left uninitialised) through AllocGuardedBytes: a
// block the cache serves is not put to the guard again.
template <class T>
ScratchBlock<T> AllocScratchBlock(std::int64_t count) {
  const std::uint64_t bytes = scratch_detail::PlainBytes<T>(count);
  return scratch_detail::Owned<T>(AllocGuardedBytes(bytes), bytes);
}

// The cores' scratch buffers: `count` plain values, uninitialised, after the
// guard has agreed (std::bad_alloc otherwise; a negative count is treated
// as 0). Small ones come from the heap; from kMappedBlockBytes on, a
// mapped block that the next call gets back from the cache.
template <class T>
ScratchBlock<T> AllocScratch(std::int64_t count) {
  const std::uint64_t bytes = scratch_detail::PlainBytes<T>(count);
  GuardScratchRequest(bytes);
  return scratch_detail::Owned<T>(AllocAlignedBytes(bytes), bytes);
}

}  // namespace densecorr

#endif  // DENSECORR_COMMON_SCRATCH_H_
