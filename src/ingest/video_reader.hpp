#pragma once
// A sequential video reader on libavformat/libavcodec that positions itself
// exactly as OpenCV's FFmpeg capture does (the frame rate it reports, the
// frame that follows setting CAP_PROP_POS_FRAMES, the frames that grab()
// steps over), while giving access to the decoded picture itself: only the
// part of a frame that is kept gets converted to BGR, on the thread that
// needs it, and no full-frame copy is made. The decoding is the media
// library's, loaded by the first reader.
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "common/files.hpp"
#include "media/media.hpp"

namespace mirelo {

/// A decoded picture, shared (reference-counted) and safe to hand to another
/// thread while the reader moves on.
using DecodedFrame = media::DecodedFrame;

/// Conversion of decoded pictures to BGR. Each thread uses its own.
class BgrConverter {
 public:
  /// The pixels of `roi` (inside the delivered frame) as CV_8UC3 BGR: `out`
  /// becomes a view of the converter's buffer, valid until the next call.
  /// Equal to the same pixels of OpenCV's whole-frame conversion. Throws
  /// OSError when the pixel format cannot be converted.
  void convert(const DecodedFrame& frame, const cv::Rect& roi, cv::Mat& out) {
    if (!converter_) converter_ = media::library().frame_converter();
    converter_->to_bgr(frame, roi, out);
  }

 private:
  std::unique_ptr<media::FrameConverter> converter_;
};

/// Reads one video stream of a file, frame by frame.
class VideoReader {
 public:
  /// Opens `path` (not opened when the file cannot be read or has no video
  /// stream). A path that names a FIFO, a device, a socket or a folder is
  /// never handed to the decoder, which would wait on it or read it without
  /// end: the reader is not open and refusal() says why. Throws LibraryError
  /// when the media library cannot be loaded.
  explicit VideoReader(const std::string& path) : refusal_(special_file_problem(path)) {
    if (refusal_.empty()) decoder_ = media::library().open_video(path);
  }

  bool is_open() const { return decoder_ && decoder_->is_open(); }
  /// The message naming the file and its kind when the path exists but is
  /// not a regular file; empty otherwise.
  const std::string& refusal() const { return refusal_; }
  /// Frames per second, the value of OpenCV's CAP_PROP_FPS.
  double fps() const { return is_open() ? decoder_->fps() : 0.0; }
  /// Number of frames, the value of OpenCV's CAP_PROP_FRAME_COUNT: the
  /// stream's own count, or its duration times fps() rounded when it has
  /// none (0 when not open).
  int64_t frame_count() const { return is_open() ? decoder_->frame_count() : 0; }
  /// Positions the reader so that the next grab() yields frame `frame_number`
  /// (0-based), as setting OpenCV's CAP_PROP_POS_FRAMES does.
  void seek(int64_t frame_number) {
    if (is_open()) decoder_->seek(frame_number);
  }
  /// Decodes the next frame; false at the end of the stream or on an error.
  bool grab() { return is_open() && decoder_->grab(); }
  /// The frame of the last successful grab().
  DecodedFrame frame() const { return is_open() ? decoder_->frame() : DecodedFrame(); }

 private:
  std::string refusal_;
  std::unique_ptr<media::VideoDecoder> decoder_;
};

}  // namespace mirelo
