// Video decoding against OpenCV's capture as the reference: the recordings
// are written here with OpenCV's videoio, which only the POSIX (Debian)
// build has. The Windows build decodes recordings made by this build
// instead (test_recordings.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include "common/platform.hpp"
#include "ingest/video_reader.hpp"
#include "recordings.hpp"

using namespace mirelo;
using mirelo::test_support::write_recording;
namespace fs = std::filesystem;

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
  const fs::path dir = fs::temp_directory_path() / ("mirelo_video_reader_" + std::to_string(platform::process_id()));
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
  const fs::path dir = fs::temp_directory_path() / ("mirelo_video_reader_cut_" + std::to_string(platform::process_id()));
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
  const fs::path dir = fs::temp_directory_path() / ("mirelo_video_reader_rotation_" + std::to_string(platform::process_id()));
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
