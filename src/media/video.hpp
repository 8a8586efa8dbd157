#pragma once
// The media library's video decoding on libav (video.cpp), and the guard
// that keeps its exceptions on its own side of the interface.
#include <memory>
#include <string>
#include <type_traits>

#include "media/media.hpp"

namespace mirelo::media {

/// Runs `work`; an exception it throws is recorded in `failure` and a
/// value-initialised result returned instead.
template <class Work>
auto guarded(Failure& failure, Work&& work) noexcept -> decltype(work()) {
  try {
    return work();
  } catch (...) {
    failure.capture();
    if constexpr (!std::is_void_v<decltype(work())>) return {};
  }
}

/// A decoder of `path` that positions itself exactly as OpenCV's FFmpeg
/// capture does (see ingest/video_reader.hpp); not open when the file cannot
/// be read or has no video stream.
std::unique_ptr<VideoDecoder> open_libav_video(const std::string& path);

/// A converter of the decoder's pictures to BGR through libswscale.
std::unique_ptr<FrameConverter> make_bgr_converter();

}  // namespace mirelo::media
