#pragma once
// The outside models as the core sees them: the detector's processor, the
// detector model and the image predictor. The caller creates the real
// objects; the Python module adapts them to these interfaces, and tests use
// C++ doubles. Values that only the models understand (prepared inputs, raw
// outputs) travel through the core as opaque ModelValue handles.
#include <array>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "common/ndarray.hpp"

namespace mirelo {

/// A value owned by the model side that the core only passes on.
class ModelValue {
 public:
  virtual ~ModelValue() = default;
};
using ModelValuePtr = std::shared_ptr<ModelValue>;

/// Box [x_min, y_min, x_max, y_max] in pixels of the full frame.
using BoxXYXY = std::array<double, 4>;

/// Element 0 of the detector's post-processed result, copied to host memory:
/// N scores, N label texts and N x 4 boxes in pixels.
struct Detections {
  NDArray scores;
  std::vector<std::string> labels;
  NDArray boxes;
};

/// The detector's processor.
class DetectorProcessor {
 public:
  virtual ~DetectorProcessor() = default;
  /// `processor(images=image, text=text, return_tensors="pt").to(device)`:
  /// the batch of named model inputs on the caller's device.
  /// `rgb`: H x W x 3 CV_8UC3 in RGB order.
  virtual ModelValuePtr prepare(const cv::Mat& rgb, const std::string& text) = 0;
  /// `post_process_grounded_object_detection(outputs, inputs.input_ids,
  /// text_threshold=..., target_sizes=[(height, width)])`, element 0 read as
  /// scores, labels, boxes (in that order).
  virtual Detections post_process(const ModelValuePtr& outputs, const ModelValuePtr& inputs,
                                  double text_threshold, int height, int width) = 0;
};

/// The detector model: `model(**inputs)` with gradient computation off.
class DetectorModel {
 public:
  virtual ~DetectorModel() = default;
  virtual ModelValuePtr run(const ModelValuePtr& inputs) = 0;
};

/// `predict` result copied to host memory, arrays as the predictor returned them
/// (masks K x 1 x H x W for several boxes, fewer axes for one).
struct Prediction {
  NDArray masks;
  NDArray scores;
  NDArray logits;
};

/// The image predictor.
class ImagePredictor {
 public:
  virtual ~ImagePredictor() = default;
  /// `set_image(rgb)`, `rgb`: H x W x 3 CV_8UC3 in RGB order.
  virtual void set_image(const cv::Mat& rgb) = 0;
  /// `predict(point_coords=None, point_labels=None, box=boxes, multimask_output=False)`,
  /// `boxes`: K x 4 array in pixels, element type as the caller built it.
  virtual Prediction predict(const NDArray& boxes) = 0;
  /// The masks of the same `predict` call, left where the predictor put them
  /// when it can (full-frame masks are large: a copy would cost more than the
  /// work done on them). The default copies them out of predict().
  virtual ArrayView predict_masks(const NDArray& boxes) {
    auto p = std::make_shared<Prediction>(predict(boxes));
    return ArrayView{p->masks.dtype, p->masks.shape, p->masks.bytes.data(), p};
  }
  /// The appearance vector of one crop. `crop` is 1 x 1 x h x w float32
  /// with values in [0, 1] (one gray plane standing for the three equal
  /// channels of an RGB image); the adapter moves it to the model's device,
  /// resizes it to 1 x 3 x 256 x 256 (bilinear, antialiased) and calls
  /// `model.image_encoder(crop)["vision_features"]` with gradient computation
  /// off. Returns the 1 x C x h x w feature map averaged over its spatial
  /// axes: a vector of C values, left where the model put it.
  virtual ModelValuePtr encode(NDArray crop) = 0;
  /// The values of a vector that encode() returned, on host memory.
  virtual std::vector<double> feature_values(const ModelValuePtr& feature) = 0;
};

}  // namespace mirelo
