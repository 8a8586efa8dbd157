#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include "common/errors.hpp"
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

TEST(Catalogue, PathJoinAsTheHost) {
  EXPECT_EQ(path_join("base", "sub"), "base/sub");
  EXPECT_EQ(path_join("base/", "sub"), "base/sub");
  EXPECT_EQ(path_join("", "sub"), "sub");
  EXPECT_EQ(path_join("base", "/abs"), "/abs");
  EXPECT_EQ(path_join("base", ""), "base/");
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
  const fs::path d = fs::temp_directory_path() / ("mirelo_list_all_files_" + std::to_string(::getpid()));
  fs::remove_all(d);
  for (const char* rel : {"b.jpg", "a.jpg", "z/c.jpg", "m/d.txt", "m/e.jpg"}) {
    fs::create_directories((d / rel).parent_path());
    std::ofstream(d / rel).put('x');
  }
  const std::string root = d.string();
  EXPECT_EQ(list_all_files(root, {".jpg"}),
            (std::vector<std::string>{root + "/a.jpg", root + "/b.jpg", root + "/m/e.jpg", root + "/z/c.jpg"}));
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

namespace {

// A recording whose frame k differs from its neighbours everywhere (moving
// gradient and a moving block), so that any frame offset shows.
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

}  // namespace

// The reader must deliver, after any seek, the very frames (and pixels) that
// OpenCV's capture delivers after setting CAP_PROP_POS_FRAMES, and report the
// same frame rate.
TEST(VideoReader, PositionsAndPixelsAsTheCapture) {
  struct Case {
    const char* name;
    int fourcc, width, height;
  };
  const Case cases[] = {
      {"mp4v.mp4", cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 160, 96},
      {"odd_mp4v.mp4", cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 170, 98},
      {"h264.mp4", cv::VideoWriter::fourcc('a', 'v', 'c', '1'), 160, 96},
      {"mjpg.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 160, 96},
      {"xvid.avi", cv::VideoWriter::fourcc('X', 'V', 'I', 'D'), 162, 94},
      {"odd_h264.mkv", cv::VideoWriter::fourcc('a', 'v', 'c', '1'), 171, 97},
  };
  const fs::path dir = fs::temp_directory_path() / ("mirelo_video_reader_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const int frames = 40;
  int tested = 0;
  for (const auto& c : cases) {
    const std::string path = (dir / c.name).string();
    if (!write_recording(path, c.fourcc, c.width, c.height, frames)) continue;  // codec not available here
    ++tested;
    cv::VideoCapture probe(path, cv::CAP_FFMPEG);
    VideoReader reader(path);
    ASSERT_TRUE(reader.is_open()) << c.name;
    EXPECT_EQ(reader.fps(), probe.get(cv::CAP_PROP_FPS)) << c.name;
    EXPECT_EQ(static_cast<double>(reader.frame_count()), probe.get(cv::CAP_PROP_FRAME_COUNT)) << c.name;
    BgrConverter converter;
    for (int start : {0, 1, 2, 3, 11, 12, 13, 17, 25, 38, 39, 40, 45}) {
      cv::VideoCapture cap(path, cv::CAP_FFMPEG);
      cap.set(cv::CAP_PROP_POS_FRAMES, start);
      VideoReader ours(path);
      ours.seek(start);
      for (int k = 0; k < 3; ++k) {
        cv::Mat expected;
        const bool has = cap.read(expected);
        ASSERT_EQ(ours.grab(), has) << c.name << " start " << start << " frame " << k;
        if (!has) break;
        const DecodedFrame f = ours.frame();
        ASSERT_EQ(f.width(), expected.cols);
        ASSERT_EQ(f.height(), expected.rows);
        for (const cv::Rect roi : {cv::Rect(0, 0, expected.cols, expected.rows), cv::Rect(37, 5, 61, 41),
                                   cv::Rect(expected.cols - 23, expected.rows - 9, 23, 9)}) {
          cv::Mat got;
          converter.convert(f, roi, got);
          ASSERT_EQ(cv::norm(got, expected(roi), cv::NORM_INF), 0.0)
              << c.name << " start " << start << " frame " << k << " roi " << roi;
        }
      }
    }
  }
  EXPECT_GE(tested, 2);
  fs::remove_all(dir);
}

namespace {

// Copies the video packets of `in` from packet `skip` on into `out`, with a
// display matrix turning the picture `degrees` clockwise when given.
bool remux(const std::string& in, const std::string& out, int skip, std::optional<double> degrees) {
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, in.c_str(), nullptr, nullptr) < 0) return false;
  avformat_find_stream_info(ic, nullptr);
  const int vs = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  AVFormatContext* oc = nullptr;
  avformat_alloc_output_context2(&oc, nullptr, nullptr, out.c_str());
  AVStream* os = avformat_new_stream(oc, nullptr);
  avcodec_parameters_copy(os->codecpar, ic->streams[vs]->codecpar);
  os->codecpar->codec_tag = 0;
  os->time_base = ic->streams[vs]->time_base;
  os->avg_frame_rate = ic->streams[vs]->avg_frame_rate;
  if (degrees) {
    uint8_t* matrix = av_stream_new_side_data(os, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t));
    av_display_rotation_set(reinterpret_cast<int32_t*>(matrix), *degrees);
  }
  bool ok = avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE) >= 0 && avformat_write_header(oc, nullptr) >= 0;
  AVPacket* p = av_packet_alloc();
  for (int k = 0; ok && av_read_frame(ic, p) >= 0; av_packet_unref(p)) {
    if (p->stream_index != vs || k++ < skip) continue;
    p->stream_index = 0;
    p->pos = -1;
    av_packet_rescale_ts(p, ic->streams[vs]->time_base, os->time_base);
    ok = av_interleaved_write_frame(oc, p) >= 0;
  }
  av_packet_free(&p);
  ok = ok && av_write_trailer(oc) >= 0;
  avio_closep(&oc->pb);
  avformat_free_context(oc);
  avformat_close_input(&ic);
  return ok;
}

cv::Mat whole_frame(const DecodedFrame& f) {
  BgrConverter converter;
  cv::Mat out;
  converter.convert(f, cv::Rect(0, 0, f.width(), f.height()), out);
  return out.clone();
}

}  // namespace

// A recording cut inside a group of pictures starts with frames that refer to
// missing ones; the reader still counts and positions them as the capture does.
TEST(VideoReader, RecordingStartingBetweenKeyframes) {
  const fs::path dir = fs::temp_directory_path() / ("mirelo_video_reader_cut_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string full = (dir / "full.avi").string(), cut = (dir / "cut.mp4").string();
  ASSERT_TRUE(write_recording(full, cv::VideoWriter::fourcc('X', 'V', 'I', 'D'), 162, 94, 60));
  ASSERT_TRUE(remux(full, cut, 5, std::nullopt));
  EXPECT_EQ(static_cast<double>(VideoReader(cut).frame_count()),
            cv::VideoCapture(cut, cv::CAP_FFMPEG).get(cv::CAP_PROP_FRAME_COUNT));
  for (int start : {0, 1, 6, 7, 12, 30, 54, 55, 60}) {
    cv::VideoCapture cap(cut, cv::CAP_FFMPEG);
    cap.set(cv::CAP_PROP_POS_FRAMES, start);
    VideoReader ours(cut);
    ours.seek(start);
    for (int k = 0; k < 14; ++k) {
      cv::Mat expected;
      const bool has = cap.read(expected);
      ASSERT_EQ(ours.grab(), has) << "start " << start << " frame " << k;
      if (!has) break;
      ASSERT_EQ(cv::norm(whole_frame(ours.frame()), expected, cv::NORM_INF), 0.0) << "start " << start << " frame " << k;
    }
  }
  fs::remove_all(dir);
}

// Quarter turns follow the display matrix as players apply it; OpenCV 4.6's
// capture turned them the other way, so the reference is the unturned
// recording turned here.
TEST(VideoReader, DisplayRotation) {
  const fs::path dir = fs::temp_directory_path() / ("mirelo_video_reader_rotation_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string plain = (dir / "plain.mp4").string();
  ASSERT_TRUE(write_recording(plain, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 160, 96, 3));
  cv::VideoCapture cap(plain, cv::CAP_FFMPEG);
  cv::Mat upright;
  ASSERT_TRUE(cap.read(upright));
  const std::pair<double, int> turns[] = {
      {90, cv::ROTATE_90_CLOCKWISE}, {-90, cv::ROTATE_90_COUNTERCLOCKWISE}, {270, cv::ROTATE_90_COUNTERCLOCKWISE},
      {180, cv::ROTATE_180}, {45, -1}};
  for (const auto& [degrees, code] : turns) {
    const std::string turned = (dir / ("turned" + std::to_string(static_cast<int>(degrees)) + ".mp4")).string();
    ASSERT_TRUE(remux(plain, turned, 0, degrees));
    VideoReader ours(turned);
    ASSERT_TRUE(ours.grab());
    cv::Mat expected;
    if (code >= 0)
      cv::rotate(upright, expected, code);
    else
      expected = upright;  // only quarter turns are applied
    const cv::Mat got = whole_frame(ours.frame());
    ASSERT_EQ(got.size(), expected.size()) << degrees;
    EXPECT_EQ(cv::norm(got, expected, cv::NORM_INF), 0.0) << degrees;
    cv::Mat part;
    BgrConverter converter;
    converter.convert(ours.frame(), cv::Rect(3, 7, 41, 29), part);
    EXPECT_EQ(cv::norm(part, expected(cv::Rect(3, 7, 41, 29)), cv::NORM_INF), 0.0) << degrees;
  }
  fs::remove_all(dir);
}
