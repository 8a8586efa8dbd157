#pragma once
// Annotation files, one JSON file per tracked frame: "image_path" and
// "detections", each detection with its "object_id" (the track id, from 1),
// its outline as polygon texts in "formatted_polygon" and its boxes in
// "xyxy". Their polygons rasterised into masks, and the animals drawn on the
// frame for inspection; and the files written from tracked masks.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "common/json.hpp"
#include "common/mask.hpp"
#include "common/run_mask.hpp"

namespace mirelo {

/// An annotation file's JSON document (UTF-8, whatever the locale). Throws
/// FileNotFoundError / OSError / ValueError for a file that cannot be read
/// or parsed and TypeError for a top level that is not an object.
JsonValue read_annotation_file(const std::string& json_path);

/// The detections of an annotation file rasterised at a frame size.
struct AnnotationMasks {
  JsonValue image_path;           ///< the file's "image_path", as stored
  std::vector<int64_t> box_keys;  ///< object id - 1 per detection (object id 0 when it has none)
  std::vector<RunMask> masks;     ///< per detection: the union of its polygons
};

/// Reads `json_path` (UTF-8 JSON) and fills every detection's polygons on a
/// `height` x `width` frame as cv::fillPoly fills them (vertices truncated
/// to 32-bit integers, 8-connected, outline included), each only inside the
/// detection's box. Throws TypeError / KeyError / ValueError naming the
/// file and the member for a malformed file, and ValueError for a frame
/// side below 1 or beyond 2^31 - 1.
AnnotationMasks read_annotation_masks(const std::string& json_path, int64_t height, int64_t width);

/// The union of `polygons` (pixel vertices, each polygon closed implicitly)
/// on a `height` x `width` frame, filled as read_annotation_masks fills a
/// detection's polygons: as cv::fillPoly does, each inside its box. Throws
/// ValueError naming `where` for a polygon without vertices.
RunMask fill_polygons(const std::vector<std::vector<std::array<int32_t, 2>>>& polygons, int64_t height, int64_t width,
                      const std::string& where);

/// An annotation file read for drawing: the document, its "image_path"
/// and the "object_id" of every detection, in order.
struct AnnotationForDrawing {
  JsonValue doc;
  JsonValue image_path;
  std::vector<int64_t> object_ids;
};

/// Reads `json_path` for draw_annotation. Throws as read_annotation_masks
/// does; every detection must carry an integer "object_id" (KeyError).
AnnotationForDrawing read_annotation_for_drawing(const std::string& json_path);

/// Draws the detections whose `drawn` flag is set on `rgba` (CV_8UC4, RGBA):
/// each in a random colour (r, g, b), components 0 to 254 from a generator
/// seeded with `seed`; its polygons filled in (r, g, b, 100) on a transparent
/// overlay, a later shape replacing an earlier one; with `box_drawing`, the
/// last box of its "xyxy" outlined 2 pixels wide in (r, g, b) with the label
/// "Box <object id - 1>" in white on a filled tab above it (a detection with
/// no box gets neither). Returns the image with the overlay composited on it.
/// Every member is checked before anything is drawn: TypeError / KeyError /
/// ValueError for a drawn detection without valid "xyxy" entries (four
/// numbers each) or polygons.
cv::Mat draw_annotation(const cv::Mat& rgba, const AnnotationForDrawing& file, const std::vector<char>& drawn,
                        bool box_drawing, uint64_t seed, const std::string& json_path);

/// A mask's outline as annotation files hold it.
struct MaskOutline {
  /// One text per outer contour (cv::findContours, RETR_EXTERNAL,
  /// CHAIN_APPROX_SIMPLE), in the order OpenCV finds them: "0" and the
  /// contour's points as x y pairs, each the pixel centre as a fraction of
  /// the frame's width or height with six decimals ("%.6f" of (x + 0.5) /
  /// width). A one-pixel piece gives its point twice, since readers fill
  /// polygons of at least two points.
  std::vector<std::string> polygons;
  /// Tight box of the set pixels, [x0, y0, x1, y1] inclusive; none for an
  /// empty mask (which has no polygon either).
  std::optional<std::array<int64_t, 4>> box;
};

/// The outline of an H x W mask (non-zero set). Throws ValueError for a side
/// beyond 2^31 - 1.
MaskOutline mask_outline(const MaskView& mask);

/// The same for a mask held as runs: only its box is painted and traced,
/// and the outline is the one the dense mask gives.
MaskOutline mask_outline(const RunMask& mask);

/// The outer contours of a mask held as runs, in frame pixels, as
/// mask_outline traces them (cv::findContours, RETR_EXTERNAL,
/// CHAIN_APPROX_SIMPLE), in the order OpenCV finds them. Throws ValueError
/// for a side beyond 2^31 - 1.
std::vector<std::vector<cv::Point>> outer_contours(const RunMask& mask);

/// One tracked object of a frame.
struct TrackedObject {
  int64_t object_id = 0;  ///< the track id, from 1
  MaskView mask;
};

/// The text of the annotation file of one frame: json.dumps of
/// {"image_path": image_path, "detections": [{"object_id": id, "class_name":
/// class_name, "xyxy": [box] or [], "formatted_polygon": polygons}, ...]},
/// one detection per object in the given order. The texts are UTF-8 (a lone
/// surrogate in its three-byte form is written as its escape, as the host's
/// json module writes it). Throws ValueError for masks of different sizes.
std::string annotation_file_text(std::string_view image_path, std::string_view class_name,
                                 const std::vector<TrackedObject>& objects);

/// The same text for outlines already traced: object_ids[k] with outlines[k].
std::string annotation_file_text(std::string_view image_path, std::string_view class_name,
                                 const std::vector<int64_t>& object_ids, const std::vector<MaskOutline>& outlines);

}  // namespace mirelo
