#pragma once
// Frame extraction: recordings cut into time windows, each window's frames
// cropped beside the orange marker, optionally resized, and written as
// numbered JPEG files (0000.jpg, 0001.jpg, ...).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "common/number.hpp"
#include "ingest/pen_region.hpp"

namespace mirelo {

/// Which part of the image beside the orange region is kept.
enum class CropSide { Left, Right, Keep };

/// The crop window derived from an orange-region box: left part
/// (380 or 120, 0, x1 - 45, 1440), right part (x1 - 50, 0, 2560 or 2300, 1440),
/// the larger constants when the box's right edge is at least 2300; Keep
/// returns the box unchanged.
CropWindow crop_window_for(const CropWindow& region, CropSide side);

/// The pixels a window keeps of a rows x cols frame under array-slice rules
/// (a negative bound counts from the far edge, bounds past the edge clamp).
/// The rectangle is empty when the window keeps nothing.
cv::Rect slice_window(const CropWindow& w, int rows, int cols);

/// Width of an image of `width` x `height` resized to `target_height` with
/// its aspect ratio kept: ceil(target_height * (width / height)).
/// Throws ValueError for a target height below 1 or a result too large.
int resized_width(int64_t target_height, int width, int height);

/// Access to the caller's crop-window cache entry of one camera.
struct CameraWindowCache {
  std::function<std::optional<CropWindow>()> find;
  std::function<void(const CropWindow&)> store;
};

/// Settings of the extraction shared by all windows.
struct ExtractionSettings {
  std::optional<int64_t> resize_height;  ///< resize saved images to this height
  HostNumber frame_skip = HostNumber::integer(1);
  CropSide side = CropSide::Right;
  int encode_threads = 0;  ///< JPEG encoding threads; 0 picks one per core
};

/// One window of one recording.
struct WindowRequest {
  std::string video_path;
  std::string output_dir;  ///< folder named in the messages; created and written when write_dir is empty
  std::string write_dir;   ///< when set, the images go here instead (a staging folder)
  HostNumber start_min = HostNumber::integer(10);
  HostNumber end_min = HostNumber::integer(12);
  std::string camera_label = "None";  ///< the camera as printed
  bool crop = true;
};

enum class WindowOutcome {
  Completed,       ///< the frames of the window were read to its end or the end of the file
  NotOpened,       ///< "Error: Could not open video."
  NoFirstFrame,    ///< "Error: Could not read the first frame."
  NoOrangeRegion,  ///< "No orange region detected. Exiting."
};

struct WindowResult {
  WindowOutcome outcome = WindowOutcome::Completed;
  int64_t saved = 0;  ///< images written
};

/// Extracts one window: seeks to fps * 60 * start_min (fps truncated), reads
/// one frame for detection, then saves the frames with index below
/// fps * 60 * end_min that are a multiple of frame_skip or the window's last,
/// printing each. Decoding overlaps with cropping and encoding; files and
/// messages are those of the sequential order, and each file appears whole.
/// Calls check_interrupt() between frames. Throws OSError when a folder or
/// image cannot be written, ValueError when the crop window keeps no pixels.
WindowResult crop_video_to_frames(const WindowRequest& request, const ExtractionSettings& settings,
                                  const CameraWindowCache& cache);

/// The columns of a video-table row that the extraction run reads.
struct VideoRow {
  std::string video_name;
  std::string file_path;
  std::string date;
  std::string camera_label;  ///< the camera as printed
};

/// Settings of a run over a video table.
struct RunSettings {
  ExtractionSettings extraction;
  HostNumber time_step = HostNumber::real(0.1);
  std::string output_dir_base;
  bool crop = true;
  bool left_folder = false;  ///< "left_cropped_frames" instead of "right_cropped_frames"
};

/// The folder of one window: base/date/video/<start>min_to_<end>min/<side>_cropped_frames.
std::string window_folder(const RunSettings& settings, const VideoRow& row, const HostNumber& start_min,
                          const HostNumber& end_min);

/// Why the frame folders of `row` would lie outside settings.output_dir_base,
/// as the line to print ("Error: Skipping ..."); empty when they stay inside.
/// Its "Date" and "Video Name" are joined below the base as written (a
/// leading "/" only adds an empty component), so they escape when their ".."
/// components climb above it, read as written without following links;
/// names that stay inside are used as they are.
std::string row_outside_base_error(const RunSettings& settings, const VideoRow& row);

/// Opens the window's recording, reads its first frame and chooses the crop
/// window as crop_video_to_frames would, printing the same lines up to the
/// choice (not "Detected crop region ..."), and writes nothing. The chosen
/// window is set when the outcome is Completed. Without `req.crop` only the
/// first frame is read.
WindowOutcome choose_window_crop(const WindowRequest& req, CropSide side, const CameraWindowCache& cache,
                                 CropWindow& window);

/// Calls visit(start, end) for each window of a recording `total` minutes
/// long: start 0 (an integer), then start + time_step repeatedly, the last
/// window ending at `total`. Throws ValueError for a time_step that is not
/// more than 0 (NaN included).
void for_each_window(const HostNumber& total, const HostNumber& time_step,
                     const std::function<void(const HostNumber& start, const HostNumber& end)>& visit);

/// What became of one window of a run.
struct WindowRun {
  bool skipped = false;  ///< its folder existed: "Skipping <folder>, already exists."
  WindowResult result;
};

/// One window of a run: skipped when its folder exists; otherwise built in
/// "<folder>.partial" and renamed to its folder when complete. A window that
/// returns early, fails or is interrupted leaves nothing behind (not even
/// the window's parent folder when this call created it), so it is redone by
/// the next run. With `detect_only` the window is not extracted: only its
/// crop window is chosen (choose_window_crop) and nothing is written.
WindowRun run_window(const VideoRow& row, const RunSettings& settings, const HostNumber& start_min,
                     const HostNumber& end_min, const CameraWindowCache& cache, bool detect_only = false);

/// Cuts every row's recording into windows of time_step minutes
/// (for_each_window) and runs each window (run_window).
void process_videos_to_frames(const std::vector<VideoRow>& rows, const RunSettings& settings,
                              const std::function<CameraWindowCache(size_t row)>& cache_for_row);

}  // namespace mirelo
