#include "common/file_lock.hpp"

#include <utility>

#include "common/files.hpp"
#include "common/platform.hpp"

namespace mirelo {

FileLock::FileLock(const std::string& path, bool create) : path_(path) {
  if (const int error = platform::open_for_update(path, create, fd_)) throw_os_error(error, path);
}

FileLock::~FileLock() {
  if (fd_ >= 0) platform::close_descriptor(fd_);
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), locked_(std::exchange(other.locked_, false)), path_(std::move(other.path_)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) platform::close_descriptor(fd_);
    fd_ = std::exchange(other.fd_, -1);
    locked_ = std::exchange(other.locked_, false);
    path_ = std::move(other.path_);
  }
  return *this;
}

bool FileLock::try_lock(Mode mode) {
  int error = 0;
  switch (platform::lock_file(fd_, mode == Mode::Exclusive, error)) {
    case platform::LockOutcome::busy: return false;
    case platform::LockOutcome::failed: throw_os_error(error, path_, "could not lock");
    case platform::LockOutcome::locked:
    case platform::LockOutcome::unsupported: break;
  }
  locked_ = true;
  return true;
}

void FileLock::unlock() {
  if (locked_) platform::unlock_file(fd_);
  locked_ = false;
}

std::string FileLock::read_note() const {
  std::string out;
  char buf[512];
  while (out.size() < 4096) {
    size_t got = 0;
    if (platform::read_at(fd_, out.size(), buf, sizeof buf, got) != 0 || got == 0) break;
    out.append(buf, got);
  }
  return out;
}

void FileLock::write_note(const std::string& note) const {
  if (platform::resize_file(fd_, 0) != 0) return;
  platform::write_at(fd_, 0, note);
}

}  // namespace mirelo
