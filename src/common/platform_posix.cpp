// The platform layer on Linux (and other POSIX systems): see platform.hpp.
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sysinfo.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "common/platform.hpp"

namespace mirelo::platform {

const bool kWindows = false;

// ------------------------------------------------------------------ paths

std::filesystem::path fs_path(std::string_view utf8) { return std::filesystem::path(std::string(utf8)); }

std::string utf8_path(const std::filesystem::path& path) { return path.native(); }

bool is_separator(char c) { return c == '/'; }

std::string path_join(const std::string& a, const std::string& b) {
  if (!b.empty() && b.front() == '/') return b;
  if (a.empty() || a.back() == '/') return a + b;
  return a + "/" + b;
}

// ------------------------------------------------------------------ files

namespace {

FileKind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::regular;
  if (S_ISDIR(mode)) return FileKind::directory;
  if (S_ISLNK(mode)) return FileKind::symlink;
  if (S_ISFIFO(mode)) return FileKind::fifo;
  if (S_ISCHR(mode)) return FileKind::character_device;
  if (S_ISBLK(mode)) return FileKind::block_device;
  if (S_ISSOCK(mode)) return FileKind::socket;
  return FileKind::other;
}

void fill(const struct stat& st, FileStatus& status) {
  status.kind = kind_of(st.st_mode);
  status.size = static_cast<uint64_t>(st.st_size);
  status.mode = st.st_mode & 07777;
}

}  // namespace

int file_status(const std::string& path, bool follow, FileStatus& status) {
  struct stat st {};
  if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return errno;
  fill(st, status);
  return 0;
}

int descriptor_status(int fd, FileStatus& status) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  fill(st, status);
  return 0;
}

int open_for_reading(const std::string& path, int& fd) {
  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  return fd < 0 ? errno : 0;
}

int make_blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
  return 0;
}

int read_some(int fd, char* data, size_t size, size_t& got) {
  for (;;) {
    const ssize_t n = ::read(fd, data, size);
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int close_descriptor(int fd) { return ::close(fd) == 0 ? 0 : errno; }

int create_new_file(const std::string& path, unsigned mode, int& fd) {
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
  return fd < 0 ? errno : 0;
}

int set_permissions(int fd, unsigned mode) { return ::fchmod(fd, static_cast<mode_t>(mode)) == 0 ? 0 : errno; }

int write_all(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

int flush_to_disk(int fd) { return ::fsync(fd) == 0 ? 0 : errno; }

int open_for_writing(const std::string& path, int& fd) {
  fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  return fd < 0 ? errno : 0;
}

int open_for_update(const std::string& path, bool create, int& fd) {
  fd = ::open(path.c_str(), create ? (O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY) : (O_RDONLY | O_CLOEXEC | O_NOCTTY),
              0666);
  return fd < 0 ? errno : 0;
}

int read_at(int fd, uint64_t offset, char* data, size_t size, size_t& got) {
  for (;;) {
    const ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int write_at(int fd, uint64_t offset, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int resize_file(int fd, uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno; }

int make_folder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno; }

int flush_folder(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

LockOutcome lock_file(int fd, bool exclusive, int& error) {
  for (;;) {
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return LockOutcome::locked;
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return LockOutcome::busy;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) return LockOutcome::unsupported;
    error = errno;
    return LockOutcome::failed;
  }
}

void unlock_file(int fd) { ::flock(fd, LOCK_UN); }

int check_writable(const std::string& path) { return ::access(path.c_str(), W_OK) == 0 ? 0 : errno; }

std::string resolve_link(const std::string& path) {
  std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : path;
}

int remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

ReplaceResult replace_file(const std::string& from, const std::string& to) {
  return {::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno, false};
}

bool list_folder(const std::string& folder, std::vector<std::string>& names) {
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), &::closedir);
  if (!listing) return false;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return true;
}

// --------------------------------------------------------------- processes

std::string host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

long long process_id() { return ::getpid(); }

bool process_gone(long long pid) {
  if (pid <= 0 || pid == ::getpid() || pid > INT_MAX) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// ------------------------------------------------------------------ memory

namespace {

constexpr uint64_t kUnlimited = UINT64_MAX;

uint64_t rlimit_of(int resource) {
  struct rlimit r {};
  if (::getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return kUnlimited;
  return static_cast<uint64_t>(r.rlim_cur);
}

// The memory limit of the process's control group ("max" or absent: none).
// Read once: it does not change under a running process in practice.
uint64_t cgroup_limit() {
  static const uint64_t limit = [] {
    std::ifstream in("/sys/fs/cgroup/memory.max");
    std::string text;
    if (!(in >> text) || text.empty() || text == "max") return kUnlimited;
    try {
      return static_cast<uint64_t>(std::stoull(text));
    } catch (const std::exception&) {
      return kUnlimited;
    }
  }();
  return limit;
}

}  // namespace

uint64_t memory_limit() {
  uint64_t total = kUnlimited;
#if defined(__linux__)
  struct sysinfo si {};
  if (::sysinfo(&si) == 0) {
    const uint64_t unit = si.mem_unit == 0 ? 1 : si.mem_unit;
    total = (static_cast<uint64_t>(si.totalram) + static_cast<uint64_t>(si.totalswap)) * unit;
  }
#endif
  return std::min({total, rlimit_of(RLIMIT_AS), rlimit_of(RLIMIT_DATA), cgroup_limit()});
}

void* map_zeroed(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void unmap(void* p, size_t bytes) { ::munmap(p, bytes); }

// -------------------------------------------------------- shared libraries

std::string shared_library_file(const std::string& stem) { return "lib" + stem + ".so"; }

std::string folder_of_this_binary() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&folder_of_this_binary), &info) == 0 || info.dli_fname == nullptr)
    return {};
  std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};  // a program found on PATH: no folder known
  path.resize(slash == 0 ? 1 : slash);
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
    path = std::string(cwd) + "/" + path;
  }
  return path;
}

std::string library_truncation(const std::string& path) {
  // The dynamic linker maps the segments without checking that the file
  // holds them: one cut short (a download or a copy broken off) would crash
  // the process with SIGBUS on the first touch of the missing part instead of
  // failing to load.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};  // the loader names why
  struct stat st {};
  Elf64_Ehdr header{};
  std::string why;
  if (::fstat(fd, &st) == 0 && ::pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64 &&
      header.e_phentsize == sizeof(Elf64_Phdr)) {
    const auto size = static_cast<uint64_t>(st.st_size);
    uint64_t needed = header.e_phoff + uint64_t{header.e_phnum} * sizeof(Elf64_Phdr);
    for (unsigned i = 0; i < header.e_phnum && needed <= size; ++i) {
      Elf64_Phdr ph{};
      if (::pread(fd, &ph, sizeof ph, static_cast<off_t>(header.e_phoff + i * sizeof ph)) != static_cast<ssize_t>(sizeof ph))
        break;
      if (ph.p_type == PT_LOAD || ph.p_type == PT_DYNAMIC) needed = std::max(needed, ph.p_offset + ph.p_filesz);
    }
    if (needed > size)
      why = "the file is cut short (" + std::to_string(size) + " of at least " + std::to_string(needed) + " bytes)";
  }
  ::close(fd);
  return why;
}

namespace {

std::string loader_error() {
  const char* why = dlerror();
  return why != nullptr ? why : "unknown reason";
}

}  // namespace

void* open_library(const std::string& path, std::string& why) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) why = loader_error();
  return handle;
}

void* library_symbol(void* library, const char* name, std::string& why) {
  dlerror();
  void* address = dlsym(library, name);
  if (address == nullptr) why = loader_error();
  return address;
}

void close_library(void* library) { dlclose(library); }

// ------------------------------------------------------------------- misc

std::tm utc_time(std::time_t t) {
  std::tm out{};
  ::gmtime_r(&t, &out);
  return out;
}

double c_strtod(const char* text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(text, nullptr, c_locale);
}

std::vector<std::filesystem::path> font_folders() {
  namespace fs = std::filesystem;
  std::vector<fs::path> dirs;
  const auto env = [](const char* name) -> std::string {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
  };
  const std::string home = env("HOME");
#if defined(__APPLE__)
  dirs = {"/Library/Fonts", "/System/Library/Fonts"};
  if (!home.empty()) dirs.push_back(fs::path(home) / "Library" / "Fonts");
#else
  std::vector<std::string> data_dirs;
  std::string data_home = env("XDG_DATA_HOME");
  if (data_home.empty() && !home.empty()) data_home = home + "/.local/share";
  if (!data_home.empty()) data_dirs.push_back(data_home);
  std::string list = env("XDG_DATA_DIRS");
  if (list.empty()) list = "/usr/local/share:/usr/share";
  size_t start = 0;
  while (start <= list.size()) {
    const size_t colon = std::min(list.find(':', start), list.size());
    data_dirs.push_back(list.substr(start, colon - start));
    start = colon + 1;
  }
  for (const std::string& d : data_dirs) dirs.push_back(fs::path(d) / "fonts");
#endif
  return dirs;
}

}  // namespace mirelo::platform
