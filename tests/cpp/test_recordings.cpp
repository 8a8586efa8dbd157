// A recording decoded, and cut into a window of cropped, resized JPEG
// frames, gives the same pixels and files on every system. The POSIX build
// writes its results beside the recording in the shared folder; the Windows
// build (under Wine) compares its own with them: the same bytes, or pixels
// within 1 of each other (recordings.hpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "common/files.hpp"
#include "common/platform.hpp"
#include "common/runtime.hpp"
#include "ingest/extract.hpp"
#include "ingest/video_reader.hpp"
#include "recordings.hpp"

using namespace mirelo;
namespace fs = std::filesystem;

namespace {

// Where this run's results are kept for the other system, or compared with
// its: "<shared folder>/reference/<what>"; empty without a shared folder.
std::string reference_folder(const std::string& what) {
  const std::string shared = test_support::cross_fixtures_folder();
  return shared.empty() ? std::string() : platform::path_join(platform::path_join(shared, "reference"), what);
}

struct Comparison {
  int identical = 0, within_one = 0;
};

// Keeps `bytes` as the reference named `name` (the writing build) or
// compares them with it (the reading build): equal bytes, or decoded pixels
// within 1 of each other.
void keep_or_compare(const std::string& folder, const std::string& name, const std::string& bytes,
                     Comparison& result) {
  const std::string path = platform::path_join(folder, name);
  if (test_support::writes_recordings()) {
    fs::create_directories(platform::fs_path(folder));
    write_file_atomically(path, bytes);
    return;
  }
  const std::string reference = read_file(path);
  if (reference == bytes) {
    ++result.identical;
    return;
  }
  const auto decode = [](const std::string& b) {
    return cv::imdecode(cv::Mat(1, static_cast<int>(b.size()), CV_8UC1, const_cast<char*>(b.data())),
                        cv::IMREAD_UNCHANGED);
  };
  const cv::Mat ours = decode(bytes), theirs = decode(reference);
  ASSERT_EQ(ours.size(), theirs.size()) << name;
  ASSERT_EQ(ours.type(), theirs.type()) << name;
  EXPECT_LE(cv::norm(ours, theirs, cv::NORM_INF), 1.0) << name;
  ++result.within_one;
}

void report(const char* what, const Comparison& c) {
  if (test_support::writes_recordings()) return;
  std::printf("%s: %d identical to the Linux build's, %d within 1 of them\n", what, c.identical, c.within_one);
}

std::string encode_png(const cv::Mat& image) {
  std::vector<uchar> png;
  cv::imencode(".png", image, png);
  return std::string(png.begin(), png.end());
}

}  // namespace

TEST(RecordingsAcrossSystems, FramesDecodeAsOnLinux) {
  std::string why;
  const std::string video = test_support::test_recording("windows.mp4", why);
  if (video.empty()) GTEST_SKIP() << why;
  VideoReader reader(video);
  ASSERT_TRUE(reader.is_open());
  EXPECT_EQ(reader.fps(), 25.0);
  EXPECT_EQ(reader.frame_count(), 100);
  const std::string folder = reference_folder("frames");
  BgrConverter converter;
  Comparison compared;
  for (int start : {0, 1, 24, 50, 99}) {
    VideoReader at(video);
    at.seek(start);
    ASSERT_TRUE(at.grab()) << start;
    const DecodedFrame frame = at.frame();
    ASSERT_EQ(frame.width(), 320);
    ASSERT_EQ(frame.height(), 180);
    cv::Mat bgr;
    converter.convert(frame, cv::Rect(0, 0, 320, 180), bgr);
    if (!folder.empty()) keep_or_compare(folder, "frame_" + std::to_string(start) + ".png", encode_png(bgr), compared);
  }
  report("decoded frames", compared);
}

TEST(RecordingsAcrossSystems, WindowCutAsOnLinux) {
  std::string why;
  const std::string video = test_support::test_recording("windows.mp4", why);
  if (video.empty()) GTEST_SKIP() << why;
  const fs::path out = fs::temp_directory_path() / ("mirelo_window_cut_" + std::to_string(platform::process_id()));
  fs::remove_all(out);
  WindowRequest request;
  request.video_path = video;
  request.output_dir = platform::utf8_path(out / "0min_to_0.05min" / "right_cropped_frames");
  request.start_min = HostNumber::integer(0);
  request.end_min = HostNumber::real(0.05);  // 3 s: 75 frames
  ExtractionSettings settings;
  settings.resize_height = 96;
  settings.frame_skip = HostNumber::integer(5);
  CropWindow stored{};
  const CameraWindowCache cache{[] { return std::optional<CropWindow>(); }, [&](const CropWindow& w) { stored = w; }};
  MessageCapture messages;
  const WindowResult result = crop_video_to_frames(request, settings, cache);
  ASSERT_EQ(result.outcome, WindowOutcome::Completed);
  EXPECT_EQ(result.saved, 16);  // every 5th frame of 75, and the window's last
  EXPECT_EQ(stored, (CropWindow{100, 0, 2300, 1440}));  // right of the marker at x = 150
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(platform::fs_path(request.output_dir)))
    names.push_back(platform::utf8_path(entry.path().filename()));
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 16u);
  EXPECT_EQ(names.front(), "0000.jpg");
  const std::string folder = reference_folder("window");
  Comparison compared;
  for (const std::string& name : names) {
    const std::string bytes = read_file(platform::path_join(request.output_dir, name));
    const auto decoded = cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1,
                                              const_cast<char*>(bytes.data())), cv::IMREAD_COLOR);
    EXPECT_EQ(decoded.size(), cv::Size(118, 96)) << name;  // 220 x 180 cut, resized to a height of 96
    if (!folder.empty()) keep_or_compare(folder, name, bytes, compared);
  }
  report("window JPEG files", compared);
  fs::remove_all(out);
}
