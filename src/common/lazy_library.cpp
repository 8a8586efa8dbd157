#include "common/lazy_library.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "common/errors.hpp"

namespace mirelo {
namespace {

// The folder of the binary this code is linked into, made absolute while the
// binary is loaded: the loader may have been given a path relative to a
// working folder that the program changes later.
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

const std::string kThisFolder = folder_of_this_binary();

std::string loader_error() {
  const char* why = dlerror();
  return why != nullptr ? why : "unknown reason";
}

// Why the file cannot be a whole shared object of this machine, or empty when
// it may be one. The dynamic linker maps a file's segments without checking
// that the file holds them: one cut short (a download or a copy broken off)
// would crash the process with SIGBUS on the first touch of the missing part
// instead of failing to load.
std::string truncation(const std::string& path) {
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

}  // namespace

void* library_entry(const std::string& file_name, const char* entry) {
  std::string path = file_name;
  if (!kThisFolder.empty()) {
    const std::string beside = kThisFolder + (kThisFolder.back() == '/' ? "" : "/") + file_name;
    // The copy beside the binary is the one built with it: when it is there,
    // its own failure (a library it needs is missing) is the one to report.
    if (::access(beside.c_str(), F_OK) == 0) path = beside;
  }
  if (const std::string why = path.find('/') == std::string::npos ? std::string() : truncation(path); !why.empty())
    throw LibraryError("cannot load " + file_name + ": " + why);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw LibraryError("cannot load " + file_name + ": " + loader_error());
  dlerror();
  void* address = dlsym(handle, entry);
  if (address == nullptr) {
    const std::string why = loader_error();
    dlclose(handle);
    throw LibraryError("cannot load " + file_name + ": " + why);
  }
  return address;
}

}  // namespace mirelo
