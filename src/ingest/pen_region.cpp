#include "ingest/pen_region.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include <opencv2/imgproc.hpp>
#if CV_VERSION_MAJOR >= 5
#include <opencv2/geometry.hpp>
#endif

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/runtime.hpp"
#include "ingest/catalogue.hpp"
#include "ingest/video_reader.hpp"

namespace mirelo {

std::string window_text(const CropWindow& w) {
  return "x1=" + std::to_string(w.x1) + ", y1=" + std::to_string(w.y1) + ", x2=" + std::to_string(w.x2) +
         ", y2=" + std::to_string(w.y2);
}

namespace {

// OpenCV's 8-bit BGR -> HSV works in fixed point with 12 fractional bits:
// saturation = (diff * round(255 * 4096 / v) + 2048) >> 12 and
// hue = (numerator * round(180 * 4096 / (6 * diff)) + 2048) >> 12, plus 180
// when negative. The same divisors give the same decision.
struct HsvDivisors {
  int saturation[256] = {};
  int hue[256] = {};
  HsvDivisors() {
    for (int i = 1; i < 256; ++i) {
      saturation[i] = static_cast<int>(std::lrint((255 << 12) / static_cast<double>(i)));
      hue[i] = static_cast<int>(std::lrint((180 << 12) / (6.0 * i)));
    }
  }
};

const HsvDivisors kDivisors;

// inRange((10, 150, 150), (25, 255, 255)) on the HSV values of one pixel.
bool orange_hsv(int b, int g, int r) {
  const int v = std::max({b, g, r});
  const int diff = v - std::min({b, g, r});
  const int s = (diff * kDivisors.saturation[v] + 2048) >> 12;
  int h = v == r ? g - b : v == g ? b - r + 2 * diff : r - g + 4 * diff;
  h = (h * kDivisors.hue[diff] + 2048) >> 12;
  if (h < 0) h += 180;
  return h >= 10 && h <= 25 && s >= 150 && v >= 150;
}

// What every orange pixel has, cheap enough to test on every pixel. A hue
// of 10..25 (of 180) needs red to be the largest channel (green largest
// gives at least 30, blue at least 90) and green above blue (the numerator
// g - b must be positive), so blue is the smallest and diff = r - b. A
// saturation of 150 needs diff * divisor >= 150 * 4096 - 2048; the divisor
// is largest at the smallest value allowed, 150 (6963), where 87 falls
// short and 88 reaches it.
bool orange_candidate(unsigned b, unsigned g, unsigned r) { return r >= 150 && r >= g && g > b && r >= b + 88; }

bool mark_row_portable(const uint8_t* p, int64_t width, uint8_t* out) {
  bool found = false;
  for (int64_t x = 0; x < width; ++x, p += 3) {
    const bool orange = orange_candidate(p[0], p[1], p[2]) && orange_hsv(p[0], p[1], p[2]);
    out[x] = orange ? 255 : 0;
    found |= orange;
  }
  return found;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MIRELO_ORANGE_AVX2 1

// Lanes 0..15 from `p`, lanes 16..31 from 48 bytes (16 pixels) further: each
// 128-bit half then holds one group of 16 pixels in the same layout.
__attribute__((target("avx2"))) inline __m256i load_halves(const uint8_t* p) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), 1);
}

__attribute__((target("avx2"))) inline __m256i lane_pattern(__m128i pattern) {
  return _mm256_broadcastsi128_si256(pattern);
}

// 32 pixels at a time: the channels are gathered with byte shuffles, the
// candidate test runs on all lanes, and only candidates take the exact test.
__attribute__((target("avx2"))) bool mark_row_avx2(const uint8_t* p, int64_t width, uint8_t* out) {
  // Byte k of 48 BGR bytes goes to lane k / 3 of channel k % 3; each of the
  // three 16-byte parts feeds its own lanes (-1 gives 0, so parts are ORed).
  const __m256i b0 = lane_pattern(_mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const __m256i b1 = lane_pattern(_mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1));
  const __m256i b2 = lane_pattern(_mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13));
  const __m256i g0 = lane_pattern(_mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const __m256i g1 = lane_pattern(_mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1));
  const __m256i g2 = lane_pattern(_mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14));
  const __m256i r0 = lane_pattern(_mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const __m256i r1 = lane_pattern(_mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1));
  const __m256i r2 = lane_pattern(_mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15));
  const __m256i k149 = _mm256_set1_epi8(static_cast<char>(149)), k87 = _mm256_set1_epi8(87);
  const __m256i zero = _mm256_setzero_si256();
  bool found = false;
  int64_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const uint8_t* q = p + 3 * x;
    const __m256i v0 = load_halves(q), v1 = load_halves(q + 16), v2 = load_halves(q + 32);
    const __m256i b = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(v0, b0), _mm256_shuffle_epi8(v1, b1)),
                                      _mm256_shuffle_epi8(v2, b2));
    const __m256i g = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(v0, g0), _mm256_shuffle_epi8(v1, g1)),
                                      _mm256_shuffle_epi8(v2, g2));
    const __m256i r = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(v0, r0), _mm256_shuffle_epi8(v1, r1)),
                                      _mm256_shuffle_epi8(v2, r2));
    // r >= 150, g > b and r - b >= 88 as saturated differences that are not
    // zero; r >= g as g - r saturating to zero.
    const __m256i above = _mm256_min_epu8(_mm256_min_epu8(_mm256_subs_epu8(r, k149), _mm256_subs_epu8(g, b)),
                                          _mm256_subs_epu8(_mm256_subs_epu8(r, b), k87));
    const auto failed = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(above, zero)));
    const auto red_top = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_subs_epu8(g, r), zero)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), zero);
    for (uint32_t bits = ~failed & red_top; bits != 0; bits &= bits - 1) {
      const int k = __builtin_ctz(bits);
      const uint8_t* s = q + 3 * k;
      if (orange_hsv(s[0], s[1], s[2])) {
        out[x + k] = 255;
        found = true;
      }
    }
  }
  return mark_row_portable(p + 3 * x, width - x, out + x) || found;
}

bool has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

bool mark_orange_row(const uint8_t* bgr, int64_t width, uint8_t* out, bool vectorised) {
#ifdef MIRELO_ORANGE_AVX2
  if (vectorised && has_avx2()) return mark_row_avx2(bgr, width, out);
#else
  (void)vectorised;
#endif
  return mark_row_portable(bgr, width, out);
}

std::optional<CropWindow> find_orange_region(const cv::Mat& bgr) {
  if (bgr.empty()) return std::nullopt;
  if (bgr.type() != CV_8UC3)
    throw ValueError(expected_got("an 8-bit BGR image with 3 channels", std::to_string(bgr.channels()) +
                                                                            " channel(s) of depth " +
                                                                            std::to_string(bgr.depth())));
  // The mask is written only on rows that have an orange pixel (a row is
  // marked in a buffer first) and then cleared across the box of the orange
  // pixels: the contours are found in that box alone, so the rest of the
  // mask is never touched. Outside the box every pixel is 0, so the contours
  // and their order are those of the whole mask.
  const int rows = bgr.rows, cols = bgr.cols;
  cv::Mat mask(rows, cols, CV_8U);
  std::vector<uint8_t> line(static_cast<size_t>(cols));
  std::vector<bool> marked(static_cast<size_t>(rows), false);
  int top = -1, bottom = -1, left = cols, right = -1;
  for (int y = 0; y < rows; ++y) {
    if (!mark_orange_row(bgr.ptr(y), cols, line.data())) continue;
    std::memcpy(mask.ptr(y), line.data(), line.size());
    marked[static_cast<size_t>(y)] = true;
    if (top < 0) top = y;
    bottom = y;
    int first = 0, last = cols - 1;
    while (line[static_cast<size_t>(first)] == 0) ++first;
    while (line[static_cast<size_t>(last)] == 0) --last;
    left = std::min(left, first);
    right = std::max(right, last);
  }
  if (top < 0) return std::nullopt;
  for (int y = top; y <= bottom; ++y)
    if (!marked[static_cast<size_t>(y)]) std::memset(mask.ptr(y) + left, 0, static_cast<size_t>(right - left + 1));
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask(cv::Rect(left, top, right - left + 1, bottom - top + 1)), contours, cv::RETR_EXTERNAL,
                   cv::CHAIN_APPROX_SIMPLE, cv::Point(left, top));

  std::vector<size_t> order(contours.size());
  std::vector<double> area(contours.size());
  for (size_t i = 0; i < contours.size(); ++i) {
    order[i] = i;
    area[i] = cv::contourArea(contours[i]);
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return area[a] > area[b]; });
  const size_t kept = std::min<size_t>(2, order.size());

  size_t best = order[0];
  double best_x = 0.0;
  for (size_t k = 0; k < kept; ++k) {
    const cv::Moments m = cv::moments(contours[order[k]]);
    const double cx = m.m10 / (m.m00 + 0.00001);
    if (k == 0 || cx > best_x) {
      best = order[k];
      best_x = cx;
    }
  }
  const cv::Rect r = cv::boundingRect(contours[best]);
  return CropWindow{r.x, r.y, static_cast<int64_t>(r.x) + r.width, static_cast<int64_t>(r.y) + r.height};
}

std::optional<double> video_duration_minutes(const std::string& path) {
  check_no_nul(path);
  const VideoReader reader(path);
  if (!reader.is_open()) {
    print_line(reader.refusal().empty() ? "Error: Could not open video " + path
                                        : "Error: Could not open video: " + reader.refusal());
    return std::nullopt;
  }
  const double fps = reader.fps();
  print_line("Video FPS: " + format_float(fps));
  const auto frames = static_cast<double>(reader.frame_count());
  print_line("Total frames: " + format_float(frames));
  if (fps == 0.0)
    throw ZeroDivisionError("cannot compute the duration of " + path + ": the video reports a frame rate of 0 (" +
                            format_float(frames) + " frames)");
  const double seconds = frames / fps;
  print_line("Video duration: " + format_fixed(seconds, 2) + " seconds");
  return seconds / 60.0;
}

}  // namespace mirelo
