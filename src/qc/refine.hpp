#pragma once
// Mask refinement: a tracked mask is cut to the pen, split into 8-connected
// pieces, and only the main piece (a large piece near the animal's previous
// position) and the pieces big enough and close enough to it are kept.
//
// A tracked mask is read once, into runs of set pixels; pieces, their areas
// and centroids, the cut to the pen and the stored result come from the runs,
// and contours from rasters of single pieces inside their boxes. Results are
// those of the same operations on the whole frame (pieces numbered as
// cv::connectedComponentsWithStats numbers them, contour points as
// cv::findContours with RETR_EXTERNAL / CHAIN_APPROX_SIMPLE gives them).
#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "common/mask.hpp"
#include "common/ndarray.hpp"
#include "common/run_mask.hpp"

namespace mirelo {

/// A position in pixels: x = column, y = row.
struct Centroid {
  double x = 0.0, y = 0.0;
};

/// Euclidean distance sqrt(dx * dx + dy * dy).
double centroid_distance(const Centroid& a, const Centroid& b);

/// One 8-connected piece: its area, tight box and coordinate sums in frame
/// pixels (the sums make its centroid exactly sum / area).
struct Piece {
  int64_t area = 0;
  PixelBox box;
  int64_t sum_x = 0, sum_y = 0;

  Centroid centroid() const {
    return {static_cast<double>(sum_x) / static_cast<double>(area), static_cast<double>(sum_y) / static_cast<double>(area)};
  }
};

/// The 8-connected pieces of a mask held as runs. Pieces are numbered as
/// cv::connectedComponentsWithStats (connectivity 8) numbers the components
/// of the whole frame: by the first 2 x 2 pixel block (blocks at even
/// coordinates, in raster order) that holds a pixel of theirs.
struct RunPieces {
  RunMask mask;
  std::vector<int32_t> label;  ///< per run of `mask`, rows top to bottom: its piece's label (1-based)
  std::vector<Piece> pieces;   ///< piece of label k + 1 at k
};
RunPieces split_pieces(RunMask mask);

/// outer_contour_points of the piece with label `label`.
std::vector<cv::Point> piece_contour_points(const RunPieces& p, int32_t label);

/// Outer contour points (cv::findContours, RETR_EXTERNAL,
/// CHAIN_APPROX_SIMPLE; all contours together) of the pixels of `image`
/// (CV_8UC1 or CV_32SC1) equal to `value`, or non-zero when `value` is
/// nullopt, in frame pixels: `image` is a region whose top-left pixel is
/// (x0, y0). Only the box `box` (frame pixels, inside the region) is read;
/// pixels outside it must not match.
std::vector<cv::Point> outer_contour_points(const cv::Mat& image, int64_t x0, int64_t y0, const PixelBox& box,
                                            std::optional<int32_t> value = std::nullopt);

/// outer_contour_points of the set pixels of a whole mask. Throws
/// ValueError for masks of more than 2^31 - 1 rows or columns.
std::vector<cv::Point> mask_contour_points(const MaskView& mask);

/// Contour points prepared for nearest-point queries.
class PointSet {
 public:
  explicit PointSet(std::vector<cv::Point> points);
  bool empty() const { return by_x_.empty(); }
  /// Smallest Euclidean distance between a point of this set and a point of
  /// `other`; +inf when either is empty.
  double shortest_distance(const std::vector<cv::Point>& other) const;

 private:
  std::vector<cv::Point> by_x_;  // sorted by x
};

/// The host's tuning values of a refinement.
struct RefineSettings {
  double min_area_ratio = 0.3;
  double distance_ratio_large = 0.5;  ///< main piece of at least 1000 pixels
  double distance_ratio_small = 1.5;  ///< smaller main piece
  double max_prev_dist = 200;
};

/// The thresholds a main piece of `main_area` pixels sets for the others.
struct PieceThresholds {
  double min_area = 0.0;      ///< main_area x min_area_ratio
  double max_distance = 0.0;  ///< sqrt(main_area / pi) x the ratio for its size
};
PieceThresholds piece_thresholds(int64_t main_area, const RefineSettings& s);

/// Label of the main piece among labels 1 .. areas.size() (areas[k] and
/// centroids[k] belong to label k + 1): of the five largest pieces (larger
/// first, equal areas by label), the one whose centroid is nearest to
/// `prev`, the earlier on equal distance; the largest without `prev`.
/// Throws ValueError when there is no piece.
int64_t choose_main_piece(const std::vector<int64_t>& areas, const std::vector<Centroid>& centroids,
                          const std::optional<Centroid>& prev);

/// Which labels 1 .. areas.size() to keep (result[k] for label k + 1): a
/// piece is kept when its centroid lies within max_prev_dist of `prev` (any
/// distance without `prev`) and it is the main piece `best`, or its area
/// reaches t.min_area and distance_to_main(label) is at most t.max_distance.
/// distance_to_main is called only for pieces that pass the other tests.
template <typename DistanceToMain>
std::vector<char> pieces_to_keep(const std::vector<int64_t>& areas, const std::vector<Centroid>& centroids, int64_t best,
                                 const PieceThresholds& t, const std::optional<Centroid>& prev,
                                 const RefineSettings& s, DistanceToMain&& distance_to_main) {
  std::vector<char> keep(areas.size(), 0);
  for (size_t k = 0; k < areas.size(); ++k) {
    const auto label = static_cast<int64_t>(k) + 1;
    const double to_prev = prev ? centroid_distance(centroids[k], *prev) : 0.0;
    if (!(to_prev <= s.max_prev_dist)) continue;
    if (label == best) {
      keep[k] = 1;
    } else if (static_cast<double>(areas[k]) >= t.min_area) {
      keep[k] = distance_to_main(label) <= t.max_distance;
    }
  }
  return keep;
}

/// Tight box of each label 1 .. num_labels - 1 of a label image (CV_32SC1,
/// whole frame; other values are ignored), indexed by label (entry 0 unused).
std::vector<PixelBox> label_boxes(const cv::Mat& labels, int64_t num_labels);

/// Sets to 1 the bytes of `out` (the label image's size, rows `out_stride`
/// apart) whose label l (1 .. keep.size()) has keep[l - 1]; returns their count.
int64_t paint_kept(const cv::Mat& labels, const std::vector<char>& keep, uint8_t* out, int64_t out_stride);

/// A 2-D label image of any integer element type as a CV_32SC1 copy.
/// Throws TypeError for other element types or ranks and ValueError for
/// values beyond 32 bits.
cv::Mat label_image(const ArrayView& labels);

/// The pieces of a whole frame as cv::connectedComponentsWithStats gives
/// them (connectivity 8), and the main piece among them.
struct FramePieces {
  int num_labels = 0;
  int64_t best = 0;
  PieceThresholds thresholds;
};

/// Labels the set pixels of `mask` into `labels` (CV_32SC1, the mask's
/// size), `stats` (CV_32SC1, num_labels x 5) and `centroids` (CV_64FC1,
/// num_labels x 2), which may be headers over memory of those sizes, and
/// chooses the main piece. Throws ValueError for a mask without set pixels.
FramePieces label_frame(const MaskView& mask, const std::optional<Centroid>& prev, const RefineSettings& s,
                        cv::Mat& labels, cv::Mat& stats, cv::Mat& centroids);

/// Which labels 1 .. num_labels - 1 of a whole-frame label image (CV_32SC1)
/// to keep, as pieces_to_keep decides from the areas (column 4 of `stats`,
/// num_labels x 5 or wider) and centroids (num_labels x 2 or wider) given;
/// the main piece is the pixels labelled `best`, whatever that value. Throws
/// ValueError / IndexError for tables of the wrong shape.
std::vector<char> keep_labelled_pieces(const cv::Mat& labels, int64_t num_labels, const NDArray& stats,
                                       const NDArray& centroids, int64_t best, const PieceThresholds& t,
                                       const std::optional<Centroid>& prev, const RefineSettings& s);

/// What became of one tracked mask.
struct RefinedMask {
  enum class Outcome {
    OutsidePen,      ///< nothing of it lies in the pen: the stored mask is the all-clear mask
    Cleaned,         ///< `out` holds the kept pieces
    FirstFrameKept,  ///< every piece was dropped on the clip's first frame: `out` holds the whole mask
    Emptied,         ///< every piece was dropped: `out` stays clear
  };
  Outcome outcome = Outcome::OutsidePen;
  /// Centroid of the set pixels of `out` when it has any.
  std::optional<Centroid> centroid;
};

/// Refines one tracked mask (not empty) against the pen (a mask of the same
/// frame size); `prev` is the object's remembered centroid. `out` is a clear
/// byte mask of the frame (rows `out_stride` bytes apart) that receives the
/// stored mask as 0/1 bytes; only the pixels of the mask are written.
RefinedMask refine_mask(const RunMask& mask, const RunMask& pen, const std::optional<Centroid>& prev,
                        const RefineSettings& s, bool first_frame, uint8_t* out, int64_t out_stride);

}  // namespace mirelo
