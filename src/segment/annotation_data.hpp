#pragma once
// Loading a tracked clip back from its annotation files: finding and ordering
// the files, the frame size, and one frame record per file with its masks,
// their areas and their intersection table. Files are loaded in parallel;
// results and errors are those of loading them one after the other.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/json.hpp"
#include "common/run_mask.hpp"

namespace mirelo {

/// The annotation files below `folder`, in load order: the walk of
/// walk_folders; in each folder the names ending in ".json" whose stem (the
/// name without ".json") ends in "_" and decimal digits, ordered by the
/// value of those digits, names of equal value in listing order.
std::vector<std::string> list_annotation_files(const std::string& folder);

/// The frame number of an annotation file: the text of `path` after its last
/// "output_pp_" (the whole path when there is none), cut at its first ".",
/// read as the host's int() reads a text (surrounding whitespace, a sign and
/// single underscores between digits allowed). Returns its decimal digits,
/// with '-' before a negative number. Throws ValueError "invalid literal for
/// int() with base 10: '...'".
std::string frame_index_of(const std::string& path);

/// Height and width of the image that the "image_path" of the annotation
/// file `json_path` names, as cv::imread reads it in colour (EXIF orientation
/// applied). Throws KeyError / TypeError for a file without a text
/// "image_path", FileNotFoundError / OSError for an image that is missing or
/// cannot be read.
std::pair<int64_t, int64_t> annotation_frame_size(const std::string& json_path);

/// One annotation file loaded.
struct FrameRecord {
  std::string frame_index;        ///< frame_index_of(json_path)
  std::string json_path;
  JsonValue image_path;           ///< the file's "image_path", as stored
  std::vector<std::string> keys;  ///< "Box<object id - 1>", each once, in order of first appearance
  std::vector<RunMask> masks;     ///< per key, the mask of its last detection
  std::vector<double> table;      ///< intersection table, keys x keys (when asked for)
  MaskStack dense;                ///< the masks painted, keys x height x width (when asked for)
};

struct LoadOptions {
  bool tables = true;  ///< compute each record's intersection table
  bool dense = true;   ///< paint each record's masks into a dense stack
};

/// Loads `paths` at a `height` x `width` frame size, on up to `threads`
/// threads (0: one per core). The records come in the order of `paths`; when
/// files fail, the error of the first failing one in that order is thrown.
std::vector<FrameRecord> load_frame_records(const std::vector<std::string>& paths, int64_t height, int64_t width,
                                            const LoadOptions& options, unsigned threads = 0);

/// A whole clip held compactly: every file's record with its masks as runs
/// and its intersection table, no dense stacks.
struct CompactClip {
  int64_t height = 0, width = 0;  ///< the frame size of every mask
  std::vector<FrameRecord> records;

  /// Bytes held on the heap by the records.
  size_t memory_bytes() const;
};

/// Loads `paths` (list_annotation_files' order) into a compact clip at a
/// `height` x `width` frame size, on up to `threads` threads (0: one per
/// core); errors as load_frame_records.
CompactClip load_compact_clip(const std::vector<std::string>& paths, int64_t height, int64_t width,
                              unsigned threads = 0);

}  // namespace mirelo
