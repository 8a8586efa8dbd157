#pragma once
// The writing side of frame extraction: the kept region of each selected
// frame converted to BGR, resized, JPEG-encoded and written on worker
// threads while the caller's thread decodes.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ingest/pen_region.hpp"
#include "ingest/video_reader.hpp"

namespace mirelo {

/// Largest side, in pixels, of an image the JPEG encoder takes.
inline constexpr int kMaxJpegSide = 65500;

// Conversion of the kept region to BGR, resizing, JPEG encoding and writing
// of the selected frames, on worker threads, while the caller's thread
// decodes. The caller's thread alone prints: the message of image k once
// images 0 .. k-1 are written, as the sequential order would have printed it.
// At most `threads` + 2 decoded frames are in flight.
class EncodePipeline {
 public:
  struct Summary {
    int64_t saved = 0;
    int rows = 0, cols = 0, channels = 0;  ///< of the last image written
  };

  /// Images go to `dir` as 0000.jpg, 0001.jpg, ... by their save index;
  /// `crop` keeps `window` of each frame (array-slice rules), and
  /// `resize_height` resizes to that height with the aspect ratio kept.
  EncodePipeline(std::string dir, bool crop, CropWindow window, std::optional<int64_t> resize_height, int threads);

  ~EncodePipeline() { abort(); }

  EncodePipeline(const EncodePipeline&) = delete;
  EncodePipeline& operator=(const EncodePipeline&) = delete;

  /// Waits until another frame may be decoded and handed over, printing and
  /// checking for an interrupt meanwhile.
  void wait_for_room();

  /// Hands over frame `save_idx` (0, 1, 2, ... in turn) and the message
  /// printed for it.
  void submit(int64_t save_idx, DecodedFrame frame, std::string message);

  bool failed();

  /// Prints the messages that the sequential order would have printed by now.
  void print_ready();

  /// Waits for every submitted image, printing in order; throws the error of
  /// the first image (in save order) that failed, after removing any later
  /// image a parallel worker had already written.
  Summary finish();

  /// Stops the workers after the images they are writing; nothing more is
  /// printed.
  void abort() noexcept { stop_workers(); }

 private:
  enum class State { Queued, Done, Failed, Skipped };
  struct Entry {
    std::string message;
    State state;
    int rows, cols, channels;
    std::exception_ptr error;
  };
  struct Job {
    int64_t save_idx = 0;
    DecodedFrame frame;
  };

  std::string file_path(int64_t idx) const;
  void collect_ready(std::vector<std::string>& lines);
  void stop_workers() noexcept;
  void work();
  void encode(const Job& job, BgrConverter& converter, Entry& out) const;

  const std::string dir_;
  const bool crop_;
  const CropWindow window_;
  const std::optional<int64_t> resize_height_;
  const size_t capacity_;

  std::mutex mu_;
  std::condition_variable work_cv_, done_cv_;
  std::deque<Job> queue_;
  size_t in_flight_ = 0;
  std::map<int64_t, Entry> pending_;
  int64_t submitted_ = 0, printed_ = 0, retired_ = 0, failed_at_ = -1;
  bool stop_ = false;
  Summary summary_;
  std::vector<std::thread> workers_;
};

}  // namespace mirelo
