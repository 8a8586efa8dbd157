#include "common/lazy_library.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/platform.hpp"

namespace mirelo {
namespace {

// Taken while the binary is loaded: the loader may have been given a path
// relative to a working folder that the program changes later.
const std::string kThisFolder = platform::folder_of_this_binary();

}  // namespace

void* library_entry(const std::string& file_name, const char* entry) {
  std::string path = file_name;
  if (!kThisFolder.empty()) {
    const std::string beside =
        kThisFolder + (platform::is_separator(kThisFolder.back()) ? "" : "/") + file_name;
    // The copy beside the binary is the one built with it: when it is there,
    // its own failure (a library it needs is missing) is the one to report.
    platform::FileStatus status;
    if (platform::file_status(beside, true, status) == 0) path = beside;
  }
  // A bare name is the loader's to find, and to check.
  const bool has_folder = std::any_of(path.begin(), path.end(), platform::is_separator);
  if (has_folder)
    if (const std::string why = platform::library_truncation(path); !why.empty())
      throw LibraryError("cannot load " + file_name + ": " + why);
  std::string why;
  void* handle = platform::open_library(path, why);
  if (handle == nullptr) throw LibraryError("cannot load " + file_name + ": " + why);
  void* address = platform::library_symbol(handle, entry, why);
  if (address == nullptr) {
    platform::close_library(handle);
    throw LibraryError("cannot load " + file_name + ": " + why);
  }
  return address;
}

}  // namespace mirelo
