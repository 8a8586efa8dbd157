// Entry points that only the tests use, built into the module only when the
// tests are (MIRELO_BUILD_TESTS): thin calls of the model adapters, to test
// their call forms, a thrower of every kind of C++ exception, to test the
// error map, and the tracking scores' assignment solver, to test its pairs
// against scipy's.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cerrno>
#include <functional>
#include <ios>
#include <map>
#include <system_error>
#include <variant>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "common/polygon_fill.hpp"
#include "convert.hpp"
#include "measures/assignment.hpp"
#include "models.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

nb::tuple adapter_detect(nb::object processor, nb::object grounding_model, nb::object device,
                         nb::handle image, const std::string& text, double gdino_thr) {
  nb::object keep;
  cv::Mat rgb = pil_to_rgb(image);
  PyDetectorProcessor proc(processor, device);
  proc.set_source_image(as_pil(image));
  PyDetectorModel model(grounding_model);
  Detections d;
  {
    nb::gil_scoped_release release;
    ModelValuePtr inputs = proc.prepare(rgb, text);
    ModelValuePtr outputs = model.run(inputs);
    d = proc.post_process(outputs, inputs, gdino_thr, rgb.rows, rgb.cols);
  }
  nb::list labels;
  for (const auto& l : d.labels) labels.append(str_of(l));
  return nb::make_tuple(to_numpy(std::move(d.scores)), labels, to_numpy(std::move(d.boxes)));
}

nb::tuple adapter_segment(nb::object image_predictor, nb::handle image, nb::handle boxes) {
  cv::Mat rgb = pil_to_rgb(image);
  NDArray b = to_ndarray(boxes, "boxes");
  PyImagePredictor pred(image_predictor);
  Prediction p;
  {
    nb::gil_scoped_release release;
    pred.set_image(rgb);
    p = pred.predict(b);
  }
  return nb::make_tuple(to_numpy(std::move(p.masks)), to_numpy(std::move(p.scores)),
                        to_numpy(std::move(p.logits)));
}

nb::object adapter_encode(nb::object image_predictor, nb::handle crop) {
  NDArray c = to_ndarray(crop, "crop");
  PyImagePredictor pred(image_predictor);
  ModelValuePtr out;
  {
    nb::gil_scoped_release release;
    out = pred.encode(std::move(c));
  }
  return value_of(out);
}

// A C++ exception of the named kind, as the core or a library could throw it.
void throw_cpp(const std::string& kind) {
  static const std::map<std::string, std::function<void()>> throwers = {
      {"ValueError", [] { throw ValueError("bad value"); }},
      {"TypeError", [] { throw TypeError("bad type"); }},
      {"KeyError", [] { throw KeyError("key"); }},
      {"IndexError", [] { throw IndexError("index"); }},
      {"ZeroDivisionError", [] { throw ZeroDivisionError("division"); }},
      {"FileNotFoundError", [] { throw FileNotFoundError("missing"); }},
      {"OSError", [] { throw OSError("io"); }},
      {"OSError_EACCES", [] { throw OSError("denied", EACCES); }},
      {"LibraryError", [] { throw LibraryError("cannot load libx.so"); }},
      {"invalid_argument", [] { throw std::invalid_argument("argument"); }},
      {"domain_error", [] { throw std::domain_error("domain"); }},
      {"length_error", [] { throw std::length_error("length"); }},
      {"out_of_range", [] { throw std::out_of_range("range"); }},
      {"overflow_error", [] { throw std::overflow_error("overflow"); }},
      {"underflow_error", [] { throw std::underflow_error("underflow"); }},
      {"range_error", [] { throw std::range_error("range"); }},
      {"runtime_error", [] { throw std::runtime_error("runtime"); }},
      {"logic_error", [] { throw std::logic_error("logic"); }},
      {"system_error", [] { throw std::system_error(std::make_error_code(std::errc::io_error), "system"); }},
      {"ios_failure", [] { throw std::ios_base::failure("stream"); }},
      {"bad_alloc", [] { throw std::bad_alloc(); }},
      {"bad_array_new_length", [] { throw std::bad_array_new_length(); }},
      {"bad_cast", [] { throw std::bad_cast(); }},
      {"bad_function_call", [] { throw std::bad_function_call(); }},
      {"bad_variant_access", [] { std::variant<int, double> v = 1; (void)std::get<double>(v); }},
      {"exception", [] { throw std::exception(); }},
      {"not_an_exception", [] { throw 42; }},
      {"cv_exception", [] { throw cv::Exception(cv::Error::StsBadArg, "bad", "func", "file", 1); }},
      {"python_error", [] {
         PyErr_SetString(PyExc_LookupError, "from Python");
         throw nb::python_error();
       }},
      {"nb_value_error", [] { throw nb::value_error("nanobind value"); }},
  };
  const auto it = throwers.find(kind);
  if (it == throwers.end()) throw KeyError(kind);
  it->second();
}

// The core's polygon fill on a window of a frame, for the differential
// tests against cv2.fillPoly: the window's pixels (rows x cols, uint8) that
// filling `points` (an N x 2 int32 array) on a frame_height x frame_width
// frame sets to 1.
nb::object fill_polygon_window(nb::handle points, int64_t frame_height, int64_t frame_width, int64_t x0, int64_t y0,
                               int64_t rows, int64_t cols) {
  nb::object a = numpy().attr("ascontiguousarray")(points, "dtype"_a = "int32");
  const auto shape = nb::cast<nb::tuple>(a.attr("shape"));
  if (nb::len(shape) != 2 || nb::cast<int64_t>(shape[1]) != 2) throw ValueError("expected an N x 2 array of points");
  const int64_t n = nb::cast<int64_t>(shape[0]);
  const auto* xy = reinterpret_cast<const int32_t*>(nb::cast<uintptr_t>(a.attr("ctypes").attr("data")));
  std::vector<cv::Point> vertices;
  vertices.reserve(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) vertices.emplace_back(xy[2 * k], xy[2 * k + 1]);
  nb::object out = numpy().attr("zeros")(nb::make_tuple(rows, cols), "dtype"_a = "uint8");
  cv::Mat target(static_cast<int>(rows), static_cast<int>(cols), CV_8UC1, writable_array_data(out));
  nb::gil_scoped_release release;
  fill_polygon(target, cv::Point2l(x0, y0), frame_height, frame_width, vertices, cv::Scalar(1));
  return out;
}

nb::tuple assignment(nb::handle cost) {
  NDArray c = to_ndarray(cost, "cost");
  if (c.shape.size() != 2) throw ValueError(expected_got("a 2-D cost matrix", "shape " + c.shape_text()));
  std::vector<double> values(static_cast<size_t>(c.size()));
  for (int64_t k = 0; k < c.size(); ++k) values[static_cast<size_t>(k)] = c.get(k);
  LinearAssignment lsa;
  lsa.solve(values.data(), static_cast<size_t>(c.shape[0]), static_cast<size_t>(c.shape[1]));
  return nb::make_tuple(to_numpy(lsa.row_of()), to_numpy(lsa.col_of()));
}

}  // namespace

void init_test_hooks(nb::module_& m) {
  nb::module_ fill = m.def_submodule("_fill", "The core's polygon fill (for differential tests).");
  fill.def("fill_polygon_window", &fill_polygon_window, "points"_a, "frame_height"_a, "frame_width"_a, "x0"_a,
           "y0"_a, "rows"_a, "cols"_a,
           nb::sig("def fill_polygon_window(points: numpy.ndarray, frame_height: int, frame_width: int, x0: int, "
                   "y0: int, rows: int, cols: int) -> numpy.ndarray"),
           "The rows x cols window at (x0, y0) of the fill of points on the frame, as a uint8 array.");
  nb::module_ models = m.def_submodule("_models", "Adapters to the caller's model objects (for tests).");
  models.def("detect", &adapter_detect, "processor"_a, "grounding_model"_a, "device"_a, "image"_a,
             "text"_a = "pig.", "gdino_thr"_a = 0.25,
             nb::sig("def detect(processor: typing.Any, grounding_model: typing.Any, device: typing.Any, "
                     "image: PIL.Image.Image | numpy.ndarray, text: str = 'pig.', gdino_thr: float = 0.25) "
                     "-> tuple[numpy.ndarray, list[str], numpy.ndarray]"),
             "(scores, labels, boxes) of one detector call through the adapters.");
  models.def("segment", &adapter_segment, "image_predictor"_a, "image"_a, "boxes"_a,
             nb::sig("def segment(image_predictor: typing.Any, image: PIL.Image.Image | numpy.ndarray, "
                     "boxes: numpy.ndarray) -> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]"),
             "(masks, scores, logits) of set_image and predict through the adapter.");
  models.def("encode", &adapter_encode, "image_predictor"_a, "crop"_a,
             nb::sig("def encode(image_predictor: typing.Any, crop: numpy.ndarray) -> numpy.ndarray"),
             "The vision features of one image-encoder call through the adapter.");
  nb::module_ errors = m.def_submodule("_errors", "A thrower of C++ exceptions (for tests of the error map).");
  errors.def("throw_cpp", &throw_cpp, "kind"_a, nb::sig("def throw_cpp(kind: str) -> None"),
             "Throws the C++ exception named by kind (\"ValueError\", \"bad_alloc\", ...).");
  nb::module_ scores = m.def_submodule("_scores", "The tracking scores' assignment solver (for tests).");
  scores.def("linear_sum_assignment", &assignment, "cost"_a,
             nb::sig("def linear_sum_assignment(cost: numpy.ndarray) -> tuple[numpy.ndarray, numpy.ndarray]"),
             "(rows, cols) of the least-cost assignment, as scipy.optimize.linear_sum_assignment gives them.");
}

}  // namespace mirelo::py
