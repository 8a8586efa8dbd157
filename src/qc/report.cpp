#include "qc/report.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/format.hpp"

namespace mirelo {
namespace {

template <typename T>
T load(const NDArray& a, int64_t i) {
  T v;
  std::memcpy(&v, a.bytes.data() + static_cast<size_t>(i) * sizeof(T), sizeof(T));
  return v;
}

// Cell `i` with the host's number type: integers (and booleans) exact,
// reals as doubles.
HostNumber cell(const NDArray& a, int64_t i) {
  switch (a.dtype) {
    case DType::Bool: return HostNumber::integer(load<uint8_t>(a, i) != 0);
    case DType::UInt8: return HostNumber::integer(load<uint8_t>(a, i));
    case DType::Int8: return HostNumber::integer(load<int8_t>(a, i));
    case DType::UInt16: return HostNumber::integer(load<uint16_t>(a, i));
    case DType::Int16: return HostNumber::integer(load<int16_t>(a, i));
    case DType::UInt32: return HostNumber::integer(load<uint32_t>(a, i));
    case DType::Int32: return HostNumber::integer(load<int32_t>(a, i));
    case DType::Int64: return HostNumber::integer(load<int64_t>(a, i));
    case DType::UInt64: {
      const uint64_t v = load<uint64_t>(a, i);
      if (v <= static_cast<uint64_t>(INT64_MAX)) return HostNumber::integer(static_cast<int64_t>(v));
      return HostNumber::real(static_cast<double>(v));
    }
    case DType::Float32: return HostNumber::real(load<float>(a, i));
    case DType::Float64: return HostNumber::real(load<double>(a, i));
  }
  return HostNumber::real(0.0);
}

void require_table(const NDArray& t) {
  if (t.ndim() != 2) throw ValueError(expected_got("a 2-D table of cells", "an array of shape " + t.shape_text()));
}

// Calls `on(i)` for every cell above the threshold until it returns false.
template <typename F>
void scan_above(const NDArray& t, const HostNumber& threshold, F&& on) {
  require_table(t);
  const int64_t n = t.size();
  // Real cells against a threshold that a double holds exactly: plain
  // double comparisons give the exact answer.
  const bool exact_double = threshold.is_int ? (threshold.i >= -(int64_t{1} << 53) && threshold.i <= (int64_t{1} << 53))
                                             : true;
  if (t.dtype == DType::Float64 && exact_double) {
    const double thr = threshold.as_double();
    for (int64_t i = 0; i < n; ++i)
      if (load<double>(t, i) > thr && !on(i)) return;
    return;
  }
  for (int64_t i = 0; i < n; ++i)
    if (threshold < cell(t, i) && !on(i)) return;
}

std::string csv_text(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string csv_field(const CsvField& f) {
  switch (f.kind) {
    case CsvField::Kind::Empty: return {};
    case CsvField::Kind::Text: return csv_text(f.text);
    case CsvField::Kind::Number:
      if (f.number.is_int) return std::to_string(f.number.i);
      // A NaN is the table's absent value.
      if (std::isnan(f.number.d)) return {};
      return format_float_positional(f.number.d);
  }
  return {};
}

}  // namespace

bool is_zero_area(const HostNumber& area) {
  const HostNumber limit = HostNumber::real(0.1);
  return area < limit || area == limit;
}

std::vector<int64_t> cells_above(const NDArray& table, const HostNumber& threshold) {
  std::vector<int64_t> out;
  scan_above(table, threshold, [&](int64_t i) {
    out.push_back(i);
    return true;
  });
  return out;
}

bool any_cell_above(const NDArray& table, const HostNumber& threshold) {
  bool found = false;
  scan_above(table, threshold, [&](int64_t) {
    found = true;
    return false;
  });
  return found;
}

HostNumber report_value(const NDArray& table, int64_t index) {
  if (index < 0 || index >= table.size()) throw IndexError("table cell out of range");
  const HostNumber v = cell(table, index);
  if (v.is_int || table.dtype == DType::UInt64) return v;
  return HostNumber::real(std::rint(v.d * 100.0) / 100.0);
}

bool has_field(const ReportRow& row, ReportField field) {
  switch (field) {
    case ReportField::FrameId:
    case ReportField::ReportType: return true;
    case ReportField::BoxPair:
    case ReportField::IntersectionValue:
    case ReportField::MaskArea1:
    case ReportField::MaskArea2: return row.kind == ReportKind::HighOverlap;
    case ReportField::BoxId:
    case ReportField::MaskAreas: return row.kind == ReportKind::ZeroArea;
  }
  return false;
}

bool host_field(ReportField field) {
  return field != ReportField::IntersectionValue && field != ReportField::ReportType;
}

const char* report_type(ReportKind kind) {
  return kind == ReportKind::HighOverlap ? kHighOverlapType : kZeroAreaType;
}

TrackingReport tracking_report(const std::vector<ReportFrame>& frames, const HostNumber& threshold) {
  TrackingReport out;
  std::vector<ReportRow> zero_area;
  for (size_t f = 0; f < frames.size(); ++f) {
    const ReportFrame& frame = frames[f];
    for (size_t k = 0; k < frame.areas.size(); ++k) {
      if (!is_zero_area(frame.areas[k])) continue;
      ReportRow row;
      row.kind = ReportKind::ZeroArea;
      row.frame = static_cast<int64_t>(f);
      row.mask = static_cast<int64_t>(k);
      zero_area.push_back(row);
    }
    if (any_cell_above(frame.cells, threshold)) out.overlap_frames.push_back(static_cast<int64_t>(f));
  }
  for (int64_t f : out.overlap_frames) {
    const NDArray& cells = frames[static_cast<size_t>(f)].cells;
    const int64_t columns = cells.shape[1];
    out.last_frame_start = out.rows.size();
    for (int64_t index : cells_above(cells, threshold)) {
      ReportRow row;
      row.frame = f;
      row.row = index / columns;
      row.column = index % columns;
      row.value = report_value(cells, index);
      out.rows.push_back(row);
    }
  }
  out.overlap_rows = out.rows.size();
  out.rows.insert(out.rows.end(), zero_area.begin(), zero_area.end());
  return out;
}

std::string report_csv(const std::vector<ReportRow>& rows, const HostFieldText& host) {
  std::string out;
  for (const ReportColumn& c : kReportColumns) {
    if (&c != kReportColumns.data()) out += ',';
    out += c.name;
  }
  out += '\n';
  for (size_t i = 0; i < rows.size(); ++i) {
    const ReportRow& row = rows[i];
    for (const ReportColumn& c : kReportColumns) {
      if (&c != kReportColumns.data()) out += ',';
      if (!has_field(row, c.field)) continue;
      if (host_field(c.field))
        out += csv_field(host(i, c.field));
      else if (c.field == ReportField::IntersectionValue)
        out += csv_field(CsvField::of(row.value));
      else
        out += csv_text(report_type(row.kind));
    }
    out += '\n';
  }
  return out;
}

std::string report_path(const std::string& dir) {
  if (dir.empty()) return kReportFileName;
  if (dir.back() == '/') return dir + kReportFileName;
  return dir + "/" + kReportFileName;
}

bool frame_after(const HostNumber& frame_id, const HostNumber& min_frame_id) { return min_frame_id < frame_id; }

std::vector<int64_t> keys_small_too_often(const std::vector<FrameAreas>& frames, const HostNumber& area_threshold,
                                          const HostNumber& min_count) {
  std::vector<int64_t> order;  // keys by their first small area
  std::unordered_map<int64_t, int64_t> count;
  for (const FrameAreas& frame : frames) {
    for (const auto& [key, area] : frame) {
      if (!(area < area_threshold || area == area_threshold)) continue;
      if (count[key]++ == 0) order.push_back(key);
    }
  }
  std::vector<int64_t> out;
  for (int64_t key : order)
    if (min_count < HostNumber::integer(count[key])) out.push_back(key);
  return out;
}

}  // namespace mirelo
