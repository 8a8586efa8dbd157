#pragma once
// The tracking question report: vanished masks, heavily overlapping mask
// pairs, the report's CSV text, and the masks that stayed tiny through the
// end of a clip.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/ndarray.hpp"
#include "common/number.hpp"

namespace mirelo {

/// The fields of a report row, one per column of the report.
enum class ReportField { FrameId, BoxPair, IntersectionValue, MaskArea1, MaskArea2, ReportType, BoxId, MaskAreas };

struct ReportColumn {
  const char* name;
  ReportField field;
};

/// The report's columns, in order: the CSV file and the tables are both
/// made by walking this list.
inline constexpr std::array<ReportColumn, 8> kReportColumns = {{
    {"Frame ID", ReportField::FrameId},
    {"Box Pair", ReportField::BoxPair},
    {"Intersection Value", ReportField::IntersectionValue},
    {"Mask Area1", ReportField::MaskArea1},
    {"Mask Area2", ReportField::MaskArea2},
    {"Report type", ReportField::ReportType},
    {"Box ID", ReportField::BoxId},
    {"Mask Areas", ReportField::MaskAreas},
}};

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

/// One frame record as the report reads it: the areas of its "mask_areas",
/// in order, and the cells of its "intersections_df" (2-D, rows x columns,
/// any numeric element type).
struct ReportFrame {
  std::vector<HostNumber> areas;
  NDArray cells;
};

enum class ReportKind { HighOverlap, ZeroArea };

/// One row of the report. The values that come from the host as they are
/// (frame keys, mask keys, areas) are named by position, and the host gives
/// them by those positions.
struct ReportRow {
  ReportKind kind = ReportKind::HighOverlap;
  int64_t frame = 0;            ///< position of the frame record
  int64_t row = 0, column = 0;  ///< high overlap: the cell's row and column in the frame's table
  HostNumber value;             ///< high overlap: the cell as reported (report_value)
  int64_t mask = 0;             ///< zero area: position of the mask among the frame's areas
};

/// Whether a row has a value in a field: every row its frame id and type, a
/// high-overlap row its pair, value and both areas, a zero-area row its mask
/// key and area.
bool has_field(const ReportRow& row, ReportField field);

/// Whether the host gives a field's value (the frame id, the pair text, the
/// areas and the mask key) rather than the report itself (the value and the
/// type).
bool host_field(ReportField field);

/// The "Report type" text of a row.
const char* report_type(ReportKind kind);

/// The rows of a clip's report and the frames with an overlap.
struct TrackingReport {
  /// All high-overlap rows (frames in order, each frame's cells row by row),
  /// then all zero-area rows (frames in order, areas in order).
  std::vector<ReportRow> rows;
  /// Positions of the frames with a cell above the threshold, in order.
  std::vector<int64_t> overlap_frames;
  /// rows[0, overlap_rows) are the high-overlap rows, and
  /// rows[last_frame_start, overlap_rows) those of the last overlap frame.
  size_t overlap_rows = 0, last_frame_start = 0;
};

/// The report of `frames`: a zero-area row for every area that is_zero_area
/// holds, a high-overlap row for every cell strictly above `threshold`.
/// Throws ValueError for a table that is not 2-D.
TrackingReport tracking_report(const std::vector<ReportFrame>& frames, const HostNumber& threshold);

/// The value of a field that the host gives (host_field), as the CSV writes
/// it, for row `index` of the rows written.
using HostFieldText = std::function<CsvField(size_t index, ReportField field)>;

/// The report's CSV text: the header line, then one line per row, fields
/// separated by commas, every line ending with a line feed.
std::string report_csv(const std::vector<ReportRow>& rows, const HostFieldText& host);

/// `dir` joined with the report's file name as the host's os.path.join
/// joins them on this platform ("" gives the bare name; no separator is
/// doubled after a trailing '/').
std::string report_path(const std::string& dir);

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
