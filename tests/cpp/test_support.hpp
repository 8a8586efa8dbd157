#pragma once
// What many of the C++ tests use: a scratch folder per test, whole files
// read and written as bytes, and the message of what a call throws.
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "common/files.hpp"
#include "common/platform.hpp"

namespace mirelo::test_support {

/// A folder below the system's temporary folder named `prefix` and the
/// process id, emptied when made and removed with the object.
struct TempDir {
  std::filesystem::path path;

  explicit TempDir(const std::string& prefix)
      : path(std::filesystem::temp_directory_path() / (prefix + std::to_string(platform::process_id()))) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string operator/(const std::string& name) const { return (path / name).string(); }

  /// Names of the atomic writer's temporaries in the folder.
  std::vector<std::string> temporaries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path))
      if (!temporary_target(e.path().filename().string()).empty()) out.push_back(e.path().filename().string());
    return out;
  }
};

inline std::string slurp(const std::string& p) {
  std::stringstream ss;
  ss << std::ifstream(p, std::ios::binary).rdbuf();
  return ss.str();
}

inline void spit(const std::string& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

/// The message of what `body` throws, or "" when it returns.
inline std::string thrown(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

}  // namespace mirelo::test_support
