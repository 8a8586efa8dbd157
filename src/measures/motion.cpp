#include "measures/motion.hpp"

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/runtime.hpp"
#include "common/text.hpp"
#include "media/media.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mirelo {
namespace {

std::string size_text(int64_t height, int64_t width) {
  return std::to_string(height) + " x " + std::to_string(width) + " (height x width)";
}

// Sum and count of row[x] over the set bytes of mask[0..n). Masks are mostly
// zeros: sixteen mask bytes are tested at once and empty runs are skipped.
inline void accumulate_row(const uint8_t* mask, const float* row, int64_t n, double& sum, int64_t& count) {
  int64_t x = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; x + 16 <= n; x += 16) {
    unsigned set = ~static_cast<unsigned>(_mm_movemask_epi8(
                       _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + x)), zero))) &
                   0xFFFFu;
    count += __builtin_popcount(set);
    while (set != 0) {
      sum += row[x + __builtin_ctz(set)];
      set &= set - 1;
    }
  }
#endif
  for (; x < n; ++x)
    if (mask[x]) {
      sum += row[x];
      ++count;
    }
}

// The same over the elements above zero of a row of any element type.
template <typename T>
void accumulate_row(const T* mask, const float* row, int64_t n, double& sum, int64_t& count) {
  for (int64_t x = 0; x < n; ++x)
    if (mask[x] > T(0)) {
      sum += row[x];
      ++count;
    }
}

void require_same_size(const cv::Mat& prev, const cv::Mat& next) {
  if (prev.type() != CV_8UC1 || next.type() != CV_8UC1)
    throw ValueError(expected_got("8-bit grayscale frames", "another pixel format"));
  if (prev.empty() || next.empty()) throw ValueError(expected_got("two frames with pixels", "an empty frame"));
  if (prev.size() != next.size())
    throw ValueError(expected_got("frames of the same size, " + size_text(prev.rows, prev.cols) + " as the first",
                                  size_text(next.rows, next.cols)));
}

}  // namespace

cv::Mat read_gray_image(const std::string& path, const std::string& what) {
  // The system would read the path only up to the NUL: another file.
  if (path.find('\0') != std::string::npos)
    throw ValueError(expected_got("a path without NUL bytes for " + what, repr_text(path)));
  // A missing file is reported before the decoder is asked: OpenCV would
  // otherwise log its own warning on stderr, outside the caller's stdout.
  // And the decoder is never handed a FIFO or a device, which it would wait
  // on or read without end.
  require_regular_file(path);
  cv::Mat image = media::library().read_image(path, media::ImageColor::gray);
  if (!image.empty()) return image;
  require_regular_file(path);
  throw OSError("cannot read " + what + " " + repr_text(path) + " as an image");
}

cv::Mat flow_magnitude(const cv::Mat& prev, const cv::Mat& next) {
  require_same_size(prev, next);
  const cv::Mat flow = media::library().farneback_flow(prev, next, 0.5, 3, 15, 3, 5, 1.2, 0);
  cv::Mat planes[2];
  cv::split(flow, planes);
  cv::Mat magnitude;
  cv::magnitude(planes[0], planes[1], magnitude);
  return magnitude;
}

std::optional<double> mean_inside(const cv::Mat& values, const PlaneView& mask) {
  CV_Assert(values.type() == CV_32FC1 && values.rows == mask.height && values.cols == mask.width);
  double sum = 0.0;
  int64_t count = 0;
  // Bytes and booleans are above zero exactly where they are set.
  const DType t = mask.dtype == DType::Bool ? DType::UInt8 : mask.dtype;
  visit_dtype(t, [&](auto zero) {
    using T = decltype(zero);
    for (int64_t y = 0; y < mask.height; ++y)
      accumulate_row(reinterpret_cast<const T*>(mask.row(y)), values.ptr<float>(static_cast<int>(y)), mask.width,
                     sum, count);
  });
  if (count == 0) return std::nullopt;
  return sum / static_cast<double>(count);
}

std::vector<std::optional<double>> motion_scores(const cv::Mat& prev, const cv::Mat& next,
                                                 const std::vector<PlaneView>& masks,
                                                 const std::vector<std::string>& mask_names) {
  require_same_size(prev, next);
  for (size_t k = 0; k < masks.size(); ++k)
    if (masks[k].height != prev.rows || masks[k].width != prev.cols)
      throw ValueError(expected_got("a mask of the frames' size " + size_text(prev.rows, prev.cols) + " for " +
                                        (k < mask_names.size() ? mask_names[k] : "mask " + std::to_string(k)),
                                    size_text(masks[k].height, masks[k].width)));
  check_interrupt();
  const cv::Mat magnitude = flow_magnitude(prev, next);
  std::vector<std::optional<double>> scores;
  scores.reserve(masks.size());
  for (const PlaneView& m : masks) {
    check_interrupt();
    scores.push_back(mean_inside(magnitude, m));
  }
  return scores;
}

}  // namespace mirelo
