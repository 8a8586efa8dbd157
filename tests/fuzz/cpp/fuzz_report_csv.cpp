// The tracking question report's CSV: rows of fields taken from the input
// (one row a line, fields split at tabs; "i..." an integer, "n..." a real,
// "" empty, anything else a text) written as the report writes them, then
// read back as RFC 4180 says (the host's csv module reads it so): every
// text must come back unchanged and every row keep its 8 fields, or the
// harness aborts (a finding like a crash).
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<CsvRow> rows;
  for (const std::string& line : split(input, '\n')) {
    if (rows.size() == 64) break;
    CsvRow row;
    const std::vector<std::string> cells = split(line, '\t');
    for (size_t c = 0; c < row.size() && c < cells.size(); ++c) {
      const std::string& cell = cells[c];
      double d = 0;
      if (cell.empty()) continue;
      if (cell[0] == 'i') {
        row[c] = CsvField::of(HostNumber::integer(static_cast<int64_t>(std::strtoll(cell.c_str() + 1, nullptr, 10))));
      } else if (cell[0] == 'n' && parse_py_float(std::string_view(cell).substr(1), d)) {
        row[c] = CsvField::of(HostNumber::real(d));
      } else {
        row[c] = CsvField::of(cell);
      }
    }
    rows.push_back(std::move(row));
  }
  const std::vector<std::vector<std::string>> back = read_csv(report_csv(rows));
  if (back.size() != rows.size() + 1) std::abort();
  for (size_t r = 0; r < rows.size(); ++r) {
    if (back[r + 1].size() != rows[r].size()) std::abort();
    for (size_t c = 0; c < rows[r].size(); ++c)
      if (rows[r][c].kind == CsvField::Kind::Text && back[r + 1][c] != rows[r][c].text) std::abort();
  }
  return 0;
}
