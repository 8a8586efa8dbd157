#include "ingest/pen_region.hpp"

#include <algorithm>
#include <vector>

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

std::optional<CropWindow> find_orange_region(const cv::Mat& bgr) {
  if (bgr.empty()) return std::nullopt;
  if (bgr.type() != CV_8UC3)
    throw ValueError(expected_got("an 8-bit BGR image with 3 channels", std::to_string(bgr.channels()) +
                                                                            " channel(s) of depth " +
                                                                            std::to_string(bgr.depth())));
  cv::Mat hsv, mask;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  cv::inRange(hsv, cv::Scalar(10, 150, 150), cv::Scalar(25, 255, 255), mask);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return std::nullopt;

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
    print_line("Error: Could not open video " + path);
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
