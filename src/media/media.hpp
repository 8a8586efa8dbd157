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
inline constexpr int kInterfaceVersion = 2;
inline constexpr char kLibraryFile[] = "libmirelo_media.so";
/// `const Library* mirelo_media_library(int version)`: the library's one
/// exported function; null when `version` is not the library's own.
inline constexpr char kEntry[] = "mirelo_media_library";

/// An error inside the library, carried back across its boundary as data.
/// The library and the core are separate binaries which, in the wheel build,
/// each carry their own C++ runtime with hidden symbols: an exception thrown
/// on one side cannot be caught by type on the other. So no exception crosses
/// the interface below: the library records what it caught (capture(), in
/// the library) and the core's inline wrappers throw it again as the core's
/// own type (raise(), in the core).
struct Failure {
  enum class Kind { none, value, file_not_found, os, memory, opencv, other };
  Kind kind = Kind::none;
  std::string message;
  int number = 0;  ///< errno for `os`, OpenCV's error code for `opencv`
  std::string function, file;  ///< where OpenCV raised it (`opencv`)
  int line = 0;

  explicit operator bool() const { return kind != Kind::none; }

  /// Records the exception being handled (call inside a catch block).
  void capture() noexcept;
  /// Throws the recorded error as the core's exception type.
  [[noreturn]] void raise() const;
};

/// Throws the library's recorded failure, if any, on the caller's side.
inline void check(const Failure& failure) {
  if (failure) failure.raise();
}

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

// In each class below, the public members are the core's calls: inline, so
// they run on the core's side and throw its types; the virtual `do_` members
// are the library's, and never throw.

/// One video stream of a file, read frame by frame (see ingest/video_reader.hpp).
class VideoDecoder {
 public:
  virtual ~VideoDecoder() = default;
  bool is_open() const { return do_is_open(); }
  double fps() const { return do_fps(); }
  int64_t frame_count() const { return do_frame_count(); }
  void seek(int64_t frame_number) {
    Failure failure;
    do_seek(frame_number, failure);
    check(failure);
  }
  bool grab() {
    Failure failure;
    const bool grabbed = do_grab(failure);
    check(failure);
    return grabbed;
  }
  DecodedFrame frame() const {
    Failure failure;
    DecodedFrame frame = do_frame(failure);
    check(failure);
    return frame;
  }

 protected:
  virtual bool do_is_open() const noexcept = 0;
  virtual double do_fps() const noexcept = 0;
  virtual int64_t do_frame_count() const noexcept = 0;
  virtual void do_seek(int64_t frame_number, Failure& failure) noexcept = 0;
  virtual bool do_grab(Failure& failure) noexcept = 0;
  virtual DecodedFrame do_frame(Failure& failure) const noexcept = 0;
};

/// Conversion of decoded pictures to BGR, used by one thread at a time.
class FrameConverter {
 public:
  virtual ~FrameConverter() = default;
  /// The pixels of `roi` (inside the delivered frame) as CV_8UC3 BGR; `out`
  /// becomes a view of the converter's buffer, valid until the next call.
  void to_bgr(const DecodedFrame& frame, const cv::Rect& roi, cv::Mat& out) {
    Failure failure;
    do_to_bgr(frame, roi, out, failure);
    check(failure);
  }

 protected:
  virtual void do_to_bgr(const DecodedFrame& frame, const cv::Rect& roi, cv::Mat& out,
                         Failure& failure) noexcept = 0;
};

enum class ImageColor { gray, bgr };

class Library {
 public:
  /// A decoder of `path`, not open when the file cannot be read or has no
  /// video stream.
  std::unique_ptr<VideoDecoder> open_video(const std::string& path) const {
    Failure failure;
    std::unique_ptr<VideoDecoder> decoder(do_open_video(path, failure));
    check(failure);
    return decoder;
  }
  std::unique_ptr<FrameConverter> frame_converter() const {
    Failure failure;
    std::unique_ptr<FrameConverter> converter(do_frame_converter(failure));
    check(failure);
    return converter;
  }
  /// The image file at `path` decoded as cv::imread does with
  /// IMREAD_GRAYSCALE (CV_8UC1) or IMREAD_COLOR (CV_8UC3, EXIF orientation
  /// applied); empty when it cannot be read or decoded.
  cv::Mat read_image(const std::string& path, ImageColor color) const {
    Failure failure;
    cv::Mat image = do_read_image(path, color, failure);
    check(failure);
    return image;
  }
  /// cv::calcOpticalFlowFarneback from `prev` to `next` (CV_8UC1, same size):
  /// the flow as CV_32FC2.
  cv::Mat farneback_flow(const cv::Mat& prev, const cv::Mat& next, double pyr_scale, int levels, int winsize,
                         int iterations, int poly_n, double poly_sigma, int flags) const {
    Failure failure;
    cv::Mat flow =
        do_farneback_flow(prev, next, pyr_scale, levels, winsize, iterations, poly_n, poly_sigma, flags, failure);
    check(failure);
    return flow;
  }

 protected:
  ~Library() = default;
  // Owned objects are handed over as plain pointers: the caller wraps them.
  virtual VideoDecoder* do_open_video(const std::string& path, Failure& failure) const noexcept = 0;
  virtual FrameConverter* do_frame_converter(Failure& failure) const noexcept = 0;
  virtual cv::Mat do_read_image(const std::string& path, ImageColor color, Failure& failure) const noexcept = 0;
  virtual cv::Mat do_farneback_flow(const cv::Mat& prev, const cv::Mat& next, double pyr_scale, int levels,
                                    int winsize, int iterations, int poly_n, double poly_sigma, int flags,
                                    Failure& failure) const noexcept = 0;
};

inline void Failure::raise() const {
  switch (kind) {
    case Kind::value: throw ValueError(message);
    case Kind::file_not_found: throw FileNotFoundError(message);
    case Kind::os: throw OSError(message, number);
    case Kind::memory:
      if (message.empty()) throw std::bad_alloc();
      throw MemoryError(message);
    case Kind::opencv: throw cv::Exception(static_cast<decltype(cv::Exception::code)>(number), message, function, file, line);
    case Kind::none:
    case Kind::other: break;
  }
  throw std::runtime_error(message);
}

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
