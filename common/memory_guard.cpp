// The scratch guard: refuses a request up front when the process could not
// back it with memory, so that a huge call fails with std::bad_alloc instead
// of driving the host into swap or into the out-of-memory killer.
#include "common/memory_guard.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>
#include <sstream>

#include "common/scratch.h"

#if defined(__linux__)
#include <fstream>
#elif defined(__APPLE__)
#include <mach/mach.h>
#include <sys/sysctl.h>
#elif defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace densecorr {

namespace {

std::atomic<const GuardFigureOverride*> g_figure_override{nullptr};

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

// Non-negative decimal at the start of `text` (after blanks); false when
// there is none or it does not fit 63 bits.
bool ParseCount(const std::string& text, std::int64_t* value) {
  std::size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos || text[i] < '0' || text[i] > '9') return false;
  std::int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (v > (kInt64Max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  return a > kInt64Max - b ? kInt64Max : a + b;
}

// The system's figure plus the bytes of the scratch cache (an unknown
// figure stays unknown).
std::int64_t WithCached(std::int64_t available, std::uint64_t cached) {
  if (available < 0) return available;
  const std::int64_t extra =
      cached > static_cast<std::uint64_t>(kInt64Max) ? kInt64Max : static_cast<std::int64_t>(cached);
  return SaturatingAdd(available, extra);
}

// Mount paths escape blanks and backslashes as \ooo.
std::string UnescapeMountPath(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// `path` relative to `root`, or false when it lies outside it.
bool RelativeTo(const std::string& path, const std::string& root, std::string* relative) {
  if (root == "/") {
    *relative = path == "/" ? "" : path;
    return true;
  }
  if (path.compare(0, root.size(), root) != 0) return false;
  if (path.size() > root.size() && path[root.size()] != '/') return false;
  *relative = path.substr(root.size());
  return true;
}

#if defined(__linux__)
bool ReadSmallFile(const std::string& path, std::string* text) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return true;
}

std::int64_t SystemAvailableBytes() {
  std::string text;
  std::int64_t available = -1;
  if (ReadSmallFile("/proc/meminfo", &text)) available = MeminfoAvailableBytes(text);
  std::string self_cgroup, mountinfo;
  if (ReadSmallFile("/proc/self/cgroup", &self_cgroup) &&
      ReadSmallFile("/proc/self/mountinfo", &mountinfo)) {
    for (const CgroupDir& cgroup : ResolveMemoryCgroups(self_cgroup, mountinfo)) {
      const std::int64_t headroom = CgroupHeadroomBytes(cgroup);
      if (headroom >= 0 && (available < 0 || headroom < available)) available = headroom;
    }
  }
  return available;
}
#elif defined(__APPLE__)
// Free, inactive and purgeable pages can all be handed to a new allocation
// without paging anything out; swap grows on demand there, so it is not
// counted.
std::int64_t SystemAvailableBytes() {
  vm_statistics64_data_t stats;
  mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
  if (host_statistics64(mach_host_self(), HOST_VM_INFO64, reinterpret_cast<host_info64_t>(&stats),
                        &count) != KERN_SUCCESS) {
    return -1;
  }
  vm_size_t page_size = 0;
  if (host_page_size(mach_host_self(), &page_size) != KERN_SUCCESS) return -1;
  const std::uint64_t pages =
      std::uint64_t{stats.free_count} + stats.inactive_count + stats.purgeable_count;
  return static_cast<std::int64_t>(pages * page_size);
}
#elif defined(_WIN32)
// What the commit limit still allows, and for a 32-bit process the free
// address space, which is usually the tighter bound.
std::int64_t SystemAvailableBytes() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return -1;
  std::uint64_t available = status.ullAvailPageFile;
  if (status.ullAvailVirtual < available) available = status.ullAvailVirtual;
  return available > static_cast<std::uint64_t>(kInt64Max) ? kInt64Max
                                                           : static_cast<std::int64_t>(available);
}
#else
std::int64_t SystemAvailableBytes() { return -1; }
#endif

}  // namespace

std::int64_t MeminfoAvailableBytes(const std::string& meminfo) {
  std::int64_t available_kb = -1, swap_free_kb = 0;
  std::istringstream lines(meminfo);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, colon);
    std::int64_t kb;
    if (!ParseCount(line.substr(colon + 1), &kb)) continue;
    if (key == "MemAvailable") available_kb = kb;
    if (key == "SwapFree") swap_free_kb = kb;
  }
  if (available_kb < 0) return -1;
  const std::int64_t total_kb = SaturatingAdd(available_kb, swap_free_kb);
  return total_kb > kInt64Max / 1024 ? kInt64Max : total_kb * 1024;
}

std::vector<CgroupDir> ResolveMemoryCgroups(const std::string& self_cgroup,
                                            const std::string& mountinfo) {
  // Membership: "hierarchy-id:controllers:path"; v2 has id 0 and no controllers.
  std::string v2_path, v1_path;
  bool have_v2 = false, have_v1 = false;
  {
    std::istringstream lines(self_cgroup);
    std::string line;
    while (std::getline(lines, line)) {
      const std::size_t first = line.find(':');
      const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
      if (second == std::string::npos) continue;
      const std::string controllers = line.substr(first + 1, second - first - 1);
      const std::string path = line.substr(second + 1);
      if (line.compare(0, first, "0") == 0 && controllers.empty()) {
        v2_path = path;
        have_v2 = true;
      }
      std::istringstream names(controllers);
      std::string name;
      while (std::getline(names, name, ',')) {
        if (name == "memory") {
          v1_path = path;
          have_v1 = true;
        }
      }
    }
  }

  // Mounts: "id parent major:minor root mount-point options [tags] - type source super".
  std::vector<CgroupDir> found;
  std::istringstream lines(mountinfo);
  std::string line;
  bool v2_done = false, v1_done = false;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> before, after;
    std::string field;
    bool dash = false;
    while (fields >> field) {
      if (!dash && field == "-") {
        dash = true;
        continue;
      }
      (dash ? after : before).push_back(field);
    }
    if (before.size() < 5 || after.size() < 3) continue;
    const std::string root = UnescapeMountPath(before[3]);
    const std::string mount_point = UnescapeMountPath(before[4]);
    const std::string& type = after[0];
    std::string relative;
    if (type == "cgroup2" && have_v2 && !v2_done && RelativeTo(v2_path, root, &relative)) {
      found.push_back({mount_point, mount_point + relative, true});
      v2_done = true;
    } else if (type == "cgroup" && have_v1 && !v1_done) {
      bool memory = false;
      std::istringstream options(after[2]);
      std::string option;
      while (std::getline(options, option, ',')) memory = memory || option == "memory";
      if (memory && RelativeTo(v1_path, root, &relative)) {
        found.push_back({mount_point, mount_point + relative, false});
        v1_done = true;
      }
    }
  }
  return found;
}

#if defined(__linux__)
std::int64_t CgroupHeadroomBytes(const CgroupDir& cgroup) {
  const char* limit_file = cgroup.v2 ? "/memory.max" : "/memory.limit_in_bytes";
  const char* usage_file = cgroup.v2 ? "/memory.current" : "/memory.usage_in_bytes";
  std::int64_t headroom = -1;
  std::string dir = cgroup.dir;
  // A parent's limit binds its children too, so every level up to the mount
  // point counts. "max" (v2) or an absent file means no limit at that level.
  for (;;) {
    std::string limit_text, usage_text;
    std::int64_t limit, usage;
    if (ReadSmallFile(dir + limit_file, &limit_text) && ParseCount(limit_text, &limit) &&
        ReadSmallFile(dir + usage_file, &usage_text) && ParseCount(usage_text, &usage)) {
      const std::int64_t left = usage >= limit ? 0 : limit - usage;
      if (headroom < 0 || left < headroom) headroom = left;
    }
    if (dir.size() <= cgroup.mount_point.size()) break;
    const std::size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash < cgroup.mount_point.size()) break;
    dir.erase(slash);
  }
  return headroom;
}
#else
std::int64_t CgroupHeadroomBytes(const CgroupDir&) { return -1; }
#endif

void SetGuardFigureForTesting(const GuardFigureOverride* figure) {
  g_figure_override.store(figure);
}

std::int64_t AvailableMemoryBytes() {
  if (const GuardFigureOverride* figure = g_figure_override.load()) return figure->available;
  return SystemAvailableBytes();
}

bool ScratchRequestFits(std::uint64_t bytes, std::int64_t available) {
  if (available < 0) return true;
  const std::uint64_t usable =
      static_cast<std::uint64_t>(available) - static_cast<std::uint64_t>(available) / 8;
  return bytes <= usable;
}

void GuardScratchRequest(std::uint64_t bytes) {
  const GuardFigureOverride* figure = g_figure_override.load();
  const std::uint64_t threshold = figure ? figure->query_threshold : kGuardQueryThreshold;
  if (bytes < threshold) return;
  const std::int64_t available = AvailableMemoryBytes();
  if (ScratchRequestFits(bytes, available)) return;
  // The cache's blocks are this process's to give back: a request they
  // would make room for goes ahead once they are back with the system.
  const std::uint64_t cached = ScratchCacheBytes();
  if (cached > 0 && ScratchRequestFits(bytes, WithCached(available, cached))) {
    ReleaseScratchCache();
    return;
  }
  throw std::bad_alloc();
}

bool CallMemoryFits(std::uint64_t bytes, std::int64_t* usable) {
  if (usable != nullptr) *usable = -1;
  const GuardFigureOverride* figure = g_figure_override.load();
  const std::uint64_t threshold = figure ? figure->query_threshold : kGuardQueryThreshold;
  if (bytes < threshold) return true;
  // What the cache holds, the call reuses or gives back (GuardScratchRequest).
  const std::int64_t available = WithCached(AvailableMemoryBytes(), ScratchCacheBytes());
  if (available >= 0 && usable != nullptr) *usable = available - available / 8;
  return ScratchRequestFits(bytes, available);
}

}  // namespace densecorr
