#include "pen/corrections.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <ctime>
#include <set>
#include <thread>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/parallel.hpp"
#include "common/platform.hpp"
#include "common/runtime.hpp"
#include "common/sha256.hpp"
#include "common/text.hpp"
#include "common/walk.hpp"
#include "pen/annotation_layout.hpp"
#include "segment/annotation_data.hpp"

namespace mirelo {
namespace {

constexpr const char* kEditFolder = ".corrections";
constexpr const char* kLogName = "corrections.jsonl";
constexpr const char* kCommand = "python -m mirelo_utils fix";
// How long a reader waits for an editor at work, and an editor for readers.
constexpr auto kWait = std::chrono::seconds(120);
constexpr auto kPoll = std::chrono::milliseconds(10);

// ------------------------------------------------------------- paths

struct ClipPaths {
  std::string dir, folder, lock, journal, log;
  explicit ClipPaths(const std::string& clip_dir)
      : dir(clip_dir.empty() ? std::string(".") : clip_dir),
        folder(path_join(dir, kEditFolder)),
        lock(path_join(folder, "lock")),
        journal(path_join(folder, "journal")),
        log(path_join(dir, kLogName)) {}
  std::string record(int64_t number) const { return path_join(folder, "edit-" + std::to_string(number)); }
  std::string file(const std::string& relative) const { return path_join(dir, relative); }
};

bool exists(const std::string& path) {
  platform::FileStatus status;
  return platform::file_status(path, false, status) == 0;
}

// The folder's status, or the host's error for it.
void require_folder(const std::string& path) {
  platform::FileStatus status;
  if (const int error = platform::file_status(path, true, status)) throw_os_error(error, path);
  if (status.kind != platform::FileKind::directory) throw_os_error(ENOTDIR, path);
}

std::string recover_hint(const ClipPaths& p) {
  return "finish it with " + std::string(kCommand) + " recover " + repr_text(p.dir);
}

void fsync_folder(const std::string& path) {
  const int error = platform::flush_folder(path);
  if (error != 0 && error != EINVAL) throw_os_error(error, path, "could not flush");
}

std::string parent_of(const std::string& path) {
  size_t slash = path.size();
  while (slash > 0 && !platform::is_separator(path[slash - 1])) --slash;
  if (slash == 0) return ".";
  return slash == 1 ? path.substr(0, 1) : path.substr(0, slash - 1);
}

std::string utc_now() {
  const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const std::tm tm = platform::utc_time(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string host_name() {
  std::string s = platform::host_name();
  if (s.empty()) return "?";
  std::replace(s.begin(), s.end(), ' ', '_');
  return s;
}

// ------------------------------------------------------------- the lock

// The note an editor leaves in the lock file while it holds it:
// "<pid> <host> <time> <operation>".
struct Holder {
  long long pid = 0;
  std::string host, time, operation;
  bool alive_editor() const {
    if (pid <= 0 || host != host_name()) return !host.empty() && pid > 0;
    return !platform::process_gone(pid);
  }
  std::string text() const {
    if (pid <= 0) return "another process";
    return "process " + std::to_string(pid) + (host == host_name() ? "" : " on " + host) + " (" + operation +
           ", since " + time + ")";
  }
};

Holder holder_of(const std::string& note) {
  Holder h;
  const size_t a = note.find(' ');
  const size_t b = a == std::string::npos ? a : note.find(' ', a + 1);
  const size_t c = b == std::string::npos ? b : note.find(' ', b + 1);
  if (c == std::string::npos) return h;
  const auto [end, ec] = std::from_chars(note.data(), note.data() + a, h.pid);
  if (ec != std::errc() || end != note.data() + a) return Holder{};
  h.host = note.substr(a + 1, b - a - 1);
  h.time = note.substr(b + 1, c - b - 1);
  h.operation = note.substr(c + 1);
  while (!h.operation.empty() && h.operation.back() == '\n') h.operation.pop_back();
  return h;
}

// The folder's lock held exclusively by this process for one edit, with the
// note saying so; a lock whose holder died was dropped by the kernel and is
// simply taken.
class EditorLock {
 public:
  EditorLock(const ClipPaths& p, const std::string& operation, bool wait_for_editor) {
    if (const int error = platform::make_folder(p.folder); error != 0 && error != EEXIST)
      throw_os_error(error, p.folder, "could not edit");
    lock_.emplace(p.lock, true);
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!lock_->try_lock(FileLock::Mode::Exclusive)) {
      const Holder h = holder_of(lock_->read_note());
      const bool editor = h.alive_editor();
      if (editor && !wait_for_editor)
        throw OSError("the clip folder " + repr_text(p.dir) + " is being edited by " + h.text() +
                          "; nothing was changed, try again when it is done",
                      EBUSY);
      if (std::chrono::steady_clock::now() > deadline)
        throw OSError("gave up waiting for the clip folder " + repr_text(p.dir) + ", held by " +
                          (editor ? h.text() : std::string("readers")) + "; nothing was changed",
                      EBUSY);
      check_interrupt();
      std::this_thread::sleep_for(kPoll);
    }
    lock_->write_note(std::to_string(platform::process_id()) + " " + host_name() + " " + utc_now() + " " + operation + "\n");
  }
  ~EditorLock() {
    lock_->write_note("");
    lock_->unlock();
  }
  EditorLock(const EditorLock&) = delete;
  EditorLock& operator=(const EditorLock&) = delete;

 private:
  std::optional<FileLock> lock_;
};

// ------------------------------------------------------ the audit log

std::string read_log(const ClipPaths& p) {
  if (!exists(p.log)) return {};
  return read_file(p.log);
}

// Cuts the log back to `size` bytes and appends `line` (after a line break
// when a hand-edited log lacks its last one): done again by whoever finishes
// an interrupted edit, it gives the same log.
void write_log(const ClipPaths& p, uint64_t size, const std::string& line, bool durable) {
  int fd = -1;
  if (const int error = platform::open_for_update(p.log, true, fd))
    throw_os_error(error, p.log, "could not write the corrections log");
  struct Closer {
    int fd;
    ~Closer() { platform::close_descriptor(fd); }
  } closer{fd};
  platform::FileStatus status;
  if (const int error = platform::descriptor_status(fd, status)) throw_os_error(error, p.log);
  if (status.size < size)
    throw ValueError("the corrections log " + repr_text(p.log) + " is shorter than when the edit began (" +
                     std::to_string(status.size) + " < " + std::to_string(size) + " bytes): it was changed by hand");
  std::string text;
  if (size > 0) {
    char last = '\n';
    size_t got = 0;
    if (const int error = platform::read_at(fd, size - 1, &last, 1, got)) throw_os_error(error, p.log);
    if (got != 1) throw_os_error(EIO, p.log);
    if (last != '\n') text.push_back('\n');
  }
  text += line;
  text.push_back('\n');
  if (const int error = platform::resize_file(fd, size)) throw_os_error(error, p.log, "could not write");
  if (const int error = platform::write_at(fd, size, text)) throw_os_error(error, p.log, "could not write");
  if (durable)
    if (const int error = platform::flush_to_disk(fd)) throw_os_error(error, p.log, "could not flush");
}

void cut_log(const ClipPaths& p, uint64_t size) {
  platform::FileStatus status;
  if (platform::file_status(p.log, true, status) != 0 || status.size <= size) return;
  int fd = -1;
  int error = platform::open_for_update(p.log, true, fd);
  if (error == 0) {
    error = platform::resize_file(fd, size);
    platform::close_descriptor(fd);
  }
  if (error != 0) throw_os_error(error, p.log, "could not write");
}

// The number of the next edit: after the log's last entry and every record.
int64_t next_edit_number(const ClipPaths& p, const std::string& log_text) {
  int64_t last = 0;
  const size_t end = log_text.find_last_not_of(" \t\r\n");
  if (end != std::string::npos) {
    const size_t begin = log_text.rfind('\n', end);
    const size_t from = begin == std::string::npos ? 0 : begin + 1;
    const JsonValue line = parse_json(std::string_view(log_text).substr(from, end + 1 - from), repr_text(p.log));
    const JsonValue* number = line.is_object() ? line.find("edit") : nullptr;
    if (!number || number->kind != JsonValue::Kind::Int || number->big_int || number->integer < 0 ||
        number->integer == INT64_MAX)
      throw ValueError("the last line of the corrections log " + repr_text(p.log) + " has no edit number");
    last = number->integer;
  }
  int64_t n = last + 1;
  while (exists(p.record(n))) ++n;
  return n;
}

// ---------------------------------------------------- applying edits
//
// A file whose splices all keep their length (a swap of ids of as many
// digits, or a region of shifted bytes that ends where it began) is changed
// in place: its bytes are written over, nothing is renamed. Replacing a file
// by renaming makes some file systems (ext4) start writing the new file out
// at once, which costs more than the whole edit does otherwise; the journal
// and the folder's lock give what the rename would give. A write killed
// part-way leaves each byte of a splice either old or new, which the next
// process tells apart and completes. Files whose length changes (dropped
// detections) are replaced through a temporary renamed over them.

// A file's bytes and their hash, or none when it is missing.
struct Current {
  std::optional<std::string> bytes;
  std::string hash;
};

Current current_of(const std::string& path) {
  Current c;
  if (!exists(path)) return c;
  c.bytes = read_file(path);
  c.hash = sha256_hex(*c.bytes);
  return c;
}

bool in_place(const std::vector<Splice>& splices) {
  return std::all_of(splices.begin(), splices.end(),
                     [](const Splice& s) { return s.old_text.size() == s.new_text.size(); });
}

void write_in_place(const std::string& path, const std::vector<Splice>& splices, bool durable) {
  int fd = -1;
  if (const int error = platform::open_for_writing(path, fd)) throw_os_error(error, path, "could not write");
  int err = 0;
  for (const Splice& s : splices)
    if (err == 0) err = platform::write_at(fd, s.at, s.new_text);
  if (err == 0 && durable) err = platform::flush_to_disk(fd);
  if (const int closed = platform::close_descriptor(fd); closed != 0 && err == 0) err = closed;
  if (err != 0) throw_os_error(err, path, "could not write");
}

void write_replacing(const std::string& path, const std::string& bytes, bool durable) {
  AtomicWriteOptions o;
  o.sync = durable;
  o.clear_stale = false;  // swept once per folder when the edit begins
  write_file_atomically(path, bytes, o);
}

enum class Moved { Already, Written, Missing, Changed };

// Takes the file at `path` from the state `from` (hash) to `to` through
// `splices`; `known` is its current content when the caller has read it.
Moved move_file(const std::string& path, const Current* known, const std::vector<Splice>& splices,
                const std::string& from, const std::string& to, bool durable, bool* folder_changed) {
  const Current c = known ? *known : current_of(path);
  if (!c.bytes) return Moved::Missing;
  if (c.hash == to) return Moved::Already;
  const bool same_length = in_place(splices);
  if (c.hash != from) {
    // Only a write in place killed part-way leaves a file in between:
    // every byte of each splice old or new, and everything else as it was.
    if (!same_length) return Moved::Changed;
    for (const Splice& s : splices) {
      if (s.at > c.bytes->size() || s.old_text.size() > c.bytes->size() - s.at) return Moved::Changed;
      for (size_t k = 0; k < s.old_text.size(); ++k) {
        const char b = (*c.bytes)[s.at + k];
        if (b != s.old_text[k] && b != s.new_text[k]) return Moved::Changed;
      }
    }
    std::string result = *c.bytes;
    for (const Splice& s : splices) result.replace(s.at, s.new_text.size(), s.new_text);
    if (sha256_hex(result) != to) return Moved::Changed;
    write_in_place(path, splices, durable);
    return Moved::Written;
  }
  if (same_length) {
    write_in_place(path, splices, durable);
    return Moved::Written;
  }
  const std::string result = apply_splices(*c.bytes, splices, path);
  if (sha256_hex(result) != to)
    throw ValueError("the recorded edit of " + repr_text(path) + " does not give the bytes it names");
  write_replacing(path, result, durable);
  if (folder_changed) *folder_changed = true;
  return Moved::Written;
}

[[noreturn]] void changed_since(const ClipPaths& p, const ClipEdit& edit, const FileChange& f, bool missing) {
  throw ValueError("the unfinished correction " + std::to_string(edit.number) + " of " + repr_text(p.dir) +
                   " cannot be finished: " + repr_text(f.file) +
                   (missing ? " is gone" : " was changed since it began (its bytes are neither those before nor after it)") +
                   "; restore the file, or give the correction up with " + kCommand + " recover " + repr_text(p.dir) +
                   " --abandon");
}

// Writes every file, then the log line, then keeps the journal as the
// edit's record: the edit is done. `known` holds each file's bytes before
// the edit, read under the same lock.
void run_forward(const ClipPaths& p, const ClipEdit& edit, const std::vector<Current>* known,
                 const EditOptions& options) {
  std::set<std::string> folders;
  for (size_t k = 0; k < edit.files.size(); ++k) {
    const FileChange& f = edit.files[k];
    const std::string path = p.file(f.file);
    if (known) check_interrupt();
    bool renamed = false;
    const Moved m = move_file(path, known ? &(*known)[k] : nullptr, f.splices, f.before, f.after, options.durable,
                              &renamed);
    if (m == Moved::Missing || m == Moved::Changed) changed_since(p, edit, f, m == Moved::Missing);
    if (renamed && options.durable) folders.insert(parent_of(path));
  }
  for (const std::string& folder : folders) fsync_folder(folder);
  write_log(p, edit.log_size, edit.log_line, options.durable);
  if (const int error = platform::replace_file(p.journal, p.record(edit.number)).error)
    throw_os_error(error, p.journal);
  if (options.durable) fsync_folder(p.folder);
}

// Takes every file back to its bytes before the edit, cuts its log line and
// removes the journal. With `abandon`, files that are neither before nor
// after the edit are left as they are (listed in `left`).
void run_back(const ClipPaths& p, const ClipEdit& edit, bool abandon, std::vector<std::string>* left,
              const EditOptions& options) {
  std::set<std::string> folders;
  for (const FileChange& f : edit.files) {
    const std::string path = p.file(f.file);
    bool renamed = false;
    const Moved m = move_file(path, nullptr, reverse_splices(f.splices), f.after, f.before, options.durable, &renamed);
    if (m == Moved::Missing || m == Moved::Changed) {
      if (!abandon) changed_since(p, edit, f, m == Moved::Missing);
      if (left) left->push_back(f.file);
    }
    if (renamed && options.durable) folders.insert(parent_of(path));
  }
  for (const std::string& folder : folders) fsync_folder(folder);
  cut_log(p, edit.log_size);
  if (const int error = platform::remove_file(p.journal); error != 0 && error != ENOENT)
    throw_os_error(error, p.journal);
  if (options.durable) fsync_folder(p.folder);
}

std::string edit_title(const ClipEdit& edit) {
  std::string op = "?";
  try {
    const JsonValue line = parse_json(edit.log_line);
    if (const JsonValue* o = line.find("operation"); o && o->is_string()) op = o->text;
    if (const JsonValue* a = line.find("arguments"); a && a->is_object() && !a->members.empty())
      op += " " + dump_json(*a, -1);
  } catch (const ValueError&) {
  }
  return "correction " + std::to_string(edit.number) + " (" + op + ")";
}

// Under the editor lock: settles a journal left by a killed process.
std::optional<std::string> settle(const ClipPaths& p, bool abandon) {
  if (!exists(p.journal)) return std::nullopt;
  std::optional<ClipEdit> edit;
  try {
    edit = parse_clip_edit(read_file(p.journal), p.journal);
  } catch (const ValueError&) {
    if (!abandon) throw;
  }
  if (!edit) {
    if (const int error = platform::remove_file(p.journal)) throw_os_error(error, p.journal);
    return "Removed the unreadable journal of an unfinished correction of " + repr_text(p.dir) +
           "; its files were left as they are";
  }
  if (abandon) {
    std::vector<std::string> left;
    run_back(p, *edit, true, &left, {});
    std::string text = "Gave up the unfinished " + edit_title(*edit) + " of " + repr_text(p.dir);
    if (!left.empty()) {
      text += "; left as they are:";
      for (const std::string& f : left) text += " " + repr_text(f);
    }
    return text;
  }
  if (edit->direction == ClipEdit::Direction::Forward) {
    run_forward(p, *edit, nullptr, {});
    return "Finished the interrupted " + edit_title(*edit) + " of " + repr_text(p.dir);
  }
  run_back(p, *edit, false, nullptr, {});
  return "Rolled back the interrupted " + edit_title(*edit) + " of " + repr_text(p.dir);
}

// An editor's hold on a clip folder: the lock, and any unfinished edit
// settled first.
class EditSession {
 public:
  EditSession(const std::string& clip_dir, const std::string& operation) : p_(clip_dir) {
    require_folder(p_.dir);
    lock_.emplace(p_, operation, false);
    if (auto done = settle(p_, false)) print_line(*done);
  }
  const ClipPaths& paths() const { return p_; }

  // Removes the temporaries that killed writers left beside `files`.
  void sweep(const std::vector<std::string>& files) const {
    std::set<std::string> folders;
    for (const std::string& f : files) folders.insert(parent_of(f));
    for (const std::string& folder : folders)
      remove_stale_temporaries(folder, [](std::string_view name) { return name.ends_with(".json"); });
  }

  // Runs `edit` (its log line and number set) on files whose current
  // bytes are `before`; on any failure the files go back as they were.
  void commit(ClipEdit& edit, const std::vector<Current>& before, const EditOptions& options) {
    AtomicWriteOptions jo;
    jo.sync = options.durable;
    write_file_atomically(p_.journal, serialize_clip_edit(edit), jo);
    if (options.durable) fsync_folder(p_.folder);
    try {
      run_forward(p_, edit, &before, options);
    } catch (...) {
      // Marked first, so that a kill during the rollback still ends in it.
      try {
        edit.direction = ClipEdit::Direction::Back;
        write_file_atomically(p_.journal, serialize_clip_edit(edit), jo);
        run_back(p_, edit, false, nullptr, options);
      } catch (...) {
      }
      throw;
    }
  }

 private:
  ClipPaths p_;
  std::optional<EditorLock> lock_;
};

// ----------------------------------------------------------- planning

std::string range_text(const IdEdit& s) {
  if (!s.from_frame && !s.to_frame) return "of the clip";
  std::string t = "from ";
  t += s.from_frame ? "frame " + std::to_string(*s.from_frame) : "the start";
  t += " to ";
  t += s.to_frame ? "frame " + std::to_string(*s.to_frame) : "the end";
  return t;
}

bool in_range(const IdEdit& s, int64_t frame) {
  return (!s.from_frame || frame >= *s.from_frame) && (!s.to_frame || frame <= *s.to_frame);
}

void check_request(const EditRequest& r) {
  for (const IdEdit& s : r.steps) {
    const bool two = s.kind != IdEditKind::Drop;
    for (int64_t id : two ? std::vector<int64_t>{s.first, s.second} : std::vector<int64_t>{s.first})
      if (id < 1)
        throw ValueError(expected_got("object ids from 1 (the mask key Box0 is object id 1)", std::to_string(id)));
    if (two && s.first == s.second) {
      const std::string id = std::to_string(s.first);
      switch (s.kind) {
        case IdEditKind::Swap: throw ValueError("cannot swap object id " + id + " with itself");
        case IdEditKind::Relabel: throw ValueError("cannot relabel object id " + id + " as itself");
        default: throw ValueError("cannot merge object id " + id + " into itself");
      }
    }
    for (const auto& [v, name] : {std::pair{s.from_frame, "from_frame"}, std::pair{s.to_frame, "to_frame"}})
      if (v && *v < 0)
        throw ValueError(expected_got(std::string("a frame number of at least 0 for ") + name, std::to_string(*v)));
    if (s.from_frame && s.to_frame && *s.from_frame > *s.to_frame)
      throw ValueError(expected_got("from_frame at most to_frame", "from_frame " + std::to_string(*s.from_frame) +
                                                                         " and to_frame " + std::to_string(*s.to_frame)));
  }
}

// One detection as the steps see it: its place in the file, its id (none
// without "object_id") and the detections merged into it.
struct Element {
  size_t orig = 0;
  std::optional<int64_t> id;
  std::vector<size_t> absorbed;
};

struct StepSeen {
  bool first = false, second = false, conflict = false;
};

// The plan for one file.
struct FilePlan {
  std::string path;
  int64_t frame = 0;
  bool in_scope = false;
  std::set<int64_t> ids;  // before the edit
  std::vector<StepSeen> seen;
  bool changed = false;
  std::string before, after, before_hash, after_hash;
  std::vector<Splice> splices;
};

bool has(const std::vector<Element>& e, int64_t id) {
  return std::any_of(e.begin(), e.end(), [&](const Element& x) { return x.id == id; });
}

void remove_id(std::vector<Element>& e, int64_t id) {
  e.erase(std::remove_if(e.begin(), e.end(), [&](const Element& x) { return x.id == id; }), e.end());
}

void relabel(std::vector<Element>& e, int64_t from, int64_t to) {
  for (Element& x : e)
    if (x.id == from) x.id = to;
}

void apply_step(const IdEdit& s, std::vector<Element>& e, StepSeen& seen) {
  const bool first = has(e, s.first), second = s.kind != IdEditKind::Drop && has(e, s.second);
  seen.first = seen.first || first;
  seen.second = seen.second || second;
  switch (s.kind) {
    case IdEditKind::Swap:
      for (Element& x : e) {
        if (x.id == s.first) {
          x.id = s.second;
        } else if (x.id == s.second) {
          x.id = s.first;
        }
      }
      return;
    case IdEditKind::Relabel:
      if (first && second) {
        seen.conflict = true;
        return;
      }
      relabel(e, s.first, s.second);
      return;
    case IdEditKind::Drop: remove_id(e, s.first); return;
    case IdEditKind::Merge:
      if (!second) return;
      if (!first) {
        relabel(e, s.second, s.first);
        return;
      }
      switch (s.on_conflict) {
        case MergeConflict::Refuse: seen.conflict = true; return;
        case MergeConflict::Keep: remove_id(e, s.second); return;
        case MergeConflict::Other:
          remove_id(e, s.first);
          relabel(e, s.second, s.first);
          return;
        case MergeConflict::Union: {
          // Into the last detection of the kept id, the one readers keep.
          size_t into = 0;
          for (size_t k = 0; k < e.size(); ++k)
            if (e[k].id == s.first) into = k;
          for (const Element& x : e)
            if (x.id == s.second) {
              e[into].absorbed.push_back(x.orig);
              e[into].absorbed.insert(e[into].absorbed.end(), x.absorbed.begin(), x.absorbed.end());
            }
          remove_id(e, s.second);
          return;
        }
      }
  }
}

std::string where_in(const std::string& path, const std::string& member) {
  return member + " of the annotation file " + repr_text(path);
}

// The detections' list of a parsed annotation file, checked as the loaders
// check it, and each detection's id.
std::vector<std::optional<int64_t>> ids_of(const JsonValue& doc, const std::string& path) {
  if (!doc.is_object()) throw TypeError(expected_got("a JSON object in the annotation file " + repr_text(path), doc.type_name()));
  const JsonValue* dets = doc.find("detections");
  if (!dets) throw ValueError("no \"detections\" in the annotation file " + repr_text(path));
  if (!dets->is_array())
    throw TypeError(expected_got("a list for " + where_in(path, "\"detections\""), dets->type_name()));
  std::vector<std::optional<int64_t>> ids;
  for (size_t k = 0; k < dets->items.size(); ++k) {
    const JsonValue& d = dets->items[k];
    const std::string where = "\"detections\"[" + std::to_string(k) + "]";
    if (!d.is_object()) throw TypeError(expected_got("an object for " + where_in(path, where), d.type_name()));
    const JsonValue* id = d.find("object_id");
    if (!id) {
      ids.emplace_back();
      continue;
    }
    if (id->kind != JsonValue::Kind::Int)
      throw TypeError(expected_got("an integer for " + where_in(path, where + "[\"object_id\"]"), id->type_name()));
    if (id->big_int || id->integer == INT64_MIN)
      throw ValueError(expected_got("an object id within 64-bit integers for " + where_in(path, where + "[\"object_id\"]"),
                                    id->big_int ? id->text : std::to_string(id->integer)));
    ids.emplace_back(id->integer);
  }
  return ids;
}

// The last box of a detection's "xyxy", when it has one of four numbers.
const JsonValue* last_box(const JsonValue& det) {
  const JsonValue* xyxy = det.find("xyxy");
  if (!xyxy || !xyxy->is_array() || xyxy->items.empty()) return nullptr;
  const JsonValue& b = xyxy->items.back();
  if (!b.is_array() || b.items.size() != 4) return nullptr;
  for (const JsonValue& v : b.items)
    if (!v.is_number() || v.big_int) return nullptr;
  return &b;
}

double number_of(const JsonValue& v) { return v.kind == JsonValue::Kind::Float ? v.number : static_cast<double>(v.integer); }

// The file written whole: the kept detections, merged ones united.
std::string rewritten(JsonValue doc, const std::vector<Element>& elements, std::string_view original,
                      const std::string& path) {
  JsonValue* dets = doc.find("detections");
  const std::vector<JsonValue> items = std::move(dets->items);
  dets->items.clear();
  for (const Element& e : elements) {
    JsonValue det = items[e.orig];
    if (e.id) det.find("object_id")->integer = *e.id;
    for (size_t k : e.absorbed) {
      const JsonValue& other = items[k];
      JsonValue* polys = det.find("formatted_polygon");
      const JsonValue* more = other.find("formatted_polygon");
      if (!polys || !polys->is_array() || !more || !more->is_array())
        throw TypeError("cannot unite detections without a list of \"formatted_polygon\" in the annotation file " +
                        repr_text(path));
      polys->items.insert(polys->items.end(), more->items.begin(), more->items.end());
      const JsonValue* box = last_box(det);
      const JsonValue* other_box = last_box(other);
      if (!other_box) continue;
      if (!box) {
        JsonValue* xyxy = det.find("xyxy");
        JsonValue list = JsonValue::array_value({*other_box});
        if (xyxy) {
          *xyxy = std::move(list);
        } else {
          det.members.emplace_back("xyxy", std::move(list));
        }
        continue;
      }
      JsonValue& b = det.find("xyxy")->items.back();
      for (size_t c = 0; c < 4; ++c) {
        const bool low = c < 2;
        const double mine = number_of(b.items[c]), theirs = number_of(other_box->items[c]);
        if (low ? theirs < mine : theirs > mine) b.items[c] = other_box->items[c];
      }
    }
    dets->items.push_back(std::move(det));
  }
  const bool one_line = original.find('\n') == std::string_view::npos;
  return dump_json(doc, one_line ? -1 : 4);
}

// The splices that keep `elements` (in file order) of a layout and set
// their ids: changed id values replaced, the detections no longer there cut
// out with the separators between them.
std::vector<Splice> splices_for(std::string_view text, const AnnotationLayout& layout,
                                const std::vector<Element>& elements, const std::vector<std::optional<int64_t>>& ids) {
  std::vector<Splice> out;
  const auto& d = layout.detections;
  auto cut = [&](size_t begin, size_t end) {
    if (end > begin) out.push_back(Splice{begin, std::string(text.substr(begin, end - begin)), {}});
  };
  if (elements.empty()) {
    cut(layout.list->begin + 1, layout.list->end - 1);
    return out;
  }
  // Kept: the blanks after "[", the first kept item; then each later kept
  // item with the separator before it; then the blanks before "]".
  cut(d.front().value.begin, d[elements.front().orig].value.begin);
  for (size_t j = 0; j < elements.size(); ++j) {
    const Element& e = elements[j];
    if (j > 0) cut(d[elements[j - 1].orig].value.end, d[e.orig - 1].value.end);
    if (e.id != ids[e.orig]) {
      const TextSpan span = *d[e.orig].object_id;
      out.push_back(Splice{span.begin, std::string(text.substr(span.begin, span.end - span.begin)),
                           std::to_string(*e.id)});
    }
  }
  cut(d[elements.back().orig].value.end, d.back().value.end);
  return out;
}

void plan_file(FilePlan& plan, const std::vector<IdEdit>& steps) {
  plan.before = read_file(plan.path);
  std::string_view text(plan.before);
  const size_t bom = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  const JsonValue doc = parse_json(text.substr(bom), repr_text(plan.path));
  const std::vector<std::optional<int64_t>> ids = ids_of(doc, plan.path);
  const AnnotationLayout layout = locate_detections(text);
  if (!layout.list || layout.detections.size() != ids.size())
    throw ValueError("cannot locate the detections in the bytes of the annotation file " + repr_text(plan.path));
  std::vector<Element> elements;
  for (size_t k = 0; k < ids.size(); ++k) {
    elements.push_back(Element{k, ids[k], {}});
    if (ids[k]) plan.ids.insert(*ids[k]);
  }
  plan.seen.resize(steps.size());
  for (size_t s = 0; s < steps.size(); ++s)
    if (in_range(steps[s], plan.frame)) apply_step(steps[s], elements, plan.seen[s]);
  bool merged = false;
  plan.changed = elements.size() != ids.size();
  for (const Element& e : elements) {
    merged = merged || !e.absorbed.empty();
    plan.changed = plan.changed || e.id != ids[e.orig];
  }
  if (!plan.changed) return;
  if (merged) {
    plan.after = rewritten(doc, elements, text, plan.path);
    plan.splices = {Splice{0, plan.before, plan.after}};
    return;
  }
  plan.splices = splices_for(text, layout, elements, ids);
  plan.after = apply_splices(text, plan.splices, plan.path);
  // Ids of different lengths that leave the file's length as it was (a
  // swap of 9 and 10) shift the bytes between them: one splice over the
  // region, which is then written in place.
  if (plan.after.size() == plan.before.size() && !in_place(plan.splices)) {
    const size_t begin = plan.splices.front().at;
    const size_t end = plan.splices.back().at + plan.splices.back().old_text.size();
    plan.splices = {Splice{begin, plan.before.substr(begin, end - begin), plan.after.substr(begin, end - begin)}};
  }
}

int64_t frame_number_of(const std::string& path) {
  const std::string digits = frame_index_of(path);
  int64_t v = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (ec != std::errc() || end != digits.data() + digits.size())
    throw ValueError("the frame number of " + repr_text(path) + " does not fit in 64 bits");
  return v;
}

std::string relative_to(const ClipPaths& p, const std::string& path) {
  const std::string prefix = path_join(p.dir, "");
  return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
}

std::string ids_text(const std::set<int64_t>& ids) {
  if (ids.empty()) return "none";
  const int64_t lo = *ids.begin(), hi = *ids.rbegin();
  if (ids.size() > 2 && static_cast<uint64_t>(hi - lo) + 1 == ids.size())
    return std::to_string(lo) + " to " + std::to_string(hi);
  std::string t;
  for (int64_t id : ids) t += (t.empty() ? "" : ", ") + std::to_string(id);
  return t;
}

std::string frames_text(const std::vector<int64_t>& frames) {
  std::string t;
  constexpr size_t kShown = 10;
  for (size_t k = 0; k < std::min(frames.size(), kShown); ++k) t += (k ? ", " : "") + std::to_string(frames[k]);
  if (frames.size() > kShown) t += " and " + std::to_string(frames.size() - kShown) + " more";
  return t;
}

// Refuses a step whose ids no file of its range holds, or that would put
// two detections of one id into a frame.
void check_step(const ClipPaths& p, const IdEdit& s, size_t index, const std::vector<FilePlan>& plans) {
  bool first = false, second = false, any_file = false;
  std::set<int64_t> ids;
  std::vector<int64_t> conflicts;
  for (const FilePlan& f : plans) {
    if (!f.in_scope || !in_range(s, f.frame)) continue;
    any_file = true;
    first = first || f.seen[index].first;
    second = second || f.seen[index].second;
    ids.insert(f.ids.begin(), f.ids.end());
    if (f.seen[index].conflict) conflicts.push_back(f.frame);
  }
  const std::string where = range_text(s) + " of " + repr_text(p.dir);
  if (!any_file) throw ValueError("no annotation file " + where);
  const std::string there = " (the ids there: " + ids_text(ids) + ")";
  const std::string a = std::to_string(s.first), b = std::to_string(s.second);
  switch (s.kind) {
    case IdEditKind::Swap:
      if (!first && !second)
        throw ValueError("neither object id " + a + " nor " + b + " is in any annotation file " + where + there);
      // With one of them missing, a swap is a relabel: most likely a wrong id.
      if (!first || !second)
        throw ValueError("object id " + (first ? b : a) + " is in no annotation file " + where + there +
                         ", so there is nothing to swap " + (first ? a : b) +
                         " with; to give it a new id there, relabel it (relabel_track, fix relabel)");
      return;
    case IdEditKind::Relabel:
      if (!first) throw ValueError("object id " + a + " is in no annotation file " + where + there);
      if (!conflicts.empty())
        throw ValueError("cannot relabel object id " + a + " as " + b + ": " + b + " is there too in " +
                         std::to_string(conflicts.size()) + " frame(s) (" + frames_text(conflicts) +
                         "), which would then hold two detections of " + b +
                         "; merge the two tracks instead (merge_tracks, fix merge; on_conflict says which to keep), "
                         "or drop one of them there first");
      return;
    case IdEditKind::Drop:
      if (!first) throw ValueError("object id " + a + " is in no annotation file " + where + there);
      return;
    case IdEditKind::Merge:
      for (const auto& [present, id] : {std::pair{first, a}, std::pair{second, b}})
        if (!present) throw ValueError("object id " + id + " is in no annotation file " + where + there);
      if (!conflicts.empty())
        throw ValueError("object ids " + a + " and " + b + " are both present in " + std::to_string(conflicts.size()) +
                         " frame(s) (" + frames_text(conflicts) + "); say which detection to keep there: " +
                         "on_conflict=\"keep\" (" + a + "'s), \"other\" (" + b + "'s) or \"union\" (one detection " +
                         "of both outlines), --on-conflict of fix merge");
      return;
  }
}

LoggedEdit new_entry(int64_t number, const std::string& operation, const JsonValue& arguments) {
  LoggedEdit e;
  e.number = number;
  e.time = utc_now();
  e.operation = operation;
  e.arguments = arguments;
  return e;
}

// The journal of an edit whose files are `changes`, and its audit entry.
ClipEdit journal_of(LoggedEdit& entry, const std::string& log_text, std::vector<FileChange>&& changes) {
  for (const FileChange& f : changes) entry.files.push_back(LoggedFile{f.file, f.frame, f.before, f.after});
  ClipEdit edit;
  edit.number = entry.number;
  edit.log_size = log_text.size();
  edit.log_line = log_line_of(entry);
  edit.files = std::move(changes);
  return edit;
}

}  // namespace

LoggedEdit edit_clip(const std::string& clip_dir, const EditRequest& request, const EditOptions& options) {
  check_request(request);
  const ClipPaths paths(clip_dir);
  // Refused before the folder gets its lock.
  if (list_annotation_files(paths.dir).empty()) {
    platform::FileStatus status;
    if (const int error = platform::file_status(paths.dir, true, status)) throw_os_error(error, paths.dir);
    throw ValueError("no annotation files (output_pp_<frame>.json) below " + repr_text(paths.dir));
  }
  EditSession session(clip_dir, request.operation);
  const ClipPaths& p = session.paths();
  const std::vector<std::string> files = list_annotation_files(p.dir);
  std::vector<FilePlan> plans(files.size());
  for (size_t k = 0; k < files.size(); ++k) {
    plans[k].path = files[k];
    plans[k].frame = frame_number_of(files[k]);
    plans[k].in_scope = std::any_of(request.steps.begin(), request.steps.end(),
                                    [&](const IdEdit& s) { return in_range(s, plans[k].frame); });
  }
  session.sweep(files);
  const auto in_scope = std::count_if(plans.begin(), plans.end(), [](const FilePlan& f) { return f.in_scope; });
  for_each_in_parallel(plans.size(), in_scope > 64 ? 0 : 1, [&](size_t k) {
    FilePlan& f = plans[k];
    if (!f.in_scope) return;
    plan_file(f, request.steps);
    if (!f.changed) {
      f.before = std::string();
      return;
    }
    f.before_hash = sha256_hex(f.before);
    f.after_hash = sha256_hex(f.after);
    f.after.clear();
    f.after.shrink_to_fit();
  });
  for (size_t s = 0; s < request.steps.size(); ++s) check_step(p, request.steps[s], s, plans);

  std::vector<FileChange> changes;
  std::vector<Current> before;
  for (FilePlan& f : plans) {
    if (!f.changed) continue;
    changes.push_back(FileChange{relative_to(p, f.path), f.frame, f.before_hash, f.after_hash, std::move(f.splices)});
    before.push_back(Current{std::move(f.before), f.before_hash});
  }
  if (changes.empty()) throw ValueError("the correction changes no annotation file of " + repr_text(p.dir));
  const std::string log_text = read_log(p);
  LoggedEdit entry = new_entry(next_edit_number(p, log_text), request.operation, request.arguments);
  ClipEdit edit = journal_of(entry, log_text, std::move(changes));
  session.commit(edit, before, options);
  return entry;
}

LoggedEdit undo_clip_edit(const std::string& clip_dir, const EditOptions& options) {
  {
    // Refused before the folder gets its lock.
    const ClipPaths paths(clip_dir);
    platform::FileStatus status;
    if (const int error = platform::file_status(paths.dir, true, status)) throw_os_error(error, paths.dir);
    if (!exists(paths.log) && !exists(paths.journal))
      throw ValueError("nothing to undo in " + repr_text(paths.dir) + ": it has no corrections log");
  }
  EditSession session(clip_dir, "undo");
  const ClipPaths& p = session.paths();
  const std::string log_text = read_log(p);
  const std::vector<LoggedEdit> entries = parse_corrections_log(log_text, p.log);
  const LoggedEdit* target = nullptr;
  for (const LoggedEdit& e : entries)
    if (e.operation != "undo" && !e.undone_by) target = &e;
  if (!target)
    throw ValueError("nothing to undo in " + repr_text(p.dir) + ": " +
                     (entries.empty() ? std::string("its corrections log lists no correction") : "every correction is undone"));
  const std::string record_path = p.record(target->number);
  if (!exists(record_path))
    throw FileNotFoundError("cannot undo correction " + std::to_string(target->number) + " of " + repr_text(p.dir) +
                            ": its record " + repr_text(record_path) + " is gone");
  const ClipEdit record = parse_clip_edit(read_file(record_path), record_path);
  std::vector<std::string> paths;
  for (const FileChange& f : record.files) paths.push_back(p.file(f.file));
  session.sweep(paths);
  std::vector<FileChange> changes;
  std::vector<Current> before;
  for (const FileChange& f : record.files) {
    const std::string path = p.file(f.file);
    const Current c = current_of(path);
    if (!c.bytes || c.hash != f.after)
      throw ValueError("cannot undo correction " + std::to_string(target->number) + " of " + repr_text(p.dir) + ": " +
                       repr_text(f.file) + (c.bytes ? " has changed since" : " is gone") + "; nothing was changed");
    std::vector<Splice> back = reverse_splices(f.splices);
    std::string restored = apply_splices(*c.bytes, back, path);
    if (sha256_hex(restored) != f.before)
      throw ValueError("the record of correction " + std::to_string(target->number) + " does not give the bytes it names for " +
                       repr_text(f.file));
    changes.push_back(FileChange{f.file, f.frame, f.after, f.before, std::move(back)});
    before.push_back(c);
  }
  const JsonValue arguments = JsonValue::object_value({{"edit", JsonValue::integer_value(target->number)}});
  LoggedEdit entry = new_entry(next_edit_number(p, log_text), "undo", arguments);
  entry.undoes = target->number;
  ClipEdit edit = journal_of(entry, log_text, std::move(changes));
  session.commit(edit, before, options);
  return entry;
}

std::vector<LoggedEdit> clip_edit_history(const std::string& clip_dir) {
  const ClipPaths p(clip_dir);
  ClipReadGuard guard(clip_dir);
  return parse_corrections_log(read_log(p), p.log);
}

std::optional<std::string> recover_clip_edit(const std::string& clip_dir, bool abandon) {
  const ClipPaths p(clip_dir);
  if (!exists(p.journal)) return std::nullopt;
  EditorLock lock(p, abandon ? "recover --abandon" : "recover", true);
  return settle(p, abandon);
}

ClipReadGuard::ClipReadGuard(const std::string& clip_dir) {
  const ClipPaths p(clip_dir);
  lock_path_ = p.lock;
  for (;;) {
    if (!exists(p.lock) && !exists(p.journal)) return;  // never edited
    if (exists(p.lock)) {
      try {
        lock_.emplace(p.lock, false);
      } catch (const OSError&) {
        // Unreadable: this process could not finish an edit either.
        if (exists(p.journal))
          throw OSError("the clip folder " + repr_text(p.dir) + " holds an unfinished correction; " + recover_hint(p) +
                            " as a user who can write it",
                        EACCES);
        return;
      }
      const auto deadline = std::chrono::steady_clock::now() + kWait;
      while (!lock_->try_lock(FileLock::Mode::Shared)) {
        if (std::chrono::steady_clock::now() > deadline)
          throw OSError("gave up waiting for the correction of the clip folder " + repr_text(p.dir) + " by " +
                            holder_of(lock_->read_note()).text() + " to end",
                        EBUSY);
        check_interrupt();
        std::this_thread::sleep_for(kPoll);
      }
      if (!exists(p.journal)) return;
      lock_.reset();
    }
    try {
      if (auto done = recover_clip_edit(clip_dir, false)) print_line(*done);
    } catch (const OSError& e) {
      throw OSError(std::string(e.what()) + "; the clip folder " + repr_text(p.dir) +
                        " holds an unfinished correction that this process cannot finish: " + recover_hint(p) +
                        " as a user who can write it",
                    e.error_number);
    }
  }
}

bool ClipReadGuard::steady() const { return lock_.has_value() || !exists(lock_path_); }

}  // namespace mirelo
