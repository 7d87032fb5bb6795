// Internal to the library and its tests: how the scratch guard arrives at its
// figure of available memory, and a hook that replaces that figure.
#ifndef DENSECORR_COMMON_MEMORY_GUARD_H_
#define DENSECORR_COMMON_MEMORY_GUARD_H_

#include <cstdint>
#include <string>
#include <vector>

namespace densecorr {

// Requests below this many bytes go ahead without asking the system: the
// query reads a few small files, which would cost more than the allocation.
constexpr std::uint64_t kGuardQueryThreshold = std::uint64_t{64} << 20;

// MemAvailable + SwapFree from the text of /proc/meminfo, in bytes; -1 when
// the text has no MemAvailable line.
std::int64_t MeminfoAvailableBytes(const std::string& meminfo);

// One memory cgroup of this process: its folder and the folder where its
// hierarchy is mounted (the folder is that one or below it).
struct CgroupDir {
  std::string mount_point;
  std::string dir;
  bool v2;  // memory.max/memory.current rather than the v1 file names
};

// The memory cgroups of this process, from the texts of /proc/self/cgroup
// and /proc/self/mountinfo: the v2 one and the v1 "memory" one, where
// mounted. A cgroup path outside every mount is left out.
std::vector<CgroupDir> ResolveMemoryCgroups(const std::string& self_cgroup,
                                            const std::string& mountinfo);

// What the limits of the cgroup and of each ancestor up to its mount point
// still allow (limit minus usage, the smallest of them, at least 0); -1 when
// none of them has a limit ("max" or a missing file).
std::int64_t CgroupHeadroomBytes(const CgroupDir& cgroup);

// The whole-call check of a host module, made once before the call creates
// anything: may a call that needs `bytes` in all (its outputs, the host's
// copies of them and every scratch buffer) start? The same figure and margin
// as the scratch guard (the scratch cache's bytes count as available);
// calls below the query threshold pass without asking.
// `usable` (may be null) receives the bytes the call could have had, -1 when
// the figure is unknown or was not asked for.
bool CallMemoryFits(std::uint64_t bytes, std::int64_t* usable);

// Test hook. While installed, `available` stands in for the system's figure
// (-1: none) and `query_threshold` for kGuardQueryThreshold. Install it
// before the calls it should affect and remove it after them.
struct GuardFigureOverride {
  std::int64_t available;
  std::uint64_t query_threshold;
};
void SetGuardFigureForTesting(const GuardFigureOverride* figure);  // nullptr removes it

class ScopedGuardFigure {
 public:
  ScopedGuardFigure(std::int64_t available, std::uint64_t query_threshold)
      : figure_{available, query_threshold} {
    SetGuardFigureForTesting(&figure_);
  }
  ~ScopedGuardFigure() { SetGuardFigureForTesting(nullptr); }
  ScopedGuardFigure(const ScopedGuardFigure&) = delete;
  ScopedGuardFigure& operator=(const ScopedGuardFigure&) = delete;

 private:
  GuardFigureOverride figure_;
};

}  // namespace densecorr

#endif  // DENSECORR_COMMON_MEMORY_GUARD_H_
