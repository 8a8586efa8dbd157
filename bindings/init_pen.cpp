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

nb::list points_to_list(const std::vector<PenPoint>& pts) {
  nb::list out;
  for (const auto& p : pts) out.append(nb::make_tuple(host_number_to_py(p.x), host_number_to_py(p.y)));
  return out;
}

bool is_text_like(nb::handle obj) { return nb::isinstance<nb::str>(obj) || nb::isinstance<nb::bytes>(obj); }

std::vector<PenPoint> points_arg(nb::handle obj) {
  nb::object seq = nb::borrow(obj);
  if (nb::hasattr(seq, "detach") || nb::hasattr(seq, "__array_interface__")) seq = host_array(seq);
  if (is_text_like(seq) || !PySequence_Check(seq.ptr()))
    throw TypeError(expected_got("a list of (x, y) points for polygon_points", py_type_name(seq)));
  std::vector<PenPoint> out;
  size_t k = 0;
  for (nb::handle p : seq) {
    const std::string what = "polygon_points[" + std::to_string(k) + "]";
    if (is_text_like(p) || !PySequence_Check(p.ptr()) || PySequence_Size(p.ptr()) != 2) {
      if (PyErr_Occurred()) PyErr_Clear();
      throw ValueError(expected_got("an (x, y) pair of numbers for " + what,
                                    to_text(nb::repr(p))));
    }
    out.push_back(PenPoint{to_host_number(p[nb::int_(0)], what + "[0]"), to_host_number(p[nb::int_(1)], what + "[1]")});
    ++k;
  }
  return out;
}

std::vector<std::array<double, 4>> boxes_arg(nb::handle obj) {
  std::vector<std::array<double, 4>> out;
  nb::object seq = nb::borrow(obj);
  if (nb::hasattr(seq, "detach") || nb::hasattr(seq, "__array_interface__")) {
    NDArray a = to_ndarray(seq, "boxes");
    if (a.size() == 0) return out;
    if (a.ndim() != 2 || a.shape[1] < 4)
      throw ValueError(expected_got("boxes of shape (N, 4)", "an array of shape " + a.shape_text()));
    const int64_t cols = a.shape[1];
    for (int64_t r = 0; r < a.shape[0]; ++r)
      out.push_back({a.get(r * cols), a.get(r * cols + 1), a.get(r * cols + 2), a.get(r * cols + 3)});
    return out;
  }
  if (is_text_like(seq) || !PySequence_Check(seq.ptr()))
    throw TypeError(expected_got("a list of [x_min, y_min, x_max, y_max] boxes", py_type_name(seq)));
  size_t k = 0;
  for (nb::handle b : seq) {
    const std::string what = "boxes[" + std::to_string(k) + "]";
    const Py_ssize_t n = (is_text_like(b) || !PySequence_Check(b.ptr())) ? -1 : PySequence_Size(b.ptr());
    if (n < 4) {
      if (PyErr_Occurred()) PyErr_Clear();
      throw ValueError(expected_got("[x_min, y_min, x_max, y_max] for " + what, to_text(nb::repr(b))));
    }
    std::array<double, 4> box{};
    for (int c = 0; c < 4; ++c) box[c] = to_host_number(b[nb::int_(c)], what + "[" + std::to_string(c) + "]").as_double();
    out.push_back(box);
    ++k;
  }
  return out;
}

nb::object get_pen_json_path(nb::handle video_dir, nb::handle custom_pen_json_path) {
  if (!custom_pen_json_path.is_none()) return nb::borrow(custom_pen_json_path);
  const std::string dir = path_text(video_dir, "video_dir");
  const auto path = mirelo::get_pen_json_path(dir, std::nullopt, pen_json_root());
  if (!path) return nb::none();
  return path_str(*path);
}

nb::object draw_pen(nb::handle image_path, nb::handle json_path, nb::handle drawout) {
  const std::string jp = path_text(json_path, "json_path");
  std::vector<PenPoint> pts;
  {
    nb::gil_scoped_release release;
    pts = read_pen_points(jp);
  }
  nb::list points = points_to_list(pts);
  const int draw = PyObject_IsTrue(drawout.ptr());
  if (draw < 0) throw nb::python_error();
  if (!draw) return points;

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
  const std::vector<std::array<double, 4>> b = boxes_arg(boxes);
  const double threshold = to_host_number(ratio_threshold, "ratio_threshold").as_double();
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
  const std::string kind = nb::cast<std::string>(a.attr("dtype").attr("kind"));
  if (kind != "b" && kind != "u" && kind != "i" && kind != "f" && kind != "c")
    throw TypeError(expected_got("a numeric or bool test_mask",
                                 "dtype " + to_text(a.attr("dtype"))));
  nb::object shape = a.attr("shape");
  const auto h = nb::cast<int64_t>(shape[nb::int_(ndim - 2)]);
  const auto w = nb::cast<int64_t>(shape[nb::int_(ndim - 1)]);
  nb::object frame = frame_names[frame_idx];  // looked up as the outline's image, which is not opened
  (void)frame;
  const std::string jp = path_text(pen_json_path, "pen_json_path");
  std::vector<PenPoint> pts;
  {
    nb::gil_scoped_release release;
    pts = read_pen_points(jp);
  }
  nb::object out = numpy().attr("array")(a, "copy"_a = true, "order"_a = "C");
  const auto size = nb::cast<int64_t>(out.attr("size"));
  const auto itemsize = nb::cast<size_t>(out.attr("itemsize"));
  auto* data = reinterpret_cast<uint8_t*>(
      nb::cast<uintptr_t>(out.attr("__array_interface__")["data"][nb::int_(0)]));
  {
    nb::gil_scoped_release release;
    const cv::Mat pen = pen_mask(pts, h, w);
    if (size > 0) clear_outside_pen(data, size / (h * w), h, w, itemsize, pen);
  }
  return out;
}

void fix_polygon_scaling(nb::handle json_path, nb::handle save_path) {
  const std::string jp = path_text(json_path, "json_path");
  std::optional<std::string> sp;
  if (!save_path.is_none()) sp = path_text(save_path, "save_path");
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

std::string path_text(nb::handle path, const std::string& what) {
  nb::object text;
  if (nb::isinstance<nb::str>(path)) {
    text = nb::borrow(path);
  } else if (nb::hasattr(path, "__fspath__")) {
    text = nb::module_::import_("os").attr("fspath")(path);
  }
  if (!text.is_valid() || !nb::isinstance<nb::str>(text))
    throw TypeError(expected_got("a str or os.PathLike path for " + what, py_type_name(path)));
  // The file-system encoding turns the surrogate escapes of names that are
  // not UTF-8 (as os.listdir gives them) back into the name's own bytes.
  nb::object bytes = nb::steal(PyUnicode_EncodeFSDefault(text.ptr()));
  if (!bytes.is_valid()) throw nb::python_error();
  std::string out(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
  // The system would cut the path at a null byte and use another file.
  if (out.find('\0') != std::string::npos) throw ValueError("embedded null byte in " + what);
  return out;
}

nb::str path_str(const std::string& path) {
  PyObject* s = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  if (!s) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

std::string pen_json_root() {
  nb::object modules = nb::module_::import_("sys").attr("modules");
  nb::object package = modules.attr("get")("mirelo_utils");
  nb::object root;
  if (!package.is_none() && nb::hasattr(package, "PEN_JSON_ROOT")) {
    root = package.attr("PEN_JSON_ROOT");
  } else {
    root = nb::borrow(core_module).attr("PEN_JSON_ROOT");
  }
  return path_text(root, "mirelo_utils.PEN_JSON_ROOT");
}

nb::object json_to_py(const JsonValue& v) {
  switch (v.kind) {
    case JsonValue::Kind::Null: return nb::none();
    case JsonValue::Kind::Bool: return nb::bool_(v.boolean);
    case JsonValue::Kind::Int:
      if (v.big_int) return nb::steal(PyLong_FromString(v.text.c_str(), nullptr, 10));
      return nb::int_(v.integer);
    case JsonValue::Kind::Float: return nb::float_(v.number);
    case JsonValue::Kind::String: {
      PyObject* s = PyUnicode_DecodeUTF8(v.text.data(), static_cast<Py_ssize_t>(v.text.size()), "surrogatepass");
      if (!s) throw nb::python_error();
      return nb::steal(s);
    }
    case JsonValue::Kind::Array: {
      nb::list out;
      for (const auto& item : v.items) out.append(json_to_py(item));
      return out;
    }
    case JsonValue::Kind::Object: {
      nb::dict out;
      for (const auto& [key, value] : v.members) out[nb::str(key.c_str(), key.size())] = json_to_py(value);
      return out;
    }
  }
  return nb::none();
}

void init_pen(nb::module_& m) {
  core_module = m.ptr();
  m.attr("PEN_JSON_ROOT") = kDefaultPenJsonRoot;

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
