// Clip segmentation and hand-over: detection filtering and the model adapters.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstring>

#include "bindings.hpp"
#include "convert.hpp"
#include "models.hpp"
#include "segment/detections.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

nb::object index_array(const std::vector<int64_t>& idx) {
  NDArray a(DType::Int64, {static_cast<int64_t>(idx.size())});
  if (!idx.empty()) std::memcpy(a.bytes.data(), idx.data(), idx.size() * sizeof(int64_t));
  return to_numpy(std::move(a));
}

nb::tuple process_gdino_results(nb::handle gdino_results, const std::string& target_label) {
  Detections d = read_detections(gdino_results);
  const std::vector<int64_t> idx = select_detections(d, target_label);
  nb::list labels;
  for (const auto& l : d.labels) labels.append(nb::str(l.c_str(), l.size()));
  nb::object labels_array = numpy().attr("array")(labels)[index_array(idx)];
  return nb::make_tuple(to_numpy(d.boxes.take(idx)), to_numpy(d.scores.take(idx)), labels_array);
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
  for (const auto& l : d.labels) labels.append(nb::str(l.c_str(), l.size()));
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

}  // namespace

void init_segment(nb::module_& m) {
  m.def("process_gdino_results", &process_gdino_results, "gdino_results"_a, "target_label"_a = "pig",
        "Reduces a detector result to (filtered_boxes, filtered_scores, filtered_labels).\n\n"
        "Reads element 0 of gdino_results (\"scores\", \"labels\", \"boxes\"; tensors are\n"
        "copied to the host), sorts the detections in reading order (y_min, then x_min,\n"
        "stable) and keeps those whose label equals target_label; when no label equals\n"
        "it, every detection is kept. Returns three numpy arrays aligned by position.");

  nb::module_ models = m.def_submodule("_models", "Adapters to the caller's model objects (for tests).");
  models.def("detect", &adapter_detect, "processor"_a, "grounding_model"_a, "device"_a, "image"_a,
             "text"_a = "pig.", "gdino_thr"_a = 0.25);
  models.def("segment", &adapter_segment, "image_predictor"_a, "image"_a, "boxes"_a);
  models.def("encode", &adapter_encode, "image_predictor"_a, "crop"_a);
}

}  // namespace mirelo::py
