#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "common/format.hpp"
#include "common/runtime.hpp"
#include "ingest/encode_pipeline.hpp"

using namespace mirelo;
namespace fs = std::filesystem;

namespace {

constexpr int kFrames = 40;

class EncodePipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("mirelo_encode_pipeline_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "out");
    const std::string video = (root_ / "clip.avi").string();
    cv::VideoWriter writer(video, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(96, 64));
    ASSERT_TRUE(writer.isOpened());
    for (int k = 0; k < kFrames; ++k) writer.write(cv::Mat(64, 96, CV_8UC3, cv::Scalar(k * 6, 255 - k * 6, 90)));
    writer.release();
    VideoReader reader(video);
    ASSERT_TRUE(reader.is_open());
    while (reader.grab()) frames_.push_back(reader.frame());
    ASSERT_EQ(frames_.size(), static_cast<size_t>(kFrames));
  }

  void TearDown() override {
    set_message_sink({});
    fs::remove_all(root_);
  }

  fs::path image(int k) const { return root_ / "out" / (format_padded(k, 4) + ".jpg"); }

  // Hands every frame to a pipeline of four workers as the extraction does,
  // recording the messages and, at each one, whether every image before it
  // was already written.
  EncodePipeline::Summary run() {
    set_message_sink([this](std::string_view line) {
      const int k = std::stoi(std::string(line.substr(line.find(' ') + 1)));
      bool written = true;
      for (int j = 0; j < k; ++j) written = written && fs::is_regular_file(image(j));
      messages_.push_back(k);
      earlier_written_.push_back(written);
    });
    EncodePipeline pipe((root_ / "out").string(), true, CropWindow{8, 0, 88, 60}, 30, 4);
    for (int k = 0; k < kFrames; ++k) {
      pipe.print_ready();
      if (pipe.failed()) break;
      pipe.wait_for_room();
      pipe.submit(k, frames_[static_cast<size_t>(k)], "image " + std::to_string(k));
    }
    return pipe.finish();
  }

  fs::path root_;
  std::vector<DecodedFrame> frames_;
  std::vector<int> messages_;
  std::vector<bool> earlier_written_;
};

// Whatever order the workers finish in, the messages come in save order,
// each once the images before it are written, as the sequential order
// would print them; every image is whole and of the cropped, resized size.
TEST_F(EncodePipelineTest, MessagesInSaveOrderAfterTheEarlierImages) {
  const EncodePipeline::Summary summary = run();
  ASSERT_EQ(messages_.size(), static_cast<size_t>(kFrames));
  for (int k = 0; k < kFrames; ++k) {
    EXPECT_EQ(messages_[static_cast<size_t>(k)], k);
    EXPECT_TRUE(earlier_written_[static_cast<size_t>(k)]) << "message " << k;
    const cv::Mat written = cv::imread(image(k).string());
    EXPECT_EQ(written.size(), cv::Size(40, 30)) << "image " << k;  // 80 x 60 kept, resized to a height of 30
  }
  EXPECT_EQ(summary.saved, kFrames);
  EXPECT_EQ(summary.cols, 40);
  EXPECT_EQ(summary.rows, 30);
}

// An image that cannot be written ends the run with its error after its own
// message, as the sequential order would; images after it that a worker
// had already written are removed again.
TEST_F(EncodePipelineTest, FirstFailureInSaveOrderWinsAndLaterImagesGo) {
  constexpr int kBad = 5;
  fs::create_directories(image(kBad));  // the image's name is taken by a folder
  EXPECT_ANY_THROW(run());
  ASSERT_EQ(messages_.size(), static_cast<size_t>(kBad + 1));
  for (int k = 0; k <= kBad; ++k) EXPECT_EQ(messages_[static_cast<size_t>(k)], k);
  for (int k = 0; k < kBad; ++k) EXPECT_TRUE(fs::is_regular_file(image(k))) << k;
  EXPECT_TRUE(fs::is_directory(image(kBad)));
  for (int k = kBad + 1; k < kFrames; ++k) EXPECT_FALSE(fs::exists(image(k))) << k;
}

}  // namespace
