#include "segment/features.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/runtime.hpp"
#include "visual/draw.hpp"

namespace mirelo {
namespace {

constexpr double kFeatureGamma = 10.0;

std::string shape_text(int64_t h, int64_t w) { return "(" + std::to_string(h) + ", " + std::to_string(w) + ")"; }

void require_rgb(const cv::Mat& rgb) {
  if (rgb.type() != CV_8UC3)
    throw ValueError(expected_got("an RGB image with 8 bits per channel",
                                  std::to_string(rgb.channels()) + " channel(s) of depth " + std::to_string(rgb.depth())));
}

void require_frame_size(const cv::Mat& rgb, const MaskView& mask, size_t index) {
  if (mask.height != rgb.rows || mask.width != rgb.cols)
    throw ValueError(expected_got("masks of the image's size " + shape_text(rgb.rows, rgb.cols),
                                  "mask " + std::to_string(index) + " of shape " + shape_text(mask.height, mask.width)));
}

}  // namespace

std::optional<NDArray> feature_crop(const cv::Mat& rgb, const MaskView& mask) {
  require_rgb(rgb);
  require_frame_size(rgb, mask, 0);
  const MaskStats stats = mask_stats(mask);
  if (stats.area < kMinFeaturePixels) return std::nullopt;
  // The crop's right and bottom edges are exclusive, so the box's last
  // column and row fall outside it.
  const int64_t x0 = stats.box.x_min, y0 = stats.box.y_min;
  const int64_t w = stats.box.x_max - x0, h = stats.box.y_max - y0;
  if (w <= 0 || h <= 0) return std::nullopt;

  const cv::Mat gray = enhance_dark_text(
      rgb(cv::Rect(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(w), static_cast<int>(h))),
      kFeatureGamma);
  NDArray out(DType::Float32, {1, 1, h, w});
  auto* dst = reinterpret_cast<float*>(out.bytes.data());
  for (int64_t y = 0; y < h; ++y) {
    const uint8_t* g = gray.ptr<uint8_t>(static_cast<int>(y));
    const uint8_t* m = mask.row(y0 + y) + x0;
    float* d = dst + y * w;
    // The division is the tensor conversion's own (float32 v / 255).
    for (int64_t x = 0; x < w; ++x) d[x] = m[x] ? static_cast<float>(g[x]) / 255.0f : 0.0f;
  }
  return out;
}

std::vector<ModelValuePtr> image_features(ImagePredictor& predictor, const cv::Mat& rgb,
                                          const std::vector<MaskView>& masks) {
  require_rgb(rgb);
  for (size_t k = 0; k < masks.size(); ++k) require_frame_size(rgb, masks[k], k);
  predictor.set_image(rgb);
  std::vector<ModelValuePtr> out;
  out.reserve(masks.size());
  for (const MaskView& m : masks) {
    std::optional<NDArray> crop = feature_crop(rgb, m);
    out.push_back(crop ? predictor.encode(std::move(*crop)) : nullptr);
    check_interrupt();
  }
  return out;
}

}  // namespace mirelo
