#pragma once
// The media library's video decoding on libav (video.cpp).
#include <memory>
#include <string>

#include "media/media.hpp"

namespace mirelo::media {

/// A decoder of `path` that positions itself exactly as OpenCV's FFmpeg
/// capture does (see ingest/video_reader.hpp); not open when the file cannot
/// be read or has no video stream.
std::unique_ptr<VideoDecoder> open_libav_video(const std::string& path);

/// A converter of the decoder's pictures to BGR through libswscale.
std::unique_ptr<FrameConverter> make_bgr_converter();

}  // namespace mirelo::media
