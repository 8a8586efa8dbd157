// The tracking question report's CSV: rows and the host's field values
// taken from the input (one row a line, fields split at tabs) written as the
// report writes them, then read back as RFC 4180 says (the host's csv
// module reads it so): every text must come back unchanged and every row
// keep its 8 fields, or the harness aborts (a finding like a crash).
#include <cstdlib>
#include <string>
#include <vector>

#include "common/number.hpp"
#include "fuzz_input.hpp"
#include "pen/polygon_text.hpp"
#include "qc/report.hpp"

using namespace mirelo;

namespace {

std::vector<std::string> split(std::string_view s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == sep) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

// RFC 4180 records; a line break is CR LF, LF or CR outside quotes.
std::vector<std::vector<std::string>> read_csv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record(1);
  bool quoted = false, in_record = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    in_record = true;
    if (quoted) {
      if (c != '"') {
        record.back() += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        record.back() += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      record.emplace_back();
    } else if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      records.push_back(record);
      record.assign(1, {});
      in_record = false;
    } else {
      record.back() += c;
    }
  }
  if (in_record) records.push_back(record);
  return records;
}

// A field from one cell of the input: "i..." an integer, "n..." a real,
// "" empty, anything else a text.
CsvField field_of(const std::string& cell) {
  double d = 0;
  if (cell.empty()) return CsvField::empty();
  if (cell[0] == 'i') return CsvField::of(HostNumber::integer(static_cast<int64_t>(std::strtoll(cell.c_str() + 1, nullptr, 10))));
  if (cell[0] == 'n' && parse_py_float(std::string_view(cell).substr(1), d)) return CsvField::of(HostNumber::real(d));
  return CsvField::of(cell);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // One row a line; a line starting with "z" is a zero-area row. Its cells
  // are the values of the report's columns, in order: the host's fields
  // taken as they are, the intersection value as a number.
  std::vector<ReportRow> rows;
  std::vector<std::vector<CsvField>> cells;
  for (const std::string& line : split(input, '\n')) {
    if (rows.size() == 64) break;
    ReportRow row;
    row.kind = !line.empty() && line[0] == 'z' ? ReportKind::ZeroArea : ReportKind::HighOverlap;
    row.frame = static_cast<int64_t>(rows.size());
    std::vector<CsvField> fields;
    for (const std::string& cell : split(line, '\t')) fields.push_back(field_of(cell));
    fields.resize(kReportColumns.size());
    if (fields[2].kind == CsvField::Kind::Number) row.value = fields[2].number;
    rows.push_back(row);
    cells.push_back(std::move(fields));
  }
  const auto column_of = [](ReportField f) {
    for (size_t c = 0; c < kReportColumns.size(); ++c)
      if (kReportColumns[c].field == f) return c;
    std::abort();
  };
  const std::string csv = report_csv(rows, [&](size_t i, ReportField f) { return cells[i][column_of(f)]; });
  const std::vector<std::vector<std::string>> back = read_csv(csv);
  if (back.size() != rows.size() + 1) std::abort();
  for (size_t r = 0; r < rows.size(); ++r) {
    if (back[r + 1].size() != kReportColumns.size()) std::abort();
    for (size_t c = 0; c < kReportColumns.size(); ++c) {
      const ReportField f = kReportColumns[c].field;
      const CsvField& given = cells[r][c];
      if (has_field(rows[r], f) && host_field(f) && given.kind == CsvField::Kind::Text && back[r + 1][c] != given.text)
        std::abort();
    }
  }
  return 0;
}
