#include "common/files.hpp"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>

#include "common/errors.hpp"
#include "common/memory.hpp"
#include "common/platform.hpp"
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
  static const std::string tag = hex8(fnv1a(platform::host_name()));
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
  name += std::to_string(platform::process_id());
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
const char* special_kind(platform::FileKind kind) {
  switch (kind) {
    case platform::FileKind::fifo: return "a FIFO";
    case platform::FileKind::character_device: return "a character device";
    case platform::FileKind::block_device: return "a block device";
    case platform::FileKind::socket: return "a socket";
    default: return "a special file";
  }
}

[[noreturn]] void throw_not_regular(platform::FileKind kind, const std::string& path, std::string_view action = {}) {
  if (kind == platform::FileKind::directory) throw_os_error(EISDIR, path, action);
  std::string msg;
  if (!action.empty()) {
    msg.append(action);
    msg += ": ";
  }
  throw OSError(msg + expected_got("a regular file", special_kind(kind)) + ": " + repr_text(path));
}

struct Closer {
  int fd;
  ~Closer() { platform::close_descriptor(fd); }
};

}  // namespace

void require_regular_file(const std::string& path) {
  platform::FileStatus st;
  if (const int err = platform::file_status(path, true, st)) throw_os_error(err, path);
  if (st.kind != platform::FileKind::regular) throw_not_regular(st.kind, path);
}

std::string special_file_problem(const std::string& path) {
  platform::FileStatus st;
  if (platform::file_status(path, true, st) != 0 || st.kind == platform::FileKind::regular) return {};
  try {
    throw_not_regular(st.kind, path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

namespace {

// The regular file at `path` opened for reading without waiting; on POSIX
// the descriptor keeps O_NONBLOCK, which reads of a regular file ignore.
OpenedFile open_checked(const std::string& path) {
  // The status first: opening a FIFO waits for a writer, and opening a
  // device can act on it.
  require_regular_file(path);
  int fd = -1;
  if (const int err = platform::open_for_reading(path, fd)) throw_os_error(err, path);
  platform::FileStatus st;
  if (const int err = platform::descriptor_status(fd, st)) {
    platform::close_descriptor(fd);
    throw_os_error(err, path);
  }
  if (st.kind != platform::FileKind::regular) {
    platform::close_descriptor(fd);
    throw_not_regular(st.kind, path);
  }
  return {fd, st.size};
}

}  // namespace

OpenedFile open_regular_file(const std::string& path) {
  const OpenedFile file = open_checked(path);
  if (const int err = platform::make_blocking(file.fd)) {
    platform::close_descriptor(file.fd);
    throw_os_error(err, path);
  }
  return file;
}

std::string read_file(const std::string& path) {
  const OpenedFile file = open_checked(path);
  const Closer closer{file.fd};
  require_allocatable(file.size, 1, [&] { return "the content of " + repr_text(path); });
  std::string data(static_cast<size_t>(file.size), '\0');
  size_t done = 0;
  // One byte past the size taken at the open: a file that still has more
  // is growing, and reading on would trust a size nobody checked.
  char probe = 0;
  for (;;) {
    const bool past = done == data.size();
    size_t n = 0;
    const int err = past ? platform::read_some(file.fd, &probe, 1, n)
                         : platform::read_some(file.fd, data.data() + done, data.size() - done, n);
    if (err != 0) throw_os_error(err, path);
    if (n == 0) break;
    if (past)
      throw OSError("the file grew while it was read (past the " + std::to_string(file.size) +
                    " bytes it had when opened): " + repr_text(path));
    done += n;
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
  std::vector<std::string> names;
  if (!platform::list_folder(dir, names)) return 0;
  size_t removed = 0;
  const std::string prefix = platform::is_separator(dir.back()) ? dir : dir + "/";
  for (const std::string& name : names) {
    TemporaryTag tag;
    if (!parse_temporary(name, tag) || tag.host != host_tag() || !is_target(tag.target) ||
        !platform::process_gone(tag.pid))
      continue;
    const std::string path = prefix + name;
    platform::FileStatus st;
    if (platform::file_status(path, false, st) != 0 || st.kind != platform::FileKind::regular) continue;
    if (platform::remove_file(path) == 0) ++removed;
  }
  return removed;
}

void write_file_atomically(const std::string& path, std::string_view bytes, const AtomicWriteOptions& options) {
  std::string target = path;
  platform::FileStatus st;
  if (platform::file_status(target, false, st) == 0 && st.kind == platform::FileKind::symlink)
    target = platform::resolve_link(target);
  const bool exists = platform::file_status(target, true, st) == 0;
  // Renaming over a device or a FIFO would replace the node itself (a
  // report path linked to /dev/null would replace /dev/null).
  if (exists && st.kind != platform::FileKind::regular) throw_not_regular(st.kind, path, options.action);
  if (exists)
    if (const int err = platform::check_writable(target)) throw_os_error(err, path, options.action);

  size_t slash = target.size();
  while (slash > 0 && !platform::is_separator(target[slash - 1])) --slash;
  const std::string dir = target.substr(0, slash);
  const std::string name = target.substr(slash);
  if (options.clear_stale) {
    const std::string stem = temporary_stem(name);
    remove_stale_temporaries(dir, [&](std::string_view t) { return t == stem; });
  }

  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = dir + temporary_name(name);
    // A new file gets the usual 0666 less the umask; an existing one keeps its bits.
    const int err = platform::create_new_file(tmp, exists ? 0600 : 0666, fd);
    if (err != 0 && err != EEXIST) throw_os_error(err, path, options.action);
  }
  if (fd < 0) throw_os_error(EEXIST, tmp, options.action);

  int err = 0;
  if (exists) err = platform::set_permissions(fd, st.mode);
  if (err == 0) err = platform::write_all(fd, bytes);
  if (err == 0 && options.sync) err = platform::flush_to_disk(fd);
  if (const int closed = platform::close_descriptor(fd); closed != 0 && err == 0) err = closed;
  platform::ReplaceResult replaced;
  if (err == 0) replaced = platform::replace_file(tmp, target);
  if (err == 0) err = replaced.error;
  if (err != 0) {
    platform::remove_file(tmp);
    if (replaced.held_open) {
      std::string msg;
      if (!options.action.empty()) {
        msg.append(options.action);
        msg += ": ";
      }
      throw OSError(msg + "[Errno " + std::to_string(err) + "] " + std::generic_category().message(err) +
                        " (another program has the file open and does not let it be replaced; close it there "
                        "and try again): " + repr_text(path),
                    err);
    }
    throw_os_error(err, path, options.action);
  }
}

}  // namespace mirelo
