// The media library's one entry point: the interface of media/media.hpp over
// libav and OpenCV's imgcodecs and video modules.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/video/tracking.hpp>

#include "media/media.hpp"
#include "media/video.hpp"

namespace mirelo::media {
namespace {

class CodecLibrary final : public Library {
 public:
  std::unique_ptr<VideoDecoder> open_video(const std::string& path) const override { return open_libav_video(path); }

  std::unique_ptr<FrameConverter> frame_converter() const override { return make_bgr_converter(); }

  cv::Mat read_image(const std::string& path, ImageColor color) const override {
    return cv::imread(path, color == ImageColor::gray ? cv::IMREAD_GRAYSCALE : cv::IMREAD_COLOR);
  }

  cv::Mat farneback_flow(const cv::Mat& prev, const cv::Mat& next, double pyr_scale, int levels, int winsize,
                         int iterations, int poly_n, double poly_sigma, int flags) const override {
    cv::Mat flow;
    cv::calcOpticalFlowFarneback(prev, next, flow, pyr_scale, levels, winsize, iterations, poly_n, poly_sigma, flags);
    return flow;
  }
};

}  // namespace
}  // namespace mirelo::media

extern "C" __attribute__((visibility("default"))) const mirelo::media::Library* mirelo_media_library(int version) {
  static const mirelo::media::CodecLibrary library{};
  return version == mirelo::media::kInterfaceVersion ? &library : nullptr;
}
