// Clip segmentation and hand-over: detection filtering, the model adapters and
// the first-frame initialisation.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstring>
#include <opencv2/imgproc.hpp>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "convert.hpp"
#include "models.hpp"
#include "pen_support.hpp"
#include "segment/detections.hpp"
#include "segment/initializer.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

nb::tuple process_gdino_results(nb::handle gdino_results, const std::string& target_label) {
  Detections d = read_detections(gdino_results);
  const std::vector<int64_t> idx = select_detections(d, target_label);
  return nb::make_tuple(to_numpy(d.boxes.take(idx)), to_numpy(d.scores.take(idx)), text_array(d.labels, idx));
}

// Thin entry points over the adapters, for tests of the call forms.
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
  NDArray out;
  {
    nb::gil_scoped_release release;
    out = pred.encode(c);
  }
  return to_numpy(std::move(out));
}

// The Arrow C data interface (a stable ABI), through which the imaging
// library exports an image's own pixel rows.
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};
struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

// The pixels of an RGB image as a fresh, writable H x W x 3 array, read
// straight from the imaging library's RGBX rows in one pass without the
// interpreter lock. None when the image does not export its pixels that way
// (an older library, or image memory in several blocks).
nb::object rgb_pixels(nb::handle rgb) {
  if (!nb::hasattr(rgb, "__arrow_c_array__")) return nb::none();
  nb::object exported;
  try {
    exported = rgb.attr("__arrow_c_array__")();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return nb::none();
  }
  nb::object schema_capsule = exported[nb::int_(0)], array_capsule = exported[nb::int_(1)];
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule.ptr(), "arrow_schema"));
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule.ptr(), "arrow_array"));
  if (!schema || !array) {
    PyErr_Clear();
    return nb::none();
  }
  const auto w = nb::cast<int64_t>(rgb.attr("width")), h = nb::cast<int64_t>(rgb.attr("height"));
  const int64_t n = w * h;
  const bool rgbx = schema->format && std::strcmp(schema->format, "+w:4") == 0 && schema->n_children == 1 &&
                    schema->children[0]->format && std::strcmp(schema->children[0]->format, "C") == 0 &&
                    array->length == n && array->offset == 0 && array->null_count == 0 && array->n_children == 1;
  if (!rgbx || n == 0) return nb::none();
  const ArrowArray* values = array->children[0];
  if (values->length != 4 * n || values->offset != 0 || values->null_count != 0 || values->n_buffers != 2 ||
      !values->buffers[1])
    return nb::none();
  const auto* src = static_cast<const uint8_t*>(values->buffers[1]);
  uint8_t* dst = nullptr;
  nb::object out = new_image_array(h, w, 3, dst);
  {
    nb::gil_scoped_release release;
    const cv::Mat rgbx(static_cast<int>(h), static_cast<int>(w), CV_8UC4, const_cast<uint8_t*>(src));
    cv::Mat rgb_out(static_cast<int>(h), static_cast<int>(w), CV_8UC3, dst);
    cv::cvtColor(rgbx, rgb_out, cv::COLOR_RGBA2RGB);
  }
  return out;
}

// The clip's frames, opened with the imaging library. The processor is handed
// the opened image object itself; the pixels go to the core as RGB, in an
// array that the predictor is then handed without a further copy. The next
// candidate is decoded on a worker thread while the current one is worked
// on; it is handed out, or its reading error raised, only when the search
// reaches it.
class PilFrames : public FrameSource {
 public:
  PilFrames(nb::object frame_names, int64_t count, PyDetectorProcessor& processor, PyImagePredictor& predictor)
      : names_(std::move(frame_names)), count_(count), processor_(processor), predictor_(predictor) {
    loader_ = nb::cpp_function([](nb::handle path) {
      nb::object image = nb::module_::import_("PIL.Image").attr("open")(path);
      // The whole file in one read: the decoder then runs start to end
      // without taking the interpreter lock back between blocks.
      try {
        const auto bytes = nb::cast<int64_t>(nb::module_::import_("os").attr("fstat")(
            image.attr("fp").attr("fileno")()).attr("st_size"));
        if (bytes > nb::cast<int64_t>(image.attr("decodermaxblock"))) image.attr("decodermaxblock") = bytes;
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // not a plain file: blockwise reading stays
      }
      image.attr("load")();
      // convert("RGB") of an RGB image is a plain copy: skipped.
      nb::object rgb = to_text(image.attr("mode")) == "RGB" ? image : image.attr("convert")("RGB");
      return nb::make_tuple(image, rgb);
    });
  }

  ~PilFrames() override {
    nb::gil_scoped_acquire gil;
    try {
      // The call ends only when the worker has stopped.
      if (executor_.is_valid()) {
        if (pending_.is_valid()) pending_.attr("cancel")();
        executor_.attr("shutdown")("wait"_a = true);
      }
    } catch (nb::python_error& e) {
      e.discard_as_unraisable("stopping the frame reader");
    }
    for (nb::object* o : {&names_, &loader_, &executor_, &pending_, &image_, &rgb_, &rgba_}) o->reset();
  }

  int64_t size() const override { return count_; }

  cv::Mat open(int64_t index) override {
    nb::gil_scoped_acquire gil;
    rgba_.reset();
    nb::object loaded;
    if (pending_.is_valid() && pending_index_ == index) {
      nb::object future = std::move(pending_);
      loaded = future.attr("result")();
    } else {
      pending_.reset();
      loaded = loader_(names_[nb::int_(index)]);
    }
    image_ = loaded[nb::int_(0)];
    processor_.set_source_image(image_);
    nb::object rgb = loaded[nb::int_(1)];
    nb::object pixels = rgb_pixels(rgb);
    const bool fresh = !pixels.is_none();
    if (!fresh) pixels = numpy().attr("asarray")(rgb);
    nb::object keep;
    cv::Mat m = array_to_mat(pixels, keep, "frame");
    rgb_ = std::move(keep);
    if (fresh) predictor_.set_source_array(rgb_);
    return m;
  }

  void prefetch(int64_t index) override {
    nb::gil_scoped_acquire gil;
    try {
      if (!executor_.is_valid())
        executor_ = nb::module_::import_("concurrent.futures").attr("ThreadPoolExecutor")("max_workers"_a = 1);
      pending_ = executor_.attr("submit")(loader_, names_[nb::int_(index)]);
      pending_index_ = index;
    } catch (nb::python_error& e) {
      // Reading ahead is only a hint: open() reads the frame itself.
      if (!e.matches(PyExc_Exception)) throw;
      pending_.reset();
    }
  }

  cv::Mat rgba() override {
    nb::gil_scoped_acquire gil;
    nb::object keep;
    cv::Mat m = array_to_mat(numpy().attr("asarray")(image_.attr("convert")("RGBA")), keep, "frame");
    rgba_ = std::move(keep);
    return m;
  }

 private:
  nb::object names_;
  int64_t count_;
  PyDetectorProcessor& processor_;
  PyImagePredictor& predictor_;
  nb::object loader_, executor_, pending_;
  int64_t pending_index_ = -1;
  nb::object image_, rgb_, rgba_;
};

nb::tuple initializer(nb::handle video_dir, nb::handle frame_names, nb::object processor, nb::object grounding_model,
                      nb::object device, nb::object image_predictor, int64_t start_index, int64_t step,
                      double gdino_thr, int64_t close_set_num, nb::handle custom_pen_json_path) {
  const Py_ssize_t count = PyObject_Length(frame_names.ptr());
  if (count < 0 || nb::isinstance<nb::str>(frame_names)) {
    PyErr_Clear();
    throw TypeError(expected_got("a list of frame paths for frame_names", py_type_name(frame_names)));
  }
  std::optional<std::string> custom;
  if (!custom_pen_json_path.is_none()) custom = to_path(custom_pen_json_path, "custom_pen_json_path");
  // With an explicit pen file the clip folder names nothing that is needed.
  const bool dir_is_path = nb::isinstance<nb::str>(video_dir) || nb::hasattr(video_dir, "__fspath__");
  const std::string dir = (custom && !dir_is_path) ? std::string() : to_path(video_dir, "video_dir");
  const std::string root = pen_json_root();

  InitializerOptions options;
  options.start_index = start_index;
  options.step = step;
  options.gdino_thr = gdino_thr;
  options.close_set_num = close_set_num;
  ArrayText array_text = [](const NDArray& a) {
    nb::gil_scoped_acquire gil;
    NDArray copy = a;
    return to_text(to_numpy(std::move(copy)));
  };

  PyDetectorProcessor proc(std::move(processor), std::move(device));
  PyDetectorModel model(std::move(grounding_model));
  PyImagePredictor predictor(std::move(image_predictor));
  PilFrames frames(nb::borrow(frame_names), count, proc, predictor);
  InitializerResult r;
  {
    nb::gil_scoped_release release;
    r = mirelo::initializer(frames, dir, custom, root, proc, model, predictor, options, array_text);
  }
  if (!r.found) return nb::make_tuple(nb::none(), nb::none(), nb::none(), nb::none());
  return nb::make_tuple(to_numpy(std::move(r.masks)), text_array(r.detector_labels, r.label_index), r.frame_index,
                        mat_to_pil(r.annotated));
}

}  // namespace

void init_segment(nb::module_& m) {
  m.def("process_gdino_results", &process_gdino_results, "gdino_results"_a, "target_label"_a = "pig",
        "Reduces a detector result to (filtered_boxes, filtered_scores, filtered_labels).\n\n"
        "Reads element 0 of gdino_results (\"scores\", \"labels\", \"boxes\"; tensors are\n"
        "copied to the host), sorts the detections in reading order (y_min, then x_min,\n"
        "stable) and keeps those whose label equals target_label; when no label equals\n"
        "it, every detection is kept. Returns three numpy arrays aligned by position.");

  m.def("initializer", &initializer, "video_dir"_a, "frame_names"_a, "processor"_a, "grounding_model"_a, "device"_a,
        "image_predictor"_a, "start_index"_a = 0, "step"_a = 10, "gdino_thr"_a = 0.25, "close_set_num"_a = 10,
        "custom_pen_json_path"_a = nb::none(),
        "Finds the first frame of a clip with exactly close_set_num animals and segments them.\n\n"
        "Candidates are frame_names[start_index], [start_index + step], ... . On each, the\n"
        "detector (processor and grounding_model, prompt \"pig.\", text threshold gdino_thr)\n"
        "finds boxes, kept in reading order with the label \"pig\"; boxes less than 40 %\n"
        "inside the pen polygon and boxes too large for their position (area 1 500 000\n"
        "above mid-height, 4 000 000 below) are dropped; image_predictor segments the\n"
        "rest; of two masks overlapping by more than 8 % of one, the lower-scored box goes.\n"
        "Progress is printed.\n\n"
        "Args:\n"
        "    video_dir: clip folder; names the camera whose pen file is used.\n"
        "    frame_names: paths of the clip's frames, in order.\n"
        "    processor, grounding_model: the detector's processor and model.\n"
        "    device: where the detector inputs are moved (batch.to(device)).\n"
        "    image_predictor: the image predictor (set_image, predict).\n"
        "    start_index: first candidate index (>= 0).\n"
        "    step: distance between candidates (> 0).\n"
        "    gdino_thr: text threshold of the detector's post-processing.\n"
        "    close_set_num: number of animals the accepted frame must hold.\n"
        "    custom_pen_json_path: pen polygon file to use instead of the camera's.\n\n"
        "Returns:\n"
        "    (masks, OBJECTS, ann_frame_idx, annotated_frame): the kept masks in the\n"
        "    predictor's dtype (close_set_num x H x W; 1 x 1 x H x W when the predictor\n"
        "    answered a single box with 1 x H x W), their labels as a numpy array of\n"
        "    texts, the accepted frame index and an RGBA PIL image of the masks with\n"
        "    their boxes and keys; (None, None, None, None) when no frame qualifies.\n\n"
        "Raises:\n"
        "    TypeError: no pen file for the clip's camera and no custom_pen_json_path\n"
        "        (raised on the first frame with detections).\n"
        "    ValueError: a negative start_index, a step that is not positive, or masks\n"
        "        of a shape other than (1, H, W) for one box and (K, 1, H, W) for K boxes.");

  nb::module_ models = m.def_submodule("_models", "Adapters to the caller's model objects (for tests).");
  models.def("detect", &adapter_detect, "processor"_a, "grounding_model"_a, "device"_a, "image"_a,
             "text"_a = "pig.", "gdino_thr"_a = 0.25);
  models.def("segment", &adapter_segment, "image_predictor"_a, "image"_a, "boxes"_a);
  models.def("encode", &adapter_encode, "image_predictor"_a, "crop"_a);
}

}  // namespace mirelo::py
