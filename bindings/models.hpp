#pragma once
// Adapters from the caller's Python model objects to the core's model
// interfaces. Each call takes the GIL itself, so the core may call them with
// the GIL released.
#include <nanobind/nanobind.h>

#include <functional>

#include "segment/models.hpp"

namespace nb = nanobind;

namespace mirelo::py {

/// A Python value carried through the core; released under the GIL.
class PyValue : public ModelValue {
 public:
  explicit PyValue(nb::object o) : obj(std::move(o)) {}
  ~PyValue() override;
  nb::object obj;
};

/// The Python value behind a model value that an adapter made.
nb::object value_of(const ModelValuePtr& v);

/// Reads element 0 of a detector result list into host memory
/// (scores, labels, boxes, in that order).
Detections read_detections(nb::handle gdino_results);

class PyDetectorProcessor : public DetectorProcessor {
 public:
  PyDetectorProcessor(nb::object processor, nb::object device);
  ~PyDetectorProcessor() override;
  ModelValuePtr prepare(const cv::Mat& rgb, const std::string& text) override;
  Detections post_process(const ModelValuePtr& outputs, const ModelValuePtr& inputs,
                          double text_threshold, int height, int width) override;
  /// The image the processor is handed: the caller's own image object when
  /// one is set (so the processor sees exactly what the caller opened).
  void set_source_image(nb::object image);

 private:
  nb::object processor_, device_, source_image_;
};

class PyDetectorModel : public DetectorModel {
 public:
  explicit PyDetectorModel(nb::object model);
  ~PyDetectorModel() override;
  ModelValuePtr run(const ModelValuePtr& inputs) override;

 private:
  nb::object model_;
};

class PyImagePredictor : public ImagePredictor {
 public:
  explicit PyImagePredictor(nb::object predictor);
  ~PyImagePredictor() override;
  void set_image(const cv::Mat& rgb) override;
  /// A fresh H x W x 3 uint8 array that set_image hands over itself, with no
  /// copy, when it is called with a Mat over that array's pixels.
  void set_source_array(nb::object array);
  Prediction predict(const NDArray& boxes) override;
  /// The masks stay in the numpy array the predictor returned (made
  /// C-contiguous, float16 widened to float32).
  ArrayView predict_masks(const NDArray& boxes) override;
  /// Resized, encoded and pooled with torch; the result stays a tensor on
  /// the model's device.
  ModelValuePtr encode(NDArray crop) override;
  std::vector<double> feature_values(const ModelValuePtr& feature) override;
  /// The masks of the last predict_masks call as a numpy array of the
  /// predictor's own element type and shape (tensors copied to the host).
  /// Needs the interpreter lock.
  nb::object last_masks() const { return last_masks_; }

 private:
  nb::object call_predict(const NDArray& boxes);
  nb::object predictor_, source_array_, last_masks_;
};

/// Runs `fn()` inside torch.no_grad(); the previous gradient mode is restored
/// when `fn` raises, too.
nb::object call_without_grad(const std::function<nb::object()>& fn);

}  // namespace mirelo::py
