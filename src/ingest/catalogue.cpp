#include "ingest/catalogue.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"

namespace mirelo {
namespace fs = std::filesystem;

namespace {

// The code points of a text, the host's sort key for names.
// A byte that does not start a valid UTF-8 sequence stands for itself as
// U+DC80..U+DCFF, as the host decodes file names.
std::u32string code_points(const std::string& s) { return decode_utf8(s, Utf8Errors::SurrogateEscape); }

// s[from:to] counted in code points (to = npos: to the end), as the host slices.
std::string slice_code_points(const std::string& s, size_t from, size_t to) {
  size_t a = s.size(), b = s.size(), k = 0, i = 0;
  for (size_t len = 0; i < s.size(); i += len, ++k) {
    if (k == from) a = i;
    if (k == to) b = i;
    char32_t cp = 0;
    len = std::max<size_t>(utf8_decode(s, i, cp), 1);
  }
  if (k == from) a = i;
  if (k == to) b = i;
  return b > a ? s.substr(a, b - a) : std::string();
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

VideoRecord recording_row(const std::string& path, std::string camera_number, std::string date,
                          const std::string& time_digits) {
  const std::string file_name = file_name_of(path);
  VideoRecord r;
  r.camera_number = std::move(camera_number);
  r.date = std::move(date);
  r.time = slice_code_points(time_digits, 0, 2) + ":" + slice_code_points(time_digits, 2, 4) + ":" +
           slice_code_points(time_digits, 4, std::string::npos);
  r.file_path = path;
  r.video_name = file_name.substr(0, file_name.size() >= 4 ? file_name.size() - 4 : 0);
  return r;
}

void check_no_nul(const std::string& path) {
  if (path.find('\0') == std::string::npos) return;
  throw ValueError("embedded null character in path " + repr_text(path));
}

std::string file_name_of(const std::string& path) {
  size_t start = path.size();
  while (start > 0 && !platform::is_separator(path[start - 1])) --start;
  return path.substr(start);
}

std::vector<std::string> collect_recordings(const std::string& base_dir, const std::vector<std::string>& sub_dirs) {
  std::vector<std::string> paths;
  for (const auto& sub : sub_dirs) {
    const std::string folder = path_join(base_dir, sub);
    check_no_nul(folder);
    std::error_code ec;
    if (folder.empty() || !fs::exists(platform::fs_path(folder), ec) || ec) continue;
    fs::directory_iterator it(platform::fs_path(folder), ec);
    if (ec) throw_os_error(ec, folder);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = platform::utf8_path(it->path().filename());
      if (ends_with(name, ".mp4")) paths.push_back(path_join(folder, name));
    }
    if (ec) throw_os_error(ec, folder);
  }
  return paths;
}

std::vector<int64_t> filter_catalogue(const std::vector<VideoRecord>& rows, const CatalogueFilter& f) {
  std::vector<int64_t> kept;
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string& t = rows[i].time;
    if (t > f.filter_start && t < f.filter_end) kept.push_back(static_cast<int64_t>(i));
  }
  if (f.sample_step != 0) {
    std::vector<int64_t> sampled;
    const auto n = static_cast<int64_t>(kept.size());
    if (f.sample_step > 0) {
      for (int64_t k = 0; k < n; k += f.sample_step) {
        sampled.push_back(kept[static_cast<size_t>(k)]);
        if (f.sample_step > n) break;
      }
    } else {
      const int64_t stride = f.sample_step == INT64_MIN ? INT64_MAX : -f.sample_step;
      for (int64_t k = n - 1; k >= 0; k -= stride) {
        sampled.push_back(kept[static_cast<size_t>(k)]);
        if (stride > k) break;
      }
    }
    kept = std::move(sampled);
  }
  if (f.camera_never_matches) {
    kept.clear();
  } else if (f.camera_number) {
    std::erase_if(kept, [&](int64_t p) { return rows[static_cast<size_t>(p)].camera_number != *f.camera_number; });
  }
  if (f.top_n >= 1 && static_cast<uint64_t>(f.top_n) < kept.size()) kept.resize(static_cast<size_t>(f.top_n));
  return kept;
}

std::vector<std::string> list_all_files(const std::string& directory, const std::vector<std::string>& suffixes) {
  check_no_nul(directory);
  std::vector<std::string> out;
  walk_folders(directory, [&](const std::string& folder, const std::vector<std::string>& files) {
    std::vector<std::pair<std::u32string, const std::string*>> names;
    for (const std::string& name : files) {
      bool take = suffixes.empty();
      for (const auto& s : suffixes) take = take || ends_with(name, s);
      if (take) names.emplace_back(code_points(name), &name);
    }
    std::sort(names.begin(), names.end());
    for (const auto& [key, name] : names) out.push_back(path_join(folder, *name));
  });
  return out;
}

}  // namespace mirelo
