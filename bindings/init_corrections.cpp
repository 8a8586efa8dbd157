// Corrections of identities in a clip folder (mirelo_utils._core._corrections):
// the compiled halves of mirelo_utils' swap_identities, relabel_track,
// merge_tracks, drop_track, apply_page_advice, undo, history and the
// recovery of an interrupted correction.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "convert.hpp"
#include "pen/corrections.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

JsonValue json_frame(const std::optional<int64_t>& v) { return v ? JsonValue::integer_value(*v) : JsonValue{}; }

const char* conflict_name(MergeConflict c) {
  switch (c) {
    case MergeConflict::Keep: return "keep";
    case MergeConflict::Other: return "other";
    case MergeConflict::Union: return "union";
    case MergeConflict::Refuse: break;
  }
  return nullptr;
}

// A step's arguments as the audit log names them, those of its Python call.
JsonValue step_arguments(const IdEdit& s) {
  switch (s.kind) {
    case IdEditKind::Swap:
      return JsonValue::object_value({{"a", JsonValue::integer_value(s.first)}, {"b", JsonValue::integer_value(s.second)}, {"from_frame", json_frame(s.from_frame)},
                          {"to_frame", json_frame(s.to_frame)}});
    case IdEditKind::Relabel:
      return JsonValue::object_value({{"old", JsonValue::integer_value(s.first)}, {"new", JsonValue::integer_value(s.second)},
                          {"from_frame", json_frame(s.from_frame)}, {"to_frame", json_frame(s.to_frame)}});
    case IdEditKind::Drop:
      return JsonValue::object_value({{"object_id", JsonValue::integer_value(s.first)}, {"from_frame", json_frame(s.from_frame)},
                          {"to_frame", json_frame(s.to_frame)}});
    case IdEditKind::Merge: {
      JsonValue c;
      if (const char* name = conflict_name(s.on_conflict)) {
        c.kind = JsonValue::Kind::String;
        c.text = name;
      }
      return JsonValue::object_value({{"keep", JsonValue::integer_value(s.first)}, {"other", JsonValue::integer_value(s.second)}, {"on_conflict", c}});
    }
  }
  return {};
}

std::optional<int64_t> optional_frame(nb::handle v, const char* what) {
  if (v.is_none()) return std::nullopt;
  return to_integer(v, what);
}

IdEdit to_step(nb::handle t) {
  const std::string kind = to_utf8(t[0], "the kind of a step");
  IdEdit s;
  if (kind == "swap") {
    s.kind = IdEditKind::Swap;
  } else if (kind == "relabel") {
    s.kind = IdEditKind::Relabel;
  } else if (kind == "merge") {
    s.kind = IdEditKind::Merge;
  } else if (kind == "drop") {
    s.kind = IdEditKind::Drop;
  } else {
    throw ValueError(expected_got("a step swap, relabel, merge or drop", repr_text(kind)));
  }
  s.first = to_integer(t[1], "an object id");
  s.second = to_integer(t[2], "an object id");
  s.from_frame = optional_frame(t[3], "from_frame");
  s.to_frame = optional_frame(t[4], "to_frame");
  nb::handle conflict = t[5];
  if (!conflict.is_none()) {
    const std::string c = to_utf8(conflict, "on_conflict");
    if (c == "keep") {
      s.on_conflict = MergeConflict::Keep;
    } else if (c == "other") {
      s.on_conflict = MergeConflict::Other;
    } else if (c == "union") {
      s.on_conflict = MergeConflict::Union;
    } else {
      throw ValueError(expected_got("on_conflict \"keep\", \"other\", \"union\" or None", repr_text(c)));
    }
  }
  return s;
}

nb::dict entry_dict(const LoggedEdit& e) {
  nb::dict out;
  out["edit"] = e.number;
  out["time"] = str_of(e.time);
  out["operation"] = str_of(e.operation);
  out["arguments"] = json_to_py(e.arguments);
  nb::list files;
  for (const LoggedFile& f : e.files)
    files.append(nb::make_tuple(path_str(f.file), f.frame, str_of(f.before), str_of(f.after)));
  out["files"] = files;
  out["undoes"] = e.undoes ? nb::object(nb::int_(*e.undoes)) : nb::none();
  out["undone_by"] = e.undone_by ? nb::object(nb::int_(*e.undone_by)) : nb::none();
  return out;
}

nb::dict edit(nb::handle clip_dir, nb::handle operation, nb::handle steps, nb::handle grouped, nb::handle durable) {
  EditRequest request;
  request.operation = to_utf8(operation, "operation");
  const std::string dir = to_path(clip_dir, "clip_dir");
  for (nb::handle t : steps) request.steps.push_back(to_step(t));
  if (!to_bool(grouped)) {
    if (request.steps.size() != 1) throw ValueError(expected_got("one step", std::to_string(request.steps.size())));
    request.arguments = step_arguments(request.steps.front());
  } else {
    JsonValue list;
    list.kind = JsonValue::Kind::Array;
    for (const IdEdit& s : request.steps) list.items.push_back(step_arguments(s));
    request.arguments = JsonValue::object_value({{"steps", list}});
  }
  EditOptions options;
  options.durable = to_bool(durable);
  LoggedEdit entry;
  {
    nb::gil_scoped_release release;
    entry = edit_clip(dir, request, options);
  }
  return entry_dict(entry);
}

nb::dict undo(nb::handle clip_dir, nb::handle durable) {
  const std::string dir = to_path(clip_dir, "clip_dir");
  EditOptions options;
  options.durable = to_bool(durable);
  LoggedEdit entry;
  {
    nb::gil_scoped_release release;
    entry = undo_clip_edit(dir, options);
  }
  return entry_dict(entry);
}

nb::list history(nb::handle clip_dir) {
  const std::string dir = to_path(clip_dir, "clip_dir");
  std::vector<LoggedEdit> entries;
  {
    nb::gil_scoped_release release;
    entries = clip_edit_history(dir);
  }
  nb::list out;
  for (const LoggedEdit& e : entries) out.append(entry_dict(e));
  return out;
}

nb::object recover(nb::handle clip_dir, nb::handle abandon) {
  const std::string dir = to_path(clip_dir, "clip_dir");
  const bool give_up = to_bool(abandon);
  std::optional<std::string> done;
  {
    nb::gil_scoped_release release;
    done = recover_clip_edit(dir, give_up);
  }
  return done ? nb::object(str_of(*done)) : nb::none();
}

}  // namespace

void init_corrections(nb::module_& m) {
  nb::module_ c = m.def_submodule("_corrections", "Corrections of identities in a clip folder of annotation files.");
  c.def("edit", &edit, "clip_dir"_a, "operation"_a, "steps"_a, "grouped"_a, "durable"_a,
        nb::sig("def edit(clip_dir: str | os.PathLike[str], operation: str, "
                "steps: collections.abc.Sequence[tuple[str, int, int, int | None, int | None, str | None]], "
                "grouped: bool, durable: bool) -> dict[str, typing.Any]"),
        "Applies the steps (kind, first id, second id, from_frame, to_frame, on_conflict) to\n"
        "every annotation file below clip_dir as one correction, logged under `operation`\n"
        "with the arguments of its one step, or {\"steps\": [...]} when grouped.\n\n"
        "Returns:\n"
        "    The audit-log entry: \"edit\", \"time\", \"operation\", \"arguments\", \"files\"\n"
        "    ((file, frame, sha256 before, sha256 after) per changed file), \"undoes\",\n"
        "    \"undone_by\".\n\n"
        "Raises:\n"
        "    ValueError: a bad id or frame, an id in no file of the range, a conflict.\n"
        "    OSError: the folder cannot be written, or another process edits it.");
  c.def("undo", &undo, "clip_dir"_a, "durable"_a,
        nb::sig("def undo(clip_dir: str | os.PathLike[str], durable: bool) -> dict[str, typing.Any]"),
        "Reverts the newest correction not undone yet; returns the undo's audit-log entry.");
  c.def("history", &history, "clip_dir"_a,
        nb::sig("def history(clip_dir: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
        "The audit-log entries of clip_dir, oldest first.");
  c.def("recover", &recover, "clip_dir"_a, "abandon"_a,
        nb::sig("def recover(clip_dir: str | os.PathLike[str], abandon: bool) -> str | None"),
        "Finishes or rolls back an interrupted correction; with abandon, gives it up.\n"
        "Returns what was done, or None when nothing was unfinished.");
}

}  // namespace mirelo::py
