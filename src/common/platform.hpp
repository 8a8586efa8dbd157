#pragma once
// Everything the core does differently on POSIX systems and on Windows, in
// one place: platform_posix.cpp and platform_windows.cpp implement this
// header, and the build compiles the one of its target. Nothing else in the
// core asks which system it runs on.
//
// Paths are UTF-8 texts at this surface, whatever the system: on Windows
// they are converted to UTF-16 and handed to the wide-character API (the
// narrow one would read them in the ANSI code page). Failures come back as
// errno values (Windows' own error codes mapped onto them, as its C runtime
// maps them), so that the callers raise the same errors on both.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo::platform {

/// True in the Windows build.
extern const bool kWindows;

// ------------------------------------------------------------------ paths

/// The path object of a UTF-8 path text.
std::filesystem::path fs_path(std::string_view utf8);
/// The UTF-8 text of a path object.
std::string utf8_path(const std::filesystem::path& path);
/// Whether `c` separates path pieces: '/' everywhere, '\\' too on Windows.
bool is_separator(char c);
/// Joins two path pieces as the host's os.path.join does: on POSIX an
/// absolute `b` replaces `a` and '/' is added unless `a` is empty or ends
/// with one; on Windows a `b` with a drive or a root replaces `a` (keeping
/// the drive of `a` for a rooted `b` without one), and '\\' is added unless
/// `a` is empty or ends with a separator or a drive's colon.
std::string path_join(const std::string& a, const std::string& b);

// ------------------------------------------------------------------ files

enum class FileKind { regular, directory, symlink, fifo, character_device, block_device, socket, other };

struct FileStatus {
  FileKind kind = FileKind::other;
  uint64_t size = 0;
  /// Permission bits (POSIX); on Windows 0666, or 0444 for a read-only file.
  unsigned mode = 0;
};

/// The status of `path`, following a symbolic link when `follow`; 0 or the errno value.
int file_status(const std::string& path, bool follow, FileStatus& status);
/// The status of an open descriptor; 0 or the errno value.
int descriptor_status(int fd, FileStatus& status);

/// Opens `path` for reading without waiting (a FIFO does not block the
/// open) and without it becoming a controlling terminal; other programs may
/// still write, rename or delete it. 0 and `fd`, or the errno value.
int open_for_reading(const std::string& path, int& fd);
/// Makes reads of `fd` wait again; 0 or the errno value.
int make_blocking(int fd);
/// Reads up to `size` bytes: 0 with the count in `got` (0 at the end), or the
/// errno value. Interrupted reads are retried.
int read_some(int fd, char* data, size_t size, size_t& got);
/// Closes the descriptor; 0 or the errno value.
int close_descriptor(int fd);

/// Creates `path` for writing, failing with EEXIST when it exists. `mode` is
/// the POSIX permission (less the umask); Windows has none to give.
int create_new_file(const std::string& path, unsigned mode, int& fd);
/// Gives `fd` the permission bits `mode` (no effect on Windows).
int set_permissions(int fd, unsigned mode);
/// Writes all of `bytes`; 0 or the errno value.
int write_all(int fd, std::string_view bytes);
/// Flushes the file's bytes to the disk; 0 or the errno value.
int flush_to_disk(int fd);
/// Whether the file may be written by this process: 0, or EACCES (or
/// another errno value) when it may not.
int check_writable(const std::string& path);
/// Opens an existing file for writing in place: neither created nor cut,
/// and a FIFO does not block the open. 0 and `fd`, or the errno value.
int open_for_writing(const std::string& path, int& fd);
/// Opens `path` for reading and writing, created (0666 less the umask) when
/// missing, when `create`; for reading only otherwise. 0 and `fd`, or the
/// errno value.
int open_for_update(const std::string& path, bool create, int& fd);
/// Reads up to `size` bytes at `offset`: 0 with the count in `got` (0 at the
/// end), or the errno value.
int read_at(int fd, uint64_t offset, char* data, size_t size, size_t& got);
/// Writes all of `bytes` at `offset`; 0 or the errno value.
int write_at(int fd, uint64_t offset, std::string_view bytes);
/// Cuts the file to `size` bytes (or extends it with zeros); 0 or the errno value.
int resize_file(int fd, uint64_t size);
/// Makes a folder (0777 less the umask); 0, or the errno value (EEXIST when
/// something has the name).
int make_folder(const std::string& path);
/// Flushes a folder's entries (names made, renamed, removed) to the disk; 0
/// or the errno value. Windows journals them with the file system's own
/// metadata, and this does nothing there.
int flush_folder(const std::string& path);

enum class LockOutcome { locked, busy, unsupported, failed };
/// Takes an advisory lock on the open file without waiting, shared or
/// exclusive, or converts the one this descriptor holds. `busy` when
/// another open file (in this process or another) holds one that conflicts;
/// `unsupported` where the file system has no locks; `failed` with the
/// errno value in `error`. Locks go with their process, however it ends.
/// On Windows the lock covers a byte far beyond any content, so that it
/// keeps nobody from reading or writing the file.
LockOutcome lock_file(int fd, bool exclusive, int& error);
/// Drops the lock this descriptor holds, if any.
void unlock_file(int fd);
/// The file a symbolic link finally points to, absolute; `path` itself when
/// it cannot be resolved.
std::string resolve_link(const std::string& path);
/// Removes a file; 0 or the errno value.
int remove_file(const std::string& path);

struct ReplaceResult {
  int error = 0;  ///< 0, or the errno value
  /// The target could not be replaced because another handle holds it open
  /// without allowing its deletion (Windows only: POSIX renames over open files).
  bool held_open = false;
};
/// Renames `from` over `to` in one step: `to` is the old or the new file
/// for every reader, never missing. On Windows a target that another handle
/// holds open is retried for about a second before giving up.
ReplaceResult replace_file(const std::string& from, const std::string& to);

/// The names of the entries of `folder` (not "." nor ".."), in listing
/// order; false when it cannot be listed.
bool list_folder(const std::string& folder, std::vector<std::string>& names);

// --------------------------------------------------------------- processes

/// A name of this machine (empty when it has none).
std::string host_name();
/// This process's id.
long long process_id();
/// Whether no process with id `pid` runs on this machine (false when it may
/// run, or cannot be told).
bool process_gone(long long pid);

// ------------------------------------------------------------------ memory

/// The most memory this process can hold: physical memory plus swap (the
/// commit limit on Windows), lowered by the process's own limits
/// (address-space and data rlimits and the control group's limit on Linux,
/// the job object's on Windows). UINT64_MAX when nothing is known.
uint64_t memory_limit();

/// `bytes` of zeroed memory straight from the system (pages that stay
/// unbacked until written); null when it cannot be had.
void* map_zeroed(size_t bytes);
/// Returns memory that map_zeroed gave.
void unmap(void* p, size_t bytes);

// -------------------------------------------------------- shared libraries

/// The file name of the shared library named `stem`: "lib<stem>.so" on
/// POSIX, "<stem>.dll" on Windows.
std::string shared_library_file(const std::string& stem);
/// The folder of the binary (program or library) this code is linked into,
/// absolute; empty when unknown.
std::string folder_of_this_binary();
/// Why the file at `path` cannot be a whole shared library of this system
/// (it is cut short), or empty when it may be one: loaders map a file's
/// parts without checking that the file holds them.
std::string library_truncation(const std::string& path);
/// Opens the shared library at `path` (a bare name: the loader's search,
/// which finds one already loaded); null with the loader's reason in `why`.
void* open_library(const std::string& path, std::string& why);
/// The address of `name` in an opened library; null with the reason in `why`.
void* library_symbol(void* library, const char* name, std::string& why);
void close_library(void* library);

// ------------------------------------------------------------------- misc

/// The calendar time of `t` in UTC.
std::tm utc_time(std::time_t t);

/// strtod in the "C" locale, whatever the process's locale.
double c_strtod(const char* text);

/// The folders where the system keeps fonts, in search order.
std::vector<std::filesystem::path> font_folders();

}  // namespace mirelo::platform
