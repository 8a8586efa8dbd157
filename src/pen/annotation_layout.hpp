#pragma once
// Where an annotation file's detections and their "object_id" values lie in
// the file's bytes, so that an edit of the ids can change those bytes alone
// and leave every other byte of the file (other keys, key order, spacing,
// number spellings) as it was.
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace mirelo {

/// A piece of a text: [begin, end) in bytes.
struct TextSpan {
  size_t begin = 0, end = 0;
};

struct DetectionSpan {
  TextSpan value;                      ///< the detection's value
  std::optional<TextSpan> object_id;   ///< the value of its last "object_id" (the one a reader keeps)
};

struct AnnotationLayout {
  /// Positions of the "[" and "]" of the top level's last "detections"
  /// (the member a reader keeps); none when it has no such list.
  std::optional<TextSpan> list;
  std::vector<DetectionSpan> detections;  ///< the list's items, in order
};

/// Locates the detections of an annotation file's text (a leading UTF-8
/// byte-order mark allowed; offsets count it). Meant for a text that
/// parse_json accepts: any other text ends in ValueError or in a layout that
/// stays inside the text, never in a read past it.
AnnotationLayout locate_detections(std::string_view text);

}  // namespace mirelo
