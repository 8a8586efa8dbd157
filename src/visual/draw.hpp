#pragma once
// Mask overlays, boxes and labels, and contrast enhancement of animal crops.
#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "common/mask.hpp"

namespace mirelo {

/// Colour of the mask at position k, drawn from a deterministic generator
/// seeded with `seed` (callers pass k + 42).
std::array<uint8_t, 3> mask_color(int64_t seed);

/// Half-transparent overlay of every mask (colour of its position, alpha 128)
/// composited over `rgba` (CV_8UC4, RGBA order). Returns a new CV_8UC4 image.
cv::Mat draw_masks_on_image(const cv::Mat& rgba, const std::vector<MaskView>& masks);

/// draw_masks_on_image, then per mask its tight box and a label with its key.
/// `rgba`: CV_8UC4, RGBA order. Returns a new CV_8UC4 image.
cv::Mat img_bbx_drawing(const cv::Mat& rgba, const MaskMap& masks);

/// Gamma curve then histogram equalisation of the luminance of `rgb`
/// (CV_8UC3, RGB order). Returns CV_8UC1.
cv::Mat enhance_dark_text(const cv::Mat& rgb, double gamma);

}  // namespace mirelo
