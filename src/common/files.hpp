#pragma once
// File-system errors, whole-file reading and the one atomic file writer.
//
// Every file the core writes appears under its name only when complete: the
// bytes go to a temporary sibling, ".<name>.<host>-<pid>-<random>.tmp",
// which is renamed over the target. A writer killed before the rename leaves
// that temporary behind; its name says which host and process made it, so
// the next write of the same target (or a folder-wide sweep) removes the
// temporaries whose process is gone, and never anything else.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

namespace mirelo {

/// Throws the error the host's open() would raise for error number `err` on
/// `path`: FileNotFoundError for ENOENT, OSError otherwise, with the message
/// "[Errno 2] No such file or directory: 'path'", preceded by "<action>: "
/// when `action` is not empty ("could not write: [Errno 28] ...").
[[noreturn]] void throw_os_error(int err, const std::string& path, std::string_view action = {});
[[noreturn]] void throw_os_error(const std::error_code& ec, const std::string& path, std::string_view action = {});

/// The message of the error require_regular_file raises when `path` exists
/// (symbolic links followed) but is not a regular file, such as "expected a
/// regular file, got a FIFO: 'path'"; empty for a regular file and for a
/// path whose status cannot be read (left to the reader to report).
std::string special_file_problem(const std::string& path);

/// Throws the error file_read_problem describes: FileNotFoundError, or
/// OSError (IsADirectoryError for a folder, the plain OSError for a FIFO, a
/// device or a socket). For paths handed to another library that opens them
/// itself (image and video decoders), which would block on a FIFO and read a
/// device without end.
void require_regular_file(const std::string& path);

/// A descriptor of the regular file at `path`, open for reading (close it
/// with ::close), and its size. The file is opened without waiting, so a FIFO
/// or a device swapped in after a check still never blocks, and is checked
/// again on the open descriptor. Throws as require_regular_file does.
struct OpenedFile {
  int fd = -1;
  uint64_t size = 0;
};
OpenedFile open_regular_file(const std::string& path);

/// The whole content of the regular file at `path`. Throws as
/// require_regular_file does, MemoryError when its size is more than the
/// process can hold, and OSError when it grows while being read (its size
/// is taken once, before reading).
std::string read_file(const std::string& path);

struct AtomicWriteOptions {
  /// Flush the bytes to the disk before the rename, so that a power loss
  /// leaves the old or the new file, never an empty one. Files that are
  /// rebuilt wholesale when lost (frame images) can skip it.
  bool sync = true;
  /// Remove the stale temporaries of this target first (one folder listing).
  /// Writers of many files into one folder sweep it once instead, with
  /// remove_stale_temporaries.
  bool clear_stale = true;
  /// Prefix of the error message ("could not write"); none by default, as
  /// the host's open() reports failures.
  std::string_view action;
};

/// Writes `bytes` to `path` through a temporary sibling renamed over it. An
/// existing target keeps its permission bits; a new one gets 0666 less the
/// umask. A symbolic link is written through (the file it points to is
/// replaced, the link stays). Throws FileNotFoundError / OSError naming
/// `path` (as require_regular_file does for an existing target that is not a
/// regular file); on any failure the target is untouched and the temporary
/// removed.
void write_file_atomically(const std::string& path, std::string_view bytes, const AtomicWriteOptions& options = {});

/// Removes from `folder` the temporaries that write_file_atomically left for
/// targets whose names `is_target` accepts, when the process that made them
/// ran on this host and is gone. Returns how many were removed; a folder
/// that cannot be listed gives 0.
size_t remove_stale_temporaries(const std::string& folder, const std::function<bool(std::string_view)>& is_target);

/// The target name of a temporary that write_file_atomically makes
/// (".0003.jpg.1a2b3c4d-4242-k3j5h6g7f8.tmp" gives "0003.jpg"), or an empty
/// view for any other name.
std::string_view temporary_target(std::string_view file_name);

}  // namespace mirelo
