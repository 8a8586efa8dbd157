#include "pen/pen.hpp"

#define GEOS_USE_ONLY_R_API
#include <geos_c.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/format.hpp"
#include "common/polygon_fill.hpp"
#include "common/runtime.hpp"
#include "common/text.hpp"
#include "pen/polygon_text.hpp"

namespace mirelo {
namespace {

// ---------------------------------------------------------------- GEOS ----

// One GEOS context per call: GEOS reports failures through handlers, which
// collect the text here so that the failing call can raise it.
class Geos {
 public:
  Geos() : ctx_(GEOS_init_r()) {
    if (!ctx_) throw std::runtime_error("could not start the geometry library");
    GEOSContext_setErrorMessageHandler_r(ctx_, &Geos::on_message, &error_);
    GEOSContext_setNoticeMessageHandler_r(ctx_, &Geos::on_message, &notice_);
  }
  ~Geos() { GEOS_finish_r(ctx_); }
  Geos(const Geos&) = delete;
  Geos& operator=(const Geos&) = delete;

  GEOSContextHandle_t get() const { return ctx_; }

  [[noreturn]] void fail(const std::string& what) const {
    throw ValueError(what + (error_.empty() ? std::string() : ": " + error_));
  }

  struct Deleter {
    GEOSContextHandle_t ctx;
    void operator()(GEOSGeometry* g) const {
      if (g) GEOSGeom_destroy_r(ctx, g);
    }
  };
  using Geom = std::unique_ptr<GEOSGeometry, Deleter>;

  Geom own(GEOSGeometry* g, const std::string& what) const {
    if (!g) fail(what);
    return Geom(g, Deleter{ctx_});
  }

  /// A polygon with the closed ring through `xy` (pairs x, y, already closed).
  Geom polygon(const std::vector<double>& xy, const std::string& what) const {
    const auto n = static_cast<unsigned>(xy.size() / 2);
    GEOSCoordSequence* seq = GEOSCoordSeq_create_r(ctx_, n, 2);
    if (!seq) fail(what);
    for (unsigned i = 0; i < n; ++i) {
      if (!GEOSCoordSeq_setXY_r(ctx_, seq, i, xy[2 * i], xy[2 * i + 1])) {
        GEOSCoordSeq_destroy_r(ctx_, seq);
        fail(what);
      }
    }
    GEOSGeometry* ring = GEOSGeom_createLinearRing_r(ctx_, seq);  // owns seq, even on failure
    if (!ring) fail(what);
    GEOSGeometry* poly = GEOSGeom_createPolygon_r(ctx_, ring, nullptr, 0);  // owns ring
    return own(poly, what);
  }

  double area(const GEOSGeometry* g, const std::string& what) const {
    double a = 0.0;
    if (!GEOSArea_r(ctx_, g, &a)) fail(what);
    return a;
  }

 private:
  static void on_message(const char* message, void* userdata) {
    auto* s = static_cast<std::string*>(userdata);
    if (message) *s = message;
  }

  GEOSContextHandle_t ctx_;
  std::string error_, notice_;
};

std::string point_text(const PenPoint& p) {
  auto t = [](const HostNumber& n) { return n.is_int ? std::to_string(n.i) : format_float(n.d); };
  return "(" + t(p.x) + ", " + t(p.y) + ")";
}

std::string box_text(const std::array<double, 4>& b) {
  return "[" + format_float(b[0]) + ", " + format_float(b[1]) + ", " + format_float(b[2]) + ", " +
         format_float(b[3]) + "]";
}

// The ring through the pen points, closed unless the last point already
// repeats the first, as a polygon built from a point list closes it.
std::vector<double> pen_ring(const std::vector<PenPoint>& pen) {
  std::vector<double> xy;
  xy.reserve(pen.size() * 2 + 2);
  for (size_t k = 0; k < pen.size(); ++k) {
    const double x = pen[k].x.as_double(), y = pen[k].y.as_double();
    if (!std::isfinite(x) || !std::isfinite(y))
      throw ValueError(expected_got("finite pen coordinates", point_text(pen[k]) + " at point " + std::to_string(k)));
    xy.push_back(x);
    xy.push_back(y);
  }
  if (xy.size() >= 2 && (xy[0] != xy[xy.size() - 2] || xy[1] != xy.back())) {
    xy.push_back(xy[0]);
    xy.push_back(xy[1]);
  }
  if (xy.size() < 8) {
    // The closing point repeats the first corner; a lone point closes nothing.
    const size_t ring_points = xy.size() / 2;
    const size_t corners = ring_points > 1 ? ring_points - 1 : ring_points;
    throw ValueError(expected_got("a pen polygon of at least 3 corners",
                                  std::to_string(corners) + " (from " + std::to_string(pen.size()) + " points)"));
  }
  return xy;
}

}  // namespace

// ------------------------------------------------------- pen file path ----

std::optional<std::string> get_pen_json_path(const std::string& video_dir,
                                             const std::optional<std::string>& custom,
                                             const std::string& root) {
  if (custom) return custom;
  std::optional<std::string> camera;
  size_t start = 0;
  for (;;) {
    const size_t end = video_dir.find('\\', start);
    const std::string piece = video_dir.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (piece.find("Camera") != std::string::npos) {
      camera = piece.substr(0, piece.find('_'));
      break;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!camera) return std::nullopt;
  static const std::pair<const char*, const char*> table[] = {
      {"Camera61", "Cam61.json"}, {"Camera62", "Cam62.json"}, {"Camera64", "Cam64.json"},
      {"Camera65", "Cam65.json"}, {"Camera66", "Cam66.json"}, {"Camera70", "Cam70.json"},
  };
  for (const auto& [name, file] : table) {
    if (*camera != name) continue;
    const bool forward = root.find('\\') == std::string::npos && root.find('/') != std::string::npos;
    const char sep = forward ? '/' : '\\';
    std::string out = root;
    if (!out.empty() && out.back() != '\\' && out.back() != '/') out.push_back(sep);
    out += "GSAM2_output";
    out.push_back(sep);
    out += file;
    return out;
  }
  return std::nullopt;
}

// ---------------------------------------------------------- pen points ----

std::vector<PenPoint> read_pen_points(const std::string& json_path) {
  const JsonValue doc = read_json_file(json_path);
  if (!doc.is_object())
    throw TypeError(expected_got("a JSON object in the pen file " + repr_text(json_path), doc.type_name()));
  const JsonValue* shapes = doc.find("shapes");
  if (!shapes) throw KeyError("shapes");
  if (shapes->kind == JsonValue::Kind::Null || (shapes->is_array() && shapes->items.empty()))
    throw ValueError("No shapes found in the JSON file.");
  if (!shapes->is_array())
    throw TypeError(expected_got("a list for \"shapes\" in " + repr_text(json_path), shapes->type_name()));
  const JsonValue& first = shapes->items[0];
  if (!first.is_object())
    throw TypeError(expected_got("an object for shapes[0] in " + repr_text(json_path), first.type_name()));
  const JsonValue* points = first.find("points");
  if (!points) throw KeyError("points");
  if (!points->is_array())
    throw TypeError(expected_got("a list for shapes[0][\"points\"] in " + repr_text(json_path), points->type_name()));
  std::vector<PenPoint> out;
  out.reserve(points->items.size());
  for (size_t k = 0; k < points->items.size(); ++k) {
    const JsonValue& p = points->items[k];
    const bool pair = p.is_array() && p.items.size() == 2 && p.items[0].is_number() && p.items[1].is_number();
    if (!pair) {
      const std::string got = p.is_array() ? std::to_string(p.items.size()) + "-item list " + dump_json(p, -1)
                                           : p.type_name();
      throw ValueError(expected_got("each pen point to be a pair of numbers [x, y] (shapes[0][\"points\"][" +
                                        std::to_string(k) + "] in " + repr_text(json_path) + ")",
                                    got));
    }
    auto num = [](const JsonValue& v) {
      if (v.kind == JsonValue::Kind::Float) return HostNumber::real(v.number);
      if (v.big_int) return HostNumber::real(std::strtod(v.text.c_str(), nullptr));
      return HostNumber::integer(v.integer);
    };
    out.push_back(PenPoint{num(p.items[0]), num(p.items[1])});
  }
  return out;
}

// ------------------------------------------------------ box percentages ----

std::vector<double> pen_box_ratios(const std::vector<PenPoint>& pen,
                                   const std::vector<std::array<double, 4>>& boxes) {
  const std::vector<double> ring = pen_ring(pen);
  Geos geos;
  GEOSContextHandle_t ctx = geos.get();
  Geos::Geom poly = geos.polygon(ring, "could not build the pen polygon");
  const char valid = GEOSisValid_r(ctx, poly.get());
  if (valid == 2) geos.fail("could not check the pen polygon");
  if (valid == 0) {
    char* reason = GEOSisValidReason_r(ctx, poly.get());
    const std::string why = reason ? reason : "unknown reason";
    if (reason) GEOSFree_r(ctx, reason);
    throw ValueError(expected_got("a simple pen polygon (an outline that does not cross itself)",
                                  "an invalid polygon: " + why));
  }
  std::vector<double> ratios;
  ratios.reserve(boxes.size());
  for (size_t k = 0; k < boxes.size(); ++k) {
    const auto& b = boxes[k];
    for (double v : b)
      if (!std::isfinite(v))
        throw ValueError(expected_got("finite box coordinates", box_text(b) + " at box " + std::to_string(k)));
    // The rectangle's ring in the order a box polygon is built in
    // (counter-clockwise from the lower right corner), so areas agree.
    const std::vector<double> rect = {b[2], b[1], b[2], b[3], b[0], b[3], b[0], b[1], b[2], b[1]};
    Geos::Geom box = geos.polygon(rect, "could not build the rectangle of box " + std::to_string(k));
    Geos::Geom inter = geos.own(GEOSIntersection_r(ctx, poly.get(), box.get()),
                                "could not intersect the pen polygon with box " + std::to_string(k));
    const double inter_area = geos.area(inter.get(), "could not measure the pen part of box " + std::to_string(k));
    const double box_area = geos.area(box.get(), "could not measure box " + std::to_string(k));
    if (box_area == 0.0)
      throw ZeroDivisionError("float division by zero: box " + std::to_string(k) + " " + box_text(b) +
                              " has zero area, so its share inside the pen is undefined");
    ratios.push_back(inter_area / box_area * 100.0);
  }
  return ratios;
}

// ------------------------------------------------------------ pen mask ----

cv::Mat pen_mask(const std::vector<PenPoint>& pen, int64_t height, int64_t width) {
  if (pen.size() < 3)
    throw ValueError(expected_got("a pen polygon of at least 3 points", std::to_string(pen.size()) + " points"));
  if (height < 0 || width < 0 || height > INT_MAX || width > INT_MAX)
    throw ValueError(expected_got("a mask size that fits in 32 bits",
                                  std::to_string(height) + " x " + std::to_string(width)));
  auto to_int = [&](const HostNumber& n, size_t k) {
    double v = n.is_int ? static_cast<double>(n.i) : std::trunc(n.d);
    if (n.is_int && n.i >= INT32_MIN && n.i <= INT32_MAX) return static_cast<int>(n.i);
    if (!std::isfinite(v) || v < static_cast<double>(INT32_MIN) || v > static_cast<double>(INT32_MAX))
      throw ValueError(expected_got("pen coordinates that are finite and fit in 32-bit integers",
                                    point_text(pen[k]) + " at point " + std::to_string(k)));
    return static_cast<int>(v);
  };
  std::vector<cv::Point> pts;
  pts.reserve(pen.size());
  for (size_t k = 0; k < pen.size(); ++k) pts.emplace_back(to_int(pen[k].x, k), to_int(pen[k].y, k));
  cv::Mat mask = cv::Mat::zeros(static_cast<int>(height), static_cast<int>(width), CV_8UC1);
  fill_polygon(mask, pts, cv::Scalar(1));
  return mask;
}

namespace {

// Rows of whole elements: a branch-free select the compiler vectorises (the
// rows never overlap: the result is a new array).
template <typename T>
void copy_row(const uint8_t* src, int64_t col_stride, uint8_t* dst, const uint8_t* __restrict pen, int64_t width) {
  T* __restrict d = reinterpret_cast<T*>(dst);
  if (col_stride == static_cast<int64_t>(sizeof(T)) && reinterpret_cast<uintptr_t>(src) % alignof(T) == 0) {
    const T* __restrict s = reinterpret_cast<const T*>(src);
    // Every element is read, kept or not: a read under the condition would
    // keep the loop from being vectorised.
    for (int64_t x = 0; x < width; ++x) {
      const T v = s[x];
      d[x] = pen[x] ? v : T(0);
    }
  } else {
    for (int64_t x = 0; x < width; ++x) {
      T v;
      std::memcpy(&v, src + x * col_stride, sizeof(T));
      d[x] = pen[x] ? v : T(0);
    }
  }
}

void copy_row_bytes(const uint8_t* src, int64_t col_stride, uint8_t* dst, const uint8_t* pen, int64_t width,
                    size_t itemsize) {
  for (int64_t x = 0; x < width; ++x, dst += itemsize) {
    if (pen[x])
      std::memcpy(dst, src + x * col_stride, itemsize);
    else
      std::memset(dst, 0, itemsize);
  }
}

}  // namespace

void copy_inside_pen(const StridedStack& src, uint8_t* dst, const cv::Mat& pen) {
  const size_t ndim = src.shape.size();
  if (ndim < 2 || src.strides.size() != ndim) throw ValueError("internal: a stack needs height and width axes");
  const int64_t height = src.shape[ndim - 2], width = src.shape[ndim - 1];
  if (pen.type() != CV_8UC1 || pen.rows != height || pen.cols != width)
    throw ValueError("internal: pen mask of the wrong size");
  int64_t planes = 1;
  for (size_t k = 0; k + 2 < ndim; ++k) planes *= src.shape[k];
  if (planes == 0 || height == 0 || width == 0) return;
  const int64_t row_stride = src.strides[ndim - 2], col_stride = src.strides[ndim - 1];
  const size_t row_bytes = static_cast<size_t>(width) * src.itemsize;
  // Index of the current plane along the leading axes, and the byte offset
  // of its first element (kept as a number: a pointer stepped past the
  // array's ends would be undefined).
  std::vector<int64_t> index(ndim - 2, 0);
  int64_t offset = 0;
  for (int64_t k = 0; k < planes; ++k) {
    const uint8_t* plane = src.data + offset;
    for (int64_t y = 0; y < height; ++y) {
      const uint8_t* s = plane + y * row_stride;
      const uint8_t* p = pen.ptr<uint8_t>(static_cast<int>(y));
      switch (src.itemsize) {
        case 1: copy_row<uint8_t>(s, col_stride, dst, p, width); break;
        case 2: copy_row<uint16_t>(s, col_stride, dst, p, width); break;
        case 4: copy_row<uint32_t>(s, col_stride, dst, p, width); break;
        case 8: copy_row<uint64_t>(s, col_stride, dst, p, width); break;
        default: copy_row_bytes(s, col_stride, dst, p, width, src.itemsize);
      }
      dst += row_bytes;
    }
    for (size_t axis = index.size(); axis-- > 0;) {
      offset += src.strides[axis];
      if (++index[axis] < src.shape[axis]) break;
      offset -= src.strides[axis] * src.shape[axis];
      index[axis] = 0;
    }
    if ((k & 15) == 15) check_interrupt();
  }
}

// ------------------------------------------------------ polygon repair ----

void rescale_polygon_texts(JsonValue& doc, int64_t width, int64_t height) {
  if (!doc.is_object()) throw TypeError(expected_got("a JSON object", doc.type_name()));
  JsonValue* dets = doc.find("detections");
  if (!dets) throw KeyError("detections");
  if (!dets->is_array()) throw TypeError(expected_got("a list for \"detections\"", dets->type_name()));
  for (size_t d = 0; d < dets->items.size(); ++d) {
    JsonValue& det = dets->items[d];
    const std::string where_det = "detections[" + std::to_string(d) + "]";
    if (!det.is_object()) throw TypeError(expected_got("an object for " + where_det, det.type_name()));
    JsonValue* polys = det.find("formatted_polygon");
    if (!polys) throw KeyError("formatted_polygon");
    if (!polys->is_array())
      throw TypeError(expected_got("a list for " + where_det + "[\"formatted_polygon\"]", polys->type_name()));
    for (size_t p = 0; p < polys->items.size(); ++p) {
      JsonValue& text = polys->items[p];
      const std::string where = where_det + "[\"formatted_polygon\"][" + std::to_string(p) + "]";
      if (!text.is_string()) throw TypeError(expected_got("a polygon text for " + where, text.type_name()));
      const PolygonText poly = parse_polygon_text(text.text, where);
      if (!poly.points.empty() && (width == 0 || height == 0))
        throw ZeroDivisionError("division by zero: the image is " + std::to_string(width) + " x " +
                                std::to_string(height) + " pixels");
      std::string out(poly.identifier);
      for (const auto& [x0, y0] : poly.points) {
        const double x = x0 * (static_cast<double>(height) / static_cast<double>(width));
        const double y = y0 * (static_cast<double>(width) / static_cast<double>(height));
        out += ' ';
        out += format_fixed(x, 6);
        out += ' ';
        out += format_fixed(y, 6);
      }
      text.text = std::move(out);
    }
  }
}

void fix_polygon_scaling(const std::string& json_path, const std::optional<std::string>& save_path,
                         const ImageSizeOf& image_size) {
  JsonValue doc = read_json_file(json_path);
  if (!doc.is_object())
    throw TypeError(expected_got("a JSON object in the annotation file " + repr_text(json_path), doc.type_name()));
  const JsonValue* image_path = doc.find("image_path");
  if (!image_path) throw KeyError("image_path");
  std::pair<int64_t, int64_t> size;
  try {
    size = image_size(*image_path);
  } catch (const ImageLoadError& e) {
    print_line(std::string("Error loading image: ") + e.what());
    return;
  }
  rescale_polygon_texts(doc, size.first, size.second);
  write_file_atomically(save_path.value_or(json_path), dump_json(doc, 4));
}

}  // namespace mirelo
