#pragma once
// The records of edits to a clip folder's annotation files: the journal an
// edit writes before it touches any file (kept afterwards as the edit's undo
// record), and the audit log corrections.jsonl, one JSON line per edit.
//
// An edit is a list of file changes, each a list of splices against the
// file's bytes before the edit, with the SHA-256 of the file before and
// after: whoever finds a journal can tell, file by file, whether the edit
// reached it, and roll it forward or back byte for byte.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"

namespace mirelo {

/// Bytes [at, at + old_text.size()) of a text replaced by new_text.
struct Splice {
  uint64_t at = 0;
  std::string old_text, new_text;
};

/// The change of one file by an edit.
struct FileChange {
  std::string file;    ///< path relative to the clip folder
  int64_t frame = 0;   ///< the frame number of its name
  std::string before;  ///< SHA-256 (hex) of the file before the edit
  std::string after;   ///< and after it
  std::vector<Splice> splices;  ///< against the bytes before, ascending, not overlapping
};

/// An edit as its journal holds it.
struct ClipEdit {
  enum class Direction { Forward, Back };
  Direction direction = Direction::Forward;  ///< where an interrupted edit is to be taken
  int64_t number = 0;      ///< the edit's number in the audit log
  uint64_t log_size = 0;   ///< bytes of corrections.jsonl before the edit
  std::string log_line;    ///< its line in corrections.jsonl, without the line break
  std::vector<FileChange> files;
};

/// The journal's bytes: a text header, length-prefixed pieces and a closing
/// SHA-256 of all that precedes it.
std::string serialize_clip_edit(const ClipEdit& edit);

/// Reads a journal written by serialize_clip_edit. Throws ValueError naming
/// `source` for anything else (truncated, altered, out-of-order splices).
ClipEdit parse_clip_edit(std::string_view bytes, const std::string& source);

/// `text` with `splices` applied. Throws ValueError naming `where` when a
/// splice lies outside the text or its old bytes are not there.
std::string apply_splices(std::string_view text, const std::vector<Splice>& splices, const std::string& where);

/// The splices that take the text after `splices` back to the text before.
std::vector<Splice> reverse_splices(const std::vector<Splice>& splices);

/// A file of an edit as the audit log names it.
struct LoggedFile {
  std::string file;
  int64_t frame = 0;
  std::string before, after;
};

/// One line of the audit log.
struct LoggedEdit {
  int64_t number = 0;
  std::string time;       ///< UTC, ISO 8601 ("2026-05-04T12:30:00Z")
  std::string operation;  ///< "swap_identities", ..., "undo"
  JsonValue arguments;    ///< an object; {"edit": n} for an undo
  std::vector<LoggedFile> files;
  std::optional<int64_t> undoes;     ///< for an undo: the edit it reverted
  std::optional<int64_t> undone_by;  ///< the undo that reverted this edit, if any
};

/// The one-line JSON text of an entry: {"edit", "time", "operation",
/// "arguments", "files": [{"file", "frame", "before", "after"}, ...]}.
std::string log_line_of(const LoggedEdit& entry);

/// Reads corrections.jsonl: one entry per line, each undo linked to the
/// edit it reverted. Blank lines are skipped. Throws ValueError naming
/// `source` and the line for a line that is not such an entry, or an undo
/// of an edit that is not listed before it or is undone already.
std::vector<LoggedEdit> parse_corrections_log(std::string_view text, const std::string& source);

}  // namespace mirelo
