#pragma once
// Advisory locks on a file, shared among readers and exclusive for one
// writer (flock). The kernel drops a lock when the process that holds it
// ends, however it ends, so a killed process never leaves a folder locked:
// the next process simply takes the lock over.
#include <string>

namespace mirelo {

class FileLock {
 public:
  enum class Mode { Shared, Exclusive };

  /// The file at `path`, opened for locking: read-write and created (0666
  /// less the umask) when `create` is set, read-only otherwise. Throws
  /// FileNotFoundError / OSError as the host's open() reports them.
  FileLock(const std::string& path, bool create);
  ~FileLock();
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  /// Takes the lock in `mode` (or converts the one held) without waiting;
  /// false when another open file holds a lock that conflicts, in this
  /// process or another. A file system without such locks counts as free.
  bool try_lock(Mode mode);
  void unlock();
  bool locked() const { return locked_; }

  /// The file's content (the holder's note) and a new note in its place,
  /// for messages about who holds it; a note that cannot be written is left.
  std::string read_note() const;
  void write_note(const std::string& note) const;

 private:
  int fd_ = -1;
  bool locked_ = false;
  std::string path_;
};

}  // namespace mirelo
