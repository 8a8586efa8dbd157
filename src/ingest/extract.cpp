#include "ingest/extract.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <thread>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/format.hpp"
#include "common/runtime.hpp"
#include "common/text.hpp"
#include "ingest/catalogue.hpp"
#include "ingest/encode_pipeline.hpp"
#include "ingest/video_reader.hpp"

namespace mirelo {
namespace fs = std::filesystem;

namespace {

void make_folder(const std::string& path) {
  std::error_code ec;
  fs::create_directories(fs::path(path), ec);
  if (ec) throw_os_error(ec, path, "could not create the folder");
  if (!fs::is_directory(fs::path(path), ec)) throw_os_error(ENOTDIR, path, "could not create the folder");
}

// Frame images: "0000.jpg", "0001.jpg", ...
bool is_frame_name(std::string_view name) {
  constexpr std::string_view ext = ".jpg";
  if (name.size() <= ext.size() || name.substr(name.size() - ext.size()) != ext) return false;
  const std::string_view digits = name.substr(0, name.size() - ext.size());
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int64_t slice_bound(int64_t b, int64_t n) {
  if (b < 0) b = b < -n ? 0 : b + n;
  return std::min(b, n);
}

int encode_thread_count(int requested) {
  if (requested > 0) return std::min(requested, 16);
  const unsigned hw = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp<unsigned>(hw, 1, 4));
}

}  // namespace

CropWindow crop_window_for(const CropWindow& region, CropSide side) {
  const bool wide = region.x2 >= 2300;
  switch (side) {
    case CropSide::Left:
      return {wide ? 380 : 120, 0, region.x1 - 45, 1440};
    case CropSide::Right:
      return {region.x1 - 50, 0, wide ? 2560 : 2300, 1440};
    case CropSide::Keep:
      break;
  }
  return region;
}

cv::Rect slice_window(const CropWindow& w, int rows, int cols) {
  const int64_t x1 = slice_bound(w.x1, cols), x2 = slice_bound(w.x2, cols);
  const int64_t y1 = slice_bound(w.y1, rows), y2 = slice_bound(w.y2, rows);
  if (x2 <= x1 || y2 <= y1) return cv::Rect();
  return cv::Rect(static_cast<int>(x1), static_cast<int>(y1), static_cast<int>(x2 - x1), static_cast<int>(y2 - y1));
}

int resized_width(int64_t target_height, int width, int height) {
  if (target_height < 1)
    throw ValueError(expected_got("a target height of at least 1 in resize_dim", std::to_string(target_height)));
  if (target_height > kMaxJpegSide)
    throw ValueError(expected_got("a target height of at most " + std::to_string(kMaxJpegSide) + " in resize_dim",
                                  std::to_string(target_height)));
  if (width < 1 || height < 1) throw ValueError("cannot resize an empty image");
  const double w = std::ceil(static_cast<double>(target_height) * (static_cast<double>(width) / height));
  if (!(w <= kMaxJpegSide))
    throw ValueError(expected_got("a resized width of at most " + std::to_string(kMaxJpegSide),
                                  format_float(w) + " for height " + std::to_string(target_height)));
  return static_cast<int>(w);
}

namespace {

// The frames of a window, [start_frame, end_frame) in the recording's numbering.
struct WindowPlan {
  HostNumber start_frame, end_frame;
};

// Window planning: from the recording's frame rate (truncated to whole
// frames per second) the window's frames; the reader is left on the first of
// them, decoded. An outcome when the window cannot start.
std::optional<WindowOutcome> plan_window(VideoReader& reader, const WindowRequest& req, WindowPlan& plan) {
  if (!reader.is_open()) {
    print_line(reader.refusal().empty() ? "Error: Could not open video."
                                        : "Error: Could not open video: " + reader.refusal());
    return WindowOutcome::NotOpened;
  }
  const double fps_reported = reader.fps();
  if (!std::isfinite(fps_reported) || std::fabs(fps_reported) >= 9.2e18)
    throw ValueError(expected_got("a finite frame rate in " + repr_text(req.video_path), format_float(fps_reported)));
  const HostNumber fps = HostNumber::integer(static_cast<int64_t>(std::trunc(fps_reported)));
  const HostNumber minute = HostNumber::integer(60);
  plan.start_frame = fps * minute * req.start_min;
  plan.end_frame = fps * minute * req.end_min;
  // The position is a whole frame number (truncated, as the capture's
  // property is); one that no 64-bit frame number can hold is past the end.
  const double seek_to = plan.start_frame.as_double();
  if (std::isfinite(seek_to) && std::fabs(seek_to) < 4.0e18) {
    reader.seek(static_cast<int64_t>(seek_to));
    if (reader.grab()) return std::nullopt;
  }
  print_line("Error: Could not read the first frame.");
  return WindowOutcome::NoFirstFrame;
}

// The crop window: the camera's cached one, or the one derived from the
// orange region of the frame the reader is on (then cached and printed).
std::optional<WindowOutcome> choose_crop_window(const VideoReader& reader, const WindowRequest& req,
                                                CropSide side, const CameraWindowCache& cache, CropWindow& window) {
  if (std::optional<CropWindow> cached = cache.find ? cache.find() : std::nullopt) {
    window = *cached;
  } else {
    const DecodedFrame first = reader.frame();
    BgrConverter converter;
    cv::Mat bgr;
    converter.convert(first, cv::Rect(0, 0, first.width(), first.height()), bgr);
    const std::optional<CropWindow> region = find_orange_region(bgr);
    if (!region) {
      print_line("No orange region detected. Exiting.");
      return WindowOutcome::NoOrangeRegion;
    }
    print_line("cv2 crop region for Camera " + req.camera_label + ": " + window_text(*region));
    window = crop_window_for(*region, side);
    if (cache.store) cache.store(window);
  }
  return std::nullopt;
}

// Decoding: reads the window's frames after the first and hands each one
// whose index is a multiple of `skip`, and the window's last, to the encoder.
EncodePipeline::Summary decode_window(VideoReader& reader, const WindowPlan& plan, const HostNumber& skip,
                                      EncodePipeline& pipe) {
  const HostNumber one = HostNumber::integer(1);
  const HostNumber last_frame = plan.end_frame - one;
  const bool zero_skip = skip.is_int ? skip.i == 0 : skip.d == 0.0;
  HostNumber frame_idx = plan.start_frame;
  int64_t save_idx = 0;
  try {
    while (frame_idx < plan.end_frame) {
      check_interrupt();
      pipe.print_ready();
      if (pipe.failed()) break;
      // With a zero frame_skip the division error comes only once a frame
      // was read, as in the sequential reading.
      if (zero_skip && !reader.grab()) break;
      const bool selected = remainder_is_zero(frame_idx, skip) || frame_idx == last_frame;
      if (selected) pipe.wait_for_room();
      if (!reader.grab()) break;
      if (selected) {
        pipe.submit(save_idx, reader.frame(),
                    "Processing frame " + frame_idx.text() + " (saved as " + format_padded(save_idx, 4) + ".jpg)");
        ++save_idx;
      }
      frame_idx = frame_idx + one;
    }
    return pipe.finish();
  } catch (...) {
    pipe.abort();
    throw;
  }
}

}  // namespace

WindowResult crop_video_to_frames(const WindowRequest& req, const ExtractionSettings& settings,
                                  const CameraWindowCache& cache) {
  const std::string& dir = req.write_dir.empty() ? req.output_dir : req.write_dir;
  check_no_nul(req.video_path);
  check_no_nul(dir);
  make_folder(dir);
  remove_stale_temporaries(dir, is_frame_name);

  VideoReader reader(req.video_path);
  WindowPlan plan;
  if (const auto early = plan_window(reader, req, plan)) return {*early, 0};
  CropWindow window{};
  if (req.crop) {
    if (const auto early = choose_crop_window(reader, req, settings.side, cache, window)) return {*early, 0};
    print_line("Detected crop region for Camera " + req.camera_label + ": " + window_text(window));
  }
  // Encoding runs on the pipeline's threads while this one decodes.
  EncodePipeline pipe(dir, req.crop, window, settings.resize_height, encode_thread_count(settings.encode_threads));
  const EncodePipeline::Summary summary = decode_window(reader, plan, settings.frame_skip, pipe);

  print_line("Cropped frames from " + req.start_min.text() + " to " + req.end_min.text() + " minutes saved to " +
             req.output_dir + ".");
  if (summary.saved > 0)
    print_line("Dim: (" + std::to_string(summary.rows) + ", " + std::to_string(summary.cols) + ", " +
               std::to_string(summary.channels) + ")");
  return {WindowOutcome::Completed, summary.saved};
}

WindowOutcome choose_window_crop(const WindowRequest& req, CropSide side, const CameraWindowCache& cache,
                                 CropWindow& window) {
  check_no_nul(req.video_path);
  VideoReader reader(req.video_path);
  WindowPlan plan;
  if (const auto early = plan_window(reader, req, plan)) return *early;
  if (req.crop) {
    if (const auto early = choose_crop_window(reader, req, side, cache, window)) return *early;
  }
  return WindowOutcome::Completed;
}

std::string window_folder(const RunSettings& s, const VideoRow& row, const HostNumber& start_min,
                          const HostNumber& end_min) {
  return s.output_dir_base + "/" + row.date + "/" + row.video_name + "/" + start_min.text() + "min_to_" +
         end_min.text() + "min/" + (s.left_folder ? "left_cropped_frames" : "right_cropped_frames");
}

void for_each_window(const HostNumber& total, const HostNumber& time_step,
                     const std::function<void(const HostNumber&, const HostNumber&)>& visit) {
  const HostNumber zero = HostNumber::integer(0);
  HostNumber start = zero;
  // An infinite step makes one window up to the end; a step that is zero,
  // negative or NaN cannot cut the recording into windows.
  if (start < total && !(zero < time_step))
    throw ValueError(expected_got("a time_step of more than 0 minutes", time_step.text()));
  while (start < total) {
    check_interrupt();
    const HostNumber next = start + time_step;
    visit(start, total < next ? total : next);
    start = next;
  }
}

WindowRun run_window(const VideoRow& row, const RunSettings& s, const HostNumber& start, const HostNumber& end,
                     const CameraWindowCache& cache, bool detect_only) {
  const std::string folder = window_folder(s, row, start, end);
  check_no_nul(folder);
  std::error_code ec;
  if (fs::exists(fs::path(folder), ec)) {
    print_line("Skipping " + folder + ", already exists.");
    return {true, {}};
  }
  WindowRequest req;
  req.video_path = row.file_path;
  req.output_dir = folder;
  req.start_min = start;
  req.end_min = end;
  req.camera_label = row.camera_label;
  req.crop = s.crop;
  if (detect_only) {
    CropWindow window{};
    return {false, {choose_window_crop(req, s.extraction.side, cache, window), 0}};
  }
  // Built beside its final name and renamed once complete: a window that
  // returns early, fails or is interrupted leaves no folder that a later
  // run would take for a finished one.
  const std::string staging = folder + ".partial";
  req.write_dir = staging;
  const fs::path window_dir = fs::path(folder).parent_path();
  const bool window_dir_existed = fs::exists(window_dir, ec);
  fs::remove_all(fs::path(staging), ec);
  if (ec) throw_os_error(ec, staging, "could not clear the unfinished folder");
  // Drops what an unfinished window leaves: its staging folder, and the
  // window's own folder when this run created it and it stayed empty.
  auto discard = [&] {
    std::error_code ignore;
    fs::remove_all(fs::path(staging), ignore);
    if (!window_dir_existed) fs::remove(window_dir, ignore);
  };
  WindowResult result;
  try {
    result = crop_video_to_frames(req, s.extraction, cache);
  } catch (...) {
    discard();
    throw;
  }
  if (result.outcome == WindowOutcome::Completed) {
    fs::rename(fs::path(staging), fs::path(folder), ec);
    if (ec) {
      discard();
      throw_os_error(ec, folder, "could not complete the folder");
    }
  } else {
    discard();
  }
  return {false, result};
}

std::string row_outside_base_error(const RunSettings& s, const VideoRow& row) {
  int64_t depth = 0;
  bool outside = false;
  for (const std::string* part : {&row.date, &row.video_name}) {
    size_t begin = 0;
    while (begin <= part->size() && !outside) {
      const size_t end = std::min(part->find('/', begin), part->size());
      const std::string_view name(part->data() + begin, end - begin);
      if (name == "..") {
        outside = --depth < 0;
      } else if (!name.empty() && name != ".") {
        ++depth;
      }
      begin = end + 1;
    }
  }
  if (!outside) return {};
  return "Error: Skipping " + row.file_path + ": its \"Date\" " + repr_text(row.date) + " and \"Video Name\" " +
         repr_text(row.video_name) + " would put its frames outside output_dir_base " + repr_text(s.output_dir_base);
}

void process_videos_to_frames(const std::vector<VideoRow>& rows, const RunSettings& s,
                              const std::function<CameraWindowCache(size_t row)>& cache_for_row) {
  for (size_t r = 0; r < rows.size(); ++r) {
    const VideoRow& row = rows[r];
    if (const std::string refusal = row_outside_base_error(s, row); !refusal.empty()) {
      print_line(refusal);
      continue;
    }
    const std::optional<double> duration = video_duration_minutes(row.file_path);
    const HostNumber total = duration ? HostNumber::real(*duration) : HostNumber::integer(0);
    const CameraWindowCache cache = cache_for_row(r);
    for_each_window(total, s.time_step, [&](const HostNumber& start, const HostNumber& end) {
      run_window(row, s, start, end, cache);
    });
  }
}

}  // namespace mirelo
