#include "common/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/files.hpp"

namespace mirelo {

FileLock::FileLock(const std::string& path, bool create) : path_(path) {
  fd_ = ::open(path.c_str(), create ? (O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY) : (O_RDONLY | O_CLOEXEC | O_NOCTTY),
               0666);
  if (fd_ < 0) throw_os_error(errno, path);
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), locked_(std::exchange(other.locked_, false)), path_(std::move(other.path_)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    locked_ = std::exchange(other.locked_, false);
    path_ = std::move(other.path_);
  }
  return *this;
}

bool FileLock::try_lock(Mode mode) {
  for (;;) {
    if (::flock(fd_, (mode == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return false;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) break;
    throw_os_error(errno, path_, "could not lock");
  }
  locked_ = true;
  return true;
}

void FileLock::unlock() {
  if (locked_) ::flock(fd_, LOCK_UN);
  locked_ = false;
}

std::string FileLock::read_note() const {
  std::string out;
  char buf[512];
  for (off_t at = 0; out.size() < 4096;) {
    const ssize_t n = ::pread(fd_, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    at += n;
  }
  return out;
}

void FileLock::write_note(const std::string& note) const {
  if (::ftruncate(fd_, 0) != 0) return;
  size_t done = 0;
  while (done < note.size()) {
    const ssize_t n = ::pwrite(fd_, note.data() + done, note.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace mirelo
