#pragma once
// A sequential video reader on libavformat/libavcodec that positions itself
// exactly as OpenCV's FFmpeg capture does (the frame rate it reports, the
// frame that follows setting CAP_PROP_POS_FRAMES, the frames that grab()
// steps over), while giving access to the decoded picture itself: only the
// part of a frame that is kept gets converted to BGR, on the thread that
// needs it, and no full-frame copy is made.
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

struct AVFrame;
struct SwsContext;

namespace mirelo {

/// A decoded picture, shared (reference-counted) and safe to hand to another
/// thread while the reader moves on.
class DecodedFrame {
 public:
  DecodedFrame() = default;
  /// Size of the picture as delivered (after the stream's display rotation).
  int width() const;
  int height() const;
  bool empty() const { return !frame_; }

 private:
  friend class VideoReader;
  friend class BgrConverter;
  std::shared_ptr<AVFrame> frame_;
  int coded_width_ = 0, coded_height_ = 0;  ///< the decoder's coded size
  int rotation_ = 0;                        ///< display rotation in degrees, clockwise
};

/// Conversion of decoded pictures to BGR. Each thread uses its own.
class BgrConverter {
 public:
  BgrConverter() = default;
  ~BgrConverter();
  BgrConverter(const BgrConverter&) = delete;
  BgrConverter& operator=(const BgrConverter&) = delete;

  /// The pixels of `roi` (inside the delivered frame) as CV_8UC3 BGR: `out`
  /// becomes a view of the converter's buffer, valid until the next call.
  /// Equal to the same pixels of OpenCV's whole-frame conversion. Throws
  /// OSError when the pixel format cannot be converted.
  void convert(const DecodedFrame& frame, const cv::Rect& roi, cv::Mat& out);

 private:
  SwsContext* sws_ = nullptr;
  cv::Mat buffer_;
};

/// Reads one video stream of a file, frame by frame.
class VideoReader {
 public:
  /// Opens `path` (not opened when the file cannot be read or has no video stream).
  explicit VideoReader(const std::string& path);
  ~VideoReader();
  VideoReader(const VideoReader&) = delete;
  VideoReader& operator=(const VideoReader&) = delete;

  bool is_open() const;
  /// Frames per second, the value of OpenCV's CAP_PROP_FPS.
  double fps() const;
  /// Number of frames, the value of OpenCV's CAP_PROP_FRAME_COUNT: the
  /// stream's own count, or its duration times fps() rounded when it has
  /// none (0 when not open).
  int64_t frame_count() const;
  /// Positions the reader so that the next grab() yields frame `frame_number`
  /// (0-based), as setting OpenCV's CAP_PROP_POS_FRAMES does.
  void seek(int64_t frame_number);
  /// Decodes the next frame; false at the end of the stream or on an error.
  bool grab();
  /// The frame of the last successful grab().
  DecodedFrame frame() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mirelo
