// The platform layer on Windows: see platform.hpp.
//
// Paths are converted from UTF-8 to UTF-16 here and go to the wide-character
// API. Lone surrogates pass through both ways in the generalised UTF-8 that
// Python's "surrogatepass" handler writes, so every name Windows can hold
// survives the round trip. Descriptors are those of the Universal C Runtime
// (handles wrapped by _open_osfhandle), the runtime the interpreter uses
// too: a descriptor handed to it is one it can read and close.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#include "common/platform.hpp"

namespace mirelo::platform {

const bool kWindows = true;

namespace {

// ------------------------------------------------------- text conversions

std::wstring wide(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    char32_t c = 0xFFFD;
    size_t n = 1;
    if (b < 0x80) {
      c = b;
    } else if (b >= 0xC2 && b < 0xF5) {
      n = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      char32_t v = b & (0x3F >> (n - 1));
      size_t k = 1;
      for (; k < n && i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; ++k)
        v = (v << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
      const bool whole = k == n && v >= (n == 2 ? 0x80u : n == 3 ? 0x800u : 0x10000u) && v <= 0x10FFFF;
      if (whole) c = v;
      n = whole ? n : k;
    }
    if (c >= 0x10000) {
      out.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(c));
    }
    i += n;
  }
  return out;
}

std::string narrow(std::wstring_view w) {
  std::string out;
  out.reserve(w.size());
  for (size_t i = 0; i < w.size(); ++i) {
    char32_t c = static_cast<char16_t>(w[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(w[i + 1]) - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// Windows' error codes as errno values: the table of the C runtime's
// _dosmaperr, which open() and the interpreter's file functions go by.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_FAIL_I24:
    case ERROR_DRIVE_LOCKED:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_NOT_LOCKED:
    case ERROR_LOCK_FAILED:
      return EACCES;
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_TARGET_HANDLE:
    case ERROR_DIRECT_ACCESS_HANDLE:
      return EBADF;
    case ERROR_ARENA_TRASHED:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_INVALID_BLOCK:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_BAD_ENVIRONMENT: return E2BIG;
    case ERROR_BAD_FORMAT: return ENOEXEC;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_NO_PROC_SLOTS:
    case ERROR_MAX_THRDS_REACHED:
    case ERROR_NESTING_NOT_ALLOWED:
      return EAGAIN;
    case ERROR_BROKEN_PIPE: return EPIPE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_WAIT_NO_CHILDREN:
    case ERROR_CHILD_NOT_COMPLETE:
      return ECHILD;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    default:
      if (error >= ERROR_WRITE_PROTECT && error <= ERROR_SHARING_BUFFER_EXCEEDED) return EACCES;
      if (error >= ERROR_INVALID_STARTING_CODESEG && error <= ERROR_INFLOOP_IN_RELOC_CHAIN) return ENOEXEC;
      return EINVAL;
  }
}

int last_errno() { return errno_of(GetLastError()); }

std::string message_of(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n > 0 ? narrow(std::wstring_view(text, n)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  if (message.empty()) message = "error";
  return message + " (Windows error " + std::to_string(error) + ")";
}

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  explicit operator bool() const { return h != INVALID_HANDLE_VALUE; }
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE open_handle(const std::string& path, DWORD access, DWORD flags) {
  return CreateFileW(wide(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

int handle_status(HANDLE h, bool link_itself, FileStatus& status) {
  switch (GetFileType(h)) {
    case FILE_TYPE_CHAR: status = {FileKind::character_device, 0, 0666}; return 0;
    case FILE_TYPE_PIPE: status = {FileKind::fifo, 0, 0666}; return 0;
    case FILE_TYPE_DISK: break;
    default:
      if (GetLastError() != NO_ERROR) return last_errno();
      status = {FileKind::other, 0, 0666};
      return 0;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return last_errno();
  status.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  status.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::directory : FileKind::regular;
  if (link_itself && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT))
      status.kind = FileKind::symlink;
  }
  return 0;
}

HANDLE os_handle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// The descriptor of a handle; the handle is closed when that fails.
int wrap_handle(HANDLE h, int flags, int& fd) {
  fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
  if (fd >= 0) return 0;
  CloseHandle(h);
  return EMFILE;
}

// Largest single ReadFile/WriteFile request.
constexpr size_t kChunk = size_t{1} << 30;

// Part of the file at `offset`: true when all of `size` bytes were read.
bool read_at(HANDLE h, uint64_t offset, void* data, DWORD size) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  return ReadFile(h, data, size, &got, &at) && got == size;
}

}  // namespace

// ------------------------------------------------------------------ paths

std::filesystem::path fs_path(std::string_view utf8) { return std::filesystem::path(wide(utf8)); }

std::string utf8_path(const std::filesystem::path& path) { return narrow(path.native()); }

bool is_separator(char c) { return c == '/' || c == '\\'; }

namespace {

// The drive or UNC share at the start of a path, as ntpath.splitdrive finds it.
size_t drive_length(std::string_view p) {
  if (p.size() < 2) return 0;
  if (is_separator(p[0]) && is_separator(p[1]) && (p.size() == 2 || !is_separator(p[2]))) {
    size_t server_end = 2;
    while (server_end < p.size() && !is_separator(p[server_end])) ++server_end;
    if (server_end == p.size()) return 0;
    size_t share_end = server_end + 1;
    if (share_end < p.size() && is_separator(p[share_end])) return 0;
    while (share_end < p.size() && !is_separator(p[share_end])) ++share_end;
    return share_end;
  }
  return p[1] == ':' ? 2 : 0;
}

bool same_drive_ignoring_case(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

}  // namespace

std::string path_join(const std::string& a, const std::string& b) {
  std::string drive = a.substr(0, drive_length(a)), rest = a.substr(drive.size());
  const size_t b_drive_length = drive_length(b);
  const std::string b_drive = b.substr(0, b_drive_length), b_rest = b.substr(b_drive_length);
  if (!b_rest.empty() && is_separator(b_rest[0])) {
    if (!b_drive.empty() || drive.empty()) drive = b_drive;
    rest = b_rest;
  } else if (!b_drive.empty() && b_drive != drive && !same_drive_ignoring_case(b_drive, drive)) {
    drive = b_drive;
    rest = b_rest;
  } else {
    if (!b_drive.empty()) drive = b_drive;
    if (!rest.empty() && !is_separator(rest.back())) rest += '\\';
    rest += b_rest;
  }
  if (!rest.empty() && !is_separator(rest[0]) && !drive.empty() && drive.back() != ':')
    return drive + "\\" + rest;
  return drive + rest;
}

// ------------------------------------------------------------------ files

int file_status(const std::string& path, bool follow, FileStatus& status) {
  const Handle file{open_handle(path, FILE_READ_ATTRIBUTES,
                                FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT))};
  if (!file) return last_errno();
  return handle_status(file.h, !follow, status);
}

int descriptor_status(int fd, FileStatus& status) {
  const HANDLE h = os_handle(fd);
  if (h == INVALID_HANDLE_VALUE) return EBADF;
  return handle_status(h, false, status);
}

int open_for_reading(const std::string& path, int& fd) {
  // Readers of the core let writers replace the file under them, as POSIX does.
  const HANDLE h = open_handle(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  return wrap_handle(h, _O_RDONLY, fd);
}

int make_blocking(int) { return 0; }

int read_some(int fd, char* data, size_t size, size_t& got) {
  DWORD n = 0;
  if (!ReadFile(os_handle(fd), data, static_cast<DWORD>(std::min(size, kChunk)), &n, nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) return errno_of(error);
  }
  got = n;
  return 0;
}

int close_descriptor(int fd) { return _close(fd) == 0 ? 0 : errno; }

int create_new_file(const std::string& path, unsigned, int& fd) {
  const HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  return wrap_handle(h, _O_WRONLY, fd);
}

int set_permissions(int, unsigned) { return 0; }

int write_all(int fd, std::string_view bytes) {
  const HANDLE h = os_handle(fd);
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD n = 0;
    if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(std::min(bytes.size() - done, kChunk)), &n, nullptr))
      return last_errno();
    done += n;
  }
  return 0;
}

int flush_to_disk(int fd) { return FlushFileBuffers(os_handle(fd)) ? 0 : last_errno(); }

int open_for_writing(const std::string& path, int& fd) {
  const HANDLE h = open_handle(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  return wrap_handle(h, _O_WRONLY, fd);
}

int open_for_update(const std::string& path, bool create, int& fd) {
  const HANDLE h = CreateFileW(wide(path).c_str(), create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, kShareAll,
                               nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  return wrap_handle(h, create ? _O_RDWR : _O_RDONLY, fd);
}

int read_at(int fd, uint64_t offset, char* data, size_t size, size_t& got) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  if (!ReadFile(os_handle(fd), data, static_cast<DWORD>(std::min(size, kChunk)), &n, &at)) {
    const DWORD error = GetLastError();
    if (error != ERROR_HANDLE_EOF) return errno_of(error);
  }
  got = n;
  return 0;
}

int write_at(int fd, uint64_t offset, std::string_view bytes) {
  const HANDLE h = os_handle(fd);
  size_t done = 0;
  while (done < bytes.size()) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD n = 0;
    if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(std::min(bytes.size() - done, kChunk)), &n, &at))
      return last_errno();
    if (n == 0) return EIO;
    done += n;
  }
  return 0;
}

int resize_file(int fd, uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(os_handle(fd), FileEndOfFileInfo, &end, sizeof end) ? 0 : last_errno();
}

int make_folder(const std::string& path) { return CreateDirectoryW(wide(path).c_str(), nullptr) ? 0 : last_errno(); }

int flush_folder(const std::string&) { return 0; }

namespace {

// Where the locks sit: a byte no file reaches, since Windows' locks keep
// other handles from reading and writing the bytes they cover.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

}  // namespace

LockOutcome lock_file(int fd, bool exclusive, int& error) {
  const HANDLE h = os_handle(fd);
  if (h == INVALID_HANDLE_VALUE) {
    error = EBADF;
    return LockOutcome::failed;
  }
  // A lock is converted by dropping it first, as flock may do too.
  unlock_file(fd);
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0), 0, 1, 0, &at))
    return LockOutcome::locked;
  switch (const DWORD e = GetLastError()) {
    case ERROR_LOCK_VIOLATION:
    case ERROR_IO_PENDING:
      return LockOutcome::busy;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return LockOutcome::unsupported;
    default:
      error = errno_of(e);
      return LockOutcome::failed;
  }
}

void unlock_file(int fd) {
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(os_handle(fd), 0, 1, 0, &at);
}

int check_writable(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return last_errno();
  return (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY) ? EACCES : 0;
}

std::string resolve_link(const std::string& path) {
  const Handle file{open_handle(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS)};
  if (!file) return path;
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(file.h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return path;
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(n + 1);
  }
  // "\\?\C:\..." and "\\?\UNC\server\share\..." as the usual forms
  if (buffer.rfind(L"\\\\?\\UNC\\", 0) == 0) return "\\\\" + narrow(std::wstring_view(buffer).substr(8));
  if (buffer.rfind(L"\\\\?\\", 0) == 0) return narrow(std::wstring_view(buffer).substr(4));
  return narrow(buffer);
}

int remove_file(const std::string& path) { return DeleteFileW(wide(path).c_str()) ? 0 : last_errno(); }

namespace {

// Whether another handle holds `path` open without letting it be deleted,
// which is what keeps a file from being replaced on Windows.
bool held_open(const std::wstring& path) {
  const HANDLE h = CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Renames `source` over `target` with POSIX semantics where the system has
// them (Windows 10 1809 and later, on NTFS): a target that other handles
// hold open while letting it be deleted (the core's own readers, see
// open_for_reading) is replaced, and they go on reading the old file, as on
// POSIX. Where the request is not understood (older systems, FAT, Wine 8),
// MoveFileExW, which refuses such a target as it refuses any target held open.
bool rename_over(const std::wstring& source, const std::wstring& target, DWORD& error) {
  {
    const Handle h{CreateFileW(source.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    // the request takes a full path: the target's, made absolute
    std::wstring full(MAX_PATH, L'\0');
    DWORD n = 0;
    while ((n = GetFullPathNameW(target.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr)) >= full.size())
      full.resize(n);
    full.resize(n);
    if (h && !full.empty()) {
      const size_t name_bytes = full.size() * sizeof(wchar_t);
      std::vector<char> buffer(offsetof(FILE_RENAME_INFO, FileName) + name_bytes + sizeof(wchar_t), 0);
      auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
      info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
      info->RootDirectory = nullptr;
      info->FileNameLength = static_cast<DWORD>(name_bytes);
      std::memcpy(info->FileName, full.data(), name_bytes);
      if (SetFileInformationByHandle(h.h, FileRenameInfoEx, info, static_cast<DWORD>(buffer.size()))) return true;
      error = GetLastError();
      if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION)
        return false;
    }
  }
  if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  error = GetLastError();
  return false;
}

}  // namespace

ReplaceResult replace_file(const std::string& from, const std::string& to) {
  const std::wstring source = wide(from), target = wide(to);
  // Virus scanners, indexers and backup tools open new files for a moment:
  // a target held open is tried again for about a second (the holder may be
  // one of those) before the failure is reported as what it is.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  auto pause = std::chrono::milliseconds(5);
  for (;;) {
    DWORD error = 0;
    if (rename_over(source, target, error)) return {};
    const bool busy = (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && held_open(target);
    if (!busy) return {errno_of(error), false};
    if (std::chrono::steady_clock::now() >= deadline) return {EACCES, true};
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

bool list_folder(const std::string& folder, std::vector<std::string>& names) {
  std::wstring pattern = wide(folder);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW entry{};
  const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    const std::wstring_view name(entry.cFileName);
    if (name != L"." && name != L"..") names.push_back(narrow(name));
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return true;
}

// --------------------------------------------------------------- processes

std::string host_name() {
  wchar_t name[256] = {};
  DWORD size = static_cast<DWORD>(std::size(name));
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return {};
  return narrow(std::wstring_view(name, size));
}

long long process_id() { return static_cast<long long>(GetCurrentProcessId()); }

bool process_gone(long long pid) {
  if (pid <= 0 || pid > 0xFFFFFFFFLL || pid == process_id()) return false;
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD code = 0;
  // A process that ended but whose object another program still holds
  const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return ended;
}

// ------------------------------------------------------------------ memory

uint64_t memory_limit() {
  uint64_t limit = UINT64_MAX;
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status)) limit = std::min<uint64_t>(status.ullTotalPageFile, status.ullTotalVirtual);
  // The limits of the job the process runs in, if any
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
  if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job, nullptr)) {
    const DWORD flags = job.BasicLimitInformation.LimitFlags;
    if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) && job.ProcessMemoryLimit > 0)
      limit = std::min<uint64_t>(limit, job.ProcessMemoryLimit);
    if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) && job.JobMemoryLimit > 0)
      limit = std::min<uint64_t>(limit, job.JobMemoryLimit);
  }
  return limit;
}

void* map_zeroed(size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void unmap(void* p, size_t) { VirtualFree(p, 0, MEM_RELEASE); }

// -------------------------------------------------------- shared libraries

std::string shared_library_file(const std::string& stem) { return stem + ".dll"; }

std::string folder_of_this_binary() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<const wchar_t*>(&folder_of_this_binary), &module))
    return {};
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  path.resize(slash);
  return narrow(path);
}

std::string library_truncation(const std::string& path) {
  // The headers of the PE file give where each section's bytes lie: a file
  // that ends before the last of them is cut short.
  const Handle file{open_handle(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL)};
  LARGE_INTEGER file_size{};
  if (!file || !GetFileSizeEx(file.h, &file_size)) return {};  // the loader names why
  const auto size = static_cast<uint64_t>(file_size.QuadPart);
  IMAGE_DOS_HEADER dos{};
  DWORD signature = 0;
  IMAGE_FILE_HEADER header{};
  if (!read_at(file.h, 0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
      !read_at(file.h, static_cast<uint64_t>(dos.e_lfanew), &signature, sizeof signature) ||
      signature != IMAGE_NT_SIGNATURE ||
      !read_at(file.h, static_cast<uint64_t>(dos.e_lfanew) + sizeof signature, &header, sizeof header))
    return {};
  const uint64_t sections = static_cast<uint64_t>(dos.e_lfanew) + sizeof signature + sizeof header +
                            header.SizeOfOptionalHeader;
  uint64_t needed = sections + uint64_t{header.NumberOfSections} * sizeof(IMAGE_SECTION_HEADER);
  for (unsigned i = 0; i < header.NumberOfSections && needed <= size; ++i) {
    IMAGE_SECTION_HEADER section{};
    if (!read_at(file.h, sections + i * sizeof section, &section, sizeof section)) break;
    needed = std::max<uint64_t>(needed, uint64_t{section.PointerToRawData} + section.SizeOfRawData);
  }
  if (needed <= size) return {};
  return "the file is cut short (" + std::to_string(size) + " of at least " + std::to_string(needed) + " bytes)";
}

void* open_library(const std::string& path, std::string& why) {
  // A full path: the libraries it needs are looked for beside it first.
  const bool has_folder = path.find_first_of("\\/") != std::string::npos;
  DWORD previous = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  HMODULE module = LoadLibraryExW(wide(path).c_str(), nullptr, has_folder ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
  const DWORD error = GetLastError();
  SetThreadErrorMode(previous, nullptr);
  if (module == nullptr) why = message_of(error);
  return reinterpret_cast<void*>(module);
}

void* library_symbol(void* library, const char* name, std::string& why) {
  FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
  if (address == nullptr) why = std::string(name) + ": " + message_of(GetLastError());
  return reinterpret_cast<void*>(address);
}

void close_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

// ------------------------------------------------------------------- misc

std::tm utc_time(std::time_t t) {
  std::tm out{};
  gmtime_s(&out, &t);
  return out;
}

double c_strtod(const char* text) {
  static const _locale_t c_locale = _create_locale(LC_ALL, "C");
  return _strtod_l(text, nullptr, c_locale);
}

std::vector<std::filesystem::path> font_folders() {
  // The system's fonts folder, as the imaging library looks for fonts.
  const wchar_t* windir = _wgetenv(L"WINDIR");
  if (windir == nullptr || *windir == L'\0') return {};
  return {std::filesystem::path(windir) / L"fonts"};
}

}  // namespace mirelo::platform
