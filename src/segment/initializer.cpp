#include "segment/initializer.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/mask.hpp"
#include "common/runtime.hpp"
#include "measures/overlap.hpp"
#include "pen/pen.hpp"
#include "segment/detections.hpp"
#include "visual/draw.hpp"

namespace mirelo {
namespace {

constexpr const char* kPrompt = "pig.";
constexpr const char* kTargetLabel = "pig";
constexpr double kMinPenShare = 40;          // percent of a box inside the pen
constexpr double kMaxAreaUpperHalf = 1500000;  // px^2, boxes starting above mid-height
constexpr double kMaxAreaLowerHalf = 4000000;  // px^2, the others
constexpr double kDuplicateShare = 8;          // percent of a mask covered by another

std::string plain_array_text(const NDArray& a) {
  const bool ints = a.dtype != DType::Float32 && a.dtype != DType::Float64;
  std::string s = "[";
  for (int64_t i = 0; i < a.size(); ++i) {
    if (i) s += ' ';
    s += ints ? std::to_string(static_cast<int64_t>(a.get(i))) : format_float(a.get(i));
  }
  return s + "]";
}

std::vector<int64_t> take(const std::vector<int64_t>& v, const std::vector<int64_t>& idx) {
  std::vector<int64_t> out;
  out.reserve(idx.size());
  for (int64_t i : idx) out.push_back(v[static_cast<size_t>(i)]);
  return out;
}

// Positions of the boxes (rows of `boxes`, N x 4) the size filter keeps. The
// arithmetic is done in the boxes' own precision, as the array library does
// it: single-precision boxes give single-precision areas.
template <typename T>
std::vector<int64_t> size_filter_as(const NDArray& boxes, const std::vector<int64_t>& rows, int height) {
  std::vector<int64_t> kept;
  const T half = static_cast<T>(0.5 * height);
  for (size_t k = 0; k < rows.size(); ++k) {
    const int64_t r = rows[k] * 4;
    const T x0 = static_cast<T>(boxes.get(r)), y0 = static_cast<T>(boxes.get(r + 1));
    const T x1 = static_cast<T>(boxes.get(r + 2)), y1 = static_cast<T>(boxes.get(r + 3));
    const T area = (x1 - x0) * (y1 - y0);
    const bool keep = y0 < half ? area < static_cast<T>(kMaxAreaUpperHalf) : area < static_cast<T>(kMaxAreaLowerHalf);
    if (keep) kept.push_back(static_cast<int64_t>(k));
  }
  return kept;
}

std::vector<int64_t> size_filter(const NDArray& boxes, const std::vector<int64_t>& rows, int height) {
  if (boxes.dtype == DType::Float32) return size_filter_as<float>(boxes, rows, height);
  return size_filter_as<double>(boxes, rows, height);
}

// Set-pixel count and tight box of a plane of any element type, reading it
// once (NaN is set, as a non-zero test has it).
template <typename T>
MaskStats plane_stats(const uint8_t* bytes, int64_t h, int64_t w) {
  const T* src = reinterpret_cast<const T*>(bytes);
  MaskStats s;
  if (w <= 0) return s;  // no pixels, however many rows
  int64_t x_min = w, x_max = -1, y_min = -1, y_max = -1;
  for (int64_t y = 0; y < h; ++y) {
    const T* in = src + y * w;
    int64_t c = 0;
    for (int64_t x = 0; x < w; ++x) c += in[x] != T(0);
    if (c == 0) continue;
    s.area += c;
    if (y_min < 0) y_min = y;
    y_max = y;
    int64_t lo = 0;
    while (lo < x_min && in[lo] == T(0)) ++lo;
    x_min = std::min(x_min, lo);
    int64_t hi = w - 1;
    while (hi > x_max && in[hi] == T(0)) --hi;
    x_max = std::max(x_max, hi);
  }
  if (s.area > 0) s.box = PixelBox{x_min, y_min, x_max, y_max, false};
  return s;
}

// The box region of a plane as 0/1 bytes into `dst` (a full plane).
template <typename T>
void box_to_bytes(const uint8_t* bytes, int64_t w, const PixelBox& b, uint8_t* dst) {
  const T* src = reinterpret_cast<const T*>(bytes);
  for (int64_t y = b.y_min; y <= b.y_max; ++y)
    for (int64_t x = b.x_min; x <= b.x_max; ++x) dst[y * w + x] = src[y * w + x] != T(0);
}

MaskStats stats_of(DType t, const uint8_t* src, int64_t h, int64_t w) {
  return visit_nonzero_type(t, [&](auto tag) { return plane_stats<decltype(tag)>(src, h, w); });
}

void write_box(DType t, const uint8_t* src, int64_t w, const PixelBox& b, uint8_t* dst) {
  visit_nonzero_type(t, [&](auto tag) { box_to_bytes<decltype(tag)>(src, w, b, dst); });
}

// 0/1 byte planes for masks of wider element types, kept from frame to
// frame: outside a mask's box every byte is 0, so a plane is renewed by
// clearing the previous box and writing the new one, never in full.
class BytePlanes {
 public:
  uint8_t* plane(int64_t k) { return bytes_.data() + k * height_ * width_; }

  void reset_shape(int64_t planes, int64_t height, int64_t width) {
    if (planes <= planes_ && height == height_ && width == width_) return;
    bytes_.assign(static_cast<size_t>(planes * height * width), 0);
    written_.assign(static_cast<size_t>(planes), PixelBox{});
    planes_ = planes, height_ = height, width_ = width;
  }

  void renew(int64_t k, DType t, const uint8_t* src, const PixelBox& box) {
    uint8_t* dst = plane(k);
    PixelBox& old = written_[static_cast<size_t>(k)];
    if (!old.empty)
      for (int64_t y = old.y_min; y <= old.y_max; ++y)
        std::memset(dst + y * width_ + old.x_min, 0, static_cast<size_t>(old.x_max - old.x_min + 1));
    if (!box.empty) write_box(t, src, width_, box, dst);
    old = box;
  }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<PixelBox> written_;
  int64_t planes_ = 0, height_ = 0, width_ = 0;
};

// The predictor's masks for `boxes` boxes as one H x W view per box, with
// their set-pixel counts and tight boxes. Masks of one-byte elements are
// read in place; others once for the counts, then their boxes are copied
// into `planes` as bytes.
struct FrameMasks {
  ArrayView source;
  bool single_box_form = false;  // 1 x H x W for one box: returned as 1 x 1 x H x W
  int64_t height = 0, width = 0;
  std::vector<MaskView> views;
  std::vector<MaskStats> stats;
};

FrameMasks read_masks(ArrayView masks, int64_t boxes, BytePlanes& planes) {
  FrameMasks f;
  const auto& s = masks.shape;
  const bool three = masks.ndim() == 3 && s[0] == 1 && boxes == 1;
  const bool four = masks.ndim() == 4 && s[0] == boxes && s[1] == 1;
  if (!three && !four)
    throw ValueError(expected_got("masks of shape (1, H, W) for one box or (" + std::to_string(boxes) +
                                      ", 1, H, W) for " + std::to_string(boxes) + " boxes from the image predictor",
                                  "shape " + shape_text(s)));
  f.single_box_form = three;
  f.height = s[s.size() - 2];
  f.width = s.back();
  const int64_t plane = f.height * f.width;
  const size_t item = dtype_size(masks.dtype);
  if (item != 1) planes.reset_shape(boxes, f.height, f.width);
  for (int64_t k = 0; k < boxes; ++k) {
    const uint8_t* src = masks.data + static_cast<size_t>(k * plane) * item;
    if (item == 1) {
      const MaskView v{src, f.height, f.width, f.width};
      f.views.push_back(v);
      f.stats.push_back(mask_stats(v));
    } else {
      f.stats.push_back(stats_of(masks.dtype, src, f.height, f.width));
      planes.renew(k, masks.dtype, src, f.stats.back().box);
      f.views.push_back(MaskView{planes.plane(k), f.height, f.width, f.width});
    }
    check_interrupt();
  }
  f.source = std::move(masks);
  return f;
}

// The kept planes in the predictor's element type and the host's shape.
NDArray kept_masks(const FrameMasks& f, const std::vector<int64_t>& keep) {
  const int64_t n = static_cast<int64_t>(keep.size());
  std::vector<int64_t> shape = f.single_box_form ? std::vector<int64_t>{n, 1, f.height, f.width}
                                                 : std::vector<int64_t>{n, f.height, f.width};
  NDArray out(f.source.dtype, shape);
  const size_t plane = static_cast<size_t>(f.height * f.width) * dtype_size(f.source.dtype);
  for (size_t k = 0; k < keep.size(); ++k)
    std::memcpy(out.bytes.data() + k * plane, f.source.data + static_cast<size_t>(keep[k]) * plane, plane);
  return out;
}

// The drawing of the kept masks, labelled Box0, Box1, ... in order.
cv::Mat draw_kept(const cv::Mat& rgba, const FrameMasks& f, const std::vector<int64_t>& keep) {
  const size_t plane = static_cast<size_t>(f.height * f.width) * dtype_size(f.source.dtype);
  std::vector<std::string> keys;
  std::vector<PlaneView> planes;
  for (size_t k = 0; k < keep.size(); ++k) {
    keys.push_back("Box" + std::to_string(k));
    planes.push_back(PlaneView{f.source.dtype, f.source.data + static_cast<size_t>(keep[k]) * plane, f.height, f.width,
                               f.width * static_cast<int64_t>(dtype_size(f.source.dtype))});
  }
  return img_bbx_drawing(rgba, keys, planes);
}

// ------------------------------------------------ stages of one candidate

// Candidate search: the detector's results on one frame.
Detections detect(DetectorProcessor& processor, DetectorModel& model, const cv::Mat& rgb, double gdino_thr) {
  ModelValuePtr inputs = processor.prepare(rgb, kPrompt);
  ModelValuePtr outputs = model.run(inputs);
  Detections found = processor.post_process(outputs, inputs, gdino_thr, rgb.rows, rgb.cols);
  inputs.reset();
  outputs.reset();
  return found;
}

// Filters: of the boxes at `rows` (positions into the detector's order),
// those with at least kMinPenShare percent inside the pen, then those the
// size filter keeps.
std::vector<int64_t> filter_boxes(const Detections& found, const std::vector<int64_t>& rows,
                                  const std::optional<std::string>& pen_json_path, int height) {
  if (!pen_json_path)
    throw TypeError("no pen polygon file for this clip: the camera in video_dir has no entry in the pen file "
                    "table and custom_pen_json_path is None");
  const std::vector<PenPoint> pen = read_pen_points(*pen_json_path);
  std::vector<std::array<double, 4>> xyxy;
  for (int64_t r : rows)
    xyxy.push_back({found.boxes.get(r * 4), found.boxes.get(r * 4 + 1), found.boxes.get(r * 4 + 2),
                    found.boxes.get(r * 4 + 3)});
  const std::vector<double> shares = pen_box_ratios(pen, xyxy);
  std::vector<int64_t> in_pen;
  for (size_t k = 0; k < shares.size(); ++k)
    if (shares[k] >= kMinPenShare) in_pen.push_back(static_cast<int64_t>(k));
  const std::vector<int64_t> kept = take(rows, in_pen);
  return take(kept, size_filter(found.boxes, kept, height));
}

// Segmentation: the predictor's masks for the boxes at `rows`.
FrameMasks segment(ImagePredictor& predictor, const cv::Mat& rgb, const Detections& found,
                   const std::vector<int64_t>& rows, BytePlanes& planes) {
  predictor.set_image(rgb);
  return read_masks(predictor.predict_masks(found.boxes.take(rows)), static_cast<int64_t>(rows.size()), planes);
}

// Duplicates: positions (into `rows`) of the masks kept. A pair covering
// more than the duplicate share of the row mask loses its lower-scored box
// (the row's box when the scores tie).
std::vector<int64_t> remove_duplicates(const FrameMasks& masks, const Detections& found,
                                       const std::vector<int64_t>& rows) {
  std::vector<double> areas;
  std::vector<PixelBox> boxes;
  for (const auto& s : masks.stats) {
    areas.push_back(static_cast<double>(s.area));
    boxes.push_back(s.box);
  }
  const std::vector<double> table = intersection_table(masks.views, areas, boxes);
  const size_t n = rows.size();
  std::vector<char> removed(n, 0);
  for (size_t r = 0; r < n; ++r) {
    for (size_t c = 0; c < n; ++c) {
      if (!(table[r * n + c] > kDuplicateShare)) continue;
      removed[found.scores.get(rows[r]) > found.scores.get(rows[c]) ? c : r] = 1;
    }
  }
  std::vector<int64_t> kept;
  for (size_t k = 0; k < n; ++k)
    if (!removed[k]) kept.push_back(static_cast<int64_t>(k));
  return kept;
}

NDArray int64_array(const std::vector<int64_t>& v) {
  NDArray a(DType::Int64, {static_cast<int64_t>(v.size())});
  if (!v.empty()) std::memcpy(a.bytes.data(), v.data(), v.size() * sizeof(int64_t));
  return a;
}

// Result: the accepted frame's kept masks, labels and drawing.
InitializerResult accepted_frame(FrameSource& frames, int64_t idx, const Detections& found, const FrameMasks& masks,
                                 const std::vector<int64_t>& rows, const std::vector<int64_t>& boxkeys,
                                 const ArrayText& text_of) {
  print_line("ann_frame_idx [" + std::to_string(idx) + "] works!!!");
  const std::vector<int64_t> kept_rows = take(rows, boxkeys);
  print_line(text_of(found.scores.take(kept_rows)));
  InitializerResult result;
  result.found = true;
  result.annotated = draw_kept(frames.rgba(), masks, boxkeys);
  result.masks = kept_masks(masks, boxkeys);
  result.detector_labels = found.labels;
  result.label_index = kept_rows;
  result.frame_index = idx;
  return result;
}

}  // namespace

InitializerResult initializer(FrameSource& frames, const std::string& video_dir,
                              const std::optional<std::string>& custom_pen_json_path, const std::string& pen_root,
                              DetectorProcessor& processor, DetectorModel& grounding_model,
                              ImagePredictor& image_predictor, const InitializerOptions& options,
                              const ArrayText& array_text) {
  if (options.start_index < 0)
    throw ValueError(expected_got("start_index >= 0", std::to_string(options.start_index)));
  if (options.step <= 0) throw ValueError(expected_got("a positive step", std::to_string(options.step)));
  const ArrayText text_of = array_text ? array_text : ArrayText(plain_array_text);

  const std::optional<std::string> pen_json_path = get_pen_json_path(video_dir, custom_pen_json_path, pen_root);
  print_line("Using pen JSON path: " + pen_json_path.value_or("None"));

  BytePlanes planes;
  const int64_t count = frames.size();
  // The next candidate, or `count` past the last (no overflow for any step).
  auto next = [&](int64_t idx) { return options.step < count - idx ? idx + options.step : count; };
  for (int64_t idx = options.start_index; idx < count; idx = next(idx)) {
    check_interrupt();
    const std::string frame = std::to_string(idx);
    const cv::Mat rgb = frames.open(idx);
    if (next(idx) < count) frames.prefetch(next(idx));

    const Detections found = detect(processor, grounding_model, rgb, options.gdino_thr);
    // Positions into the detector's own order of the boxes still in play.
    std::vector<int64_t> rows = select_detections(found, kTargetLabel);
    if (rows.empty()) {
      print_line("No boxes found in frame " + frame + ". Skipping to next frame.");
      continue;
    }
    rows = filter_boxes(found, rows, pen_json_path, rgb.rows);
    if (rows.empty()) {
      // Nothing left to segment: a frame without animals.
      print_line("ann_frame_idx [" + frame + "] cannot work, too few bbx found..\n");
      continue;
    }
    const FrameMasks masks = segment(image_predictor, rgb, found, rows, planes);
    const std::vector<int64_t> boxkeys = remove_duplicates(masks, found, rows);
    const auto n = static_cast<int64_t>(boxkeys.size());
    print_line("Boxes will be kept: " + text_of(int64_array(boxkeys)) + ", totally " + std::to_string(n) + " keys");
    if (n == options.close_set_num) return accepted_frame(frames, idx, found, masks, rows, boxkeys, text_of);
    // A rejected frame's drawing would be thrown away unseen, so none is made.
    print_line("ann_frame_idx [" + frame + "] cannot work, too " + std::string(n > options.close_set_num ? "many" : "few") +
               " bbx found..\n");
  }
  return InitializerResult{};
}

}  // namespace mirelo
