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
#include "segment/features.hpp"
#include "segment/initializer.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

nb::tuple process_gdino_results(nb::handle gdino_results, const std::string& target_label) {
  Detections d = read_detections(gdino_results);
  const std::vector<int64_t> idx = select_detections(d, target_label);
  return nb::make_tuple(to_numpy(d.boxes.take(idx)), to_numpy(d.scores.take(idx)), text_array(d.labels, idx));
}

nb::list generate_sam2_image_features(nb::handle image, nb::handle masks, nb::object image_predictor) {
  // The frame's RGB pixels in the array that set_image is handed.
  nb::object pixels = rgb_image_array(image), keep;
  const cv::Mat rgb = array_to_mat(pixels, keep, "image");
  std::vector<MaskInput> inputs = to_mask_list(masks, "masks");
  PyImagePredictor predictor(std::move(image_predictor));
  predictor.set_source_array(pixels);
  std::vector<ModelValuePtr> features;
  {
    nb::gil_scoped_release release;
    features = image_features(predictor, rgb, views_of(inputs));
  }
  nb::list out;
  for (const ModelValuePtr& f : features) out.append(f ? value_of(f) : nb::none());
  return out;
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
        nb::sig("def process_gdino_results(gdino_results: collections.abc.Sequence[collections.abc.Mapping[str, "
                "typing.Any]], target_label: str = 'pig') -> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]"),
        R"(Reduces a detector result to the boxes of one label, in reading order.

The detections are sorted in reading order (y_min, then x_min; ties keep
their order) and those whose label equals target_label are kept; when no
label equals it, every detection is kept.

Args:
    gdino_results: The detector's post-processed result; element 0 is read:
        "scores" (N), "boxes" (N x 4, x_min, y_min, x_max, y_max in pixels)
        and the N label texts, from "text_labels" when it is there and from
        "labels" otherwise; arrays, tensors (copied to the host) or lists.
    target_label: The label to keep.

Returns:
    (filtered_boxes, filtered_scores, filtered_labels): numpy arrays aligned
    by position (K x 4 and K in the detector's dtypes, and K texts).

Raises:
    KeyError: A key is missing from element 0.
    TypeError: A label is not a text, or scores or boxes are not numeric.
)");

  m.def("initializer", &initializer, "video_dir"_a, "frame_names"_a, "processor"_a, "grounding_model"_a, "device"_a,
        "image_predictor"_a, "start_index"_a = 0, "step"_a = 10, "gdino_thr"_a = 0.25, "close_set_num"_a = 10,
        "custom_pen_json_path"_a = nb::none(),
        nb::sig("def initializer(video_dir: str | os.PathLike[str], frame_names: collections.abc.Sequence[str], "
                "processor: typing.Any, grounding_model: typing.Any, device: typing.Any, image_predictor: typing.Any, "
                "start_index: int = 0, step: int = 10, gdino_thr: float = 0.25, close_set_num: int = 10, "
                "custom_pen_json_path: str | os.PathLike[str] | None = None) -> "
                "tuple[numpy.ndarray, numpy.ndarray, int, PIL.Image.Image] | tuple[None, None, None, None]"),
        R"(Finds the first frame of a clip with exactly close_set_num animals and segments them.

Candidates are frame_names[start_index], [start_index + step], ... . On each,
the detector (processor and grounding_model, prompt "pig.", text threshold
gdino_thr) finds boxes, kept in reading order with the label "pig"; boxes
less than 40 % inside the pen polygon and boxes too large for their position
(area 1 500 000 above mid-height, 4 000 000 below) are dropped;
image_predictor segments the rest; of two masks overlapping by more than 8 %
of one, the lower-scored box goes. Progress is printed.

Args:
    video_dir: Clip folder; names the camera whose pen file is used.
    frame_names: Paths of the clip's frames, in order.
    processor: The detector's processor, called as
        processor(images=..., text="pig.", return_tensors="pt").
    grounding_model: The detector model, called as model(**inputs) under
        torch.no_grad().
    device: Where the detector inputs are moved (inputs.to(device)).
    image_predictor: The image predictor (set_image, predict).
    start_index: First candidate index (>= 0).
    step: Distance between candidates (> 0).
    gdino_thr: Text threshold of the detector's post-processing.
    close_set_num: Number of animals the accepted frame must hold.
    custom_pen_json_path: Pen polygon file to use instead of the camera's.

Returns:
    (masks, OBJECTS, ann_frame_idx, annotated_frame): the kept masks in the
    predictor's dtype (close_set_num x H x W; 1 x 1 x H x W when the
    predictor answered a single box with 1 x H x W), their labels as a numpy
    array of texts, the accepted frame index and an RGBA PIL image of the
    masks with their boxes and keys; (None, None, None, None) when no frame
    qualifies.

Raises:
    TypeError: No pen file for the clip's camera and no custom_pen_json_path
        (raised on the first frame with detections).
    ValueError: A negative start_index, a step that is not positive, or masks
        of a shape other than (1, H, W) for one box and (K, 1, H, W) for K
        boxes.
)");
  m.def("generate_sam2_image_features", &generate_sam2_image_features, "image"_a, "masks"_a, "image_predictor"_a,
        nb::sig("def generate_sam2_image_features(image: PIL.Image.Image | numpy.ndarray, "
                "masks: collections.abc.Sequence[numpy.ndarray] | numpy.ndarray, image_predictor: typing.Any) "
                "-> list[torch.Tensor | None]"),
        "Extract SAM image features for masked regions in the input image.");
}

}  // namespace mirelo::py
