#include "ingest/encode_pipeline.hpp"

#include <chrono>
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/format.hpp"
#include "common/runtime.hpp"
#include "common/walk.hpp"
#include "ingest/extract.hpp"
#include "ingest/jpeg.hpp"

namespace mirelo {
namespace {

constexpr int kJpegQuality = 95;  // the image codec's default, so files match cv::imwrite's

}  // namespace

EncodePipeline::EncodePipeline(std::string dir, bool crop, CropWindow window, std::optional<int64_t> resize_height,
                               int threads)
    : dir_(std::move(dir)), crop_(crop), window_(window), resize_height_(resize_height),
      capacity_(static_cast<size_t>(threads) + 2) {
  for (int t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
}

void EncodePipeline::wait_for_room() {
  std::unique_lock<std::mutex> lock(mu_);
  while (in_flight_ >= capacity_ && failed_at_ < 0) {
    done_cv_.wait_for(lock, std::chrono::milliseconds(50));
    lock.unlock();
    check_interrupt();
    print_ready();
    lock.lock();
  }
}

void EncodePipeline::submit(int64_t save_idx, DecodedFrame frame, std::string message) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    pending_[save_idx] = Entry{std::move(message), State::Queued, 0, 0, 0, nullptr};
    queue_.push_back(Job{save_idx, std::move(frame)});
    submitted_ = save_idx + 1;
    ++in_flight_;
  }
  work_cv_.notify_one();
}

bool EncodePipeline::failed() {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_at_ >= 0;
}

void EncodePipeline::print_ready() {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(mu_);
    collect_ready(lines);
  }
  for (const auto& l : lines) print_line(l);
}

EncodePipeline::Summary EncodePipeline::finish() {
  for (;;) {
    std::vector<std::string> lines;
    bool settled;
    {
      std::unique_lock<std::mutex> lock(mu_);
      collect_ready(lines);
      settled = retired_ == submitted_ ||
                (failed_at_ >= 0 && printed_ > failed_at_ && in_flight_ == 0);
      if (!settled && lines.empty()) done_cv_.wait_for(lock, std::chrono::milliseconds(50));
    }
    for (const auto& l : lines) print_line(l);
    if (settled) break;
    check_interrupt();
  }
  stop_workers();
  if (failed_at_ >= 0) {
    const std::exception_ptr error = pending_[failed_at_].error;
    for (const auto& [idx, e] : pending_)
      if (idx > failed_at_ && e.state == State::Done) std::remove(file_path(idx).c_str());
    std::rethrow_exception(error);
  }
  return summary_;
}

std::string EncodePipeline::file_path(int64_t idx) const { return path_join(dir_, format_padded(idx, 4) + ".jpg"); }

// Under the lock: the printable messages, and retirement of the images
// that are written and announced.
void EncodePipeline::collect_ready(std::vector<std::string>& lines) {
  for (;;) {
    if (printed_ < submitted_ && printed_ == retired_) {
      lines.push_back(pending_[printed_].message);
      ++printed_;
      continue;
    }
    auto it = pending_.find(retired_);
    if (retired_ < printed_ && it != pending_.end() && it->second.state == State::Done) {
      summary_.saved = retired_ + 1;
      summary_.rows = it->second.rows;
      summary_.cols = it->second.cols;
      summary_.channels = it->second.channels;
      pending_.erase(it);
      ++retired_;
      continue;
    }
    break;
  }
}

void EncodePipeline::stop_workers() noexcept {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  work_cv_.notify_all();
  for (auto& t : workers_)
    if (t.joinable()) t.join();
}

void EncodePipeline::work() {
  BgrConverter converter;
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mu_);
      work_cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      if (failed_at_ >= 0 && job.save_idx > failed_at_) {
        pending_[job.save_idx].state = State::Skipped;
        --in_flight_;
        done_cv_.notify_all();
        continue;
      }
    }
    Entry result{std::string(), State::Done, 0, 0, 0, nullptr};
    try {
      encode(job, converter, result);
    } catch (...) {
      result.state = State::Failed;
      result.error = std::current_exception();
    }
    job.frame = DecodedFrame();  // the decoder may reuse the picture's memory
    {
      std::lock_guard<std::mutex> lock(mu_);
      Entry& e = pending_[job.save_idx];
      e.state = result.state;
      e.rows = result.rows;
      e.cols = result.cols;
      e.channels = result.channels;
      e.error = result.error;
      if (result.state == State::Failed && (failed_at_ < 0 || job.save_idx < failed_at_))
        failed_at_ = job.save_idx;
      --in_flight_;
    }
    done_cv_.notify_all();
  }
}

void EncodePipeline::encode(const Job& job, BgrConverter& converter, Entry& out) const {
  const int rows = job.frame.height(), cols = job.frame.width();
  cv::Rect region(0, 0, cols, rows);
  if (crop_) {
    region = slice_window(window_, rows, cols);
    if (region.empty())
      throw ValueError("the crop window (" + window_text(window_) + ") keeps no pixels of a frame of " +
                       std::to_string(cols) + " x " + std::to_string(rows) + " pixels");
  }
  cv::Mat image;
  converter.convert(job.frame, region, image);
  cv::Mat resized;
  if (resize_height_) {
    const int w = resized_width(*resize_height_, image.cols, image.rows);
    cv::resize(image, resized, cv::Size(w, static_cast<int>(*resize_height_)), 0, 0, cv::INTER_AREA);
    image = resized;
  }
  if (image.rows > kMaxJpegSide || image.cols > kMaxJpegSide)
    throw ValueError(expected_got("an image of at most " + std::to_string(kMaxJpegSide) + " pixels per side",
                                  std::to_string(image.cols) + " x " + std::to_string(image.rows)));
  const std::vector<uint8_t> jpeg = encode_jpeg(image, kJpegQuality);
  // A lost window is extracted again, so the images need no flush to disk;
  // the window's folder is swept for stale temporaries once, not per image.
  AtomicWriteOptions write;
  write.sync = false;
  write.clear_stale = false;
  write.action = "could not write";
  write_file_atomically(file_path(job.save_idx),
                        std::string_view(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()), write);
  out.rows = image.rows;
  out.cols = image.cols;
  out.channels = image.channels();
}

}  // namespace mirelo
