#include "pen/annotation.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "common/memory.hpp"
#include "common/polygon_fill.hpp"
#include "common/text.hpp"
#include "pen/polygon_text.hpp"
#include "visual/raster.hpp"
#include "visual/text.hpp"

namespace mirelo {
namespace {

constexpr uint8_t kOverlayAlpha = 100;
constexpr int kBoxWidth = 2;
constexpr int kLabelPadding = 4;
constexpr int kLabelFontSize = 11;
const Rgba kWhite{255, 255, 255, 255};

// Where a member sits, for messages: detections[2]["xyxy"][0] of 'a.json'.
struct Where {
  const std::string& file;
  std::string member;
  std::string text() const { return member + " of " + repr_text(file); }
  Where operator[](const std::string& key) const { return Where{file, member + "[\"" + key + "\"]"}; }
  Where operator[](size_t index) const { return Where{file, member + "[" + std::to_string(index) + "]"}; }
};

const JsonValue& member(const JsonValue& obj, const char* key) {
  const JsonValue* v = obj.find(key);
  if (!v) throw KeyError(key);
  return *v;
}

const JsonValue& as_list(const JsonValue& v, const Where& where) {
  if (!v.is_array()) throw TypeError(expected_got("a list for " + where.text(), v.type_name()));
  return v;
}

// The top level and its "image_path" and "detections" members.
struct Document {
  JsonValue doc;
  const JsonValue* image_path = nullptr;
  const JsonValue* detections = nullptr;
};

Document read_document(const std::string& json_path) {
  Document d;
  d.doc = read_annotation_file(json_path);
  d.image_path = &member(d.doc, "image_path");
  d.detections = &as_list(member(d.doc, "detections"), Where{json_path, "\"detections\""});
  return d;
}

const JsonValue& detection_at(const Document& d, size_t k, const Where& where) {
  const JsonValue& det = d.detections->items[k];
  if (!det.is_object()) throw TypeError(expected_got("an object for " + where.text(), det.type_name()));
  return det;
}

int64_t object_id_of(const JsonValue& v, const Where& where) {
  if (v.kind != JsonValue::Kind::Int)
    throw TypeError(expected_got("an integer for " + where.text(), v.type_name()));
  // The mask key is the id minus one: it must stay a 64-bit number.
  if (v.big_int || v.integer == INT64_MIN)
    throw ValueError(expected_got("an object id within 64-bit integers for " + where.text(),
                                  v.big_int ? v.text : std::to_string(v.integer)));
  return v.integer;
}

// The pixel vertices of every polygon text of a detection.
std::vector<std::vector<std::array<int32_t, 2>>> polygons_of(const JsonValue& det, int64_t width, int64_t height,
                                                              const Where& where) {
  const Where at = where["formatted_polygon"];
  const JsonValue& texts = as_list(member(det, "formatted_polygon"), at);
  std::vector<std::vector<std::array<int32_t, 2>>> out;
  for (size_t p = 0; p < texts.items.size(); ++p) {
    const JsonValue& t = texts.items[p];
    const std::string here = at[p].text();
    if (!t.is_string()) throw TypeError(expected_got("a polygon text for " + here, t.type_name()));
    const PolygonText poly = parse_polygon_text(t.text, here);
    std::vector<std::array<int32_t, 2>> vertices;
    vertices.reserve(poly.points.size());
    for (const auto& point : poly.points) vertices.push_back(pixel_vertex(point, width, height, here));
    out.push_back(std::move(vertices));
  }
  return out;
}

void require_frame_side(int64_t side, const char* name) {
  if (side < 1 || side > INT32_MAX)
    throw ValueError(expected_got(std::string("a frame ") + name + " from 1 to " + std::to_string(INT32_MAX),
                                  std::to_string(side)));
}

}  // namespace

RunMask fill_polygons(const std::vector<std::vector<std::array<int32_t, 2>>>& polygons, int64_t height, int64_t width,
                      const std::string& where) {
  int64_t x0 = INT64_MAX, y0 = INT64_MAX, x1 = INT64_MIN, y1 = INT64_MIN;
  for (const auto& poly : polygons) {
    if (poly.empty())
      throw ValueError(expected_got("at least one x y pair in every polygon text of " + where, "none"));
    for (const auto& v : poly) {
      x0 = std::min<int64_t>(x0, v[0]), x1 = std::max<int64_t>(x1, v[0]);
      y0 = std::min<int64_t>(y0, v[1]), y1 = std::max<int64_t>(y1, v[1]);
    }
  }
  // An edge leaving the frame is filled from its clipped part, whose slope
  // is rounded; extended back over more than 2^16 rows outside the frame,
  // that rounding can move its crossings inside the frame past the
  // polygon's box, so such a polygon is filled across the frame's width.
  constexpr int64_t kExact = int64_t{1} << 16;
  if (y0 < -kExact || y1 > height + kExact) x0 = 0, x1 = width - 1;
  x0 = std::max<int64_t>(x0, 0), y0 = std::max<int64_t>(y0, 0);
  x1 = std::min<int64_t>(x1, width - 1), y1 = std::min<int64_t>(y1, height - 1);
  if (polygons.empty() || x0 > x1 || y0 > y1) return RunMask(height, width);
  const int64_t box_w = x1 - x0 + 1, box_h = y1 - y0 + 1;
  require_allocatable(static_cast<uint64_t>(box_w), static_cast<uint64_t>(box_h),
                      [&] { return "the box of " + where; });
  cv::Mat box = cv::Mat::zeros(static_cast<int>(box_h), static_cast<int>(box_w), CV_8UC1);
  std::vector<cv::Point> vertices;
  for (const auto& poly : polygons) {
    vertices.clear();
    for (const auto& v : poly) vertices.emplace_back(v[0], v[1]);
    fill_polygon(box, cv::Point2l(x0, y0), height, width, vertices, cv::Scalar(1));
  }
  return runs_of(MaskView{box.data, box_h, box_w, static_cast<int64_t>(box.step[0])}, x0, y0, height, width);
}

namespace {

// A box entry of "xyxy": exactly four numbers.
std::array<double, 4> box_of(const JsonValue& v, const Where& where) {
  if (!v.is_array()) throw TypeError(expected_got("a list of four numbers for " + where.text(), v.type_name()));
  if (v.items.size() != 4)
    throw ValueError(expected_got("4 values to unpack in " + where.text(), std::to_string(v.items.size())));
  std::array<double, 4> out{};
  for (size_t c = 0; c < 4; ++c) {
    const JsonValue& n = v.items[c];
    if (!n.is_number()) throw TypeError(expected_got("a number for " + where[c].text(), n.type_name()));
    out[c] = n.kind == JsonValue::Kind::Float ? n.number : n.big_int ? HUGE_VAL : static_cast<double>(n.integer);
  }
  return out;
}

// A drawing coordinate as the imaging library takes it: truncated toward zero.
int64_t draw_coordinate(double v, const std::string& where) {
  if (!(std::fabs(v) < 2147483648.0))
    throw ValueError(expected_got("box coordinates that are finite and fit in 32-bit integers in " + where,
                                  std::to_string(v)));
  return static_cast<int64_t>(std::trunc(v));
}

void draw_box_and_label(cv::Mat& overlay, const std::array<double, 4>& b, int64_t object_id, const Rgba& colour,
                        const std::string& where) {
  if (b[2] < b[0]) throw ValueError("x1 must be greater than or equal to x0 (" + where + ")");
  if (b[3] < b[1]) throw ValueError("y1 must be greater than or equal to y0 (" + where + ")");
  const int64_t x1 = draw_coordinate(b[0], where), y1 = draw_coordinate(b[1], where);
  draw_rectangle_outline(overlay, x1, y1, draw_coordinate(b[2], where), draw_coordinate(b[3], where), colour,
                         kBoxWidth);
  const std::shared_ptr<const Font> font = label_font(kLabelFontSize);
  const std::string label = "Box " + std::to_string(object_id - 1);
  const TextBox t = font->text_bbox(label, 0, 0);
  const double text_w = static_cast<double>(t.x2 - t.x1), text_h = static_cast<double>(t.y2 - t.y1);
  auto trunc_of = [](double v) { return static_cast<int64_t>(std::trunc(v)); };
  fill_rectangle(overlay, x1, trunc_of(b[1] - text_h - kLabelPadding), trunc_of(b[0] + text_w + kLabelPadding), y1,
                 colour);
  font->draw_text(overlay, label, trunc_of(b[0] + 2), trunc_of(b[1] - text_h - 2), kWhite);
}

}  // namespace

JsonValue read_annotation_file(const std::string& json_path) {
  JsonValue doc = read_json_file(json_path);
  if (!doc.is_object())
    throw TypeError(expected_got("a JSON object in the annotation file " + repr_text(json_path), doc.type_name()));
  return doc;
}

AnnotationMasks read_annotation_masks(const std::string& json_path, int64_t height, int64_t width) {
  require_frame_side(height, "height");
  require_frame_side(width, "width");
  const Document d = read_document(json_path);
  AnnotationMasks out;
  out.image_path = *d.image_path;
  const Where detections{json_path, "\"detections\""};
  for (size_t k = 0; k < d.detections->items.size(); ++k) {
    const Where where = detections[k];
    const JsonValue& det = detection_at(d, k, where);
    const JsonValue* id = det.find("object_id");
    out.box_keys.push_back((id ? object_id_of(*id, where["object_id"]) : 0) - 1);
    out.masks.push_back(fill_polygons(polygons_of(det, width, height, where), height, width, where.text()));
  }
  return out;
}

AnnotationForDrawing read_annotation_for_drawing(const std::string& json_path) {
  Document d = read_document(json_path);
  AnnotationForDrawing out;
  const Where detections{json_path, "\"detections\""};
  for (size_t k = 0; k < d.detections->items.size(); ++k) {
    const Where where = detections[k];
    out.object_ids.push_back(object_id_of(member(detection_at(d, k, where), "object_id"), where["object_id"]));
  }
  out.image_path = *d.image_path;
  out.doc = std::move(d.doc);  // the last use of d
  return out;
}

cv::Mat draw_annotation(const cv::Mat& rgba, const AnnotationForDrawing& file, const std::vector<char>& drawn,
                        bool box_drawing, uint64_t seed, const std::string& json_path) {
  if (rgba.type() != CV_8UC4) throw ValueError("internal: the annotation is drawn on an RGBA image");
  const JsonValue& dets = member(file.doc, "detections");
  if (drawn.size() != dets.items.size() || file.object_ids.size() != drawn.size())
    throw ValueError("internal: one drawing flag per detection expected");
  cv::Mat overlay(rgba.size(), CV_8UC4, cv::Scalar(255, 255, 255, 0));
  std::mt19937_64 gen(seed);
  std::uniform_int_distribution<int> component(0, 254);
  const Where detections{json_path, "\"detections\""};
  for (size_t k = 0; k < drawn.size(); ++k) {
    if (!drawn[k]) continue;
    const Where where = detections[k];
    const JsonValue& det = dets.items[k];
    Rgba colour{};
    for (int c = 0; c < 3; ++c) colour[c] = static_cast<uint8_t>(component(gen));
    colour[3] = 255;
    const Rgba translucent{colour[0], colour[1], colour[2], kOverlayAlpha};
    const Where at = where["xyxy"];
    const JsonValue& boxes = as_list(member(det, "xyxy"), at);
    std::optional<std::array<double, 4>> box;
    for (size_t j = 0; j < boxes.items.size(); ++j) box = box_of(boxes.items[j], at[j]);
    for (const auto& poly : polygons_of(det, rgba.cols, rgba.rows, where)) {
      // The imaging library refuses a polygon of fewer than two points.
      if (poly.size() < 2)
        throw ValueError(expected_got("at least 2 x y pairs in every polygon text of " + where.text(),
                                      std::to_string(poly.size())));
      fill_polygon_scanline(overlay, poly, translucent);
    }
    // A detection without a box has no box and no label of its own.
    if (box_drawing && box) draw_box_and_label(overlay, *box, file.object_ids[k], colour, at.text());
  }
  return alpha_composite(rgba, overlay);
}

namespace {

// x y as the fractions of a pixel centre, six decimals each.
// std::to_chars rounds as printf's "%.6f" does, at a fraction of its cost.
void append_point(std::string& out, const cv::Point& p, double width, double height) {
  char buf[64];
  char* end = buf;
  *end++ = ' ';
  end = std::to_chars(end, buf + sizeof buf, (p.x + 0.5) / width, std::chars_format::fixed, 6).ptr;
  *end++ = ' ';
  end = std::to_chars(end, buf + sizeof buf, (p.y + 0.5) / height, std::chars_format::fixed, 6).ptr;
  out.append(buf, end);
}

// The outline of the contours of a mask whose set pixels fill `box`.
MaskOutline outline_of(const std::vector<std::vector<cv::Point>>& contours, const PixelBox& box, int64_t mask_width,
                       int64_t mask_height) {
  MaskOutline out;
  if (box.empty) return out;
  const auto width = static_cast<double>(mask_width), height = static_cast<double>(mask_height);
  for (const auto& contour : contours) {
    std::string text = "0";
    for (const cv::Point& p : contour) append_point(text, p, width, height);
    if (contour.size() == 1) append_point(text, contour[0], width, height);
    out.polygons.push_back(std::move(text));
  }
  out.box = std::array<int64_t, 4>{box.x_min, box.y_min, box.x_max, box.y_max};
  return out;
}

void require_traceable(int64_t height, int64_t width) {
  if (height > INT_MAX || width > INT_MAX)
    throw ValueError(expected_got("a mask of at most 2^31 - 1 rows and columns",
                                  std::to_string(height) + " x " + std::to_string(width)));
}

}  // namespace

MaskOutline mask_outline(const MaskView& mask) {
  require_traceable(mask.height, mask.width);
  const PixelBox box = mask_box(mask);
  if (box.empty) return {};
  // Only the box is traced: the pixels around it are clear, and OpenCV
  // treats those beyond the image as clear too, so the contours (and the
  // order in which the raster scan meets them) are the whole frame's.
  const cv::Mat image(static_cast<int>(mask.height), static_cast<int>(mask.width), CV_8UC1,
                      const_cast<uint8_t*>(mask.data), static_cast<size_t>(mask.row_stride));
  const cv::Rect rect(static_cast<int>(box.x_min), static_cast<int>(box.y_min),
                      static_cast<int>(box.x_max - box.x_min + 1), static_cast<int>(box.y_max - box.y_min + 1));
  cv::Mat binary;
  cv::compare(image(rect), cv::Scalar(0), binary, cv::CMP_NE);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, rect.tl());
  return outline_of(contours, box, mask.width, mask.height);
}

std::vector<std::vector<cv::Point>> outer_contours(const RunMask& mask) {
  require_traceable(mask.height(), mask.width());
  std::vector<std::vector<cv::Point>> contours;
  const PixelBox& box = mask.box();
  if (box.empty) return contours;
  // The box painted alone traces as the whole frame would (see mask_outline).
  const int64_t box_h = box.y_max - box.y_min + 1, box_w = box.x_max - box.x_min + 1;
  require_allocatable(static_cast<uint64_t>(box_w), static_cast<uint64_t>(box_h), [] { return std::string("the box of a mask"); });
  cv::Mat binary = cv::Mat::zeros(static_cast<int>(box_h), static_cast<int>(box_w), CV_8UC1);
  for (int64_t y = box.y_min; y <= box.y_max; ++y) {
    uint8_t* row = binary.ptr<uint8_t>(static_cast<int>(y - box.y_min)) - box.x_min;
    for (const Run& r : mask.row(y)) std::memset(row + r.x_begin, 255, static_cast<size_t>(r.x_end - r.x_begin));
  }
  cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                   cv::Point(static_cast<int>(box.x_min), static_cast<int>(box.y_min)));
  return contours;
}

MaskOutline mask_outline(const RunMask& mask) {
  return outline_of(outer_contours(mask), mask.box(), mask.width(), mask.height());
}

std::string annotation_file_text(std::string_view image_path, std::string_view class_name,
                                 const std::vector<TrackedObject>& objects) {
  std::vector<int64_t> ids;
  std::vector<MaskOutline> outlines;
  for (size_t k = 0; k < objects.size(); ++k) {
    const TrackedObject& o = objects[k];
    if (k > 0 && !o.mask.same_shape(objects[0].mask))
      throw ValueError(expected_got("masks of one frame size (" + std::to_string(objects[0].mask.height) + " x " +
                                        std::to_string(objects[0].mask.width) + ")",
                                    std::to_string(o.mask.height) + " x " + std::to_string(o.mask.width) +
                                        " for object " + std::to_string(o.object_id)));
    ids.push_back(o.object_id);
    outlines.push_back(mask_outline(o.mask));
  }
  return annotation_file_text(image_path, class_name, ids, outlines);
}

std::string annotation_file_text(std::string_view image_path, std::string_view class_name,
                                 const std::vector<int64_t>& object_ids, const std::vector<MaskOutline>& outlines) {
  JsonValue detections = JsonValue::array_value();
  for (size_t k = 0; k < object_ids.size(); ++k) {
    const MaskOutline& outline = outlines[k];
    JsonValue boxes = JsonValue::array_value();
    if (outline.box) {
      JsonValue b = JsonValue::array_value();
      for (int64_t v : *outline.box) b.items.push_back(JsonValue::integer_value(v));
      boxes.items.push_back(std::move(b));
    }
    JsonValue polygons = JsonValue::array_value();
    for (const std::string& text : outline.polygons) polygons.items.push_back(JsonValue::text_value(std::string(text)));
    JsonValue det = JsonValue::object_value();
    det.members.emplace_back("object_id", JsonValue::integer_value(object_ids[k]));
    det.members.emplace_back("class_name", JsonValue::text_value(std::string(class_name)));
    det.members.emplace_back("xyxy", std::move(boxes));
    det.members.emplace_back("formatted_polygon", std::move(polygons));
    detections.items.push_back(std::move(det));
  }
  JsonValue doc = JsonValue::object_value();
  doc.members.emplace_back("image_path", JsonValue::text_value(std::string(image_path)));
  doc.members.emplace_back("detections", std::move(detections));
  return dump_json(doc, -1);
}

}  // namespace mirelo
