#pragma once
// Optical-flow motion of masked regions between two frames of a clip.
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "common/mask.hpp"
#include "common/ndarray.hpp"

namespace mirelo {

/// Reads an image file as 8-bit grayscale (CV_8UC1), as OpenCV's imread with
/// IMREAD_GRAYSCALE does. `what` names the file in messages.
/// Throws ValueError for a path holding a NUL byte, FileNotFoundError for a
/// missing file and OSError for a file that does not decode as an image.
cv::Mat read_gray_image(const std::string& path, const std::string& what);

/// Per-pixel magnitude (CV_32FC1) of the dense Farnebäck flow from `prev` to
/// `next` (CV_8UC1 of equal size) with pyramid scale 0.5, 3 levels, window 15,
/// 3 iterations, poly_n 5, poly_sigma 1.2 and no flags.
/// Throws ValueError when the sizes differ or an image is empty.
cv::Mat flow_magnitude(const cv::Mat& prev, const cv::Mat& next);

/// Mean of `values` (CV_32FC1) over the pixels of `mask` (same size) whose
/// element is above zero, summed in double in one pass over the mask;
/// nullopt when there is none.
std::optional<double> mean_inside(const cv::Mat& values, const PlaneView& mask);

/// Motion score of each mask: the mean flow magnitude from `prev` to `next`
/// (as flow_magnitude takes them) over the mask's pixels above zero, nullopt
/// for a mask without any.
/// The flow is computed once for all masks, after every size is checked.
/// Throws as flow_magnitude, and ValueError for a mask whose size differs
/// from the frames' (`mask_names` name the masks in messages).
std::vector<std::optional<double>> motion_scores(const cv::Mat& prev, const cv::Mat& next,
                                                 const std::vector<PlaneView>& masks,
                                                 const std::vector<std::string>& mask_names);

}  // namespace mirelo
