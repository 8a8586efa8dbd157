#include "common/walk.hpp"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "common/platform.hpp"
#include "common/text.hpp"

namespace fs = std::filesystem;

namespace mirelo {

std::string path_join(const std::string& a, const std::string& b) { return platform::path_join(a, b); }

void walk_folders(const std::string& top,
                  const std::function<void(const std::string& folder, const std::vector<std::string>& files)>& visit) {
  std::error_code ec;
  fs::directory_iterator it(platform::fs_path(top), ec);
  if (ec) return;
  std::vector<std::pair<std::u32string, std::string>> dirs;
  std::vector<std::string> files;
  // A listing error part-way is ignored, keeping what was listed, as a
  // tolerant walk does.
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = platform::utf8_path(it->path().filename());
    std::error_code tec;
    if (it->is_directory(tec) && !tec) {
      dirs.emplace_back(decode_utf8(name, Utf8Errors::SurrogateEscape), std::move(name));
    } else {
      files.push_back(std::move(name));
    }
  }
  visit(top, files);
  std::sort(dirs.begin(), dirs.end());
  for (const auto& [key, name] : dirs) {
    const std::string sub = path_join(top, name);
    std::error_code lec;
    if (fs::is_symlink(fs::symlink_status(platform::fs_path(sub), lec)) || lec) continue;
    walk_folders(sub, visit);
  }
}

}  // namespace mirelo
