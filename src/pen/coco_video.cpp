// COCO video JSON: videos, images with their frame, annotations with the
// masks as pycocotools' compressed RLE and the animals' track ids.
#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "common/coco_rle.hpp"
#include "common/errors.hpp"
#include "common/json.hpp"
#include "common/parallel.hpp"
#include "common/runtime.hpp"
#include "common/text.hpp"
#include "pen/annotation.hpp"
#include "pen/exchange.hpp"

namespace mirelo {
namespace {

std::string json_text(std::string_view text) {
  return dump_json(JsonValue::text_value(std::string(text)), -1);
}

// The compressed RLE text as a JSON string: its characters run from '0' to
// 'o', among which only the backslash needs escaping.
void append_counts(std::string& out, const std::string& counts) {
  out += '"';
  for (char c : counts) {
    if (c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

// -------------------------------------------------------------- reading

// Where a member sits, for messages: 'a.json': annotations[3]["bbox"].
struct Where {
  const std::string& file;
  std::string member;
  std::string text() const { return repr_text(file) + ": " + member; }
  Where operator[](const char* key) const { return Where{file, member + "[\"" + key + "\"]"}; }
  Where operator[](size_t index) const { return Where{file, member + "[" + std::to_string(index) + "]"}; }
};

const JsonValue* find(const JsonValue& obj, const char* key, const Where& where) {
  if (!obj.is_object()) throw TypeError(where.text() + ": " + expected_got("an object", obj.type_name()));
  return obj.find(key);
}

const JsonValue& require(const JsonValue& obj, const char* key, const Where& where) {
  const JsonValue* v = find(obj, key, where);
  if (!v) throw KeyError(where.text() + ": expected the member \"" + key + "\"");
  return *v;
}

const JsonValue& list_of(const JsonValue& v, const Where& where) {
  if (!v.is_array()) throw TypeError(where.text() + ": " + expected_got("a list", v.type_name()));
  return v;
}

double real(const JsonValue& v, const Where& where) {
  if (v.kind == JsonValue::Kind::Int && !v.big_int) return static_cast<double>(v.integer);
  if (v.kind == JsonValue::Kind::Float && std::isfinite(v.number)) return v.number;
  throw TypeError(where.text() + ": " + expected_got("a finite number", v.type_name()));
}

int64_t whole(const JsonValue& v, const Where& where) {
  if (v.kind == JsonValue::Kind::Int && !v.big_int) return v.integer;
  if (v.kind == JsonValue::Kind::Float && v.number == std::floor(v.number) && std::fabs(v.number) < 9.2e18)
    return static_cast<int64_t>(v.number);
  throw TypeError(where.text() + ": " + expected_got("a whole number", v.big_int ? v.text : v.type_name()));
}

int64_t side(const JsonValue& v, const Where& where) {
  const int64_t s = whole(v, where);
  if (s < 1 || s > INT32_MAX) throw ValueError(where.text() + ": " + expected_got("a side from 1 to 2^31 - 1", std::to_string(s)));
  return s;
}

int32_t pixel(double v) { return static_cast<int32_t>(std::clamp(std::floor(v), -1073741824.0, 1073741824.0)); }

RunMask segmentation_mask(const JsonValue& seg, const JsonValue* bbox, int64_t height, int64_t width,
                          const Where& where, std::vector<uint32_t>& scratch) {
  if (seg.is_object()) {
    const JsonValue& size = list_of(require(seg, "size", where), where["size"]);
    if (size.items.size() != 2 || whole(size.items[0], where["size"][size_t{0}]) != height ||
        whole(size.items[1], where["size"][size_t{1}]) != width)
      throw ValueError(where["size"].text() + ": " +
                       expected_got("the image's size [" + std::to_string(height) + ", " + std::to_string(width) + "]",
                                    dump_json(size, -1)));
    const JsonValue& counts = require(seg, "counts", where);
    if (counts.is_string()) {
      try {
        return rle_text_to_run_mask(counts.text, height, width, scratch);
      } catch (const ValueError& e) {
        throw ValueError(where["counts"].text() + ": " + e.what());
      }
    }
    const JsonValue& list = list_of(counts, where["counts"]);
    std::vector<uint32_t> c;
    c.reserve(list.items.size());
    for (size_t k = 0; k < list.items.size(); ++k) {
      const int64_t n = whole(list.items[k], where["counts"][k]);
      if (n < 0 || n > static_cast<int64_t>(UINT32_MAX))
        throw ValueError(where["counts"][k].text() + ": " + expected_got("a count from 0 to 2^32 - 1", std::to_string(n)));
      c.push_back(static_cast<uint32_t>(n));
    }
    try {
      return rle_to_run_mask(c, height, width);
    } catch (const ValueError& e) {
      throw ValueError(where["counts"].text() + ": " + e.what());
    }
  }
  if (seg.is_array()) {
    std::vector<std::vector<std::array<int32_t, 2>>> polygons;
    for (size_t p = 0; p < seg.items.size(); ++p) {
      const JsonValue& poly = list_of(seg.items[p], where[p]);
      if (poly.items.size() < 2 || poly.items.size() % 2)
        throw ValueError(where[p].text() + ": " + expected_got("x, y pairs", std::to_string(poly.items.size()) + " numbers"));
      std::vector<std::array<int32_t, 2>> vertices;
      for (size_t k = 0; k < poly.items.size(); k += 2)
        vertices.push_back({pixel(real(poly.items[k], where[p][k])), pixel(real(poly.items[k + 1], where[p][k + 1]))});
      polygons.push_back(std::move(vertices));
    }
    return fill_polygons(polygons, height, width, where.text());
  }
  if (seg.kind == JsonValue::Kind::Null && bbox) {
    const JsonValue& b = list_of(*bbox, where);
    if (b.items.size() != 4) throw ValueError(where.text() + ": " + expected_got("a bbox of four numbers", std::to_string(b.items.size())));
    double v[4];
    for (size_t k = 0; k < 4; ++k) v[k] = real(b.items[k], where[k]);
    return box_mask(v[0], v[1], v[0] + v[2], v[1] + v[3], height, width);
  }
  throw TypeError(where.text() + ": " + expected_got("an RLE object or a list of polygons", seg.type_name()));
}

}  // namespace

std::string coco_video_json(const ClipMasksView& clip, std::string_view video_name, std::string_view label) {
  check_clip_masks(clip);
  std::vector<const RunMask*> masks;
  for (const FrameMasksView& f : clip.frames) masks.insert(masks.end(), f.masks.begin(), f.masks.end());
  std::vector<std::string> counts(masks.size());
  for_each_in_parallel(masks.size(), 0, [&](size_t k) { counts[k] = rle_counts_text(rle_counts(*masks[k])); });

  const std::string h = std::to_string(clip.height), w = std::to_string(clip.width);
  std::string out = "{\"info\": {\"description\": " + json_text(video_name) +
                    ", \"version\": \"1.0\"}, \"licenses\": [], \"categories\": [{\"id\": 1, \"name\": " +
                    json_text(label) + ", \"supercategory\": \"animal\"}], \"videos\": [{\"id\": 1, \"name\": " +
                    json_text(video_name) + ", \"width\": " + w + ", \"height\": " + h + "}], \"images\": [";
  for (size_t k = 0; k < clip.frames.size(); ++k) {
    const FrameMasksView& f = clip.frames[k];
    out += k ? ",\n" : "\n";
    out += "{\"id\": " + std::to_string(k + 1) + ", \"video_id\": 1, \"frame_id\": " + std::to_string(f.frame) +
           ", \"file_name\": " + json_text(f.image) + ", \"height\": " + h + ", \"width\": " + w + "}";
  }
  out += "], \"annotations\": [";
  size_t flat = 0;
  for (size_t k = 0; k < clip.frames.size(); ++k) {
    const FrameMasksView& f = clip.frames[k];
    for (size_t j = 0; j < f.ids.size(); ++j, ++flat) {
      const RunMask& m = *f.masks[j];
      const PixelBox& b = m.box();
      const std::string id = std::to_string(f.ids[j]);
      out += flat ? ",\n" : "\n";
      out += "{\"id\": " + std::to_string(flat + 1) + ", \"image_id\": " + std::to_string(k + 1) +
             ", \"video_id\": 1, \"category_id\": 1, \"track_id\": " + id + ", \"instance_id\": " + id + ", \"bbox\": [";
      out += b.empty ? std::string("0, 0, 0, 0")
                     : std::to_string(b.x_min) + ", " + std::to_string(b.y_min) + ", " +
                           std::to_string(b.x_max - b.x_min + 1) + ", " + std::to_string(b.y_max - b.y_min + 1);
      out += "], \"area\": " + std::to_string(m.area()) + ", \"iscrowd\": 0, \"segmentation\": {\"size\": [" + h +
             ", " + w + "], \"counts\": ";
      append_counts(out, counts[flat]);
      out += "}}";
    }
  }
  out += "]}\n";
  return out;
}

ClipMasks parse_coco_video_json(std::string_view text, const std::string& name) {
  const JsonValue doc = parse_json(text, repr_text(name));
  const Where top{name, "the top level"};
  if (!doc.is_object()) throw TypeError(top.text() + ": " + expected_got("an object", doc.type_name()));
  int64_t height = 0, width = 0;
  if (const JsonValue* videos = doc.find("videos")) {
    const Where wv{name, "videos"};
    const JsonValue& list = list_of(*videos, wv);
    if (list.items.size() > 1)
      throw ValueError(wv.text() + ": expected one video, got " + std::to_string(list.items.size()) +
                       " (write one file per clip)");
    if (list.items.size() == 1) {
      const JsonValue* h = find(list.items[0], "height", wv[size_t{0}]);
      const JsonValue* w = find(list.items[0], "width", wv[size_t{0}]);
      if (h && w) height = side(*h, wv[size_t{0}]["height"]), width = side(*w, wv[size_t{0}]["width"]);
    }
  }
  const Where wi{name, "images"};
  const JsonValue& images = list_of(require(doc, "images", top), wi);
  std::unordered_map<int64_t, int64_t> frame_of;  // image id -> frame
  std::vector<char> seen;
  int64_t frames = 0;
  for (size_t k = 0; k < images.items.size(); ++k) {
    const JsonValue& im = images.items[k];
    const int64_t id = whole(require(im, "id", wi[k]), wi[k]["id"]);
    const int64_t frame = whole(require(im, "frame_id", wi[k]), wi[k]["frame_id"]);
    if (frame < 0 || frame >= kMaxExchangeFrames)
      throw ValueError(wi[k]["frame_id"].text() + ": " +
                       expected_got("a frame from 0 to " + std::to_string(kMaxExchangeFrames - 1), std::to_string(frame)));
    if (!frame_of.emplace(id, frame).second)
      throw ValueError(wi[k]["id"].text() + ": the image id " + std::to_string(id) + " is used before");
    if (static_cast<size_t>(frame) >= seen.size()) seen.resize(static_cast<size_t>(frame) + 1, 0);
    if (seen[static_cast<size_t>(frame)]++)
      throw ValueError(wi[k]["frame_id"].text() + ": frame " + std::to_string(frame) + " has an image before");
    frames = std::max(frames, frame + 1);
    const JsonValue* h = find(im, "height", wi[k]);
    const JsonValue* w = find(im, "width", wi[k]);
    if (h && w) {
      const int64_t ih = side(*h, wi[k]["height"]), iw = side(*w, wi[k]["width"]);
      if (height == 0) height = ih, width = iw;
      if (ih != height || iw != width)
        throw ValueError(wi[k].text() + ": " +
                         expected_got("the clip's frame size " + std::to_string(height) + " x " + std::to_string(width),
                                      std::to_string(ih) + " x " + std::to_string(iw)));
    }
  }
  if (height == 0) throw ValueError(wi.text() + ": the file states no frame size (\"height\" and \"width\")");
  ClipMasks out;
  out.height = height, out.width = width;
  out.frames.resize(static_cast<size_t>(frames));
  const Where wa{name, "annotations"};
  const JsonValue& annotations = list_of(require(doc, "annotations", top), wa);
  std::vector<uint32_t> scratch;
  for (size_t k = 0; k < annotations.items.size(); ++k) {
    if (k % 1024 == 1023) check_interrupt();
    const JsonValue& a = annotations.items[k];
    const Where at = wa[k];
    const int64_t image = whole(require(a, "image_id", at), at["image_id"]);
    const auto it = frame_of.find(image);
    if (it == frame_of.end()) throw ValueError(at["image_id"].text() + ": no image has the id " + std::to_string(image));
    const JsonValue* track = find(a, "track_id", at);
    const char* track_key = "track_id";
    if (!track) track = find(a, "instance_id", at), track_key = "instance_id";
    if (!track) throw KeyError(at.text() + ": expected the member \"track_id\" (or \"instance_id\")");
    const int64_t id = whole(*track, at[track_key]);
    const JsonValue* seg = find(a, "segmentation", at);
    JsonValue null;
    RunMask mask = segmentation_mask(seg ? *seg : null, find(a, "bbox", at), height, width,
                                     seg ? at["segmentation"] : at["bbox"], scratch);
    FrameMasks& f = out.frames[static_cast<size_t>(it->second)];
    const auto same = std::find(f.ids.begin(), f.ids.end(), id);
    if (same != f.ids.end()) {
      RunMask& joined = f.masks[static_cast<size_t>(same - f.ids.begin())];
      joined = united(joined, mask);
    } else {
      f.ids.push_back(id);
      f.masks.push_back(std::move(mask));
    }
  }
  return out;
}

}  // namespace mirelo
