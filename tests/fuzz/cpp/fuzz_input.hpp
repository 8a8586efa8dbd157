#pragma once
// What the harnesses share: the input as a file that the core's readers
// open by name, and the rule that bad input may end in any exception the
// core throws (the bindings turn each into a Python exception) but never in
// a crash, a sanitizer report or a hang.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

namespace mirelo::fuzz {

/// A file in memory (memfd), named by its /proc/self/fd path: a regular
/// file to the readers, rewritten for every input without touching a disk.
class InputFile {
 public:
  InputFile() : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  const std::string& write(const uint8_t* data, size_t size) {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

/// Runs `body`; an exception of the core is an accepted outcome.
template <class Body>
void accepting_errors(Body&& body) {
  try {
    body();
  } catch (const std::exception&) {
  }
}

}  // namespace mirelo::fuzz
