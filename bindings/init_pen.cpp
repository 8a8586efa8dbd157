// Pen polygon files: the per-camera pen file, the pen outline, the share of
// boxes inside the pen, masks cut to the pen and the annotation repair tool.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "convert.hpp"
#include "pen_support.hpp"
#include "pen/pen.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

// The extension module itself; lives as long as the interpreter.
PyObject* core_module = nullptr;

// Attribute of the module holding the namespace (globals) of the package,
// handed over once when the package is imported; the users' settings are
// read from it at each call, so that `mirelo_utils.PEN_JSON_ROOT = ...`
// takes effect at once.
constexpr const char* kSettings = "_settings";

void use_settings(nb::handle namespace_) {
  if (!PyDict_Check(namespace_.ptr()))
    throw TypeError(expected_got("the package's namespace (a dict)", py_type_name(namespace_)));
  nb::borrow<nb::module_>(core_module).attr(kSettings) = namespace_;
}

nb::list points_to_list(const std::vector<PenPoint>& pts) {
  nb::list out;
  for (const auto& p : pts) out.append(nb::make_tuple(host_number_to_py(p.x), host_number_to_py(p.y)));
  return out;
}

std::vector<PenPoint> points_arg(nb::handle obj) {
  std::vector<PenPoint> out;
  for (const auto& [x, y] : to_points(obj, "polygon_points")) out.push_back(PenPoint{x, y});
  return out;
}

nb::object get_pen_json_path(nb::handle video_dir, nb::handle custom_pen_json_path) {
  if (!custom_pen_json_path.is_none()) return nb::borrow(custom_pen_json_path);
  const std::string dir = to_path(video_dir, "video_dir");
  const auto path = mirelo::get_pen_json_path(dir, std::nullopt, pen_json_root());
  if (!path) return nb::none();
  return path_str(*path);
}

nb::object draw_pen(nb::handle image_path, nb::handle json_path, nb::handle drawout) {
  const std::string jp = to_path(json_path, "json_path");
  std::vector<PenPoint> pts;
  {
    nb::gil_scoped_release release;
    pts = read_pen_points(jp);
  }
  nb::list points = points_to_list(pts);
  if (!to_bool(drawout)) return points;

  nb::module_ image_mod = nb::module_::import_("PIL.Image");
  nb::module_ draw_mod = nb::module_::import_("PIL.ImageDraw");
  nb::object opened = image_mod.attr("open")(image_path);
  nb::object image;
  try {
    image = opened.attr("convert")("RGB");
  } catch (...) {
    opened.attr("close")();
    throw;
  }
  opened.attr("close")();
  if (pts.empty()) throw ValueError("cannot draw the pen outline: the pen file has no points");
  nb::list outline;
  for (nb::handle p : points) outline.append(p);
  outline.append(points[0]);
  draw_mod.attr("Draw")(image).attr("line")(outline, "fill"_a = "red", "width"_a = 3, "joint"_a = "curve");
  return nb::make_tuple(image, points);
}

nb::tuple calculate_pen_intersection_ratio(nb::handle polygon_points, nb::handle boxes, nb::handle ratio_threshold) {
  const std::vector<PenPoint> pen = points_arg(polygon_points);
  const std::vector<std::array<double, 4>> b = to_boxes(boxes, "boxes");
  const double threshold = to_real(ratio_threshold, "ratio_threshold");
  std::vector<double> ratios;
  {
    nb::gil_scoped_release release;
    ratios = pen_box_ratios(pen, b);
  }
  nb::list out_ratios, flags;
  for (double r : ratios) {
    out_ratios.append(nb::float_(r));
    flags.append(nb::bool_(r >= threshold));
  }
  return nb::make_tuple(out_ratios, flags);
}

nb::object get_in_pen_mask(nb::handle frame_idx, nb::handle test_mask, nb::handle pen_json_path,
                           nb::handle frame_names) {
  nb::object a = host_array(test_mask);
  const auto ndim = nb::cast<size_t>(a.attr("ndim"));
  if (ndim < 2)
    throw ValueError(expected_got("test_mask with at least 2 dimensions (... x height x width)",
                                  "an array of shape " + to_text(a.attr("shape"))));
  if (!numeric_kind(dtype_kind(a)))
    throw TypeError(expected_got("a numeric or bool test_mask",
                                 "dtype " + to_text(a.attr("dtype"))));
  nb::object shape = a.attr("shape");
  const auto h = nb::cast<int64_t>(shape[nb::int_(ndim - 2)]);
  const auto w = nb::cast<int64_t>(shape[nb::int_(ndim - 1)]);
  nb::object frame = frame_names[frame_idx];  // looked up as the outline's image, which is not opened
  (void)frame;
  const std::string jp = to_path(pen_json_path, "pen_json_path");
  std::vector<PenPoint> pts;
  {
    nb::gil_scoped_release release;
    pts = read_pen_points(jp);
  }
  nb::object out = numpy().attr("array")(a, "copy"_a = true, "order"_a = "C");
  const auto size = nb::cast<int64_t>(out.attr("size"));
  const auto itemsize = nb::cast<size_t>(out.attr("itemsize"));
  uint8_t* data = writable_array_data(out);
  {
    nb::gil_scoped_release release;
    const cv::Mat pen = pen_mask(pts, h, w);
    if (size > 0) clear_outside_pen(data, size / (h * w), h, w, itemsize, pen);
  }
  return out;
}

void fix_polygon_scaling(nb::handle json_path, nb::handle save_path) {
  const std::string jp = to_path(json_path, "json_path");
  std::optional<std::string> sp;
  if (!save_path.is_none()) sp = to_path(save_path, "save_path");
  nb::module_ image_mod = nb::module_::import_("PIL.Image");
  auto size_of = [&image_mod](const JsonValue& image_path) -> std::pair<int64_t, int64_t> {
    nb::gil_scoped_acquire gil;
    try {
      nb::object image = image_mod.attr("open")(json_to_py(image_path));
      nb::object size = image.attr("size");
      image.attr("close")();
      return {nb::cast<int64_t>(size[nb::int_(0)]), nb::cast<int64_t>(size[nb::int_(1)])};
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      throw ImageLoadError(to_text(e.value()));
    }
  };
  nb::gil_scoped_release release;
  mirelo::fix_polygon_scaling(jp, sp, size_of);
}

}  // namespace

std::string pen_json_root() {
  nb::module_ core = nb::borrow<nb::module_>(core_module);
  nb::object settings = nb::getattr(core, kSettings, nb::none());
  nb::object root;
  if (PyDict_Check(settings.ptr())) {
    PyObject* value = PyDict_GetItemString(settings.ptr(), "PEN_JSON_ROOT");  // borrowed
    if (value) root = nb::borrow(value);
  }
  // Without the package's setting (the module used on its own, or the
  // setting deleted), the module's default stands.
  if (!root.is_valid()) root = core.attr("PEN_JSON_ROOT");
  return to_path(root, "mirelo_utils.PEN_JSON_ROOT");
}

void init_pen(nb::module_& m) {
  core_module = m.ptr();
  m.attr("PEN_JSON_ROOT") = kDefaultPenJsonRoot;
  m.attr(kSettings) = nb::none();
  m.def("_use_settings", &use_settings, "namespace"_a,
        "Reads the users' settings (PEN_JSON_ROOT) from the given package namespace at each call.");

  m.def("get_pen_json_path", &get_pen_json_path, "video_dir"_a, "custom_pen_json_path"_a = nb::none(),
        "Get the correct JSON path based on the camera name.\n\n"
        "Args:\n"
        "    video_dir: clip folder path; split at backslashes, the first piece\n"
        "        containing \"Camera\" (cut at its first '_') names the camera.\n"
        "    custom_pen_json_path: returned unchanged when not None.\n\n"
        "Returns:\n"
        "    The camera's pen file \"<root>\\\\GSAM2_output\\\\CamNN.json\" for the cameras\n"
        "    Camera61, 62, 64, 65, 66 and 70, or None for any other camera. The root is\n"
        "    mirelo_utils.PEN_JSON_ROOT, read at each call (default\n"
        "    \"D:\\\\pig_tracking\"); set it to the folder holding GSAM2_output on your\n"
        "    system. A root written with forward slashes only gives a path with\n"
        "    forward slashes.");
  m.def("draw_pen", &draw_pen, "image_path"_a, "json_path"_a, "drawout"_a = false,
        "Reads the pen outline of a pen polygon file.\n\n"
        "Args:\n"
        "    image_path: frame image, opened only when drawout is true.\n"
        "    json_path: pen polygon file; the outline is shapes[0][\"points\"].\n"
        "    drawout: also draw the closed outline in red (width 3, rounded joints)\n"
        "        on the image converted to RGB.\n\n"
        "Returns:\n"
        "    The points as a list of (x, y) tuples (numbers as stored), or\n"
        "    (image, points) when drawout is true.\n\n"
        "Raises:\n"
        "    KeyError: the file has no \"shapes\" (or shapes[0] no \"points\").\n"
        "    ValueError: \"No shapes found in the JSON file.\" for an empty shape list;\n"
        "        points that are not [x, y] pairs of numbers; malformed JSON.");
  m.def("calculate_pen_intersection_ratio", &calculate_pen_intersection_ratio, "polygon_points"_a, "boxes"_a,
        "ratio_threshold"_a,
        "Share of each box inside the pen polygon.\n\n"
        "Args:\n"
        "    polygon_points: pen outline as (x, y) points, closed implicitly.\n"
        "    boxes: [x_min, y_min, x_max, y_max] rows (list or N x 4 array), pixels.\n"
        "    ratio_threshold: percentage a box needs inside the pen to count as in it.\n\n"
        "Returns:\n"
        "    (ratios, flags): per box the percentage (0..100) of its area inside the\n"
        "    pen, and whether it is at least ratio_threshold.\n\n"
        "Raises:\n"
        "    ValueError: a pen polygon with fewer than 3 corners, crossing itself, or\n"
        "        with non-finite coordinates; a box with non-finite values.\n"
        "    ZeroDivisionError: a box of zero area.");
  m.def("get_in_pen_mask", &get_in_pen_mask, "frame_idx"_a, "test_mask"_a, "pen_json_path"_a, "frame_names"_a,
        "Clears every pixel of test_mask outside the pen polygon.\n\n"
        "Args:\n"
        "    frame_idx: index into frame_names (the frame's image is not opened).\n"
        "    test_mask: array whose last two axes are height x width (a single mask\n"
        "        or a stack); any numeric or bool dtype.\n"
        "    pen_json_path: pen polygon file.\n"
        "    frame_names: list of frame image paths.\n\n"
        "Returns:\n"
        "    A new numpy array of test_mask's shape and dtype: its values inside the\n"
        "    filled pen polygon (outline included, vertices truncated to integers),\n"
        "    0 outside, on every layer.");
  m.def("fix_polygon_scaling", &fix_polygon_scaling, "json_path"_a, "save_path"_a = nb::none(),
        "Fix the incorrect polygon normalization in a JSON file.\n\n"
        "Every \"formatted_polygon\" text of \"detections\" (identifier x1 y1 x2 y2 ...)\n"
        "gets x * height / width and y * width / height, written with six\n"
        "decimals, the size coming from the image named by \"image_path\". The\n"
        "document is written to save_path (or back to json_path) as\n"
        "json.dump(..., indent=4) writes it. The file is replaced atomically;\n"
        "malformed content raises before anything is written. When the image\n"
        "cannot be loaded, prints \"Error loading image: <error>\" and writes nothing.\n"
        "Not idempotent: a second run scales again.");
}

}  // namespace mirelo::py
