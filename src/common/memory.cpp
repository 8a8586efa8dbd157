#include "common/memory.hpp"

#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "common/errors.hpp"

namespace mirelo {
namespace {

constexpr uint64_t kUnlimited = UINT64_MAX;

uint64_t limit_of(int resource) {
  struct rlimit r {};
  if (::getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return kUnlimited;
  return static_cast<uint64_t>(r.rlim_cur);
}

// The memory limit of the process's control group ("max" or absent: none).
// Read once: it does not change under a running process in practice.
uint64_t cgroup_limit() {
  static const uint64_t limit = [] {
    std::ifstream in("/sys/fs/cgroup/memory.max");
    std::string text;
    if (!(in >> text) || text.empty() || text == "max") return kUnlimited;
    try {
      return static_cast<uint64_t>(std::stoull(text));
    } catch (const std::exception&) {
      return kUnlimited;
    }
  }();
  return limit;
}

std::string size_text(uint64_t bytes) {
  static const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double v = static_cast<double>(bytes);
  size_t u = 0;
  while (v >= 1024.0 && u + 1 < std::size(units)) {
    v /= 1024.0;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f %s", v, units[u]);
  return buf;
}

}  // namespace

uint64_t memory_capacity() {
  uint64_t total = kUnlimited;
  struct sysinfo si {};
  if (::sysinfo(&si) == 0) {
    const uint64_t unit = si.mem_unit == 0 ? 1 : si.mem_unit;
    total = (static_cast<uint64_t>(si.totalram) + static_cast<uint64_t>(si.totalswap)) * unit;
  }
  return std::min({total, limit_of(RLIMIT_AS), limit_of(RLIMIT_DATA), cgroup_limit()});
}

bool fits_in_memory(uint64_t count, uint64_t item_bytes) {
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, item_bytes, &bytes)) return false;
  // Small requests are left to the allocator: no process runs in less.
  constexpr uint64_t kAlwaysAllowed = uint64_t{64} << 20;
  return bytes <= kAlwaysAllowed || bytes <= memory_capacity();
}

void throw_memory_error(uint64_t count, uint64_t item_bytes, const std::string& what) {
  uint64_t bytes = 0;
  const std::string size = __builtin_mul_overflow(count, item_bytes, &bytes)
                               ? std::to_string(count) + " x " + std::to_string(item_bytes) + " bytes"
                               : size_text(bytes);
  throw MemoryError("Unable to allocate " + size + " for " + what + ": this process can hold at most " +
                    size_text(memory_capacity()));
}

}  // namespace mirelo
