// The media library's one entry point: the interface of media/media.hpp over
// libav and OpenCV's imgcodecs and video modules.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/video/tracking.hpp>

#include <climits>
#include <system_error>

#include "media/media.hpp"
#include "media/video.hpp"

namespace mirelo::media {

void Failure::capture() noexcept {
  try {
    throw;
  } catch (const FileNotFoundError& e) {
    kind = Kind::file_not_found;
    message = e.what();
  } catch (const OSError& e) {
    kind = Kind::os;
    message = e.what();
    number = e.error_number;
  } catch (const std::system_error& e) {
    kind = Kind::os;
    message = e.what();
    const auto& category = e.code().category();
    number = category == std::generic_category() || category == std::system_category() ? e.code().value() : 0;
  } catch (const std::invalid_argument& e) {
    kind = Kind::value;
    message = e.what();
  } catch (const MemoryError& e) {
    kind = Kind::memory;
    message = e.what();
  } catch (const std::bad_alloc&) {
    kind = Kind::memory;
  } catch (const cv::Exception& e) {
    kind = Kind::opencv;
    message = e.err;
    number = e.code;
    function = e.func;
    file = e.file;
    line = e.line;
  } catch (const std::exception& e) {
    kind = Kind::other;
    message = e.what();
  } catch (...) {
    kind = Kind::other;
    message = "an exception of an unknown type in the media library";
  }
}

namespace {

class CodecLibrary final : public Library {
 protected:
  VideoDecoder* do_open_video(const std::string& path, Failure& failure) const noexcept override {
    return guarded(failure, [&] { return open_libav_video(path).release(); });
  }

  FrameConverter* do_frame_converter(Failure& failure) const noexcept override {
    return guarded(failure, [] { return make_bgr_converter().release(); });
  }

  cv::Mat do_decode_image(const std::string& bytes, ImageColor color, Failure& failure) const noexcept override {
    return guarded(failure, [&] {
      if (bytes.empty() || bytes.size() > INT_MAX) return cv::Mat();
      const cv::Mat buffer(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.data()));
      return cv::imdecode(buffer, color == ImageColor::gray ? cv::IMREAD_GRAYSCALE : cv::IMREAD_COLOR);
    });
  }

  cv::Mat do_farneback_flow(const cv::Mat& prev, const cv::Mat& next, double pyr_scale, int levels, int winsize,
                            int iterations, int poly_n, double poly_sigma, int flags,
                            Failure& failure) const noexcept override {
    return guarded(failure, [&] {
      cv::Mat flow;
      cv::calcOpticalFlowFarneback(prev, next, flow, pyr_scale, levels, winsize, iterations, poly_n, poly_sigma,
                                   flags);
      return flow;
    });
  }
};

}  // namespace
}  // namespace mirelo::media

// MIRELO_MEDIA_EXPORT: the build's mark of the one exported function.
extern "C" MIRELO_MEDIA_EXPORT const mirelo::media::Library* mirelo_media_library(int version) {
  static const mirelo::media::CodecLibrary library{};
  return version == mirelo::media::kInterfaceVersion ? &library : nullptr;
}
