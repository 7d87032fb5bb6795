// The scratch guard: its decision on an injected figure, and how it reads
// the figure from the system's texts and cgroup files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/memory_guard.h"
#include "common/scratch.h"

namespace {

using densecorr::CgroupDir;
using densecorr::ScopedGuardFigure;

TEST(MemoryGuardDecision, KeepsAnEighthFreeAndUnknownMeansNoGuard) {
  EXPECT_TRUE(densecorr::ScratchRequestFits(std::uint64_t{1} << 60, -1));
  EXPECT_TRUE(densecorr::ScratchRequestFits(0, 0));
  EXPECT_FALSE(densecorr::ScratchRequestFits(1, 0));
  EXPECT_TRUE(densecorr::ScratchRequestFits(7000, 8000));
  EXPECT_FALSE(densecorr::ScratchRequestFits(7001, 8000));
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  EXPECT_TRUE(densecorr::ScratchRequestFits(std::uint64_t{1} << 62, max));
  EXPECT_FALSE(densecorr::ScratchRequestFits(~std::uint64_t{0}, max));
}

TEST(MemoryGuardDecision, AllocScratchAsksOnlyAboveTheThreshold) {
  {
    // Nothing available: requests below the threshold still go ahead, the
    // first one at it is refused.
    ScopedGuardFigure none(0, 4096);
    EXPECT_EQ(densecorr::AvailableMemoryBytes(), 0);
    EXPECT_NO_THROW(densecorr::AllocScratch<float>(1023));
    EXPECT_THROW(densecorr::AllocScratch<float>(1024), std::bad_alloc);
    EXPECT_THROW(densecorr::AllocScratch<double>(std::int64_t{1} << 40), std::bad_alloc);
  }
  {
    // Freed scratch stays in the block cache and counts as available.
    densecorr::ReleaseScratchCache();
    ScopedGuardFigure some(8 << 20, 0);
    EXPECT_NO_THROW(densecorr::AllocScratch<float>(1 << 20));  // 4 MiB of 8
    densecorr::ReleaseScratchCache();
    EXPECT_THROW(densecorr::AllocScratch<float>(2 << 20), std::bad_alloc);  // 8 MiB of 8
  }
  {
    ScopedGuardFigure unknown(-1, 0);
    EXPECT_NO_THROW(densecorr::AllocScratch<int>(1000));
  }
  // A count whose byte size leaves 64 bits is refused before any arithmetic wraps.
  EXPECT_THROW(densecorr::AllocScratch<double>(std::int64_t{1} << 62), std::bad_alloc);
  EXPECT_NO_THROW(densecorr::AllocScratch<float>(-5));
}

// The aligned blocks obey the same guard, refuse counts that wrap, and start
// where every page of a large block can be huge; small and empty requests
// still give usable, distinct memory.
TEST(MemoryGuardDecision, ScratchBlocksAreGuardedAndAligned) {
  {
    ScopedGuardFigure none(0, 4096);
    EXPECT_NO_THROW(densecorr::AllocScratchBlock<float>(1023));
    EXPECT_THROW(densecorr::AllocScratchBlock<float>(1024), std::bad_alloc);
  }
  EXPECT_THROW(densecorr::AllocScratchBlock<double>(std::int64_t{1} << 62), std::bad_alloc);
  const auto address = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p); };
  const auto empty = densecorr::AllocScratchBlock<float>(-3);
  const auto small = densecorr::AllocScratchBlock<float>(5);
  ASSERT_NE(empty.get(), nullptr);
  ASSERT_NE(small.get(), nullptr);
  EXPECT_NE(empty.get(), small.get());
  EXPECT_EQ(address(small.get()) % 64, 0u);
  const std::int64_t large_floats = densecorr::kHugePageAdviceBytes / sizeof(float) + 3;
  auto large = densecorr::AllocScratchBlock<float>(large_floats);
#if !defined(_WIN32)
  EXPECT_EQ(address(large.get()) % (std::uintptr_t{2} << 20), 0u);
#endif
  // Every float of it is ours to write and read back.
  for (std::int64_t i = 0; i < large_floats; ++i) large[i] = static_cast<float>(i);
  EXPECT_EQ(large[large_floats - 1], static_cast<float>(large_floats - 1));
}

TEST(MemoryGuardSystem, ThisMachineHasAFigure) {
#if defined(__linux__)
  const std::int64_t available = densecorr::AvailableMemoryBytes();
  EXPECT_GT(available, 0);
  // Far beyond any machine: refused without trying.
  EXPECT_THROW(densecorr::AllocScratch<float>(std::int64_t{1} << 55), std::bad_alloc);
#else
  GTEST_SKIP() << "the figure is only checked on Linux";
#endif
}

TEST(MemoryGuardMeminfo, AvailablePlusSwapFree) {
  const std::string text =
      "MemTotal:       24683772 kB\n"
      "MemFree:         1000000 kB\n"
      "MemAvailable:    2000000 kB\n"
      "SwapTotal:       4000000 kB\n"
      "SwapFree:         500000 kB\n";
  EXPECT_EQ(densecorr::MeminfoAvailableBytes(text), std::int64_t{2500000} * 1024);
  EXPECT_EQ(densecorr::MeminfoAvailableBytes("MemAvailable: 16 kB\n"), 16 * 1024);
  EXPECT_EQ(densecorr::MeminfoAvailableBytes("MemFree: 16 kB\n"), -1);
  EXPECT_EQ(densecorr::MeminfoAvailableBytes(""), -1);
  // Absurd figures saturate instead of wrapping.
  EXPECT_EQ(densecorr::MeminfoAvailableBytes("MemAvailable: 9223372036854775807 kB\n"
                                             "SwapFree: 9 kB\n"),
            std::numeric_limits<std::int64_t>::max());
}

TEST(MemoryGuardCgroup, ResolvesMembershipAgainstMounts) {
  const std::string self_v1 =
      "12:pids:/user.slice\n"
      "4:cpu,memory:/process_api/job7\n"
      "0::/\n";
  const std::string mounts_v1 =
      "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
      "35 31 0:32 / /sys/fs/cgroup/cpu,memory rw,relatime - cgroup cgroup rw,cpu,memory\n"
      "36 31 0:33 / /sys/fs/cgroup/pids rw,relatime - cgroup cgroup rw,pids\n"
      "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
  auto found = densecorr::ResolveMemoryCgroups(self_v1, mounts_v1);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_NE(found[0].v2, found[1].v2);
  for (const CgroupDir& c : found) {
    if (c.v2) {
      EXPECT_EQ(c.dir, "/sys/fs/cgroup/unified");
    } else {
      EXPECT_EQ(c.mount_point, "/sys/fs/cgroup/cpu,memory");
      EXPECT_EQ(c.dir, "/sys/fs/cgroup/cpu,memory/process_api/job7");
    }
  }

  // A container sees its own cgroup as the mount's root (a cgroup
  // namespace, or a bind mount of the subtree); paths with blanks come escaped.
  const std::string self_v2 = "0::/jobs/run 1/task\n";
  const std::string mounts_v2 =
      "30 22 0:26 /jobs/run\\0401 /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
  found = densecorr::ResolveMemoryCgroups(self_v2, mounts_v2);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].v2);
  EXPECT_EQ(found[0].mount_point, "/sys/fs/cgroup");
  EXPECT_EQ(found[0].dir, "/sys/fs/cgroup/task");

  // A membership outside every mount, or no memory controller: nothing.
  EXPECT_TRUE(densecorr::ResolveMemoryCgroups("0::/elsewhere\n", mounts_v2).empty());
  EXPECT_TRUE(densecorr::ResolveMemoryCgroups("3:pids:/a\n", mounts_v1).empty());
  // "/jobs/run" must not match "/jobs/run2".
  EXPECT_TRUE(densecorr::ResolveMemoryCgroups("0::/jobs/run2\n",
                                              "30 22 0:26 /jobs/run /c rw - cgroup2 cgroup2 rw\n")
                  .empty());
}

class CgroupTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "densecorr_cgroup_XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  void Write(const std::string& relative, const std::string& text) {
    const std::filesystem::path path = std::filesystem::path(root_) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  std::string root_;
};

TEST_F(CgroupTree, V2SmallestHeadroomOfTheCgroupAndItsAncestors) {
  Write("memory.max", "max\n");  // the root has no limit
  Write("memory.current", "999999999\n");
  Write("a/memory.max", "1000000\n");
  Write("a/memory.current", "400000\n");  // 600000 left
  Write("a/b/memory.max", "max\n");
  Write("a/b/memory.current", "123\n");
  EXPECT_EQ(densecorr::CgroupHeadroomBytes({root_, root_ + "/a/b", true}), 600000);
  Write("a/b/memory.max", "500000\n");  // 499877 left: tighter than the parent
  EXPECT_EQ(densecorr::CgroupHeadroomBytes({root_, root_ + "/a/b", true}), 499877);
  // Usage above the limit leaves nothing, not a negative figure.
  Write("a/memory.current", "2000000\n");
  EXPECT_EQ(densecorr::CgroupHeadroomBytes({root_, root_ + "/a/b", true}), 0);
  // Nothing above the mount point is read.
  EXPECT_EQ(densecorr::CgroupHeadroomBytes({root_ + "/a/b", root_ + "/a/b", true}), 499877);
  Write("a/b/memory.max", "max\n");
  EXPECT_EQ(densecorr::CgroupHeadroomBytes({root_ + "/a/b", root_ + "/a/b", true}), -1);
}

TEST_F(CgroupTree, V1FilesAndUnlimitedLevels) {
  // v1 reports "no limit" as a huge page-aligned number.
  Write("memory.limit_in_bytes", "9223372036854771712\n");
  Write("memory.usage_in_bytes", "5000000000\n");
  Write("job/memory.limit_in_bytes", "9223372036854771712\n");
  Write("job/memory.usage_in_bytes", "4096\n");
  const std::int64_t headroom = densecorr::CgroupHeadroomBytes({root_, root_ + "/job", false});
  EXPECT_GT(headroom, std::int64_t{1} << 60);
  Write("job/memory.limit_in_bytes", "268435456\n");
  EXPECT_EQ(densecorr::CgroupHeadroomBytes({root_, root_ + "/job", false}), 268435456 - 4096);
  // A level whose files are missing has no limit of its own.
  EXPECT_EQ(densecorr::CgroupHeadroomBytes({root_, root_ + "/gone", false}),
            std::int64_t{9223372036854771712} - 5000000000);
}

}  // namespace

// ---- the cache of freed large blocks ----
#if defined(__linux__)

namespace cache_tests {

using densecorr::AllocScratchBlock;
using densecorr::ReleaseScratchCache;
using densecorr::ScratchBlock;
using densecorr::ScratchCacheBytes;

constexpr std::int64_t kMiB = std::int64_t{1} << 20;

ScratchBlock<char> Block(std::int64_t bytes) { return AllocScratchBlock<char>(bytes); }

// Starts and ends every test with an empty cache and the usual cap.
class ScratchCache : public ::testing::Test {
 protected:
  void SetUp() override { ReleaseScratchCache(); }
  void TearDown() override {
    densecorr::SetScratchCacheCapForTesting(0);
    ReleaseScratchCache();
  }
};

TEST_F(ScratchCache, ReusesTheBestFitAndLeavesSmallRequestsOffLargeBlocks) {
  auto a = Block(6 * kMiB), b = Block(12 * kMiB);
  void* const at_a = a.get();
  void* const at_b = b.get();
  a[0] = 'a';
  b.reset();
  a.reset();
  EXPECT_GE(ScratchCacheBytes(), std::uint64_t(18 * kMiB));
  // Both fit 5 MiB; the 12 MiB block is more than twice the request.
  auto c = Block(5 * kMiB);
  EXPECT_EQ(c.get(), at_a);
  EXPECT_EQ(c[0], 'a');  // the same pages, not fresh ones
  // Nothing cached fits 4 MiB closely enough: a fresh block.
  auto d = Block(4 * kMiB);
  EXPECT_NE(d.get(), at_b);
  auto e = Block(11 * kMiB);
  EXPECT_EQ(e.get(), at_b);
  EXPECT_EQ(ScratchCacheBytes(), 0u);
  // Reused blocks are still aligned for huge pages and keep their full size.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(e.get()) % (std::uintptr_t{2} << 20), 0u);
  for (std::int64_t i = 0; i < 11 * kMiB; i += 4096) e[i] = 1;
  // Small blocks never enter the cache.
  { auto small = Block(64 * 1024); }
  EXPECT_EQ(ScratchCacheBytes(), 0u);
}

// The cores' buffers from kMappedBlockBytes on (one image plane and up)
// lie on huge pages that the next call gets back; smaller ones stay on the
// heap.
TEST_F(ScratchCache, KeepsMediumBuffersOnHugePages) {
  const auto medium = static_cast<std::int64_t>(densecorr::kMappedBlockBytes);
  const std::int64_t pages = (medium + 2 * kMiB - 1) / (2 * kMiB) * (2 * kMiB);
  auto a = densecorr::AllocScratch<char>(medium);
  void* const at_a = a.get();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(at_a) % (std::uintptr_t{2} << 20), 0u);
  a[medium - 1] = 'm';
  a.reset();
  const std::uint64_t one = ScratchCacheBytes();
  EXPECT_GT(one, 0u);
  { auto small = densecorr::AllocScratch<char>(medium - 1); }
  EXPECT_EQ(ScratchCacheBytes(), one);
  // A request that its huge pages cover takes it back, contents and all.
  auto b = densecorr::AllocScratch<char>(pages);
  EXPECT_EQ(b.get(), at_a);
  EXPECT_EQ(b[medium - 1], 'm');
}

// Buffers from kMappedBlockBytes up to a huge page share 2 MB slabs in 64 kB
// chunks instead of taking a page each: the first run of free chunks that
// holds a request serves it, a freed run serves the next request, and empty
// slabs count with the cache and go back with it.
TEST_F(ScratchCache, SharesHugePagesBetweenMediumBuffers) {
  if (densecorr::kMappedBlockBytes > densecorr::kSlabBytes) GTEST_SKIP() << "no slabs here";
  constexpr std::uintptr_t kSlab = std::uintptr_t{2} << 20, kChunk = kSlab / 32;
  const auto base = [&](const void* p) {
    return reinterpret_cast<std::uintptr_t>(p) & ~(kSlab - 1);
  };
  const auto offset = [&](const void* p) { return reinterpret_cast<std::uintptr_t>(p) - base(p); };
  // 300 kB takes 5 chunks, 600 kB 10, 2 MB all 32.
  auto a = Block(300 * 1024), b = Block(600 * 1024), c = Block(300 * 1024);
  EXPECT_EQ(base(b.get()), base(a.get()));
  EXPECT_EQ(base(c.get()), base(a.get()));
  EXPECT_EQ(offset(a.get()), 0u);
  EXPECT_EQ(offset(b.get()), 5 * kChunk);
  EXPECT_EQ(offset(c.get()), 15 * kChunk);
  auto whole = Block(2 * kMiB);
  EXPECT_NE(base(whole.get()), base(a.get()));
  EXPECT_EQ(offset(whole.get()), 0u);
  // Every byte is its own buffer's.
  std::memset(a.get(), 'a', 300 * 1024);
  std::memset(b.get(), 'b', 600 * 1024);
  std::memset(c.get(), 'c', 300 * 1024);
  std::memset(whole.get(), 'w', 2 * kMiB);
  EXPECT_EQ(a[300 * 1024 - 1], 'a');
  EXPECT_EQ(b[0], 'b');
  EXPECT_EQ(b[600 * 1024 - 1], 'b');
  EXPECT_EQ(c[0], 'c');
  // A freed run serves the next request that fits it; one that does not
  // (17 chunks, with 12 free at the slab's end) takes the next slab.
  void* const at_b = b.get();
  b.reset();
  auto d = Block(9 * 64 * 1024);
  EXPECT_EQ(d.get(), at_b);
  auto e = Block(17 * 64 * 1024);
  EXPECT_NE(base(e.get()), base(a.get()));
  EXPECT_NE(base(e.get()), base(whole.get()));
  EXPECT_EQ(ScratchCacheBytes(), 0u);
  a.reset();
  c.reset();
  d.reset();
  e.reset();
  whole.reset();
  EXPECT_EQ(ScratchCacheBytes(), std::uint64_t(3 * kSlab));
  EXPECT_EQ(ReleaseScratchCache(), std::uint64_t(3 * kSlab));
  EXPECT_EQ(ScratchCacheBytes(), 0u);
}

TEST_F(ScratchCache, StaysWithinItsCapAndBlockCount) {
  densecorr::SetScratchCacheCapForTesting(25 * kMiB);
  auto a = Block(6 * kMiB), b = Block(6 * kMiB), c = Block(6 * kMiB), big = Block(30 * kMiB);
  void* const at_a = a.get();
  a.reset();
  b.reset();
  c.reset();  // three mappings of about 10 MiB: the oldest (a) goes
  EXPECT_LE(ScratchCacheBytes(), std::uint64_t(25 * kMiB));
  EXPECT_GE(ScratchCacheBytes(), std::uint64_t(12 * kMiB));
  big.reset();  // past the cap on its own: never kept
  EXPECT_LE(ScratchCacheBytes(), std::uint64_t(25 * kMiB));
  auto again = Block(6 * kMiB), again2 = Block(6 * kMiB), fresh = Block(6 * kMiB);
  EXPECT_NE(again.get(), at_a);
  EXPECT_NE(again2.get(), at_a);
  EXPECT_EQ(ScratchCacheBytes(), 0u);

  // However many blocks are freed, at most kScratchCacheMaxBlocks stay
  // (untouched mappings: address space, not memory).
  densecorr::SetScratchCacheCapForTesting(std::uint64_t{1} << 40);
  std::vector<ScratchBlock<char>> many;
  for (int i = 0; i < densecorr::kScratchCacheMaxBlocks + 4; ++i) many.push_back(Block(4 * kMiB));
  const std::uint64_t one = ScratchCacheBytes();
  many.clear();
  EXPECT_EQ(ScratchCacheBytes(), std::uint64_t(densecorr::kScratchCacheMaxBlocks) *
                                     (std::uint64_t(4 * kMiB) + (std::uint64_t{4} << 20)) + one);
}

TEST_F(ScratchCache, ReleaseGivesEverythingBack) {
  { auto a = Block(5 * kMiB), b = Block(9 * kMiB); }
  const std::uint64_t held = ScratchCacheBytes();
  EXPECT_GE(held, std::uint64_t(14 * kMiB));
  EXPECT_EQ(ReleaseScratchCache(), held);
  EXPECT_EQ(ScratchCacheBytes(), 0u);
  EXPECT_EQ(ReleaseScratchCache(), 0u);
  EXPECT_GE(densecorr::ScratchCacheCap(), densecorr::kScratchCacheMinCap);
}

// Several threads allocate, fill, check and free blocks of mixed sizes: no
// block is ever handed to two owners, and the cache keeps its bounds.
TEST_F(ScratchCache, IsSafeAcrossThreads) {
  densecorr::SetScratchCacheCapForTesting(64 * kMiB);
  constexpr int kThreads = 4;
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &faults] {
      for (int round = 0; round < 40; ++round) {
        // Large blocks, and medium ones that share slabs.
        const std::int64_t bytes = round % 2 == 0 ? (4 + (round * 7 + t * 3) % 9) * kMiB
                                                  : (256 + (round * 37 + t * 91) % 1800) * 1024;
        auto block = Block(bytes);
        const char mark = static_cast<char>('A' + t);
        for (std::int64_t i = 0; i < bytes; i += 4096) block[i] = mark;
        block[bytes - 1] = mark;
        std::this_thread::yield();
        for (std::int64_t i = 0; i < bytes; i += 4096)
          if (block[i] != mark) ++faults;
        if (block[bytes - 1] != mark) ++faults;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(faults.load(), 0);
  // The cap, and the slabs the medium blocks left empty (one a thread at
  // most: each holds one block at a time).
  EXPECT_LE(ScratchCacheBytes(), std::uint64_t((64 + 2 * kThreads) * kMiB));
}

TEST_F(ScratchCache, TheGuardCountsCachedBytesAndGivesThemBack) {
  { auto a = Block(8 * kMiB); }
  const std::uint64_t cached = ScratchCacheBytes();
  ASSERT_GE(cached, std::uint64_t(8 * kMiB));
  {
    // Nothing left on the system: a cached block still serves a request it
    // fits (the memory is already ours); a fresh one is refused.
    ScopedGuardFigure none(0, 0);
    auto reused = Block(7 * kMiB);
    EXPECT_EQ(ScratchCacheBytes(), 0u);
    EXPECT_THROW(Block(7 * kMiB), std::bad_alloc);
  }
  ASSERT_EQ(ScratchCacheBytes(), cached);
  {
    // 16 MiB available: 20 MiB fits only with the cached bytes, which go
    // back to the system before it is mapped; 40 MiB does not fit either way
    // and leaves the cache alone.
    ScopedGuardFigure some(16 * kMiB, 0);
    EXPECT_TRUE(densecorr::CallMemoryFits(20 * kMiB, nullptr));
    EXPECT_THROW(Block(40 * kMiB), std::bad_alloc);
    EXPECT_EQ(ScratchCacheBytes(), cached);
    auto grown = Block(20 * kMiB);
    EXPECT_EQ(ScratchCacheBytes(), 0u);
    // The same holds for the cores' scratch buffers.
    grown.reset();
    ASSERT_GT(ScratchCacheBytes(), 0u);
    densecorr::ScratchBlock<float> array;
    EXPECT_NO_THROW(array = densecorr::AllocScratch<float>(6 * kMiB));  // 24 MiB
    EXPECT_EQ(ScratchCacheBytes(), 0u);
    EXPECT_FALSE(densecorr::CallMemoryFits(20 * kMiB, nullptr));
  }
}

}  // namespace cache_tests

#endif
