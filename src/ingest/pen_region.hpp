#pragma once
// Measurements of a recording used to plan its frame extraction: its length
// and the orange marker region that splits the pen image.
#include <cstdint>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace mirelo {

/// A box or crop window in pixels of the full frame: columns x1 .. x2-1 and
/// rows y1 .. y2-1.
struct CropWindow {
  int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  bool operator==(const CropWindow&) const = default;
};

/// The window as messages write it: "x1=.., y1=.., x2=.., y2=..".
std::string window_text(const CropWindow& w);

/// Bounding box (x, y, x + w, y + h) of the orange region of a BGR frame
/// (CV_8UC3): pixels with hue 10..25, saturation and value 150..255; of the
/// two largest outer contours, the one whose centroid lies furthest right
/// (the larger on a tie). Nothing when no pixel is orange.
std::optional<CropWindow> find_orange_region(const cv::Mat& bgr);

/// Marks the orange pixels of one row of `width` BGR pixels (3 bytes each)
/// in `out` (`width` bytes: 255 orange, 0 not), deciding each pixel exactly
/// as OpenCV's 8-bit cvtColor(COLOR_BGR2HSV) followed by inRange with the
/// bounds above would, without making the HSV values. Returns whether any
/// pixel is orange. `vectorised` false keeps to the portable code (the
/// vector code is taken only where the processor has it).
bool mark_orange_row(const uint8_t* bgr, int64_t width, uint8_t* out, bool vectorised = true);

/// Length of the recording at `path` in minutes, printing "Video FPS: ",
/// "Total frames: " and "Video duration: ... seconds". Nothing (after the line
/// "Error: Could not open video <path>") when the file cannot be opened.
/// Throws ZeroDivisionError when the file reports a frame rate of 0.
std::optional<double> video_duration_minutes(const std::string& path);

}  // namespace mirelo
