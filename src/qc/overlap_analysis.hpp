#pragma once
// Overlap-episode analysis: runs of consecutive overlap frames per mask pair,
// and the search for the animal whose track most likely went wrong around
// the start (or end) of the episodes.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "common/mask.hpp"
#include "segment/models.hpp"

namespace mirelo {

/// Consecutive frame numbers, ascending.
using FrameRun = std::vector<int64_t>;

/// Runs of consecutive frame numbers per group. Row i of the table belongs to
/// group `codes[i]` (rows with a negative code belong to none) and has frame
/// number `frame_ids[i]`. Each group's frame numbers are sorted ascending,
/// duplicates kept, and split where a number is not the one before it plus 1
/// (so a repeated number starts a new run); runs shorter than
/// `n_consecutive` are dropped. Returns `groups` lists of runs.
std::vector<std::vector<FrameRun>> continuous_runs(const std::vector<int64_t>& codes,
                                                   const std::vector<int64_t>& frame_ids, int64_t groups,
                                                   int64_t n_consecutive);

/// The table of high-overlap rows, one row per frame and mask pair.
struct OverlapTable {
  std::vector<int64_t> frame_ids;   ///< "Frame ID" of each row
  std::vector<int64_t> pair_codes;  ///< position in `pairs` of each row's pair; negative for none
  std::vector<std::string> pairs;   ///< the distinct pairs ("Box0-Box1"), ascending
};

/// One frame as the analysis compares it.
struct ClipFrame {
  std::vector<MaskView> masks;  ///< one per requested key, in order
  cv::Mat rgb;                  ///< the frame image, CV_8UC3 in RGB order
  std::shared_ptr<const void> owner;  ///< keeps masks and pixels alive
};

/// A tracked clip's frame records.
class OverlapClip {
 public:
  virtual ~OverlapClip() = default;
  /// Number of frames (the records are frames 0 .. size() - 1).
  virtual int64_t size() = 0;
  /// The masks of `keys` in frame `index`, then its image.
  virtual ClipFrame load(int64_t index, const std::vector<std::string>& keys) = 0;
};

struct OverlapAnalysis {
  int64_t test_frame = 0;
  std::string most_frequent_box;
  std::vector<std::pair<std::string, std::vector<FrameRun>>> con_frames;  ///< per pair with runs, ascending
  std::vector<std::string> worst_boxes;  ///< one per compared frame pair, in comparison order
};

/// Finds the overlap episodes (runs of at least `n_consecutive` frames, or
/// `n_consecutive` + 2 when the table holds more than one pair), anchors a
/// five-frame window before the earliest episode start (after the episode
/// end when an episode starts at frame 0), compares every animal of the
/// pairs between consecutive window frames by appearance (features of
/// `predictor`), mask IoU and box IoU, and names the animal that mismatched
/// most often. Prints the pairs, four lines per pair and the result.
/// Throws ValueError when no episode qualifies or every window frame lies
/// outside the clip; errors of the clip and the predictor propagate.
OverlapAnalysis analyse_overlap_frames(const OverlapTable& table, OverlapClip& clip, ImagePredictor& predictor,
                                       int64_t n_consecutive);

}  // namespace mirelo
