#pragma once
// Tracking scores of predicted tracks against ground truth: HOTA (with its
// detection, association and localisation parts), the identity scores
// (IDF1, IDP, IDR) and CLEAR MOT (MOTA, MOTP, identity switches,
// fragmentations, mostly tracked / partly tracked / mostly lost).
//
// Every value is computed as the reference evaluation (TrackEval) computes
// it for one sequence, down to the order of the floating-point operations
// where a comparison depends on it: box IoU in its operation order, its
// epsilon in the threshold comparisons, numpy's summation order in the sums
// HOTA matches by, and the assignment of linear_sum_assignment among equal
// costs (measures/assignment.hpp), over the detections of a frame in file
// order. Values are fractions; MT, PT, ML, IDSW and Frag are counts.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/run_mask.hpp"

namespace mirelo {

enum class Similarity { Box, Mask };

/// One side of an evaluation: every detection with its frame and identity,
/// in file order.
struct TrackSide {
  std::string name;  ///< names the side in messages
  std::vector<int64_t> frame, id;
  /// Box similarity: (x, y, width, height) of each detection.
  std::vector<std::array<double, 4>> xywh;
  /// Mask similarity: each detection's mask, owned by the caller; all of one
  /// frame size.
  std::vector<const RunMask*> masks;
  /// Ground truth only, optional: detections that are ignore regions (the
  /// class-10 rows of MOTS). With mask similarity, a prediction that matches
  /// no ground truth and lies more than half inside the frame's ignore
  /// regions is left out; with box similarity ignore regions are left out.
  std::vector<uint8_t> ignore;
};

/// The alphas of HOTA: 0.05, 0.10, ..., 0.95, computed as numpy's arange.
constexpr int kAlphaCount = 19;
std::array<double, kAlphaCount> hota_alphas();

/// Per ground-truth identity.
struct IdentityScores {
  int64_t id = 0;
  int64_t frames = 0;          ///< frames in which it is present
  int64_t frames_tracked = 0;  ///< frames matched by CLEAR
  int64_t switches = 0;        ///< CLEAR identity switches on it
  int64_t fragmentations = 0;
  int64_t idtp = 0, idfn = 0, idfp = 0;
  double idf1 = 0;
  bool has_partner = false;  ///< matched to a predicted identity by the identity scores
  int64_t partner = 0;
};

/// Per frame of the sequence, with the CLEAR matching.
struct FrameScores {
  int64_t frame = 0;
  int64_t ground_truth = 0, predicted = 0;  ///< after leaving out ignore regions and what they hide
  int64_t matches = 0, misses = 0, false_positives = 0, switches = 0;
  double iou_sum = 0;  ///< similarity summed over the matches
};

/// A CLEAR identity switch: the ground-truth identity was last matched to
/// `previous` and is now matched to `current`.
struct IdentitySwitch {
  int64_t frame = 0, ground_truth = 0, previous = 0, current = 0;
};

struct TrackingScores {
  std::array<double, kAlphaCount> alpha{}, hota{}, deta{}, assa{}, loca{};
  double HOTA = 0, DetA = 0, AssA = 0, LocA = 0;
  double IDF1 = 0, IDP = 0, IDR = 0;
  double MOTA = 0, MOTP = 0;
  int64_t IDSW = 0, Frag = 0, MT = 0, PT = 0, ML = 0;
  int64_t clr_tp = 0, clr_fn = 0, clr_fp = 0, idtp = 0, idfn = 0, idfp = 0;
  std::vector<IdentityScores> identities;  ///< by increasing identity
  std::vector<FrameScores> frames;         ///< every frame from the first to the last of either side
  std::vector<IdentitySwitch> switches;    ///< in frame order
};

/// Scores `predicted` against `ground_truth`. `threshold` is the similarity
/// a CLEAR or identity match needs (0 to 1). Throws ValueError for a side
/// whose columns differ in length, a similarity the sides lack, masks of
/// different frame sizes, an identity twice in one frame, frames spanning
/// more than 10^7 numbers, or a bad threshold.
TrackingScores score_tracking(const TrackSide& ground_truth, const TrackSide& predicted, Similarity similarity,
                              double threshold);

/// Numpy's sum of n doubles `stride` apart (pairwise, in blocks of 8
/// accumulators), so that sums compare as the reference's do.
double numpy_sum(const double* a, size_t n, size_t stride = 1);

/// TrackEval's IoU of two (x, y, width, height) boxes, in its operation order.
double box_iou(const std::array<double, 4>& a, const std::array<double, 4>& b);

}  // namespace mirelo
