#include "ingest/catalogue.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/errors.hpp"
#include "common/files.hpp"
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

// The few spellings of the host's expression syntax that PCRE2 reads
// differently: \Z (end of text only), \uXXXX and \UXXXXXXXX escapes, and an
// omitted lower repeat bound {,n}.
std::string to_pcre2_syntax(const std::string& pattern) {
  std::string out;
  out.reserve(pattern.size() + 8);
  bool in_class = false;
  size_t class_start = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\' && i + 1 < pattern.size()) {
      const char e = pattern[i + 1];
      const int hex_len = e == 'u' ? 4 : e == 'U' ? 8 : 0;
      if (hex_len > 0 && i + 2 + hex_len <= pattern.size() &&
          std::all_of(pattern.begin() + static_cast<std::ptrdiff_t>(i + 2),
                      pattern.begin() + static_cast<std::ptrdiff_t>(i + 2 + hex_len),
                      [](char h) { return std::isxdigit(static_cast<unsigned char>(h)) != 0; })) {
        out += "\\x{" + pattern.substr(i + 2, hex_len) + "}";
        i += 1 + hex_len;
        continue;
      }
      if (e == 'Z' && !in_class) {
        out += "\\z";
      } else {
        out += c;
        out += e;
      }
      ++i;
      continue;
    }
    if (in_class) {
      if (c == ']' && i > class_start) in_class = false;
      out += c;
      continue;
    }
    if (c == '[') {
      in_class = true;
      class_start = i + 1;
      if (class_start < pattern.size() && pattern[class_start] == '^') ++class_start;
      out += c;
      continue;
    }
    if (c == '{' && i + 1 < pattern.size() && pattern[i + 1] == ',') {
      size_t j = i + 2;
      while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j]))) ++j;
      if (j > i + 2 && j < pattern.size() && pattern[j] == '}') {
        out += "{0";
        continue;
      }
    }
    out += c;
  }
  return out;
}

std::string pcre2_message(int code) {
  PCRE2_UCHAR buf[256];
  if (pcre2_get_error_message(code, buf, sizeof buf) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buf);
}

}  // namespace

struct RecordingPattern::Impl {
  pcre2_code* code = nullptr;
  std::string text;
};

RecordingPattern::RecordingPattern(const std::string& pattern) : impl_(std::make_unique<Impl>()) {
  impl_->text = pattern;
  const std::string translated = to_pcre2_syntax(pattern);
  pcre2_compile_context* ctx = pcre2_compile_context_create(nullptr);
  if (ctx == nullptr) throw std::bad_alloc();
  pcre2_set_newline(ctx, PCRE2_NEWLINE_LF);
  int err = 0;
  PCRE2_SIZE offset = 0;
  impl_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated.data()), translated.size(),
                              PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF, &err, &offset, ctx);
  pcre2_compile_context_free(ctx);
  if (impl_->code == nullptr)
    throw ValueError("invalid match_pattern " + repr_text(pattern) + ": " + pcre2_message(err) + " at position " +
                     std::to_string(offset));
  uint32_t groups = 0;
  pcre2_pattern_info(impl_->code, PCRE2_INFO_CAPTURECOUNT, &groups);
  if (groups < 4) {
    pcre2_code_free(impl_->code);
    impl_->code = nullptr;
    throw ValueError(expected_got("a match_pattern with groups 1 (camera number), 3 (date) and 4 (time)",
                                  std::to_string(groups) + " group" + (groups == 1 ? "" : "s") + " in " +
                                      repr_text(pattern)));
  }
}

RecordingPattern::~RecordingPattern() {
  if (impl_ && impl_->code != nullptr) pcre2_code_free(impl_->code);
}

std::optional<VideoRecord> RecordingPattern::parse(const std::string& path) const {
  const std::string file_name = file_name_of(path);
  std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> md(
      pcre2_match_data_create_from_pattern(impl_->code, nullptr), &pcre2_match_data_free);
  if (!md) throw std::bad_alloc();
  const int rc = pcre2_match(impl_->code, reinterpret_cast<PCRE2_SPTR>(file_name.data()), file_name.size(), 0,
                             PCRE2_ANCHORED, md.get(), nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) return std::nullopt;
  if (rc < 0)
    throw ValueError("match_pattern " + repr_text(impl_->text) + " failed on " + repr_text(file_name) + ": " +
                     pcre2_message(rc));
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.get());
  const uint32_t pairs = pcre2_get_ovector_count(md.get());
  auto group = [&](uint32_t g) -> std::string {
    if (g >= pairs || ov[2 * g] == PCRE2_UNSET)
      throw ValueError("group " + std::to_string(g) + " of match_pattern " + repr_text(impl_->text) +
                       " took no part in the match of " + repr_text(file_name));
    return file_name.substr(ov[2 * g], ov[2 * g + 1] - ov[2 * g]);
  };
  VideoRecord r;
  r.camera_number = group(1);
  r.date = group(3);
  const std::string t = group(4);
  r.time = slice_code_points(t, 0, 2) + ":" + slice_code_points(t, 2, 4) + ":" +
           slice_code_points(t, 4, std::string::npos);
  r.file_path = path;
  r.video_name = file_name.substr(0, file_name.size() >= 4 ? file_name.size() - 4 : 0);
  return r;
}

void check_no_nul(const std::string& path) {
  if (path.find('\0') == std::string::npos) return;
  throw ValueError("embedded null character in path " + repr_text(path));
}

std::string file_name_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> collect_recordings(const std::string& base_dir, const std::vector<std::string>& sub_dirs) {
  std::vector<std::string> paths;
  for (const auto& sub : sub_dirs) {
    const std::string folder = path_join(base_dir, sub);
    check_no_nul(folder);
    std::error_code ec;
    if (folder.empty() || !fs::exists(fs::path(folder), ec) || ec) continue;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec) throw_os_error(ec, folder);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
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
