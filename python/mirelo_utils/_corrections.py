"""Corrections of identities across a tracked clip's annotation files.

The edits (swap, relabel, merge, drop, undo) are made by the compiled core
(``_core._corrections``): all or nothing across the files, journaled, locked
against a second editor, logged in the clip folder's ``corrections.jsonl``.
This module checks the Python arguments, turns the log's entries into
``Correction`` records, and finds the swaps the identity-health page marks
(``apply_page_advice``).
"""

from __future__ import annotations

import numbers
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Mapping, Optional, Union

from ._core import _corrections as _engine  # type: ignore[attr-defined]  # private submodule

if TYPE_CHECKING:
    from ._clip import Clip

__all__ = [
    "Correction",
    "LOG_NAME",
    "apply_page_advice",
    "drop_track",
    "frames_text",
    "history",
    "merge_tracks",
    "page_swaps",
    "recover_clip",
    "relabel_track",
    "swap_identities",
    "undo",
]

#: The audit log of a clip folder's corrections, one JSON line per edit.
LOG_NAME = "corrections.jsonl"

PathLike = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Correction:
    """One edit of a clip folder, as its audit log records it.

    Attributes:
        edit: Its number in the clip's log (1, 2, ...).
        time: When it was made, UTC, ISO 8601 ("2026-05-04T12:30:00Z").
        operation: "swap_identities", "relabel_track", "merge_tracks",
            "drop_track", "apply_page_advice" or "undo".
        arguments: The call's arguments (for an undo, {"edit": n}; for
            apply_page_advice, {"steps": [the swaps' arguments, ...]}).
        files: The annotation files it changed (the clip folder joined with
            each file's path in it), in load order.
        frames: Their frame numbers, in the same order.
        hashes: Per file, the SHA-256 (hex) of its bytes before and after.
        undoes: For an undo, the edit it reverted.
        undone_by: The undo that reverted this edit, if one did.
    """

    edit: int
    time: str
    operation: str
    arguments: Mapping[str, Any]
    files: tuple[str, ...]
    frames: tuple[int, ...]
    hashes: tuple[tuple[str, str], ...]
    undoes: Optional[int] = None
    undone_by: Optional[int] = None

    def arguments_text(self) -> str:
        """The arguments as "a=7 b=8 from_frame=59" (None left out), the
        steps of a page's advice separated by "; "."""
        def one(arguments: Mapping[str, Any]) -> str:
            return " ".join(f"{k}={v}" for k, v in arguments.items() if v is not None)

        if "steps" in self.arguments:
            return "; ".join(one(s) for s in self.arguments["steps"])
        return one(self.arguments)

    def describe(self) -> str:
        """One line: number, operation, arguments and what it changed."""
        return (f"{self.edit}: {self.operation} {self.arguments_text()}: {len(self.files)} file(s), "
                f"frames {frames_text(self.frames)}")


def frames_text(frames: tuple[int, ...]) -> str:
    """Frame numbers as runs: "59-599" or "3, 7-9"."""
    ordered = sorted(set(frames))
    runs: list[list[int]] = []
    for f in ordered:
        if runs and f == runs[-1][1] + 1:
            runs[-1][1] = f
        else:
            runs.append([f, f])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs) or "none"


def _correction(folder: str, entry: dict) -> Correction:
    return Correction(
        edit=entry["edit"],
        time=entry["time"],
        operation=entry["operation"],
        arguments=entry["arguments"],
        files=tuple(os.path.join(folder, f) for f, _, _, _ in entry["files"]),
        frames=tuple(frame for _, frame, _, _ in entry["files"]),
        hashes=tuple((before, after) for _, _, before, after in entry["files"]),
        undoes=entry["undoes"],
        undone_by=entry["undone_by"],
    )


def _folder(clip_dir: Any) -> str:
    if not isinstance(clip_dir, (str, os.PathLike)):
        raise TypeError(f"expected a clip folder (str or os.PathLike) for clip_dir, got {type(clip_dir).__name__}")
    folder = os.fspath(clip_dir)
    if isinstance(folder, bytes):
        folder = os.fsdecode(folder)
    if not folder:
        raise ValueError("expected a clip folder for clip_dir, got an empty text")
    return folder


def _id(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"expected a whole number (an \"object_id\") for {name}, got {type(value).__name__} {value!r}")
    number = int(value)
    if not 1 <= number < 1 << 63:
        raise ValueError(f"expected an object id from 1 to 2**63 - 1 for {name} (the mask key Box0 is object id 1), "
                         f"got {number}")
    return number


def _frame(value: Any, name: str) -> Optional[int]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"expected a frame number or None for {name}, got {type(value).__name__} {value!r}")
    number = int(value)
    if not 0 <= number < 1 << 63:
        raise ValueError(f"expected a frame number from 0 to 2**63 - 1 for {name}, got {number}")
    return number


def _edit(clip_dir: Any, operation: str, steps: list[tuple], durable: bool, grouped: bool = False) -> Correction:
    folder = _folder(clip_dir)
    return _correction(folder, _engine.edit(folder, operation, steps, grouped, bool(durable)))


def swap_identities(clip_dir: PathLike, a: int, b: int, from_frame: int, to_frame: Optional[int] = None, *,
                    durable: bool = False) -> Correction:
    """Exchanges two tracks' identities in a range of frames.

    In every annotation file of the clip whose frame number lies in
    ``[from_frame, to_frame]``, each detection with "object_id" ``a`` gets
    ``b`` and each with ``b`` gets ``a`` (the masks ``Box<a - 1>`` and
    ``Box<b - 1>`` of the loaders change places). The edit is all or nothing
    across the files and is logged in the folder's ``corrections.jsonl``;
    ``undo`` reverts it byte for byte. Only the id values change in the
    files: every other byte stays.

    Args:
        clip_dir: Folder of the clip's annotation files (``output_pp_<frame>.json``,
            found as the loaders find them).
        a, b: The two object ids (the files' "object_id" values, from 1).
        from_frame: First frame of the range (the number in the file names), inclusive.
        to_frame: Last frame, inclusive; None for the clip's end.
        durable: Flush every step to the disk, so that the edit also
            survives a power loss (it always survives the process being killed).

    Returns:
        The edit's ``Correction``: its number, the files and frames it changed.

    Raises:
        TypeError: an id or frame that is not a whole number.
        ValueError: ``a == b``, an id below 1, a negative frame,
            ``from_frame > to_frame``, no file in the range, an id that no
            file of the range holds (swapping with an absent id would only
            relabel the other), or a malformed annotation file (named).
        FileNotFoundError, OSError: the folder cannot be read or written,
            or another process is editing it (nothing is changed then).
    """
    steps = [("swap", _id(a, "a"), _id(b, "b"), _frame(from_frame, "from_frame"), _frame(to_frame, "to_frame"), None)]
    return _edit(clip_dir, "swap_identities", steps, durable)


def relabel_track(clip_dir: PathLike, old: int, new: int, from_frame: Optional[int] = None,
                  to_frame: Optional[int] = None, *, durable: bool = False) -> Correction:
    """Gives a track a new id in a range of frames.

    Every detection with "object_id" ``old`` in the files of frames
    ``from_frame`` to ``to_frame`` (inclusive; None for the clip's start or
    end) gets ``new``. A frame that already holds ``new`` as well is
    refused (it would hold two detections of one id): use ``merge_tracks``
    there. All or nothing, logged and undoable as ``swap_identities``.

    Raises:
        TypeError, ValueError, OSError: as ``swap_identities``; ValueError
            naming the frames that hold both ids.
    """
    steps = [("relabel", _id(old, "old"), _id(new, "new"), _frame(from_frame, "from_frame"),
              _frame(to_frame, "to_frame"), None)]
    return _edit(clip_dir, "relabel_track", steps, durable)


_CONFLICTS = (None, "keep", "other", "union")


def merge_tracks(clip_dir: PathLike, keep: int, other: int, *, on_conflict: Optional[str] = None,
                 durable: bool = False) -> Correction:
    """Makes two tracks of one animal one track, under the id ``keep``.

    Every detection of ``other`` in the clip gets the id ``keep``. A frame
    holding both is refused (naming the frames) unless ``on_conflict`` says
    what to keep there:

    - ``"keep"``: the detection of ``keep``; ``other``'s is dropped;
    - ``"other"``: the detection of ``other``, under the id ``keep``;
    - ``"union"``: one detection, ``keep``'s with ``other``'s outline
      polygons added and its last box widened to cover both. Such a file is
      written whole, as the library's annotation writers write (see the
      README), not byte for byte as it was.

    All or nothing, logged and undoable as ``swap_identities``.

    Raises:
        TypeError, ValueError, OSError: as ``swap_identities``; ValueError
            for an ``on_conflict`` other than those.
    """
    if on_conflict not in _CONFLICTS:
        raise ValueError(f"expected on_conflict None, \"keep\", \"other\" or \"union\", got {on_conflict!r}")
    steps = [("merge", _id(keep, "keep"), _id(other, "other"), None, None, on_conflict)]
    return _edit(clip_dir, "merge_tracks", steps, durable)


def drop_track(clip_dir: PathLike, object_id: int, from_frame: Optional[int] = None,
               to_frame: Optional[int] = None, *, durable: bool = False) -> Correction:
    """Removes a track's detections from the files of a range of frames.

    The detection entries with "object_id" ``object_id`` are cut out of the
    files of frames ``from_frame`` to ``to_frame`` (inclusive; None for the
    clip's start or end), with the separator next to them; everything else
    stays byte for byte. All or nothing, logged and undoable as
    ``swap_identities``.
    """
    steps = [("drop", _id(object_id, "object_id"), 0, _frame(from_frame, "from_frame"), _frame(to_frame, "to_frame"),
              None)]
    return _edit(clip_dir, "drop_track", steps, durable)


def undo(clip_dir: PathLike, *, durable: bool = False) -> Correction:
    """Reverts the newest correction of the clip that is not undone yet.

    The files it changed get back their very bytes from before it. Repeated
    calls step back through the corrections, newest first; an undo is itself
    logged ("undo") and is never undone by a later undo.

    Returns:
        The undo's ``Correction`` (``undoes`` names the reverted edit).

    Raises:
        ValueError: nothing left to undo, or a file changed since that
            correction (nothing is changed then).
        FileNotFoundError, OSError: as ``swap_identities``, or the edit's
            record in the hidden ``.corrections`` folder is gone.
    """
    folder = _folder(clip_dir)
    return _correction(folder, _engine.undo(folder, bool(durable)))


def history(clip_dir: PathLike) -> list[Correction]:
    """The corrections of the clip, oldest first, as ``corrections.jsonl``
    lists them (empty when it has none); an undone one has ``undone_by``.

    Raises:
        ValueError: a log line that is not a correction (naming the line).
    """
    folder = _folder(clip_dir)
    return [_correction(folder, entry) for entry in _engine.history(folder)]


def recover_clip(clip_dir: PathLike, *, abandon: bool = False) -> Optional[str]:
    """Finishes a correction that a killed process left unfinished (or
    finishes rolling it back, when it was being rolled back). Every reader
    and editor of the clip does this by itself when it can; this is for a
    user who can write the folder when the reader could not.

    With ``abandon``, gives up a correction that cannot be finished because a
    file has changed or gone since: the files it reached get their bytes from
    before it back where they still can, the others stay as they are.

    Returns:
        A line saying what was done, or None when nothing was unfinished.
    """
    folder = _folder(clip_dir)
    return _engine.recover(folder, bool(abandon))


def page_swaps(clip: Mapping, image_predictor: Any = None, *, intersection_thrr: float = 80,
               min_episode_frames: int = 2,
               progress: Optional[Callable[[str, int, int], None]] = None) -> list[tuple[int, int, int]]:
    """The swaps the identity-health page of ``clip`` marks: per overlap
    episode judged swapped, ``(a, b, from_frame)`` with the pair's object
    ids and the number of the first frame after the episode (where the
    page's evidence shows them exchanged), in order of the episodes."""
    from ._health import PageOptions, episodes, scan

    # Checked as the page checks them.
    options = PageOptions(intersection_thrr=intersection_thrr, min_episode_frames=min_episode_frames)
    step = progress or (lambda stage, done, total: None)
    frames = scan.scan_frames(clip, options.threshold, step)
    found = episodes.find_episodes(frames, options.min_episode_frames)
    reader = scan.FrameReader(clip, frames)
    swaps = []
    for ep in found:
        episodes.judge_episode(ep, frames, reader, image_predictor)
        if ep.swapped:
            ids = []
            for key in (frames.animals[ep.a], frames.animals[ep.b]):
                text = str(key)
                if not (text.startswith("Box") and text[3:].lstrip("-").isdigit()):
                    raise ValueError(f"expected mask keys Box<n> in the clip, got {key!r}")
                ids.append(int(text[3:]) + 1)
            after = clip[frames.keys[int(frames.frames.searchsorted(ep.after))]]
            swaps.append((ids[0], ids[1], int(after["frame_index"])))
    return swaps


def apply_page_advice(clip_dir: PathLike, image_predictor: Any = None, *, intersection_thrr: float = 80,
                      min_episode_frames: int = 2, durable: bool = False) -> Optional[Correction]:
    """Applies the swaps the identity-health page marks, and only those.

    The clip is opened and judged as ``clip_health_report`` judges it (pass
    the same ``image_predictor`` and options as for the page). Each overlap
    episode whose identities came out swapped gives ``swap_identities(a, b,
    from_frame=<the first frame after the episode>)`` to the clip's end: the
    frames of the overlap itself, where either mask may be either animal,
    stay as they are. All the swaps are one correction ("apply_page_advice",
    undone by one ``undo``), made latest episode first so that each pair's
    ids are those the page names.

    Returns:
        The ``Correction``, or None when the page marks no swap (nothing is
        changed or logged then).

    Raises:
        ValueError: a folder without annotation files; the errors of
            ``open_clip`` and ``swap_identities``.
    """
    from ._clip import open_clip
    from ._health import PageOptions

    folder = _folder(clip_dir)
    PageOptions(intersection_thrr=intersection_thrr, min_episode_frames=min_episode_frames)  # checked first
    clip: Optional[Clip] = open_clip(folder)
    if clip is None:
        raise ValueError(f"no annotation files (output_pp_<frame>.json) below {folder!r}")
    swaps = page_swaps(clip, image_predictor, intersection_thrr=intersection_thrr,
                       min_episode_frames=min_episode_frames)
    if not swaps:
        return None
    steps = [("swap", a, b, frame, None, None) for a, b, frame in reversed(swaps)]
    return _edit(folder, "apply_page_advice", steps, durable, grouped=True)
