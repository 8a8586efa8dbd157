#pragma once
// Mask overlays, boxes and labels, and contrast enhancement of animal crops.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "common/mask.hpp"
#include "common/ndarray.hpp"
#include "common/run_mask.hpp"

namespace mirelo {

/// Colour of the mask at position k, drawn from a deterministic generator
/// seeded with `seed` (callers pass k + 42): a Mersenne Twister seeded as the
/// array library's legacy generator is, three draws from [0, 255], so the
/// colours equal what that generator's `randint(0, 256, 3)` gives for the
/// same seed. `seed` must lie in [0, 2**32 - 1].
std::array<uint8_t, 3> mask_color(int64_t seed);

/// Half-transparent overlay of every mask (colour of its position, alpha 128)
/// composited over `rgba` (CV_8UC4, RGBA order; CV_8UC3 is taken as RGB with
/// opaque alpha). A later mask's overlay replaces an earlier one's where they
/// overlap; mask pixels outside the image are ignored. Returns a new CV_8UC4
/// image.
cv::Mat draw_masks_on_image(const cv::Mat& rgba, const std::vector<MaskView>& masks);

/// draw_masks_on_image, then per mask its tight box and a label with its key.
/// `rgba`: CV_8UC4, RGBA order (or CV_8UC3 RGB). Returns a new CV_8UC4 image.
cv::Mat img_bbx_drawing(const cv::Mat& rgba, const MaskMap& masks);

/// The two drawings for masks of any element type. A mask paints its pixels
/// above zero and is boxed over its non-zero pixels: the two differ only for
/// signed and real elements (negative values, NaN). Bool and uint8 planes
/// are read in place; any other plane is read once. `keys` labels the masks
/// in order (one per mask).
cv::Mat draw_masks_on_image(const cv::Mat& rgba, const std::vector<PlaneView>& masks);
cv::Mat img_bbx_drawing(const cv::Mat& rgba, const std::vector<std::string>& keys,
                        const std::vector<PlaneView>& masks);

/// Whether a mask of element type `t` paints exactly its set (non-zero)
/// pixels, as bool and unsigned masks do; signed and real elements can be
/// set without being above zero.
bool paints_set_pixels(DType t);

/// The image a drawing starts from, read in place.
struct DrawingBase {
  cv::Mat pixels;       ///< CV_8UC3 (RGB) or CV_8UC4 (RGBA)
  bool padded = false;  ///< CV_8UC4 holding RGB and a padding byte (the imaging library's RGB rows): opaque
};

/// The drawings above written into `out`, a CV_8UC4 image of the base's size
/// that is written whole (the memory of the image handed back, say).
void draw_masks_on_image(const DrawingBase& base, const std::vector<PlaneView>& masks, cv::Mat& out);
void img_bbx_drawing(const DrawingBase& base, const std::vector<std::string>& keys,
                     const std::vector<PlaneView>& masks, cv::Mat& out);
/// img_bbx_drawing of masks whose set pixels are held as runs: the runs are
/// painted and boxed, which is the drawing of bool and unsigned masks (their
/// set pixels are those above zero), without reading a mask's pixels again.
void img_bbx_drawing(const DrawingBase& base, const std::vector<std::string>& keys,
                     const std::vector<const RunMask*>& masks, cv::Mat& out);

/// Gamma curve then histogram equalisation of the luminance of `rgb`
/// (CV_8UC3, RGB order). Returns CV_8UC1 of the same size.
/// `gamma` = 0 throws ZeroDivisionError; a negative or NaN `gamma` ValueError.
cv::Mat enhance_dark_text(const cv::Mat& rgb, double gamma);

}  // namespace mirelo
