#include "common/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>

#include "common/errors.hpp"
#include "common/memory.hpp"
#include "common/text.hpp"

namespace mirelo {
namespace {

constexpr size_t kHostTagLength = 8;  // hex digits
constexpr size_t kRandomLength = 10;
constexpr std::string_view kTemporarySuffix = ".tmp";

std::string random_text() {
  thread_local std::mt19937_64 gen(std::random_device{}() ^
                                   static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  static const char* alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string s(kRandomLength, 'a');
  for (auto& c : s) c = alphabet[gen() % 36];
  return s;
}

uint32_t fnv1a(std::string_view s) {
  uint32_t h = 2166136261u;
  for (char c : s) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
  return h;
}

std::string hex8(uint32_t v) {
  static const char* hex = "0123456789abcdef";
  std::string s(8, '0');
  for (size_t k = 0; k < 8; ++k) s[k] = hex[(v >> (28 - 4 * k)) & 0xF];
  return s;
}

// A short tag of this host's name: temporaries made on another machine that
// shares the folder are never taken for stale ones.
const std::string& host_tag() {
  static const std::string tag = [] {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    return hex8(fnv1a(name));
  }();
  return tag;
}

// The target part of a temporary's name: the target's name, or for a name
// too long to take the additions within the system's limit of 255 bytes, its
// first 200 bytes and a hash of the whole.
std::string temporary_stem(const std::string& target_name) {
  constexpr size_t kLongest = 200;
  if (target_name.size() <= kLongest) return target_name;
  return target_name.substr(0, kLongest) + "~" + hex8(fnv1a(target_name));
}

std::string temporary_name(const std::string& target_name) {
  std::string name(1, '.');
  name += temporary_stem(target_name);
  name += '.';
  name += host_tag();
  name += '-';
  name += std::to_string(::getpid());
  name += '-';
  name += random_text();
  name += kTemporarySuffix;
  return name;
}

bool all_of(std::string_view s, bool (*ok)(char)) {
  for (char c : s)
    if (!ok(c)) return false;
  return !s.empty();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }
bool is_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z'); }

// The parts of a temporary's name: host tag and process id.
struct TemporaryTag {
  std::string_view target, host;
  long long pid = 0;
};

bool parse_temporary(std::string_view name, TemporaryTag& tag) {
  if (name.size() < 2 + kTemporarySuffix.size() || name.front() != '.' ||
      name.substr(name.size() - kTemporarySuffix.size()) != kTemporarySuffix)
    return false;
  const std::string_view body = name.substr(1, name.size() - 1 - kTemporarySuffix.size());
  const size_t dot = body.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  const std::string_view stamp = body.substr(dot + 1);
  const size_t dash1 = stamp.find('-'), dash2 = stamp.rfind('-');
  if (dash1 != kHostTagLength || dash2 == dash1 || stamp.size() - dash2 - 1 != kRandomLength) return false;
  const std::string_view host = stamp.substr(0, dash1), pid = stamp.substr(dash1 + 1, dash2 - dash1 - 1);
  if (!all_of(host, is_hex) || !all_of(pid, is_digit) || pid.size() > 9 ||
      !all_of(stamp.substr(dash2 + 1), is_alnum))
    return false;
  tag.target = body.substr(0, dot);
  tag.host = host;
  tag.pid = std::atoll(std::string(pid).c_str());
  return true;
}

bool process_gone(long long pid) {
  if (pid <= 0 || pid == ::getpid()) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

void throw_os_error(int err, const std::string& path, std::string_view action) {
  std::string msg;
  if (!action.empty()) {
    msg.append(action);
    msg += ": ";
  }
  msg += "[Errno " + std::to_string(err) + "] " + std::generic_category().message(err) + ": " + repr_text(path);
  if (err == ENOENT) throw FileNotFoundError(msg);
  throw OSError(msg, err);
}

void throw_os_error(const std::error_code& ec, const std::string& path, std::string_view action) {
  throw_os_error(ec.value(), path, action);
}

namespace {

// What a file that is neither regular nor a folder is, as an error names it.
const char* special_kind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

[[noreturn]] void throw_not_regular(mode_t mode, const std::string& path, std::string_view action = {}) {
  if (S_ISDIR(mode)) throw_os_error(EISDIR, path, action);
  std::string msg;
  if (!action.empty()) {
    msg.append(action);
    msg += ": ";
  }
  throw OSError(msg + expected_got("a regular file", special_kind(mode)) + ": " + repr_text(path));
}

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

}  // namespace

void require_regular_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw_os_error(errno, path);
  if (!S_ISREG(st.st_mode)) throw_not_regular(st.st_mode, path);
}

std::string special_file_problem(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
  try {
    throw_not_regular(st.st_mode, path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

namespace {

// The regular file at `path` opened for reading without waiting; the
// descriptor keeps O_NONBLOCK, which reads of a regular file ignore.
OpenedFile open_checked(const std::string& path) {
  // The status first: opening a FIFO waits for a writer, and opening a
  // device can act on it.
  require_regular_file(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw_os_error(errno, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    throw_os_error(err, path);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw_not_regular(st.st_mode, path);
  }
  return {fd, static_cast<uint64_t>(st.st_size)};
}

}  // namespace

OpenedFile open_regular_file(const std::string& path) {
  const OpenedFile file = open_checked(path);
  const int flags = ::fcntl(file.fd, F_GETFL);
  if (flags < 0 || ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int err = errno;
    ::close(file.fd);
    throw_os_error(err, path);
  }
  return file;
}

std::string read_file(const std::string& path) {
  const OpenedFile file = open_checked(path);
  const FdCloser closer{file.fd};
  require_allocatable(file.size, 1, [&] { return "the content of " + repr_text(path); });
  std::string data(static_cast<size_t>(file.size), '\0');
  size_t done = 0;
  // One byte past the size taken at the open: a file that still has more
  // is growing, and reading on would trust a size nobody checked.
  char probe = 0;
  for (;;) {
    const bool past = done == data.size();
    const ssize_t n = past ? ::read(file.fd, &probe, 1) : ::read(file.fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, path);
    }
    if (n == 0) break;
    if (past)
      throw OSError("the file grew while it was read (past the " + std::to_string(file.size) +
                    " bytes it had when opened): " + repr_text(path));
    done += static_cast<size_t>(n);
  }
  data.resize(done);
  return data;
}

std::string_view temporary_target(std::string_view file_name) {
  TemporaryTag tag;
  return parse_temporary(file_name, tag) ? tag.target : std::string_view();
}

size_t remove_stale_temporaries(const std::string& folder, const std::function<bool(std::string_view)>& is_target) {
  const std::string dir = folder.empty() ? std::string(".") : folder;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), &::closedir);
  if (!listing) return 0;
  size_t removed = 0;
  const std::string prefix = dir.back() == '/' ? dir : dir + "/";
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name(entry->d_name);
    TemporaryTag tag;
    if (!parse_temporary(name, tag) || tag.host != host_tag() || !is_target(tag.target) || !process_gone(tag.pid))
      continue;
    const std::string path = prefix + std::string(name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlink(path.c_str()) == 0) ++removed;
  }
  return removed;
}

void write_file_atomically(const std::string& path, std::string_view bytes, const AtomicWriteOptions& options) {
  std::string target = path;
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(target.c_str(), nullptr)) {
      target = real;
      std::free(real);
    }
  }
  const bool exists = ::stat(target.c_str(), &st) == 0;
  // Renaming over a device or a FIFO would replace the node itself (a
  // report path linked to /dev/null would replace /dev/null).
  if (exists && !S_ISREG(st.st_mode)) throw_not_regular(st.st_mode, path, options.action);
  if (exists && ::access(target.c_str(), W_OK) != 0) throw_os_error(errno, path, options.action);

  const size_t slash = target.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (options.clear_stale) {
    const std::string stem = temporary_stem(name);
    remove_stale_temporaries(dir, [&](std::string_view t) { return t == stem; });
  }

  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = dir + temporary_name(name);
    // A new file gets the usual 0666 less the umask; an existing one keeps its bits.
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) throw_os_error(errno, path, options.action);
  }
  if (fd < 0) throw_os_error(EEXIST, tmp, options.action);

  int err = 0;
  if (exists && ::fchmod(fd, st.st_mode & 07777) != 0) err = errno;
  size_t done = 0;
  while (err == 0 && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  if (err == 0 && options.sync && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    throw_os_error(err, path, options.action);
  }
}

}  // namespace mirelo
