#pragma once
// JPEG encoding straight from BGR rows. The image codec module converts each
// row to RGB before compressing; libjpeg-turbo reads BGR itself, which saves
// that pass and gives the same file bytes at the same settings.
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace mirelo {

/// JPEG bytes of an 8-bit image (CV_8UC3 in BGR order, or CV_8UC1), at
/// `quality` (1..100) with the codec's default settings otherwise (4:2:0
/// chroma, baseline, no Huffman optimisation): the same bytes as
/// cv::imencode(".jpg", image) at that quality. Rows may be strided (a crop).
/// Throws ValueError for another pixel format and OSError when the encoder fails.
std::vector<uint8_t> encode_jpeg(const cv::Mat& image, int quality = 95);

}  // namespace mirelo
