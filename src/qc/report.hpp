#pragma once
// The tracking question report: vanished masks, heavily overlapping mask
// pairs, the report's CSV text, and the masks that stayed tiny through the
// end of a clip.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/ndarray.hpp"
#include "common/number.hpp"

namespace mirelo {

/// Column names of the report, in order.
inline constexpr std::array<const char*, 8> kReportColumns = {
    "Frame ID", "Box Pair", "Intersection Value", "Mask Area1", "Mask Area2", "Report type", "Box ID", "Mask Areas"};

inline constexpr const char* kHighOverlapType = "High overlap mask detected";
inline constexpr const char* kZeroAreaType = "Zero area detected";
inline constexpr const char* kReportFileName = "tracking_question_report.csv";

/// Whether a mask area counts as vanished: at most 0.1 pixel (exact for
/// integers, NaN never).
bool is_zero_area(const HostNumber& area);

/// Row-major positions of the cells of `table` (2-D, rows x columns, any
/// numeric element type) that are strictly greater than `threshold`.
/// Integer cells are compared exactly; NaN cells never count.
std::vector<int64_t> cells_above(const NDArray& table, const HostNumber& threshold);

/// Whether any cell of `table` is strictly greater than `threshold`; stops
/// at the first one.
bool any_cell_above(const NDArray& table, const HostNumber& threshold);

/// Cell `index` (row-major) as the report shows it: a real rounded to two
/// decimals (value x 100 rounded half to even, then / 100), an integer or
/// boolean cell unchanged as an integer.
HostNumber report_value(const NDArray& table, int64_t index);

/// One field of the report: absent (an empty CSV field), a number (an
/// integer as an integer, a real in positional decimal form, NaN absent),
/// or a text (quoted only when it holds a comma, a double quote or a line
/// break).
struct CsvField {
  enum class Kind { Empty, Number, Text };
  Kind kind = Kind::Empty;
  HostNumber number;
  std::string text;

  static CsvField empty() { return {}; }
  static CsvField of(const HostNumber& n) { return {Kind::Number, n, {}}; }
  static CsvField of(std::string t) { return {Kind::Text, {}, std::move(t)}; }
};

using CsvRow = std::array<CsvField, 8>;

/// The report's CSV text: the header line, then one line per row, fields
/// separated by commas, every line ending with a line feed.
std::string report_csv(const std::vector<CsvRow>& rows);

/// `dir` joined with the report's file name as the host's os.path.join
/// joins them on this platform ("" gives the bare name; no separator is
/// doubled after a trailing '/').
std::string report_path(const std::string& dir);

/// Writes the report to `path` through a temporary file in the same folder
/// renamed over the target: an existing report is replaced whole, and a
/// failure (a missing or read-only folder, a full disk) leaves no partial
/// file. Throws FileNotFoundError / OSError.
void write_report(const std::string& path, const std::vector<CsvRow>& rows);

/// The (mask key, area) pairs of one frame's "mask_areas", in order, the
/// keys given as small integer ids.
using FrameAreas = std::vector<std::pair<int64_t, HostNumber>>;

/// Whether a frame id is examined by the hand-over check: strictly after
/// `min_frame_id`.
bool frame_after(const HostNumber& frame_id, const HostNumber& min_frame_id);

/// Ids of the keys whose area was at most `area_threshold` in strictly more
/// than `min_count` of the given frames (those after the first frame id
/// examined, see frame_after), in the order of their first such frame.
std::vector<int64_t> keys_small_too_often(const std::vector<FrameAreas>& frames, const HostNumber& area_threshold,
                                          const HostNumber& min_count);

}  // namespace mirelo
