#pragma once
// Clip hand-over: the best last frame of the previous clip, its masks turned
// into box prompts for the image predictor on a frame of the new clip, and
// the test of the new masks.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "common/number.hpp"
#include "segment/last_frame.hpp"
#include "segment/models.hpp"

namespace mirelo {

/// Settings of the hand-over; the defaults are the host's.
struct MatcherOptions {
  /// The last-frame search; its min_area also bounds the new masks (>=) and
  /// its n_track is the tracks left after the removals.
  LastFrameOptions last;
  std::string frame_text = "0";  ///< the new frame's index, as printed
};

/// Outcome of the hand-over.
struct MatcherResult {
  bool accepted = false;
  /// Position (in the records' key order) of the best last frame, when found.
  std::optional<int64_t> best_position;
  /// Shape of the predictor's masks after normalisation: n x H x W.
  std::vector<int64_t> mask_shape;
};

/// Tight boxes [x_min, y_min, x_max, y_max] (inclusive) of the masks, as an
/// n x 4 int64 array. Throws ValueError for an empty mask, which has none.
NDArray tight_boxes(const std::vector<RunMask>& masks);

/// The predictor's masks as n x H x W: a 2-D result gains a leading axis of
/// one, a 4-D one loses its axis 1 (which must have length 1), a 3-D one is
/// kept. Throws ValueError for any other shape.
std::vector<int64_t> normalised_mask_shape(const std::vector<int64_t>& shape);

/// Runs the hand-over on `records` (the removals already made): finds the
/// best last frame, prompts `predictor` with its masks' boxes on the frame
/// that `open_frame` returns (H x W CV_8UC3, RGB), and accepts the new masks
/// when every intersection cell is at most 10, there are as many masks as
/// the best frame has and each has at least min_area pixels. `display`, when
/// set, is called once after the test, whatever its outcome, with the best
/// frame (its position and its masks as read for the search). Prints the
/// messages of each outcome.
MatcherResult match_next_clip(FrameRecords& records, const std::function<cv::Mat()>& open_frame,
                              ImagePredictor& predictor, const MatcherOptions& options,
                              const std::function<void(const LastFrame& best)>& display);

}  // namespace mirelo
