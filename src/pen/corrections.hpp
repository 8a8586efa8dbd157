#pragma once
// Corrections of identities across a clip folder of annotation files
// (output_pp_<frame>.json): swapping two tracks' ids from a frame on,
// relabelling, merging and dropping tracks, and undoing the edits.
//
// An edit changes many files and is all or nothing: it is planned whole in
// memory (every file read and checked first), written as a journal in the
// folder's hidden ".corrections" folder, and only then applied file by file,
// each file replaced through a temporary renamed over it. Whoever next opens
// the folder (an editor, or a reader through ClipReadGuard) finds a journal
// left by a killed process and takes the edit forward, or back when it was
// being undone after a failure, so no reader ever sees a clip half edited.
// One editor at a time holds the folder's lock; readers share it.
//
// Only the bytes of the changed values move: an "object_id" value is
// replaced in place and a dropped detection is cut out with the separator
// before or after it, so everything else in a file stays byte for byte. The
// one exception is a merge that unites two detections of a frame: that file
// is rewritten whole, in the form of the library's annotation writers
// (one line when it was one line, else json.dump(indent=4)).
//
// Every edit is appended to corrections.jsonl (time, operation, arguments,
// each changed file's SHA-256 before and after), and the journal is kept as
// the edit's undo record (".corrections/edit-<n>"), so undo restores the
// files byte for byte.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/file_lock.hpp"
#include "common/json.hpp"
#include "pen/clip_journal.hpp"

namespace mirelo {

enum class IdEditKind { Swap, Relabel, Merge, Drop };

/// What a merge does in a frame that holds both tracks.
enum class MergeConflict {
  Refuse,  ///< the merge is refused, naming the frames
  Keep,    ///< the kept track's detection stays, the other's is dropped
  Other,   ///< the other track's detection stays, under the kept id
  Union,   ///< one detection: the kept one with the other's outlines added and a box around both
};

/// One change of ids, applied to the files whose frame number lies in
/// [from_frame, to_frame] (inclusive; none: the clip's first or last).
struct IdEdit {
  IdEditKind kind = IdEditKind::Swap;
  int64_t first = 0;   ///< swap: a; relabel: the old id; merge: the id kept; drop: the id
  int64_t second = 0;  ///< swap: b; relabel: the new id; merge: the id merged into it
  std::optional<int64_t> from_frame, to_frame;
  MergeConflict on_conflict = MergeConflict::Refuse;
};

struct EditRequest {
  std::string operation;      ///< its name in the audit log ("swap_identities", ...)
  JsonValue arguments;        ///< its arguments there (an object)
  std::vector<IdEdit> steps;  ///< applied in order to each file
};

struct EditOptions {
  /// Flush the journal, the files, the log and the folders to the disk as
  /// the edit goes, so that it also survives a power loss. Without it an
  /// edit survives the process being killed at any point.
  bool durable = false;
};

/// Applies `request` to the annotation files below `clip_dir` (the loaders'
/// walk) as one edit and returns its audit-log entry. Ids are whole numbers
/// from 1. Throws ValueError for a bad id or frame range, an id that no file
/// of the range holds, a relabel or merge that would give a frame two
/// detections of one id (naming the frames), and a malformed annotation file
/// (naming it), all before any file changes; FileNotFoundError / OSError for
/// a folder that cannot be read or written, and OSError when another process
/// is editing the folder.
LoggedEdit edit_clip(const std::string& clip_dir, const EditRequest& request, const EditOptions& options = {});

/// Reverts the newest edit that is not an undo and not undone yet, to the
/// very bytes before it; an undo is itself an edit of the audit log ("undo",
/// {"edit": n}). Throws ValueError when there is nothing to undo or a file
/// has changed since that edit (nothing is changed then).
LoggedEdit undo_clip_edit(const std::string& clip_dir, const EditOptions& options = {});

/// The audit log's entries, oldest first (empty without a log), after
/// settling an unfinished edit as a reader does.
std::vector<LoggedEdit> clip_edit_history(const std::string& clip_dir);

/// Finishes (or rolls back) an edit that a killed process left unfinished.
/// With `abandon`, gives up an edit that cannot be finished because a file
/// was changed or removed since: the files it reached go back to their
/// bytes before it where they still can, the others stay as they are, and
/// the journal goes. Returns a line saying what was done, none when there
/// was no unfinished edit.
std::optional<std::string> recover_clip_edit(const std::string& clip_dir, bool abandon = false);

/// Held by every reader of a clip folder (the loaders) while it lists and
/// reads the files: waits while an editor is at work, finishes an edit that
/// a killed editor left (printing what it did), or refuses with OSError
/// naming the command that does, when this process cannot.
class ClipReadGuard {
 public:
  explicit ClipReadGuard(const std::string& clip_dir);
  /// False when an editor may have begun on a folder never edited before
  /// since the guard was made (it held no lock then): read it again.
  bool steady() const;

 private:
  std::string lock_path_;
  std::optional<FileLock> lock_;
};

/// Runs `load` under a ClipReadGuard of `clip_dir`, again while the guard
/// was not steady, and returns its result.
template <class Load>
auto read_clip_steadily(const std::string& clip_dir, Load&& load) {
  for (;;) {
    ClipReadGuard guard(clip_dir);
    auto result = load();
    if (guard.steady()) return result;
  }
}

}  // namespace mirelo
