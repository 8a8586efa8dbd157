#include "models.hpp"

#include <nanobind/stl/string.h>

#include <cstring>
#include <functional>

#include "common/errors.hpp"
#include "convert.hpp"

namespace mirelo::py {

nb::object value_of(const ModelValuePtr& v) {
  auto* p = dynamic_cast<PyValue*>(v.get());
  if (!p) throw TypeError("internal: a model value that did not come from a Python model");
  return p->obj;
}

namespace {

// Drops a Python reference with the GIL held, whichever thread lets go of it.
void release(nb::object& o) {
  if (!o.is_valid()) return;
  nb::gil_scoped_acquire gil;
  o.reset();
}

// A fresh writable array (the predictor may keep or change it); written
// once, without zero-filling it first.
nb::object rgb_array(const cv::Mat& rgb) {
  uint8_t* dst = nullptr;
  nb::object a = new_image_array(rgb.rows, rgb.cols, 3, dst);
  const size_t row = static_cast<size_t>(rgb.cols) * 3;
  if (row == 0) return a;  // an image without columns has no row pointers to copy from
  for (int y = 0; y < rgb.rows; ++y) std::memcpy(dst + y * row, rgb.ptr(y), row);
  return a;
}

}  // namespace

PyValue::~PyValue() { release(obj); }

Detections read_detections(nb::handle gdino_results) {
  nb::object r = gdino_results[nb::int_(0)];
  Detections d;
  d.scores = to_ndarray(r["scores"], "scores");
  if (d.scores.ndim() == 0) d.scores.shape = {1};
  // Newer detector processors give the texts under "text_labels" and warn on
  // every read of "labels", which is to hold integer ids.
  const int has_text = PySequence_Contains(r.ptr(), nb::str("text_labels").ptr());
  if (has_text < 0) throw nb::python_error();
  const char* key = has_text ? "text_labels" : "labels";
  nb::object labels = r[key];
  for (nb::handle l : labels) {
    if (!nb::isinstance<nb::str>(l))
      throw TypeError(expected_got(std::string("label texts in \"") + key + "\"", py_type_name(l)));
    // Lone surrogates pass through, so that every text the detector gives
    // comes back unchanged.
    d.labels.push_back(utf8_surrogatepass(l));
  }
  d.boxes = to_ndarray(r["boxes"], "boxes");
  // An empty detector answer may come back flat; it still means 0 x 4 boxes.
  if (d.boxes.size() == 0 && d.boxes.ndim() == 1) d.boxes.shape = {0, 4};
  return d;
}

PyDetectorProcessor::PyDetectorProcessor(nb::object processor, nb::object device)
    : processor_(std::move(processor)), device_(std::move(device)) {}

PyDetectorProcessor::~PyDetectorProcessor() {
  release(processor_);
  release(device_);
  release(source_image_);
}

void PyDetectorProcessor::set_source_image(nb::object image) {
  nb::gil_scoped_acquire gil;
  source_image_ = std::move(image);
}

ModelValuePtr PyDetectorProcessor::prepare(const cv::Mat& rgb, const std::string& text) {
  nb::gil_scoped_acquire gil;
  nb::object image = source_image_.is_valid() ? source_image_ : mat_to_pil(rgb);
  nb::object batch = processor_(nb::arg("images") = image, nb::arg("text") = text,
                                nb::arg("return_tensors") = "pt");
  batch = batch.attr("to")(device_);
  return std::make_shared<PyValue>(std::move(batch));
}

Detections PyDetectorProcessor::post_process(const ModelValuePtr& outputs, const ModelValuePtr& inputs,
                                             double text_threshold, int height, int width) {
  nb::gil_scoped_acquire gil;
  nb::list sizes;
  sizes.append(nb::make_tuple(height, width));
  nb::object results = processor_.attr("post_process_grounded_object_detection")(
      value_of(outputs), value_of(inputs).attr("input_ids"), nb::arg("text_threshold") = text_threshold,
      nb::arg("target_sizes") = sizes);
  return read_detections(results);
}

nb::object call_without_grad(const std::function<nb::object()>& fn) {
  nb::object scope = nb::module_::import_("torch").attr("no_grad")();
  scope.attr("__enter__")();
  nb::object out;
  try {
    out = fn();
  } catch (...) {
    scope.attr("__exit__")(nb::none(), nb::none(), nb::none());
    throw;
  }
  scope.attr("__exit__")(nb::none(), nb::none(), nb::none());
  return out;
}

PyDetectorModel::PyDetectorModel(nb::object model) : model_(std::move(model)) {}
PyDetectorModel::~PyDetectorModel() { release(model_); }

ModelValuePtr PyDetectorModel::run(const ModelValuePtr& inputs) {
  nb::gil_scoped_acquire gil;
  nb::object batch = value_of(inputs);
  nb::object outputs = call_without_grad([&]() -> nb::object {
    // model(**batch): every entry of the batch as a named argument.
    nb::object kwargs = nb::module_::import_("builtins").attr("dict")(batch);
    PyObject* res = PyObject_Call(model_.ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (!res) throw nb::python_error();
    return nb::steal(res);
  });
  return std::make_shared<PyValue>(std::move(outputs));
}

PyImagePredictor::PyImagePredictor(nb::object predictor) : predictor_(std::move(predictor)) {}
PyImagePredictor::~PyImagePredictor() {
  release(predictor_);
  release(source_array_);
  release(last_masks_);
}

void PyImagePredictor::set_source_array(nb::object array) {
  nb::gil_scoped_acquire gil;
  source_array_ = std::move(array);
}

void PyImagePredictor::set_image(const cv::Mat& rgb) {
  nb::gil_scoped_acquire gil;
  if (rgb.type() != CV_8UC3) throw ValueError("internal: set_image expects an 8-bit RGB image");
  if (source_array_.is_valid()) {
    nb::object array = std::move(source_array_);
    if (array_data(array) == rgb.data) {
      predictor_.attr("set_image")(array);
      return;
    }
  }
  predictor_.attr("set_image")(rgb_array(rgb));
}

nb::object PyImagePredictor::call_predict(const NDArray& boxes) {
  NDArray copy = boxes;
  nb::object result = predictor_.attr("predict")(
      nb::arg("point_coords") = nb::none(), nb::arg("point_labels") = nb::none(),
      nb::arg("box") = to_numpy(std::move(copy)), nb::arg("multimask_output") = false);
  const Py_ssize_t n = PyObject_Length(result.ptr());
  if (n < 0) PyErr_Clear();
  if (n != 3)
    throw ValueError(expected_got("predict() to return (masks, scores, logits)",
                                  n < 0 ? py_type_name(result) : std::to_string(n) + " values"));
  return result;
}

Prediction PyImagePredictor::predict(const NDArray& boxes) {
  nb::gil_scoped_acquire gil;
  nb::object result = call_predict(boxes);
  Prediction p;
  p.masks = to_ndarray(result[nb::int_(0)], "masks");
  p.scores = to_ndarray(result[nb::int_(1)], "scores");
  p.logits = to_ndarray(result[nb::int_(2)], "logits");
  return p;
}

ArrayView PyImagePredictor::predict_masks(const NDArray& boxes) {
  nb::gil_scoped_acquire gil;
  nb::object result = call_predict(boxes);
  last_masks_ = host_array(result[nb::int_(0)]);
  return to_array_view(last_masks_, "numeric or bool masks from predict()");
}

namespace {

// The device of the predictor's model: its `device`, else that of its first
// parameter; None when it names neither.
nb::object model_device(nb::handle model) {
  if (nb::hasattr(model, "device")) return model.attr("device");
  if (nb::hasattr(model, "parameters")) {
    nb::object params = model.attr("parameters")();
    nb::object first = nb::module_::import_("builtins").attr("next")(nb::iter(params), nb::none());
    if (!first.is_none()) return first.attr("device");
  }
  return nb::none();
}

// The "vision_features" entry of the encoder's result: a 1 x C x h x w tensor.
nb::object vision_features(nb::handle torch, nb::handle out) {
  const std::string expected = "a mapping holding \"vision_features\" from the image encoder";
  if (is_array_like(out) || is_text_like(out)) throw TypeError(expected_got(expected, py_type_name(out)));
  nb::object features;
  try {
    features = out["vision_features"];
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_KeyError)) throw KeyError("the image encoder's result has no \"vision_features\" entry");
    if (e.matches(PyExc_TypeError) || e.matches(PyExc_AttributeError) || e.matches(PyExc_IndexError))
      throw TypeError(expected_got(expected, py_type_name(out)));
    throw;
  }
  if (!nb::isinstance(features, torch.attr("Tensor")))
    throw TypeError(expected_got("a tensor for \"vision_features\"", py_type_name(features)));
  const auto rank = nb::cast<int64_t>(features.attr("dim")());
  if (rank != 4 || nb::cast<int64_t>(features.attr("shape")[nb::int_(0)]) != 1)
    throw ValueError(expected_got("\"vision_features\" of shape 1 x C x h x w",
                                  "shape " + to_text(nb::tuple(features.attr("shape")))));
  return features;
}

}  // namespace

ModelValuePtr PyImagePredictor::encode(NDArray crop) {
  nb::gil_scoped_acquire gil;
  if (crop.ndim() != 4 || crop.shape[0] != 1 || (crop.shape[1] != 1 && crop.shape[1] != 3))
    throw ValueError(expected_got("a crop of shape 1 x 1 x h x w or 1 x 3 x h x w", "shape " + crop.shape_text()));
  nb::module_ torch = nb::module_::import_("torch");
  nb::object model = predictor_.attr("model");
  nb::object device = model_device(model);
  const bool gray = crop.shape[1] == 1;
  const bool resize = crop.shape[2] != 256 || crop.shape[3] != 256;
  // The tensor shares the crop's memory.
  nb::object tensor = torch.attr("from_numpy")(to_numpy(std::move(crop)));
  if (!device.is_none()) tensor = tensor.attr("to")(device);
  nb::object pooled = call_without_grad([&]() -> nb::object {
    nb::object x = tensor;
    // Bilinear with antialiasing and half-pixel centres: the tensor resize
    // of the usual image transforms. The three equal channels of a gray
    // crop are resized once.
    if (resize)
      x = torch.attr("nn").attr("functional").attr("interpolate")(
          x, nb::arg("size") = nb::make_tuple(256, 256), nb::arg("mode") = "bilinear",
          nb::arg("align_corners") = false, nb::arg("antialias") = true);
    if (gray) x = x.attr("expand")(1, 3, 256, 256).attr("contiguous")();
    nb::object out = model.attr("image_encoder")(x);
    nb::object features = vision_features(torch, out);
    nb::list dims;
    dims.append(2);
    dims.append(3);
    return features.attr("mean")(nb::arg("dim") = dims).attr("squeeze")(0);
  });
  return std::make_shared<PyValue>(std::move(pooled));
}

std::vector<double> PyImagePredictor::feature_values(const ModelValuePtr& feature) {
  nb::gil_scoped_acquire gil;
  return to_real_vector(value_of(feature), "an appearance vector");
}

}  // namespace mirelo::py
