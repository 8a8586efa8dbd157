// Clip segmentation and hand-over: detection filtering, the model adapters and
// the first-frame initialisation.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "convert.hpp"
#include "frames.hpp"
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
}

}  // namespace mirelo::py
