#pragma once
// The one guard against allocation requests that cannot succeed: a count
// taken from an array's shape or a file can ask for terabytes, which must
// end in MemoryError before anything is allocated rather than depend on how
// the allocator and the kernel react to the request.
#include <cstdint>
#include <string>
#include <utility>

namespace mirelo {

/// The most memory, in bytes, this process can hold: physical memory plus
/// swap, lowered by the limits set on the process (platform::memory_limit).
uint64_t memory_capacity();

/// Whether `count` items of `item_bytes` bytes each fit in memory_capacity()
/// (false when the product does not fit in 64 bits).
bool fits_in_memory(uint64_t count, uint64_t item_bytes);

/// Throws MemoryError "Unable to allocate <size> for <what>: this process can
/// hold at most <size>".
[[noreturn]] void throw_memory_error(uint64_t count, uint64_t item_bytes, const std::string& what);

/// Throws MemoryError unless `count` items of `item_bytes` bytes fit in
/// memory; `what()` names the request ("the 7 masks of masks_new") and is
/// only called on failure.
template <typename What>
void require_allocatable(uint64_t count, uint64_t item_bytes, What&& what) {
  if (!fits_in_memory(count, item_bytes)) throw_memory_error(count, item_bytes, std::forward<What>(what)());
}

}  // namespace mirelo
