#include "common/memory.hpp"

#include <cstdio>
#include <iterator>

#include "common/errors.hpp"
#include "common/platform.hpp"

namespace mirelo {
namespace {

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

uint64_t memory_capacity() { return platform::memory_limit(); }

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
