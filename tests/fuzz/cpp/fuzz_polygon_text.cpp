// A polygon text ("<id> x y x y ..."): parsed, turned into pixel vertices
// and filled, on the whole frame and on a window of it, which must hold the
// frame's pixels there (a mismatch aborts: a finding like a crash).
#include <cstdlib>
#include <cstring>

#include <opencv2/core.hpp>

#include "common/polygon_fill.hpp"
#include "fuzz_input.hpp"
#include "pen/polygon_text.hpp"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes pick the frame size, the rest is the text.
  const int rows = 1 + data[0] % 48, cols = 1 + data[1] % 64;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  fuzz::accepting_errors([&] {
    const PolygonText polygon = parse_polygon_text(text, "the fuzz input");
    std::vector<cv::Point> vertices;
    for (const auto& p : polygon.points) {
      const auto v = pixel_vertex(p, cols, rows, "the fuzz input");
      vertices.emplace_back(v[0], v[1]);
    }
    cv::Mat frame = cv::Mat::zeros(rows, cols, CV_8UC1);
    fill_polygon(frame, vertices, cv::Scalar(1));
    const int x0 = cols / 3 - 2, y0 = rows / 4 - 1, w = cols / 2 + 3, h = rows / 2 + 2;
    cv::Mat window = cv::Mat::zeros(h, w, CV_8UC1);
    fill_polygon(window, cv::Point2l(x0, y0), rows, cols, vertices, cv::Scalar(1));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int fy = y0 + y, fx = x0 + x;
        const uint8_t expected = fy >= 0 && fy < rows && fx >= 0 && fx < cols ? frame.at<uint8_t>(fy, fx) : 0;
        if (window.at<uint8_t>(y, x) != expected) std::abort();
      }
  });
  return 0;
}
