#include "segment/annotation_data.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/parallel.hpp"
#include "common/runtime.hpp"
#include "common/text.hpp"
#include "common/walk.hpp"
#include "media/media.hpp"
#include "measures/overlap.hpp"
#include "pen/annotation.hpp"

namespace mirelo {
namespace {

constexpr std::string_view kJsonSuffix = ".json";
constexpr std::string_view kFramePrefix = "output_pp_";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The digits of a stem ending in "_<digits>" (the last '_' followed by
// digits only), or an empty view. A final line break is ignored, as the
// pattern's end anchor ignores it.
std::string_view frame_number_digits(std::string_view stem) {
  if (!stem.empty() && stem.back() == '\n') stem.remove_suffix(1);
  size_t start = stem.size();
  while (start > 0 && is_digit(stem[start - 1])) --start;
  if (start == stem.size() || start == 0 || stem[start - 1] != '_') return {};
  return stem.substr(start);
}

// Orders digit texts by their value, however long they are.
bool less_by_value(std::string_view a, std::string_view b) {
  auto strip = [](std::string_view s) {
    while (s.size() > 1 && s.front() == '0') s.remove_prefix(1);
    return s;
  };
  a = strip(a), b = strip(b);
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// Whitespace as the host's str.strip() sees it, for the frame number's int().
bool is_space_at(std::string_view s, size_t i, size_t& len) {
  char32_t cp = 0;
  len = utf8_decode(s, i, cp, true);
  if (len == 0) {
    len = 1;
    return false;
  }
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

// The work of one file.
FrameRecord load_record(const std::string& path, int64_t height, int64_t width, const LoadOptions& options) {
  AnnotationMasks file = read_annotation_masks(path, height, width);
  FrameRecord r;
  r.frame_index = frame_index_of(path);
  r.json_path = path;
  r.image_path = std::move(file.image_path);
  // A repeated key keeps its first place and takes its last mask.
  for (size_t k = 0; k < file.masks.size(); ++k) {
    std::string key = "Box" + std::to_string(file.box_keys[k]);
    const auto at = std::find(r.keys.begin(), r.keys.end(), key);
    if (at == r.keys.end()) {
      r.keys.push_back(std::move(key));
      r.masks.push_back(std::move(file.masks[k]));
    } else {
      r.masks[static_cast<size_t>(at - r.keys.begin())] = std::move(file.masks[k]);
    }
  }
  if (options.tables) r.table = intersection_table(r.masks);
  if (options.dense) {
    std::vector<const RunMask*> masks;
    for (const RunMask& m : r.masks) masks.push_back(&m);
    r.dense = paint_stack(masks, height, width);
  }
  return r;
}

}  // namespace

std::vector<std::string> list_annotation_files(const std::string& folder) {
  std::vector<std::string> out;
  walk_folders(folder, [&](const std::string& dir, const std::vector<std::string>& files) {
    std::vector<std::pair<std::string_view, const std::string*>> taken;
    for (const std::string& name : files) {
      if (name.size() <= kJsonSuffix.size() || !name.ends_with(kJsonSuffix)) continue;
      const std::string_view stem = std::string_view(name).substr(0, name.size() - kJsonSuffix.size());
      // A name of dots before ".json" has no extension to split off.
      if (stem.find_first_not_of('.') == std::string_view::npos) continue;
      const std::string_view digits = frame_number_digits(stem);
      if (!digits.empty()) taken.emplace_back(digits, &name);
    }
    std::stable_sort(taken.begin(), taken.end(),
                     [](const auto& a, const auto& b) { return less_by_value(a.first, b.first); });
    for (const auto& [digits, name] : taken) out.push_back(path_join(dir, *name));
  });
  return out;
}

std::string frame_index_of(const std::string& path) {
  const size_t at = path.rfind(kFramePrefix);
  std::string_view text = path;
  if (at != std::string::npos) text.remove_prefix(at + kFramePrefix.size());
  text = text.substr(0, text.find('.'));
  const auto invalid = [&] { return ValueError("invalid literal for int() with base 10: " + repr_text(text)); };
  // int(): surrounding whitespace, a sign, then digits with single
  // underscores between them.
  size_t begin = 0, end = text.size(), len = 0;
  while (begin < end && is_space_at(text, begin, len)) begin += len;
  while (end > begin) {
    size_t k = end - 1;
    while (k > begin && (static_cast<uint8_t>(text[k]) & 0xC0) == 0x80) --k;
    if (!is_space_at(text, k, len) || k + len != end) break;
    end = k;
  }
  std::string_view body = text.substr(begin, end - begin);
  bool negative = false;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  std::string digits;
  for (size_t i = 0; i < body.size(); ++i) {
    if (is_digit(body[i])) {
      digits.push_back(body[i]);
    } else if (!(body[i] == '_' && i > 0 && is_digit(body[i - 1]) && i + 1 < body.size() && is_digit(body[i + 1]))) {
      throw invalid();
    }
  }
  if (digits.empty()) throw invalid();
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  return (negative && digits != "0" ? "-" : "") + digits;
}

std::pair<int64_t, int64_t> annotation_frame_size(const std::string& json_path) {
  const JsonValue doc = read_annotation_file(json_path);
  const JsonValue* image_path = doc.find("image_path");
  if (!image_path) throw KeyError("image_path");
  if (!image_path->is_string())
    throw TypeError(expected_got("a path text for \"image_path\" of " + repr_text(json_path), image_path->type_name()));
  const std::string path = file_name_bytes(image_path->text);
  if (path.find('\0') != std::string::npos)
    throw ValueError("embedded null character in \"image_path\" of " + repr_text(json_path));
  require_regular_file(path);
  const cv::Mat image = media::library().read_image(path, media::ImageColor::bgr);
  if (image.empty())
    throw OSError("cannot read the image " + repr_text(path) + " named by \"image_path\" of " + repr_text(json_path));
  return {image.rows, image.cols};
}

std::vector<FrameRecord> load_frame_records(const std::vector<std::string>& paths, int64_t height, int64_t width,
                                            const LoadOptions& options, unsigned threads) {
  // Files are claimed in list order and the earliest failure in the list is
  // the one raised, so the outcome is that of loading them one by one.
  std::vector<FrameRecord> records(paths.size());
  for_each_in_parallel(paths.size(), threads,
                       [&](size_t i) { records[i] = load_record(paths[i], height, width, options); });
  return records;
}

size_t CompactClip::memory_bytes() const {
  // Texts short enough for the string's own buffer hold nothing on the heap.
  auto text_bytes = [](const std::string& t) { return t.capacity() > 15 ? t.capacity() + 1 : 0; };
  size_t bytes = records.capacity() * sizeof(FrameRecord);
  for (const FrameRecord& r : records) {
    bytes += text_bytes(r.frame_index) + text_bytes(r.json_path) + text_bytes(r.image_path.text);
    bytes += r.keys.capacity() * sizeof(std::string) + r.masks.capacity() * sizeof(RunMask);
    for (const std::string& k : r.keys) bytes += text_bytes(k);
    for (const RunMask& m : r.masks) bytes += m.memory_bytes();
    bytes += r.table.capacity() * sizeof(double);
  }
  return bytes;
}

CompactClip load_compact_clip(const std::vector<std::string>& paths, int64_t height, int64_t width,
                              unsigned threads) {
  CompactClip clip;
  clip.height = height;
  clip.width = width;
  clip.records = load_frame_records(paths, height, width, LoadOptions{true, false}, threads);
  return clip;
}

}  // namespace mirelo
