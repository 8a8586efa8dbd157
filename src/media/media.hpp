#pragma once
// The codec-backed work of the core: video decoding (libav), image file
// decoding (OpenCV's imgcodecs) and dense optical flow (OpenCV's video
// module). Loading those libraries costs more than the rest of the Python
// module together, so this work is built into a library of its own,
// libmirelo_media.so, installed beside the module and opened by library() on
// first use. The core reaches it only through the interface below; the
// sources of this folder are that library.
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "common/errors.hpp"
#include "common/lazy_library.hpp"

namespace mirelo::media {

/// Raised with every change of the interface below, so that a library left
/// over from another build is refused instead of called wrongly.
inline constexpr int kInterfaceVersion = 1;
inline constexpr char kLibraryFile[] = "libmirelo_media.so";
/// `const Library* mirelo_media_library(int version)`: the library's one
/// exported function; null when `version` is not the library's own.
inline constexpr char kEntry[] = "mirelo_media_library";

/// A decoded picture as the library holds it.
struct Picture;

/// A decoded picture, shared (reference-counted) and safe to hand to another
/// thread while the reader moves on.
class DecodedFrame {
 public:
  DecodedFrame() = default;
  DecodedFrame(std::shared_ptr<const Picture> picture, int width, int height)
      : picture_(std::move(picture)), width_(width), height_(height) {}
  /// Size of the picture as delivered (after the stream's display rotation).
  int width() const { return width_; }
  int height() const { return height_; }
  bool empty() const { return !picture_; }
  const Picture* picture() const { return picture_.get(); }

 private:
  std::shared_ptr<const Picture> picture_;
  int width_ = 0, height_ = 0;
};

/// One video stream of a file, read frame by frame (see ingest/video_reader.hpp).
class VideoDecoder {
 public:
  virtual ~VideoDecoder() = default;
  virtual bool is_open() const = 0;
  virtual double fps() const = 0;
  virtual int64_t frame_count() const = 0;
  virtual void seek(int64_t frame_number) = 0;
  virtual bool grab() = 0;
  virtual DecodedFrame frame() const = 0;
};

/// Conversion of decoded pictures to BGR, used by one thread at a time.
class FrameConverter {
 public:
  virtual ~FrameConverter() = default;
  /// The pixels of `roi` (inside the delivered frame) as CV_8UC3 BGR; `out`
  /// becomes a view of the converter's buffer, valid until the next call.
  virtual void to_bgr(const DecodedFrame& frame, const cv::Rect& roi, cv::Mat& out) = 0;
};

enum class ImageColor { gray, bgr };

class Library {
 public:
  /// A decoder of `path`, not open when the file cannot be read or has no
  /// video stream.
  virtual std::unique_ptr<VideoDecoder> open_video(const std::string& path) const = 0;
  virtual std::unique_ptr<FrameConverter> frame_converter() const = 0;
  /// The image file at `path` decoded as cv::imread does with
  /// IMREAD_GRAYSCALE (CV_8UC1) or IMREAD_COLOR (CV_8UC3, EXIF orientation
  /// applied); empty when it cannot be read or decoded.
  virtual cv::Mat read_image(const std::string& path, ImageColor color) const = 0;
  /// cv::calcOpticalFlowFarneback from `prev` to `next` (CV_8UC1, same size):
  /// the flow as CV_32FC2.
  virtual cv::Mat farneback_flow(const cv::Mat& prev, const cv::Mat& next, double pyr_scale, int levels,
                                 int winsize, int iterations, int poly_n, double poly_sigma, int flags) const = 0;

 protected:
  ~Library() = default;
};

/// The media library, opened on the first call.
/// Throws LibraryError when it cannot be loaded or is of another build.
inline const Library& library() {
  using Entry = const Library* (*)(int);
  static const Library& loaded = [] () -> const Library& {
    const auto entry = reinterpret_cast<Entry>(library_entry(kLibraryFile, kEntry));
    const Library* found = entry(kInterfaceVersion);
    if (found == nullptr)
      throw LibraryError(std::string("cannot use ") + kLibraryFile +
                         ": it belongs to another build of mirelo_utils (build or install the package again)");
    return *found;
  }();
  return loaded;
}

}  // namespace mirelo::media
