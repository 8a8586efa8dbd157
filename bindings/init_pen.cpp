// Pen polygon files and annotation files: the per-camera pen file, the pen
// outline, the share of boxes inside the pen, masks cut to the pen, the
// annotation repair tool, and masks and drawings of annotation files.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <random>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "convert.hpp"
#include "pen_support.hpp"
#include "common/files.hpp"
#include "pen/annotation.hpp"
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

  nb::module_ draw_mod = nb::module_::import_("PIL.ImageDraw");
  nb::object image = open_image(image_path, "RGB");
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
  // The result is written in one pass over the caller's array, whatever its layout.
  StridedStack src;
  src.data = first_element(a);
  src.itemsize = nb::cast<size_t>(a.attr("itemsize"));
  for (nb::handle d : shape) src.shape.push_back(nb::cast<int64_t>(d));
  for (nb::handle d : a.attr("strides")) src.strides.push_back(nb::cast<int64_t>(d));
  nb::object out = numpy().attr("empty")(shape, "dtype"_a = a.attr("dtype"));
  uint8_t* data = writable_array_data(out);
  {
    nb::gil_scoped_release release;
    copy_inside_pen(src, data, pen_mask(pts, h, w));
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
      // Only the header is read, and only from a regular file: a FIFO
      // would block the call for good.
      nb::object size = with_image_source(json_to_py(image_path), [&](nb::handle source) {
        nb::object image = image_mod.attr("open")(source);
        nb::object size = image.attr("size");
        image.attr("close")();
        return size;
      });
      return {nb::cast<int64_t>(size[nb::int_(0)]), nb::cast<int64_t>(size[nb::int_(1)])};
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      throw ImageLoadError(to_text(e.value()));
    }
  };
  nb::gil_scoped_release release;
  mirelo::fix_polygon_scaling(jp, sp, size_of);
}

nb::tuple process_json_and_generate_masks(nb::handle json_path, nb::handle height, nb::handle width) {
  const std::string path = to_path(json_path, "json_path");
  const int64_t h = to_integer(height, "height"), w = to_integer(width, "width");
  AnnotationMasks file;
  MaskStack stack;
  {
    nb::gil_scoped_release release;
    file = read_annotation_masks(path, h, w);
    std::vector<const RunMask*> masks;
    for (const RunMask& m : file.masks) masks.push_back(&m);
    if (!masks.empty()) stack = paint_stack(masks, h, w);
  }
  nb::list keys;
  for (int64_t k : file.box_keys) keys.append(nb::int_(k));
  // A file without detections gives the empty one-dimensional array.
  nb::object masks = file.masks.empty() ? numpy().attr("zeros")(0, "dtype"_a = "uint8") : to_numpy(std::move(stack));
  return nb::make_tuple(json_to_py(file.image_path), masks, keys);
}

// The file format Pillow's save() would choose from the path's extension.
nb::object save_format(nb::handle save_path) {
  nb::object ext = nb::module_::import_("os.path").attr("splitext")(nb::module_::import_("os").attr("fspath")(save_path));
  nb::object image_mod = nb::module_::import_("PIL.Image");
  image_mod.attr("init")();
  nb::object format = image_mod.attr("EXTENSION").attr("get")(ext[nb::int_(1)].attr("lower")());
  if (format.is_none()) throw ValueError("unknown file extension: " + to_text(ext[nb::int_(1)]));
  return format;
}

nb::object retrieve_annotation(nb::handle json_path, nb::handle save_path, nb::handle box_drawing,
                               nb::handle object_ids) {
  const std::string path = to_path(json_path, "json_path");
  AnnotationForDrawing file;
  {
    nb::gil_scoped_release release;
    file = read_annotation_for_drawing(path);
  }
  if (!file.image_path.is_string())
    throw TypeError(expected_got("a path text for \"image_path\" of the annotation file", file.image_path.type_name()));
  nb::object image = open_image(json_to_py(file.image_path), "RGBA");
  const bool boxes = to_bool(box_drawing);
  const bool all = nb::isinstance<nb::str>(object_ids) && to_text(object_ids) == "all";
  std::vector<char> drawn;
  for (int64_t id : file.object_ids) {
    int in = 1;
    if (!all && (in = PySequence_Contains(object_ids.ptr(), nb::int_(id).ptr())) < 0) throw nb::python_error();
    drawn.push_back(static_cast<char>(in));
  }
  const bool save = !save_path.is_none() && to_bool(save_path);
  const nb::object format = save ? save_format(save_path) : nb::none();
  const std::string target = save ? to_path(save_path, "save_path") : std::string();
  nb::object keep;
  const cv::Mat pixels = array_to_mat(numpy().attr("asarray")(image), keep, "image");
  const uint64_t seed = (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
  cv::Mat out;
  {
    nb::gil_scoped_release release;
    out = draw_annotation(pixels, file, drawn, boxes, seed, path);
  }
  nb::object result = mat_to_pil(out);
  if (save) {
    // Encoded in memory first, so that a failing encoder leaves the file as it was.
    nb::object buffer = nb::module_::import_("io").attr("BytesIO")();
    result.attr("save")(buffer, "format"_a = format);
    nb::bytes bytes = nb::borrow<nb::bytes>(buffer.attr("getvalue")());
    const std::string_view data(bytes.c_str(), bytes.size());
    nb::gil_scoped_release release;
    write_file_atomically(target, data);
  }
  return result;
}

void write_annotation_file(nb::handle json_path, nb::handle image_path, nb::handle masks, nb::handle class_name,
                           bool sync) {
  const std::string target = to_path(json_path, "json_path");
  (void)to_path(image_path, "image_path");  // refuses what no file can be named
  nb::object image_text = nb::steal(PyOS_FSPath(image_path.ptr()));
  if (!image_text.is_valid()) throw nb::python_error();
  const std::string image = utf8_surrogatepass(image_text);
  const std::string name = to_utf8(class_name, "class_name");
  std::vector<MaskInput> inputs;
  std::vector<TrackedObject> objects;
  for (const auto& [key, mask] : mapping_items(masks, "a mapping of object ids to masks for masks")) {
    if (!PyIndex_Check(key.ptr()) || PyBool_Check(key.ptr()))
      throw TypeError(expected_got("whole-number object ids as the keys of masks", py_type_name(key)));
    const int64_t id = to_integer(key, "an object id of masks");
    inputs.push_back(to_mask(mask, "masks[" + to_text(nb::repr(key)) + "]"));
    objects.push_back(TrackedObject{id, inputs.back().view});
  }
  AtomicWriteOptions options;
  options.sync = sync;
  nb::gil_scoped_release release;
  write_file_atomically(target, annotation_file_text(image, name, objects), options);
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
        nb::sig("def _use_settings(namespace: dict[str, typing.Any]) -> None"),
        R"(Reads the users' settings (PEN_JSON_ROOT) from the package's namespace at each call.

Args:
    namespace: The package's globals().
)");

  m.def("get_pen_json_path", &get_pen_json_path, "video_dir"_a, "custom_pen_json_path"_a = nb::none(),
        nb::sig("def get_pen_json_path(video_dir: str | os.PathLike[str], "
                "custom_pen_json_path: str | os.PathLike[str] | None = None) -> str | os.PathLike[str] | None"),
        R"(Get the correct JSON path based on the camera name.

Args:
    video_dir: Clip folder path; split at backslashes, the first piece
        containing "Camera" (cut at its first '_') names the camera.
    custom_pen_json_path: Returned unchanged when not None.

Returns:
    The camera's pen file "<root>\\GSAM2_output\\CamNN.json" for the cameras
    Camera61, 62, 64, 65, 66 and 70, or None for any other camera. The root
    is mirelo_utils.PEN_JSON_ROOT, read at each call (default
    "D:\\pig_tracking"); set it to the folder holding GSAM2_output on your
    system. A root written with forward slashes only gives a path with
    forward slashes.

Raises:
    TypeError: video_dir or PEN_JSON_ROOT is not a path.
)");
  m.def("draw_pen", &draw_pen, "image_path"_a, "json_path"_a, "drawout"_a = false,
        nb::sig("def draw_pen(image_path: str | os.PathLike[str], json_path: str | os.PathLike[str], "
                "drawout: bool = False) -> list[tuple[float, float]] | "
                "tuple[PIL.Image.Image, list[tuple[float, float]]]"),
        R"(Reads the pen outline of a pen polygon file.

Args:
    image_path: Frame image, opened only when drawout is true.
    json_path: Pen polygon file; the outline is shapes[0]["points"].
    drawout: Also draw the closed outline in red (width 3, rounded joints)
        on the image converted to RGB.

Returns:
    The points as a list of (x, y) tuples (numbers as stored), or
    (image, points) when drawout is true.

Raises:
    KeyError: The file has no "shapes" (or shapes[0] no "points").
    ValueError: "No shapes found in the JSON file." for an empty shape list;
        points that are not [x, y] pairs of numbers; malformed JSON.
    FileNotFoundError: The pen file does not exist.
)");
  m.def("calculate_pen_intersection_ratio", &calculate_pen_intersection_ratio, "polygon_points"_a, "boxes"_a,
        "ratio_threshold"_a,
        nb::sig("def calculate_pen_intersection_ratio("
                "polygon_points: collections.abc.Sequence[collections.abc.Sequence[float]] | numpy.ndarray, "
                "boxes: collections.abc.Sequence[collections.abc.Sequence[float]] | numpy.ndarray, "
                "ratio_threshold: float) -> tuple[list[float], list[bool]]"),
        R"(Share of each box inside the pen polygon.

Args:
    polygon_points: Pen outline as (x, y) points, closed implicitly (a list
        of pairs or an N x 2 array).
    boxes: [x_min, y_min, x_max, y_max] rows in pixels (a list of boxes or an
        N x 4 array).
    ratio_threshold: Percentage a box needs inside the pen to count as in it.

Returns:
    (ratios, flags): per box the percentage (0..100) of its area inside the
    pen, and whether it is at least ratio_threshold.

Raises:
    ValueError: A pen polygon with fewer than 3 corners, crossing itself, or
        with non-finite coordinates; a box with non-finite values.
    ZeroDivisionError: A box of zero area.
)");
  m.def("get_in_pen_mask", &get_in_pen_mask, "frame_idx"_a, "test_mask"_a, "pen_json_path"_a, "frame_names"_a,
        nb::sig("def get_in_pen_mask(frame_idx: int, test_mask: numpy.ndarray, "
                "pen_json_path: str | os.PathLike[str], frame_names: collections.abc.Sequence[str]) -> numpy.ndarray"),
        R"(Clears every pixel of test_mask outside the pen polygon.

Args:
    frame_idx: Index into frame_names (the frame's image is not opened).
    test_mask: Array whose last two axes are height x width (a single mask
        or a stack); any numeric or bool dtype.
    pen_json_path: Pen polygon file.
    frame_names: Frame image paths.

Returns:
    A new numpy array of test_mask's shape and dtype: its values inside the
    filled pen polygon (outline included, vertices truncated to integers),
    0 outside, on every layer.

Raises:
    IndexError: frame_idx is outside frame_names.
    ValueError: test_mask has fewer than 2 dimensions; an unusable polygon.
    TypeError: test_mask is not numeric.
)");
  m.def("fix_polygon_scaling", &fix_polygon_scaling, "json_path"_a, "save_path"_a = nb::none(),
        nb::sig("def fix_polygon_scaling(json_path: str | os.PathLike[str], "
                "save_path: str | os.PathLike[str] | None = None) -> None"),
        R"(Fix the incorrect polygon normalization in a JSON file.

Every "formatted_polygon" text of "detections" (identifier x1 y1 x2 y2 ...)
gets x * height / width and y * width / height, written with six decimals,
the size coming from the image named by "image_path". The document is
written as json.dump(..., indent=4) writes it. Not idempotent: a second run
scales again.

Args:
    json_path: Annotation file to repair.
    save_path: Where to write the result; None writes back to json_path.
        The file is replaced atomically.

Raises:
    KeyError: A member the repair needs is missing.
    ValueError: Malformed content (raised before anything is written).
    OSError: The result cannot be written.

When the image cannot be loaded, prints "Error loading image: <error>" and
writes nothing.
)");

  m.def("write_annotation_file", &write_annotation_file, "json_path"_a.none(), "image_path"_a.none(), "masks"_a.none(),
        "class_name"_a.none() = "pig", nb::kw_only(), "sync"_a = true,
        nb::sig("def write_annotation_file(json_path: str | os.PathLike[str], image_path: str | os.PathLike[str], "
                "masks: collections.abc.Mapping[int, numpy.ndarray | mirelo_utils._core.CompactMask], "
                "class_name: str = 'pig', *, sync: bool = True) -> None"),
        R"(Write the annotation file of one tracked frame.

The file holds what a tracking run stores per frame and what the loaders
(get_gsam_annotation_data, open_clip, process_json_and_generate_masks) read
back: {"image_path": image_path, "detections": [...]} with one detection per
entry of masks, in its order: "object_id" (the key), "class_name", "xyxy"
(the mask's tight box [[x0, y0, x1, y1]], maxima inclusive; [] for an empty
mask) and "formatted_polygon", one polygon text per outer contour of the
mask (OpenCV's findContours, RETR_EXTERNAL, CHAIN_APPROX_SIMPLE): "0" and
the contour's points as x y pairs, each pixel centre as a fraction of the
frame's width or height with six decimals (a one-pixel piece gives its point
twice). Filled back at the frame size, each polygon covers its piece (holes
in a piece are filled). The bytes are those of json.dump(document, f), and
the file is replaced whole through a temporary beside it (flushed to the
disk first with sync; a writer of many files may flush them together).

Args:
    json_path: The file to write (output_pp_<frame>.json for the loaders).
    image_path: The frame's image, stored as given.
    masks: Object id (a whole number, the track id from 1) -> H x W mask
        (or 1 x H x W; any numeric or bool dtype, non-zero set; a
        CompactMask), all of one size.
    class_name: The label of every detection.
    sync: Flush the bytes to the disk before the file takes its name.

Raises:
    TypeError: keys that are not whole numbers; masks that are not arrays.
    ValueError: masks of different sizes or of more than 2 dimensions; a
        path holding a NUL character.
    FileNotFoundError, OSError: the file cannot be written.
)");
  m.def("process_json_and_generate_masks", &process_json_and_generate_masks, "json_path"_a.none(), "height"_a.none(), "width"_a.none(),
        nb::sig("def process_json_and_generate_masks(json_path: str | os.PathLike[str], height: int, width: int) "
                "-> tuple[typing.Any, numpy.ndarray, list[int]]"),
        "Process a JSON file to generate masks for detected objects in an image.");
  m.def("retrieve_annotation", &retrieve_annotation, "json_path"_a.none(), "save_path"_a.none() = nb::none(),
        "box_drawing"_a.none() = false, "object_ids"_a.none() = "all",
        nb::sig("def retrieve_annotation(json_path: str | os.PathLike[str], "
                "save_path: str | os.PathLike[str] | None = None, box_drawing: bool = False, "
                "object_ids: str | collections.abc.Container[int] = 'all') -> PIL.Image.Image"),
        "Draw bounding boxes and polygons from a JSON file on an image.\n\n"
        "Bounding boxes are solid.\n"
        "Polygons are filled with transparency.");
}

}  // namespace mirelo::py
