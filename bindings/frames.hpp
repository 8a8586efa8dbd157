#pragma once
// The clip's frames for the first-frame search, read with the imaging
// library (Pillow) from the caller's list of frame paths.
#include <nanobind/nanobind.h>

#include <cstdint>

#include <opencv2/core.hpp>

#include "models.hpp"
#include "segment/initializer.hpp"

namespace nb = nanobind;

namespace mirelo::py {

// The processor is handed the opened image object itself; the pixels go to
// the core as RGB, in an array that the predictor is then handed without a
// further copy. The next candidate is decoded on a worker thread while the
// current one is worked on; it is handed out, or its reading error raised,
// only when the search reaches it.
class PilFrames : public FrameSource {
 public:
  /// `frame_names`: the caller's sequence of `count` frame paths. Without
  /// a processor (nullptr) the frames only go to the predictor.
  PilFrames(nb::object frame_names, int64_t count, PyDetectorProcessor* processor, PyImagePredictor& predictor);
  ~PilFrames() override;

  int64_t size() const override { return count_; }
  cv::Mat open(int64_t index) override;
  void prefetch(int64_t index) override;
  cv::Mat rgba() override;
  /// The image object opened last, as the imaging library opened it.
  nb::object image() const { return image_; }

 private:
  nb::object names_;
  int64_t count_;
  PyDetectorProcessor* processor_;
  PyImagePredictor& predictor_;
  nb::object loader_, executor_, pending_;
  int64_t pending_index_ = -1;
  nb::object image_, rgb_, rgba_;
};

}  // namespace mirelo::py
