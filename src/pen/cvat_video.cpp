// CVAT for video 1.1: the clip's animals as polygon tracks, and back.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <numeric>
#include <optional>

#include <opencv2/imgproc.hpp>
#if CV_VERSION_MAJOR >= 5
#include <opencv2/geometry.hpp>
#endif

#include "common/errors.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "common/runtime.hpp"
#include "common/xml.hpp"
#include "pen/annotation.hpp"
#include "pen/exchange.hpp"

namespace mirelo {
namespace {

constexpr const char* kAnimalAttribute = "animal";

// ------------------------------------------------------------------ writing

// One traced piece of an animal: its outline and the pixels it encloses.
struct Piece {
  std::vector<cv::Point> points;
  RunMask filled;
};

RunMask filled_polygon(const std::vector<cv::Point>& points, int64_t height, int64_t width) {
  std::vector<std::array<int32_t, 2>> vertices;
  vertices.reserve(points.size());
  for (const cv::Point& p : points) vertices.push_back({p.x, p.y});
  return fill_polygons({vertices}, height, width, "a traced outline");
}

double iou(const RunMask& a, const RunMask& b) {
  const int64_t inter = count_intersection(a, b);
  const int64_t uni = a.area() + b.area() - inter;
  return uni > 0 ? static_cast<double>(inter) / static_cast<double>(uni) : 1.0;
}

// The pieces of a mask: each outer contour, simplified by Douglas-Peucker
// within `simplify` pixels while its fill keeps kSimplifiedIoU with the
// exact one's (a piece of a few pixels stays exact).
constexpr double kSimplifiedIoU = 0.99;

std::vector<Piece> pieces_of(const RunMask& mask, double simplify) {
  std::vector<Piece> out;
  for (std::vector<cv::Point>& contour : outer_contours(mask)) {
    RunMask filled = filled_polygon(contour, mask.height(), mask.width());
    if (simplify > 0 && contour.size() > 3) {
      std::vector<cv::Point> fewer;
      cv::approxPolyDP(contour, fewer, simplify, true);
      if (fewer.size() >= 3 && fewer.size() < contour.size()) {
        RunMask fewer_filled = filled_polygon(fewer, mask.height(), mask.width());
        if (iou(fewer_filled, filled) >= kSimplifiedIoU) contour = std::move(fewer), filled = std::move(fewer_filled);
      }
    }
    out.push_back(Piece{std::move(contour), std::move(filled)});
  }
  // The largest piece first: it keeps the animal's first track.
  std::stable_sort(out.begin(), out.end(), [](const Piece& a, const Piece& b) { return a.filled.area() > b.filled.area(); });
  return out;
}

// CVAT points through the pixel centres: "x.50,y.50;...". CVAT takes
// polygons of three points or more, so a piece of one or two points (a
// pixel, a straight line of pixels) repeats them, which fills the same.
std::string points_text(const std::vector<cv::Point>& points) {
  std::string out;
  out.reserve(points.size() * 16);
  const size_t n = std::max<size_t>(points.size(), 3);
  char buf[32];
  for (size_t k = 0; k < n; ++k) {
    const cv::Point& p = points[std::min(k, points.size() - 1)];
    if (k > 0) out += ';';
    auto r = std::to_chars(buf, buf + sizeof buf, p.x);
    out.append(buf, r.ptr);
    out += ".50,";
    r = std::to_chars(buf, buf + sizeof buf, p.y);
    out.append(buf, r.ptr);
    out += ".50";
  }
  return out;
}

struct Track {
  int64_t animal = 0, id = 0;
  bool visible = false, used = false;
  const Piece* shown = nullptr;
  std::string body;
};

class TrackWriter {
 public:
  TrackWriter(const std::vector<int64_t>& animals, double tolerance) : tolerance_(tolerance) {
    int64_t top = -1;
    for (int64_t a : animals)
      if (a >= 1) top = std::max(top, a - 1);
    next_id_ = top + 1;
  }

  void begin_frame() {
    for (Track& t : tracks_) t.used = false;
  }

  void place(int64_t frame, int64_t animal, const Piece& piece) {
    std::vector<size_t>& mine = by_animal_[animal];
    // The track whose shown piece this one overlaps most; else a free one.
    size_t chosen = SIZE_MAX;
    int64_t most = 0;
    for (size_t t : mine) {
      const Track& track = tracks_[t];
      if (track.used || !track.visible) continue;
      const int64_t inter = count_intersection(piece.filled, track.shown->filled);
      if (inter > most) most = inter, chosen = t;
    }
    if (chosen == SIZE_MAX)
      for (size_t t : mine)
        if (!tracks_[t].used) {
          chosen = t;
          break;
        }
    if (chosen == SIZE_MAX) {
      chosen = tracks_.size();
      if (!(mine.empty() && animal >= 1) && next_id_ == INT64_MAX)
        throw ValueError("expected object ids that leave track ids for the pieces of animals, got object " +
                         std::to_string(animal) + " beside the largest");
      const int64_t id = mine.empty() && animal >= 1 ? animal - 1 : next_id_++;
      Track track;
      track.animal = animal, track.id = id;
      tracks_.push_back(std::move(track));
      mine.push_back(chosen);
    }
    Track& track = tracks_[chosen];
    track.used = true;
    if (!track.visible || 1.0 - iou(piece.filled, track.shown->filled) > tolerance_) {
      track.shown = &piece;
      track.visible = true;
      shape(track, frame, false);
    }
  }

  // Tracks not given a piece since begin_frame vanish at `frame`.
  void end_frame(int64_t frame) {
    for (Track& t : tracks_)
      if (t.visible && !t.used) vanish(t, frame);
  }

  void vanish_all(int64_t frame) {
    for (Track& t : tracks_)
      if (t.visible) vanish(t, frame);
  }

  std::vector<Track>& tracks() { return tracks_; }
  int64_t shapes() const { return shapes_; }
  int64_t outside_shapes() const { return outside_; }

 private:
  void vanish(Track& t, int64_t frame) {
    shape(t, frame, true);
    t.visible = false;
  }

  void shape(Track& t, int64_t frame, bool outside) {
    t.body += "    <polygon frame=\"" + std::to_string(frame) + "\" outside=\"" + (outside ? "1" : "0") +
              "\" occluded=\"0\" keyframe=\"1\" points=\"" + points_text(t.shown->points) +
              "\" z_order=\"0\">\n      <attribute name=\"" + kAnimalAttribute + "\">" + std::to_string(t.animal) +
              "</attribute>\n    </polygon>\n";
    ++shapes_;
    outside_ += outside;
  }

  double tolerance_;
  int64_t next_id_ = 0;
  int64_t shapes_ = 0, outside_ = 0;
  std::vector<Track> tracks_;
  std::map<int64_t, std::vector<size_t>> by_animal_;
};

std::string meta_text(const ClipMasksView& clip, const CvatOptions& o, int64_t size) {
  const std::string label = xml_escape(o.label);
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<annotations>\n  <version>1.1</version>\n  <meta>\n    <task>\n"
         "      <name>" + xml_escape(o.task_name) + "</name>\n      <size>" + std::to_string(size) +
         "</size>\n      <mode>interpolation</mode>\n      <overlap>0</overlap>\n      <start_frame>0</start_frame>\n"
         "      <stop_frame>" + std::to_string(std::max<int64_t>(size - 1, 0)) + "</stop_frame>\n"
         "      <labels>\n        <label>\n          <name>" + label + "</name>\n          <type>polygon</type>\n"
         "          <attributes>\n            <attribute>\n              <name>" + kAnimalAttribute +
         "</name>\n              <mutable>False</mutable>\n              <input_type>text</input_type>\n"
         "              <default_value></default_value>\n              <values></values>\n            </attribute>\n"
         "          </attributes>\n        </label>\n      </labels>\n      <original_size>\n        <width>" +
         std::to_string(clip.width) + "</width>\n        <height>" + std::to_string(clip.height) +
         "</height>\n      </original_size>\n    </task>\n  </meta>\n";
}

// ------------------------------------------------------------------ reading

struct Reader {
  const std::string& name;

  [[noreturn]] void fail(const XmlElement& e, const std::string& what) const {
    throw ValueError(name + ", line " + std::to_string(e.line) + ": <" + e.name + ">: " + what);
  }

  const std::string& required(const XmlElement& e, const char* key) const {
    const std::string* v = e.attribute(key);
    if (!v) fail(e, std::string("expected the attribute ") + key);
    return *v;
  }

  double number(const XmlElement& e, std::string_view text, const std::string& what) const {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
      fail(e, expected_got("a finite number for " + what, repr_text(std::string(text.substr(0, 40)))));
    return v;
  }

  int64_t whole(const XmlElement& e, std::string_view text, const std::string& what) const {
    const double v = number(e, text, what);
    if (v != std::floor(v) || std::fabs(v) >= 9.2e18)
      fail(e, expected_got("a whole number for " + what, repr_text(std::string(text.substr(0, 40)))));
    return static_cast<int64_t>(v);
  }

  bool flag(const XmlElement& e, const char* key) const {
    const std::string* v = e.attribute(key);
    if (!v) return false;
    if (*v == "0" || *v == "false" || *v == "False") return false;
    if (*v == "1" || *v == "true" || *v == "True") return true;
    fail(e, expected_got(std::string("0 or 1 for ") + key, repr_text(*v)));
  }

  // A pixel coordinate: floored, kept within reach of 32-bit vertices
  // (the fill clips far vertices to the frame's margin anyway).
  static int32_t pixel(double v) {
    return static_cast<int32_t>(std::clamp(std::floor(v), -1073741824.0, 1073741824.0));
  }

  RunMask polygon(const XmlElement& e, int64_t height, int64_t width) const {
    std::vector<std::array<int32_t, 2>> vertices;
    std::string_view points = required(e, "points");
    while (!points.empty()) {
      const size_t semi = points.find(';');
      const std::string_view pair = points.substr(0, semi);
      points = semi == std::string_view::npos ? std::string_view{} : points.substr(semi + 1);
      if (pair.find_first_not_of(' ') == std::string_view::npos) continue;
      const size_t comma = pair.find(',');
      if (comma == std::string_view::npos) fail(e, expected_got("points as x,y pairs", repr_text(std::string(pair.substr(0, 40)))));
      vertices.push_back({pixel(number(e, pair.substr(0, comma), "an x of points")),
                          pixel(number(e, pair.substr(comma + 1), "a y of points"))});
    }
    if (vertices.empty()) fail(e, "expected at least one point");
    return fill_polygons({vertices}, height, width, "the points of <" + e.name + "> at line " + std::to_string(e.line));
  }

  RunMask box(const XmlElement& e, int64_t height, int64_t width) const {
    const double x0 = number(e, required(e, "xtl"), "xtl"), y0 = number(e, required(e, "ytl"), "ytl");
    const double x1 = number(e, required(e, "xbr"), "xbr"), y1 = number(e, required(e, "ybr"), "ybr");
    return box_mask(x0, y0, x1, y1, height, width);
  }

  // CVAT's mask: counts of alternating clear and set pixels, clear first,
  // row by row over its box (left, top, width, height).
  RunMask mask(const XmlElement& e, int64_t height, int64_t width) const {
    const int64_t left = whole(e, required(e, "left"), "left"), top = whole(e, required(e, "top"), "top");
    const int64_t w = whole(e, required(e, "width"), "width"), h = whole(e, required(e, "height"), "height");
    if (left < 0 || top < 0 || w < 1 || h < 1 || left + w > width || top + h > height)
      fail(e, expected_got("a box inside the " + std::to_string(height) + " x " + std::to_string(width) + " frame",
                           "left " + std::to_string(left) + ", top " + std::to_string(top) + ", width " +
                               std::to_string(w) + ", height " + std::to_string(h)));
    require_allocatable(static_cast<uint64_t>(h), sizeof(Run) + sizeof(uint32_t),
                        [] { return std::string("the rows of a mask shape"); });
    RunMaskBuilder out(height, width);
    std::string_view counts = required(e, "rle");
    int64_t at = 0;
    bool set = false;
    const int64_t total = w * h;
    while (!counts.empty()) {
      const size_t comma = counts.find(',');
      const int64_t n = whole(e, counts.substr(0, comma), "a count of rle");
      counts = comma == std::string_view::npos ? std::string_view{} : counts.substr(comma + 1);
      if (n < 0 || n > total - at)
        fail(e, "expected rle counts covering the box's " + std::to_string(total) + " pixels, got more");
      for (int64_t p = at; set && p < at + n;) {  // a run may cross rows of the box
        const int64_t y = p / w, x = p % w, len = std::min(w - x, at + n - p);
        out.add(top + y, left + x, left + x + len);
        p += len;
      }
      at += n;
      set = !set;
    }
    if (at != total) fail(e, "expected rle counts covering the box's " + std::to_string(total) + " pixels, got " + std::to_string(at));
    return out.finish();
  }

  // The "animal" attribute of a shape, when it has one.
  std::optional<int64_t> animal(const XmlElement& shape) const {
    for (const XmlElement& c : shape.children)
      if (c.name == "attribute") {
        const std::string* n = c.attribute("name");
        if (n && *n == kAnimalAttribute) return whole(c, c.text, "the animal attribute");
      }
    return std::nullopt;
  }
};

struct Shape {
  int64_t frame = 0;
  bool outside = false;
  const XmlElement* element = nullptr;
};

const XmlElement* task_meta(const XmlElement& root) {
  const XmlElement* meta = root.child("meta");
  if (!meta) return nullptr;
  if (const XmlElement* task = meta->child("task")) return task;
  return meta->child("job");
}

}  // namespace

CvatDocument cvat_video_xml(const ClipMasksView& clip, const CvatOptions& options) {
  check_clip_masks(clip);
  if (!(options.tolerance >= 0.0 && options.tolerance <= 1.0))
    throw ValueError(expected_got("a tolerance from 0 to 1", std::to_string(options.tolerance)));
  if (!(options.simplify >= 0.0 && options.simplify <= 1e6))
    throw ValueError(expected_got("a simplification from 0 to 10^6 pixels", std::to_string(options.simplify)));
  std::vector<const RunMask*> masks;
  std::vector<int64_t> animals;
  for (const FrameMasksView& f : clip.frames) {
    masks.insert(masks.end(), f.masks.begin(), f.masks.end());
    animals.insert(animals.end(), f.ids.begin(), f.ids.end());
  }
  std::vector<std::vector<Piece>> pieces(masks.size());
  for_each_in_parallel(masks.size(), options.threads, [&](size_t k) { pieces[k] = pieces_of(*masks[k], options.simplify); });

  CvatDocument doc;
  TrackWriter writer(animals, options.tolerance);
  size_t flat = 0;
  int64_t previous = -1;
  for (const FrameMasksView& f : clip.frames) {
    check_interrupt();
    if (previous >= 0 && f.frame > previous + 1) writer.vanish_all(previous + 1);  // frames the clip lacks
    writer.begin_frame();
    for (size_t k = 0; k < f.ids.size(); ++k, ++flat) {
      doc.animal_frames += !f.masks[k]->box().empty;
      for (const Piece& p : pieces[flat]) writer.place(f.frame, f.ids[k], p);
    }
    writer.end_frame(f.frame);
    previous = f.frame;
  }
  std::vector<Track>& tracks = writer.tracks();
  std::sort(tracks.begin(), tracks.end(), [](const Track& a, const Track& b) { return a.id < b.id; });
  const int64_t size = clip.frames.empty() ? 0 : clip.frames.back().frame + 1;
  doc.text = meta_text(clip, options, size);
  const std::string label = xml_escape(options.label);
  for (const Track& t : tracks)
    doc.text += "  <track id=\"" + std::to_string(t.id) + "\" label=\"" + label + "\" source=\"auto\">\n" + t.body +
                "  </track>\n";
  doc.text += "</annotations>\n";
  doc.tracks = static_cast<int64_t>(tracks.size());
  doc.shapes = writer.shapes();
  doc.outside_shapes = writer.outside_shapes();
  return doc;
}

ClipMasks parse_cvat_video_xml(std::string_view text, const std::string& name, int64_t height, int64_t width) {
  const XmlElement root = parse_xml(text, name);
  const Reader r{name};
  if (root.name != "annotations") r.fail(root, "expected the root element <annotations> of CVAT's XML");
  SparseMasks sparse;
  const XmlElement* task = task_meta(root);
  if (task) {
    if (const XmlElement* size = task->child("size")) sparse.frames = r.whole(*size, size->text, "the task's size");
    if (const XmlElement* original = task->child("original_size")) {
      const XmlElement* w = original->child("width");
      const XmlElement* h = original->child("height");
      if (!w || !h) r.fail(*original, "expected <width> and <height>");
      width = r.whole(*w, w->text, "the frame width"), height = r.whole(*h, h->text, "the frame height");
    }
  }
  if (sparse.frames < 0 || sparse.frames > kMaxExchangeFrames)
    r.fail(task ? *task->child("size") : root,
           expected_got("a size from 0 to " + std::to_string(kMaxExchangeFrames), std::to_string(sparse.frames)));
  if (height < 1 || width < 1 || height > INT32_MAX || width > INT32_MAX)
    r.fail(task && task->child("original_size") ? *task->child("original_size") : root,
           height == 0 && width == 0
               ? std::string("the file states no frame size (<original_size> in <meta>): give the frames")
               : expected_got("a frame size from 1 x 1 to 2^31 - 1 on each side",
                              std::to_string(height) + " x " + std::to_string(width)));
  sparse.height = height, sparse.width = width;

  struct TrackShapes {
    int64_t object;
    std::vector<Shape> shapes;
  };
  std::vector<TrackShapes> tracks;
  std::map<int64_t, int64_t> track_lines;
  for (const XmlElement& child : root.children) {
    if (child.name == "image")
      r.fail(child, "this is CVAT for images: export the task as CVAT for video 1.1, whose tracks keep the identities");
    if (child.name != "track") continue;
    const int64_t id = r.whole(child, r.required(child, "id"), "the track id");
    if (auto [it, fresh] = track_lines.emplace(id, child.line); !fresh)
      r.fail(child, "the track id " + std::to_string(id) + " is used before, at line " + std::to_string(it->second));
    TrackShapes t{id == INT64_MAX ? id : id + 1, {}};
    std::optional<int64_t> animal;
    for (const XmlElement& s : child.children) {
      if (s.name != "polygon" && s.name != "box" && s.name != "mask")
        r.fail(s, "expected polygon, box or mask shapes in a track");
      const int64_t frame = r.whole(s, r.required(s, "frame"), "the frame");
      if (frame < 0 || frame >= kMaxExchangeFrames)
        r.fail(s, expected_got("a frame from 0 to " + std::to_string(kMaxExchangeFrames - 1), std::to_string(frame)));
      if (auto a = r.animal(s)) {
        if (animal && *animal != *a)
          r.fail(s, "the animal " + std::to_string(*a) + " differs from the track's earlier shapes' " + std::to_string(*animal));
        animal = a;
      }
      t.shapes.push_back(Shape{frame, r.flag(s, "outside"), &s});
    }
    if (animal) t.object = *animal;
    std::stable_sort(t.shapes.begin(), t.shapes.end(), [](const Shape& a, const Shape& b) { return a.frame < b.frame; });
    for (size_t k = 1; k < t.shapes.size(); ++k)
      if (t.shapes[k].frame == t.shapes[k - 1].frame)
        r.fail(*t.shapes[k].element, "a second shape of track " + std::to_string(id) + " in frame " +
                                         std::to_string(t.shapes[k].frame) + " (the first at line " +
                                         std::to_string(t.shapes[k - 1].element->line) + ")");
    if (!t.shapes.empty()) sparse.frames = std::max(sparse.frames, t.shapes.back().frame + 1);
    tracks.push_back(std::move(t));
  }
  // A shape holds until the track's next one; an outside shape shows nothing.
  for (const TrackShapes& t : tracks) {
    for (size_t k = 0; k < t.shapes.size(); ++k) {
      check_interrupt();
      const Shape& s = t.shapes[k];
      if (s.outside) {
        sparse.entries.push_back({s.frame, t.object, RunMask(height, width)});
        continue;
      }
      const XmlElement& e = *s.element;
      const RunMask mask = e.name == "polygon" ? r.polygon(e, height, width)
                           : e.name == "box"   ? r.box(e, height, width)
                                               : r.mask(e, height, width);
      const int64_t until = k + 1 < t.shapes.size() ? t.shapes[k + 1].frame : sparse.frames;
      for (int64_t f = s.frame; f < until; ++f) sparse.entries.push_back({f, t.object, mask});
    }
  }
  return every_object_in_every_frame(std::move(sparse));
}

}  // namespace mirelo
