#pragma once
// Independent pieces of work shared by the machine's cores.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "common/runtime.hpp"

namespace mirelo {

/// Threads worth starting for work that reads about `bytes` bytes: starting
/// one costs tens of microseconds, so small work stays on the calling thread.
inline unsigned threads_for_bytes(size_t bytes) {
  return bytes < (size_t{1} << 20) ? 1u : std::max(1u, std::thread::hardware_concurrency());
}

/// Calls work(i) for every i in [0, n). Pieces are claimed in order, one at
/// a time, by up to `threads` threads (0: one per core), the calling thread
/// among them; only the calling thread checks for an interrupt, between its
/// pieces. When a piece throws, no later piece is started, the pieces already
/// claimed finish, and the exception of the lowest-numbered failing piece is
/// rethrown: the outcome is that of running the pieces one after the other.
template <typename Work>
void for_each_in_parallel(size_t n, unsigned threads, Work&& work) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(n, 1)));
  std::atomic<size_t> next{0};
  std::atomic<size_t> stop_at{n};
  std::mutex failure_mutex;
  size_t failed_at = n;
  std::exception_ptr failure;
  auto fail = [&](size_t index, std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(failure_mutex);
    if (index < failed_at) {
      failed_at = index;
      failure = std::move(e);
    }
    size_t cur = stop_at.load();
    while (index < cur && !stop_at.compare_exchange_weak(cur, index)) {
    }
  };
  auto run = [&](bool checks_interrupts) {
    for (;;) {
      const size_t i = next.fetch_add(1);
      if (i >= n || i >= stop_at.load()) return;
      try {
        if (checks_interrupts) check_interrupt();
        work(i);
      } catch (...) {
        fail(i, std::current_exception());
      }
    }
  };
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(run, false);
  } catch (...) {
    // Fewer threads than asked for: those running share the pieces.
  }
  run(true);
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace mirelo
