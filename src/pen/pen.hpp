#pragma once
// Pen polygon files: finding a camera's pen file, reading the pen outline,
// the share of each detector box inside the pen, cutting masks to the pen,
// and the repair of polygon normalisation in annotation files.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "measures/overlap.hpp"
#include "common/json.hpp"

namespace mirelo {

/// Folder under which the per-camera pen files live unless the host
/// configures another one.
inline constexpr const char* kDefaultPenJsonRoot = "D:\\pig_tracking";

/// Pen file of the camera named in `video_dir`, or `custom` when given.
/// The camera is the first backslash-separated piece containing "Camera",
/// cut at its first '_'. Table entries ("GSAM2_output\\CamNN.json") are
/// joined under `root` with the root's own separator style (backslashes
/// unless the root uses only forward slashes). nullopt for an unknown camera.
std::optional<std::string> get_pen_json_path(const std::string& video_dir,
                                             const std::optional<std::string>& custom,
                                             const std::string& root);

/// A pen vertex as stored in the file (integers stay integers).
struct PenPoint {
  HostNumber x, y;
};

/// The outline shapes[0].points of a pen polygon file.
/// Throws KeyError("shapes" / "points"), ValueError "No shapes found in the
/// JSON file." for an empty or null shape list, TypeError / ValueError for
/// members of the wrong form (points must be [x, y] pairs of numbers), and
/// FileNotFoundError / OSError / ValueError for unreadable or malformed files.
std::vector<PenPoint> read_pen_points(const std::string& json_path);

/// Percentage (0..100) of each box's area inside the pen polygon.
/// `boxes`: [x_min, y_min, x_max, y_max] in pixels. The polygon is closed
/// implicitly and must be valid (at least 3 vertices, not self-crossing,
/// finite coordinates): ValueError otherwise. A box of zero area raises
/// ZeroDivisionError; a box with non-finite values raises ValueError.
std::vector<double> pen_box_ratios(const std::vector<PenPoint>& pen,
                                   const std::vector<std::array<double, 4>>& boxes);

/// The pen polygon filled with 1 on a `height` x `width` CV_8UC1 image of 0,
/// vertices truncated toward zero to 32-bit integers, outline pixels inside.
/// Throws ValueError for fewer than 3 vertices or coordinates that are not
/// finite or do not fit in 32 bits.
cv::Mat pen_mask(const std::vector<PenPoint>& pen, int64_t height, int64_t width);

/// A stack of planes held elsewhere, read through byte strides: `shape` is
/// ... x height x width and `strides` gives the bytes between neighbours
/// along each axis (negative for reversed axes); `data` is the first element.
struct StridedStack {
  const uint8_t* data = nullptr;
  std::vector<int64_t> shape;
  std::vector<int64_t> strides;
  size_t itemsize = 1;
};

/// Copies `src` (at least 2 axes) into the C-contiguous `dst` of the same
/// shape, with every element whose pixel is 0 in `pen` (CV_8UC1, height x
/// width) written as zero bytes. One pass over the data.
void copy_inside_pen(const StridedStack& src, uint8_t* dst, const cv::Mat& pen);

/// Raised by the image-size callback of fix_polygon_scaling when the image
/// cannot be loaded; the message is the loader's error text.
struct ImageLoadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// (width, height) of the image that an annotation file's "image_path" names.
using ImageSizeOf = std::function<std::pair<int64_t, int64_t>(const JsonValue& image_path)>;

/// Rewrites every "formatted_polygon" text of `doc["detections"]`: x values
/// times height / width, y values times width / height, written with six
/// decimals. Throws (KeyError, TypeError, ValueError) on any malformed
/// member; `doc` is then partly rewritten and must be discarded.
void rescale_polygon_texts(JsonValue& doc, int64_t width, int64_t height);

/// Repairs the polygon normalisation of the annotation file `json_path` and
/// writes the result to `save_path` (or back to `json_path`) in the host's
/// json.dump(indent=4) form. When `image_size` throws ImageLoadError, prints
/// "Error loading image: " and the error text and writes nothing. Every
/// other failure throws before anything is written; the file is replaced
/// through write_file_atomically, never left half-written, and temporaries
/// that an interrupted earlier run left beside it are removed.
void fix_polygon_scaling(const std::string& json_path, const std::optional<std::string>& save_path,
                         const ImageSizeOf& image_size);

}  // namespace mirelo
