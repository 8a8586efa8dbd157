#pragma once
// A tracked clip in the exchange formats of annotation tools, and back:
//
//   CVAT for video 1.1 XML: one polygon track per animal (per piece of an
//     animal drawn in several), shapes only where the outline changes, an
//     "outside" shape where it vanishes.
//   COCO video JSON: videos, images with "frame_id", annotations with the
//     mask as pycocotools' compressed RLE and the animal's "track_id".
//   MOTChallenge boxes and MOTS masks (track_files.hpp).
//
// Object ids are the annotation files' "object_id" (the mask key "Box<n>" is
// object n + 1). Files come back as the masks of every frame from 0 to the
// last frame the file covers, ready to be written as annotation files.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_mask.hpp"
#include "pen/track_files.hpp"

namespace mirelo {

/// The masks of one frame of a clip, as the writers read them.
struct FrameMasksView {
  int64_t frame = 0;
  std::string image;  ///< the frame's image name (COCO's "file_name"); may be empty
  std::vector<int64_t> ids;
  std::vector<const RunMask*> masks;  ///< one per id
};

/// A clip to write: every mask of height x width.
struct ClipMasksView {
  int64_t height = 0, width = 0;
  std::vector<FrameMasksView> frames;
};

/// Checks a clip before it is written: frames from 0 to
/// kMaxExchangeFrames - 1 in increasing order, each once; an object id
/// once per frame; every mask of the frame size. Throws ValueError naming
/// the frame and object.
void check_clip_masks(const ClipMasksView& clip);

/// The masks of one frame of a file.
struct FrameMasks {
  std::vector<int64_t> ids;
  std::vector<RunMask> masks;
};

/// What a file holds: the masks of frames 0 to frames.size() - 1 at
/// height x width.
struct ClipMasks {
  int64_t height = 0, width = 0;
  std::vector<FrameMasks> frames;
};

/// Masks given per frame and object, as the formats without a place for an
/// empty mask are read back: every object in every frame of `frames`, in
/// increasing order of ids, empty where it has none.
struct SparseMasks {
  int64_t height = 0, width = 0;
  int64_t frames = 0;
  struct Entry {
    int64_t frame, id;
    RunMask mask;
  };
  std::vector<Entry> entries;
};

/// Every object of `sparse` in every frame (see SparseMasks); entries of
/// one object in one frame are joined.
ClipMasks every_object_in_every_frame(SparseMasks&& sparse);

/// The most frames a file may cover (frame numbers 0 to this minus 1): a
/// day of recording at ten frames a second, so that a hostile frame number
/// cannot ask for billions of records.
inline constexpr int64_t kMaxExchangeFrames = 1'000'000;

/// Options of the CVAT writer.
struct CvatOptions {
  /// A track gets a new shape when its outline differs from the one it
  /// shows (the last shape written) by more than this share of pixels:
  /// 1 - IoU of the two filled outlines. 0 writes every change.
  double tolerance = 0.02;
  /// Outlines are simplified (Douglas-Peucker) within this many pixels,
  /// as long as the filled polygon keeps an IoU of 0.99 with the exact one;
  /// 0 keeps every traced point (the masks come back exactly).
  double simplify = 1.0;
  std::string label = "pig";
  std::string task_name = "clip";
  unsigned threads = 0;  ///< threads tracing the outlines (0: one per core)
};

/// A CVAT document and what it holds.
struct CvatDocument {
  std::string text;
  int64_t tracks = 0;
  int64_t shapes = 0;         ///< shape elements, outside marks included
  int64_t outside_shapes = 0;
  int64_t animal_frames = 0;  ///< masks with pixels: the shapes one per frame would take
};

/// CVAT for video 1.1 XML of the clip. Each animal's outline is traced
/// (outer contours, as annotation files hold them; holes filled); each
/// contour (piece) is a polygon of its pixel centres. A piece keeps its
/// track from frame to frame by overlap; an animal's first track has the id
/// object id - 1 (when that is not negative), further pieces the ids after
/// the largest. Every shape carries the attribute "animal" (the object id);
/// all are keyframes. A track that loses its piece (the animal vanished, is
/// missing from the frame, or has fewer pieces) gets an outside shape
/// there. The task has frames 0 to the clip's last.
CvatDocument cvat_video_xml(const ClipMasksView& clip, const CvatOptions& options);

/// Reads CVAT for video XML (`name` names the file in messages). Shapes
/// taken: polygon (vertices floored to pixels, filled as annotation files'
/// polygons are), box (the pixels it overlaps) and mask (CVAT's row runs in
/// its box). A track's object id is its "animal" attribute when it has one,
/// else its id + 1; tracks of one object are joined frame by frame. A shape
/// holds from its frame until the track's next shape (CVAT exports write
/// every frame; files holding keyframes only come back held, not
/// interpolated); an outside shape ends it. The frames are 0 to the task's
/// size - 1 (or the last shape); every object appears in every frame, in
/// increasing order, empty where its tracks show nothing. The frame size is
/// the task's "original_size", or `height` x `width` for a file that states
/// none. Throws ValueError "<name>, line N: <element>: ..." for malformed XML
/// or a bad element.
ClipMasks parse_cvat_video_xml(std::string_view text, const std::string& name, int64_t height = 0,
                               int64_t width = 0);

/// COCO video JSON of the clip: "info", "categories" (the one `label`),
/// "videos" (one, named `video_name`), "images" (one per frame: "id",
/// "video_id", "frame_id", "file_name", "height", "width") and
/// "annotations" (one per mask, empty ones included: "id", "image_id",
/// "video_id", "category_id", "track_id" and "instance_id" (the object id),
/// "bbox" [x, y, w, h] and "area" as pycocotools computes them, "iscrowd" 0
/// and "segmentation" {"size": [h, w], "counts": compressed RLE}).
std::string coco_video_json(const ClipMasksView& clip, std::string_view video_name, std::string_view label);

/// Reads COCO video JSON (one video). Images need "id" and "frame_id";
/// annotations "image_id", "track_id" (or "instance_id") and
/// "segmentation" as RLE (compressed or counts) or polygons (filled as
/// annotation files' polygons are), else their "bbox". Masks of one track in
/// one frame are joined. A frame holds its annotations in file order; the
/// frames 0 to the last image's. Throws ValueError / TypeError naming the
/// file and the member.
ClipMasks parse_coco_video_json(std::string_view text, const std::string& name);

/// The clip's masks as MOTChallenge rows: frame + frame_offset, object id,
/// the tight box (width and height in whole pixels), confidence 1, class 1
/// and visibility 1. Empty masks give no row.
MotTable mot_rows(const ClipMasksView& clip, int64_t frame_offset);

/// The clip's masks as MOTS rows (frame + frame_offset, object id, class 1);
/// empty masks give no row.
std::string mots_text_of(const ClipMasksView& clip, int64_t frame_offset);

/// MOTChallenge rows as masks of a height x width frame: each box filled
/// over the pixels it overlaps. Frames are the rows' minus frame_offset.
/// Every identity appears in every frame (in increasing order), empty where
/// it has no row. Throws ValueError for a frame below frame_offset.
ClipMasks masks_of_mot(const MotTable& table, int64_t height, int64_t width, int64_t frame_offset,
                       const std::string& name);

/// MOTS rows as masks, as masks_of_mot (ignore regions left out).
ClipMasks masks_of_mots(MotsTable&& table, int64_t frame_offset, const std::string& name);

/// Writes "output_pp_<frame>.json" into `folder` for every frame of `clip`
/// (annotation_file_text: the frame's image_paths[frame], `class_name`, each
/// object's outline), on up to `threads` threads, each file through a
/// temporary renamed over it. Returns the paths in frame order.
std::vector<std::string> write_annotation_files(const ClipMasks& clip, const std::string& folder,
                                                const std::vector<std::string>& image_paths,
                                                std::string_view class_name, unsigned threads = 0);

/// The pixels a box [x0, x1) x [y0, y1) overlaps on a height x width frame:
/// columns floor(x0) to ceil(x1) - 1, rows likewise, clipped to the frame.
RunMask box_mask(double x0, double y0, double x1, double y1, int64_t height, int64_t width);

/// The union of two masks of one frame size.
RunMask united(const RunMask& a, const RunMask& b);

}  // namespace mirelo
