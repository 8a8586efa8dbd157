// The recordings of recordings.hpp, written with OpenCV's videoio.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "common/platform.hpp"
#include "recordings.hpp"

namespace fs = std::filesystem;

namespace mirelo::test_support {

bool writes_recordings() { return true; }

std::string cross_fixtures_folder() {
  const char* folder = std::getenv("MIRELO_CROSS_FIXTURES");
  return folder != nullptr ? folder : "";
}

bool write_recording(const std::string& path, int fourcc, int width, int height, int frames) {
  cv::VideoWriter writer(path, cv::CAP_FFMPEG, fourcc, 25, cv::Size(width, height));
  if (!writer.isOpened()) return false;
  for (int k = 0; k < frames; ++k) {
    cv::Mat f(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        f.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>((x * 3 + k * 7) & 255),
                                          static_cast<uchar>((y * 5 + k * 11) & 255), static_cast<uchar>(k * 4));
    cv::rectangle(f, cv::Rect((k * 5) % (width - 20), (k * 3) % (height - 20), 20, 20), cv::Scalar(0, 128, 255), -1);
    writer.write(f);
  }
  return true;
}

namespace {

bool write_named(const std::string& name, const std::string& path) {
  if (name == "pipeline.avi") {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(96, 64));
    if (!writer.isOpened()) return false;
    for (int k = 0; k < 40; ++k) writer.write(cv::Mat(64, 96, CV_8UC3, cv::Scalar(k * 6, 255 - k * 6, 90)));
    return true;
  }
  if (name == "windows.mp4") {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('a', 'v', 'c', '1'), 25, cv::Size(320, 180));
    if (!writer.isOpened()) return false;
    for (int k = 0; k < 100; ++k) {
      cv::Mat f(180, 320, CV_8UC3);
      for (int y = 0; y < f.rows; ++y)
        for (int x = 0; x < f.cols; ++x)
          f.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>((x * 2 + k * 5) & 255),
                                            static_cast<uchar>((y * 3 + k * 3) & 255), 40);  // never orange
      cv::rectangle(f, cv::Rect(150, 40, 24, 90), cv::Scalar(0, 128, 255), cv::FILLED);  // the marker
      cv::circle(f, cv::Point(40 + (k * 7) % 240, 30 + (k * 3) % 120), 12, cv::Scalar(255, 255, 255), cv::FILLED);
      writer.write(f);
    }
    return true;
  }
  return false;
}

}  // namespace

std::string test_recording(const std::string& name, std::string& why) {
  // Written once per process; into the shared folder when there is one, so
  // that the Windows build reads the same file.
  static std::mutex mu;
  static std::map<std::string, std::string> made;
  std::lock_guard<std::mutex> lock(mu);
  if (auto it = made.find(name); it != made.end()) return it->second;
  fs::path folder = cross_fixtures_folder();
  if (folder.empty()) folder = fs::temp_directory_path() / ("mirelo_recordings_" + std::to_string(platform::process_id()));
  fs::create_directories(folder);
  const std::string path = (folder / name).string();
  if (!fs::exists(path) && !write_named(name, path)) {
    why = "OpenCV's videoio cannot write " + name + " here (codec missing)";
    return {};
  }
  return made[name] = path;
}

}  // namespace mirelo::test_support
