#include "common/lazy_library.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

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

}  // namespace

void* library_entry(const std::string& file_name, const char* entry) {
  std::string path = file_name;
  if (!kThisFolder.empty()) {
    const std::string beside = kThisFolder + (kThisFolder.back() == '/' ? "" : "/") + file_name;
    // The copy beside the binary is the one built with it: when it is there,
    // its own failure (a library it needs is missing) is the one to report.
    if (::access(beside.c_str(), F_OK) == 0) path = beside;
  }
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
