#pragma once
// Appearance vectors of masked animals: each mask's animal is cut out of the
// frame, turned into a contrast-enhanced gray image on a black background and
// passed through the image predictor's own image encoder.
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "common/mask.hpp"
#include "common/ndarray.hpp"
#include "segment/models.hpp"

namespace mirelo {

/// Masks with fewer set pixels than this have no appearance vector.
inline constexpr int64_t kMinFeaturePixels = 10;

/// The image the encoder is shown for one mask, before its resize to
/// 256 x 256: the frame `rgb` (CV_8UC3, RGB order) cropped to the mask's
/// tight box without the box's last column and row, turned gray by
/// enhance_dark_text with gamma 10, and kept only where the mask is set
/// (black elsewhere). Returned as 1 x 1 x h x w float32, values v / 255.
/// None when the mask has fewer than kMinFeaturePixels set pixels or all of
/// them lie in one row or one column (the crop would be empty).
/// The mask must have the frame's height and width (ValueError otherwise).
std::optional<NDArray> feature_crop(const cv::Mat& rgb, const MaskView& mask);

/// `predictor.set_image(rgb)` once, then one predictor.encode() per mask
/// that has a crop, in mask order. Returns one entry per mask: the vector
/// the predictor returned, or null for a mask without a crop. Every mask
/// must have the frame's size; this is checked before the predictor is
/// called (ValueError).
std::vector<ModelValuePtr> image_features(ImagePredictor& predictor, const cv::Mat& rgb,
                                          const std::vector<MaskView>& masks);

}  // namespace mirelo
