#pragma once
// First-frame initialisation: the search of a clip's frames for one on which
// the detector, after the pen filter, the size filter and duplicate removal,
// finds exactly the expected number of animals, and their segmentation.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "common/ndarray.hpp"
#include "segment/models.hpp"

namespace mirelo {

/// The clip's frames as the search reads them.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  /// Number of frames of the clip.
  virtual int64_t size() const = 0;
  /// Opens frame `index` (the detector's processor is handed the frame from
  /// here on) and returns its pixels as H x W CV_8UC3 in RGB order, valid
  /// until the next open().
  virtual cv::Mat open(int64_t index) = 0;
  /// The frame last opened, as CV_8UC4 RGBA (converted as the imaging
  /// library converts it), valid until the next open().
  virtual cv::Mat rgba() = 0;
  /// Hint that frame `index` is the next one open() will be asked for, so
  /// that its reading may start now. A reader that reads ahead must report a
  /// failure to read the frame only from that open().
  virtual void prefetch(int64_t /*index*/) {}
};

/// Text of an array as the host prints it ("[0 1 3 4]", "[0.9  0.85]").
using ArrayText = std::function<std::string(const NDArray&)>;

/// Search settings; the defaults are the host's.
struct InitializerOptions {
  int64_t start_index = 0;     ///< first candidate frame, >= 0
  int64_t step = 10;           ///< distance between candidates, > 0
  double gdino_thr = 0.25;     ///< text threshold of the detector's post-processing
  int64_t close_set_num = 10;  ///< animals required on the accepted frame
};

/// The accepted frame, or `found` false when no candidate qualified.
struct InitializerResult {
  bool found = false;
  /// The kept masks in the predictor's element type: close_set_num x H x W,
  /// or 1 x 1 x H x W when the predictor answered one box with 1 x H x W.
  NDArray masks;
  /// The detector's labels in its own order, and the positions in that list
  /// of the kept boxes' labels (the host builds its label array from both so
  /// that its text width is the detector's).
  std::vector<std::string> detector_labels;
  std::vector<int64_t> label_index;
  int64_t frame_index = -1;
  cv::Mat annotated;  ///< CV_8UC4 RGBA drawing of the kept masks' boxes
};

/// Runs the search over frames start_index, start_index + step, ... below
/// frames.size(). `video_dir`, `custom_pen_json_path` and `pen_root` select
/// the pen polygon file as get_pen_json_path does; with none found, the first
/// frame with detections raises TypeError. Prints the progress messages;
/// `array_text` formats the arrays they show. Model, reader and pen errors
/// are not caught. Throws ValueError for a negative start_index or a step
/// that is not positive, and for predictor masks of an unexpected shape.
InitializerResult initializer(FrameSource& frames, const std::string& video_dir,
                              const std::optional<std::string>& custom_pen_json_path, const std::string& pen_root,
                              DetectorProcessor& processor, DetectorModel& grounding_model,
                              ImagePredictor& image_predictor, const InitializerOptions& options,
                              const ArrayText& array_text);

}  // namespace mirelo
