#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "common/platform.hpp"
#include "ingest/catalogue.hpp"
#include "ingest/extract.hpp"
#include "ingest/jpeg.hpp"
#include "common/number.hpp"
#include "ingest/video_reader.hpp"

using namespace mirelo;
namespace fs = std::filesystem;

namespace {

HostNumber I(int64_t v) { return HostNumber::integer(v); }
HostNumber R(double v) { return HostNumber::real(v); }

VideoRecord row(const std::string& camera, const std::string& time) {
  return VideoRecord{camera, "20240115", time, "p", "v"};
}

}  // namespace

TEST(HostNumber, ArithmeticFollowsTheHost) {
  EXPECT_EQ((I(25) * I(60) * R(0.1 + 0.2)).text(), "450.00000000000006");
  EXPECT_EQ((I(25) * I(60) * I(2)).text(), "3000");
  EXPECT_EQ((R(0.2) + R(0.1)).text(), "0.30000000000000004");
  EXPECT_EQ((I(0) + R(0.1)).text(), "0.1");
  EXPECT_THROW(I(INT64_MAX) + I(1), std::overflow_error);
  EXPECT_THROW(I(INT64_MAX / 2) * I(3), std::overflow_error);
}

TEST(HostNumber, ExactMixedComparison) {
  const int64_t big = (int64_t{1} << 53) + 1;  // not representable as a double
  EXPECT_TRUE(R(9007199254740992.0) < I(big));
  EXPECT_FALSE(I(big) == R(9007199254740992.0));
  EXPECT_TRUE(I(149) == R(149.0));
  EXPECT_TRUE(I(149) < R(149.5));
  EXPECT_FALSE(I(1) < R(std::nan("")));
  EXPECT_FALSE(R(std::nan("")) < I(1));
  EXPECT_TRUE(I(INT64_MAX) < R(1e19));
  EXPECT_TRUE(R(-1e19) < I(INT64_MIN));
}

TEST(HostNumber, RemainderTest) {
  EXPECT_TRUE(remainder_is_zero(I(1500), I(10)));
  EXPECT_FALSE(remainder_is_zero(I(1501), I(10)));
  EXPECT_TRUE(remainder_is_zero(I(-20), I(10)));
  EXPECT_TRUE(remainder_is_zero(I(20), I(-10)));
  EXPECT_TRUE(remainder_is_zero(I(INT64_MIN), I(-1)));
  EXPECT_TRUE(remainder_is_zero(R(512.0), I(1)));
  EXPECT_FALSE(remainder_is_zero(R(450.00000000000006), I(1)));
  EXPECT_TRUE(remainder_is_zero(R(7.5), R(2.5)));
  EXPECT_FALSE(remainder_is_zero(R(-5.0), R(3.0)));
  EXPECT_THROW(remainder_is_zero(I(3), I(0)), ZeroDivisionError);
  EXPECT_THROW(remainder_is_zero(R(3.0), R(0.0)), ZeroDivisionError);
}

TEST(CropWindow, RulesFromTheOrangeRegion) {
  struct Case {
    CropWindow region;
    CropSide side;
    CropWindow window;
  };
  const Case cases[] = {
      {{2250, 300, 2310, 900}, CropSide::Left, {380, 0, 2205, 1440}},
      {{2250, 300, 2299, 900}, CropSide::Left, {120, 0, 2205, 1440}},
      {{1200, 10, 1260, 90}, CropSide::Right, {1150, 0, 2300, 1440}},
      {{2250, 10, 2300, 90}, CropSide::Right, {2200, 0, 2560, 1440}},
      {{20, 10, 30, 90}, CropSide::Right, {-30, 0, 2300, 1440}},
      {{5, 6, 7, 8}, CropSide::Keep, {5, 6, 7, 8}},
  };
  for (const auto& c : cases) EXPECT_EQ(crop_window_for(c.region, c.side), c.window);
}

TEST(CropWindow, ArraySliceRules) {
  EXPECT_EQ(slice_window({380, 0, 2205, 1440}, 1440, 2560), cv::Rect(380, 0, 1825, 1440));
  EXPECT_EQ(slice_window({1150, 0, 2300, 1440}, 180, 320), cv::Rect()) << "starts past the right edge";
  EXPECT_EQ(slice_window({-30, 0, 2300, 1440}, 180, 320), cv::Rect(290, 0, 30, 180));
  EXPECT_EQ(slice_window({-100, 10, -20, 1000}, 180, 320), cv::Rect(220, 10, 80, 170));
  EXPECT_EQ(slice_window({INT64_MIN, INT64_MIN, INT64_MAX, INT64_MAX}, 4, 5), cv::Rect(0, 0, 5, 4));
  EXPECT_TRUE(slice_window({10, 0, 5, 10}, 20, 20).empty());
}

TEST(CropWindow, ResizedWidth) {
  EXPECT_EQ(resized_width(480, 2180, 1440), 727);
  EXPECT_EQ(resized_width(480, 1440, 1440), 480);
  EXPECT_EQ(resized_width(24, 80, 170), 12);
  EXPECT_THROW(resized_width(0, 10, 10), ValueError);
  EXPECT_THROW(resized_width(480, 10000000, 1), ValueError);
}

// As posixpath.join and ntpath.join join them, on the system each is for.
TEST(Catalogue, PathJoinAsTheHost) {
  struct Case {
    const char *a, *b, *posix, *windows;
  };
  const Case cases[] = {
      {"base", "sub", "base/sub", "base\\sub"},
      {"base/", "sub", "base/sub", "base/sub"},
      {"base\\", "sub", "base\\/sub", "base\\sub"},
      {"", "sub", "sub", "sub"},
      {"base", "/abs", "/abs", "/abs"},
      {"base", "", "base/", "base\\"},
      {"C:\\data", "D:\\clips", "C:\\data/D:\\clips", "D:\\clips"},
      {"C:\\data", "\\clips", "C:\\data/\\clips", "C:\\clips"},
      {"C:", "clips", "C:/clips", "C:clips"},
      {"c:\\data", "C:clips", "c:\\data/C:clips", "C:\\data\\clips"},
      {"\\\\server\\share", "clips", "\\\\server\\share/clips", "\\\\server\\share\\clips"},
      {"D:\\ToBeLabeled_20pigs/", "20240115", "D:\\ToBeLabeled_20pigs/20240115", "D:\\ToBeLabeled_20pigs/20240115"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(path_join(c.a, c.b), platform::kWindows ? c.windows : c.posix) << c.a << " + " << c.b;
  EXPECT_EQ(file_name_of("a/b/c.mp4"), "c.mp4");
  EXPECT_EQ(file_name_of("D:\\videos\\c.mp4"), platform::kWindows ? "c.mp4" : "D:\\videos\\c.mp4");
}

TEST(Catalogue, RowFromTheMatchedGroups) {
  const VideoRecord r = recording_row("b/sub/Camera064_1_20240115063000.mp4.mp4", "064", "20240115", "063000");
  EXPECT_EQ(r.camera_number, "064");
  EXPECT_EQ(r.date, "20240115");
  EXPECT_EQ(r.time, "06:30:00");
  EXPECT_EQ(r.file_path, "b/sub/Camera064_1_20240115063000.mp4.mp4");
  EXPECT_EQ(r.video_name, "Camera064_1_20240115063000.mp4");
  // The time is cut by code points, as the host slices texts.
  EXPECT_EQ(recording_row("x/a.mp4", "1", "2", "\xc3\xa9" "1015").time, "\xc3\xa9" "1:01:5");
  EXPECT_EQ(recording_row("x/a.mp4", "1", "2", "1015").time, "10:15:");
  EXPECT_EQ(recording_row("abc", "1", "2", "").video_name, "");
}

TEST(Catalogue, FilterOrderAndSampling) {
  std::vector<VideoRecord> rows;
  for (int k = 0; k < 8; ++k)
    rows.push_back(row(k % 2 ? "65" : "64", (k + 5 < 10 ? "0" : "") + std::to_string(k + 5) + ":30:00"));
  // 05:30:00 is dropped by the time filter; 7 rows remain at positions 1..7.
  CatalogueFilter f;
  EXPECT_EQ(filter_catalogue(rows, f), (std::vector<int64_t>{1, 4, 7}));
  f.sample_step = -3;
  EXPECT_EQ(filter_catalogue(rows, f), (std::vector<int64_t>{7, 4, 1}));
  f.sample_step = 100;
  EXPECT_EQ(filter_catalogue(rows, f), (std::vector<int64_t>{1}));
  f.sample_step = 2;
  f.camera_number = "65";  // sampled first: positions 1, 3, 5, 7, all of camera 65
  EXPECT_EQ(filter_catalogue(rows, f), (std::vector<int64_t>{1, 3, 5, 7}));
  f.top_n = 2;
  EXPECT_EQ(filter_catalogue(rows, f), (std::vector<int64_t>{1, 3}));
  f.camera_number = "64";
  EXPECT_TRUE(filter_catalogue(rows, f).empty());
  f = CatalogueFilter{};
  f.sample_step = INT64_MIN;
  EXPECT_EQ(filter_catalogue(rows, f), (std::vector<int64_t>{7}));
}

TEST(Catalogue, ListAllFilesPreOrder) {
  const fs::path d = fs::temp_directory_path() / ("mirelo_list_all_files_" + std::to_string(platform::process_id()));
  fs::remove_all(d);
  for (const char* rel : {"b.jpg", "a.jpg", "z/c.jpg", "m/d.txt", "m/e.jpg"}) {
    fs::create_directories((d / rel).parent_path());
    std::ofstream(d / rel).put('x');
  }
  const std::string root = platform::utf8_path(d);
  const auto in = [&](const char* folder, const char* name) { return path_join(path_join(root, folder), name); };
  EXPECT_EQ(list_all_files(root, {".jpg"}), (std::vector<std::string>{path_join(root, "a.jpg"), path_join(root, "b.jpg"),
                                                                      in("m", "e.jpg"), in("z", "c.jpg")}));
  EXPECT_EQ(list_all_files(root, {}).size(), 5u);
  EXPECT_TRUE(list_all_files(root + "/missing", {}).empty());
  fs::remove_all(d);
}

TEST(Jpeg, SameBytesAsTheCodec) {
  cv::Mat image(90, 161, CV_8UC3);
  cv::randu(image, 0, 255);
  cv::GaussianBlur(image, image, cv::Size(5, 5), 0);
  const cv::Mat crop = image(cv::Rect(3, 5, 101, 77));  // strided rows
  std::vector<uchar> reference;
  cv::imencode(".jpg", crop, reference);
  const std::vector<uint8_t> ours = encode_jpeg(crop, 95);
  EXPECT_EQ(std::vector<uchar>(ours.begin(), ours.end()), reference);
  cv::Mat gray;
  cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
  cv::imencode(".jpg", gray, reference);
  const std::vector<uint8_t> ours_gray = encode_jpeg(gray, 95);
  EXPECT_EQ(std::vector<uchar>(ours_gray.begin(), ours_gray.end()), reference);
  EXPECT_THROW(encode_jpeg(cv::Mat(4, 4, CV_8UC4), 95), ValueError);
  EXPECT_THROW(encode_jpeg(cv::Mat(4, 4, CV_16UC3), 95), ValueError);
}

TEST(Extraction, WindowFolderNames) {
  RunSettings s;
  s.output_dir_base = "D:\\ToBeLabeled_20pigs/";
  const VideoRow r{"Camera64_1_20240115063000", "p.mp4", "20240115", "64"};
  EXPECT_EQ(window_folder(s, r, I(0), R(0.1)),
            "D:\\ToBeLabeled_20pigs//20240115/Camera64_1_20240115063000/0min_to_0.1min/right_cropped_frames");
  s.left_folder = true;
  s.output_dir_base = "out";
  EXPECT_EQ(window_folder(s, r, R(0.2), R(0.1 + 0.2)),
            "out/20240115/Camera64_1_20240115063000/0.2min_to_0.30000000000000004min/left_cropped_frames");
}

TEST(Extraction, WindowPlanning) {
  std::vector<std::string> seen;
  auto plan = [&](HostNumber total, HostNumber step) {
    seen.clear();
    for_each_window(total, step,
                    [&](const HostNumber& a, const HostNumber& b) { seen.push_back(a.text() + "-" + b.text()); });
    return seen;
  };
  EXPECT_EQ(plan(R(0.25), R(0.1)),
            (std::vector<std::string>{"0-0.1", "0.1-0.2", "0.2-0.25"}));
  EXPECT_EQ(plan(R(0.35), R(0.1)),
            (std::vector<std::string>{"0-0.1", "0.1-0.2", "0.2-0.30000000000000004", "0.30000000000000004-0.35"}));
  EXPECT_EQ(plan(R(2.5), I(1)), (std::vector<std::string>{"0-1", "1-2", "2-2.5"}));
  EXPECT_EQ(plan(R(0.5), R(INFINITY)), (std::vector<std::string>{"0-0.5"}));
  EXPECT_TRUE(plan(I(0), R(-1)).empty());  // nothing to cut: the step is never used
  EXPECT_THROW(plan(R(1), R(0)), ValueError);
  EXPECT_THROW(plan(R(1), R(NAN)), ValueError);
}
