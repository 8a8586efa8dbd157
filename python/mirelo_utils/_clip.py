"""A tracked clip held compactly: ``open_clip`` and its mappings.

``open_clip`` loads a clip's annotation files as ``get_gsam_annotation_data``
does, but keeps every mask as runs of pixels per row inside its box (a few
kilobytes instead of a frame-sized array). The clip is a read-only mapping
from frame key to frame record; a record has the keys and values of the
dense load's records, each value made when it is first read. The operations
that take frame records recognise these records and read the runs behind
them: the tracking report and the small-area search read no mask at all, the
best-last-frame search and the matcher count on the runs.
"""

from __future__ import annotations

import os
import weakref
from collections.abc import Iterable, Iterator, Mapping, MutableMapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # numpy is imported by the calls, not by import mirelo_utils
    import numpy as np

from . import _core
from ._core import CompactMask

__all__ = ["Clip", "ClipMasks", "ClipRecord", "open_clip"]

# The keys of a frame record, in order (a dict for the membership test).
_RECORD_KEYS = dict.fromkeys(("frame_index", "masks_dict", "mask_areas", "json_path", "image_path", "intersections_df"))


def open_clip(save_dir_base: str | os.PathLike[str], threads: int | None = None) -> Clip | None:
    """Opens a tracked clip's annotation files compactly.

    The files, their order, the frame size, the messages and the errors are
    those of ``get_gsam_annotation_data(None, save_dir_base=save_dir_base)``:
    every ``output_pp_<frame>.json`` below the folder, keyed 0, 1, ... in
    load order, masks at the size of the first file's image. The files are
    read on every core (or ``threads`` threads) without the interpreter lock.

    Args:
        save_dir_base: Folder searched for annotation files.
        threads: Threads reading the files; None for one per core.

    Returns:
        The clip, or None when no annotation file is found, after printing
        "No JSON files found in <save_dir_base>. Please check the directory
        and try again.".

    Raises:
        ValueError: a malformed file, or threads below 1.
        KeyError, TypeError: a file whose members are missing or of the wrong
            type; ``threads`` not an integer.
        FileNotFoundError, OSError: a file or the first file's image that
            cannot be read.
    """
    handle = _core._open_clip(save_dir_base, threads)  # type: ignore[attr-defined]  # private, not in the stubs
    return None if handle is None else Clip(handle)


class _EntryKeys:
    """Iteration, length and membership of a mapping whose keys are those of
    the dict in its `_entries` attribute."""

    __slots__ = ()
    _entries: Mapping[Any, Any]

    def __iter__(self) -> Iterator[Any]:
        return iter(self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def __contains__(self, key: object) -> bool:
        return key in self._entries


class ClipMasks(_EntryKeys, MutableMapping[Any, Any]):
    """A record's "masks_dict": mask key -> H x W uint8 mask, in file order.

    A mask is painted from its runs each time it is read while no one holds
    the array of an earlier read (the same array is given while someone
    does), so a clip read mask by mask never holds more than the masks in
    use. The arrays are read-only: to change a mask, assign a new array to
    its key. Keys can be removed and added as in a dict; a CompactMask
    assigned to a key stands for its dense mask.
    """

    __slots__ = ("_entries", "_views")

    def __init__(self, entries: dict[Any, Any]) -> None:
        # key -> the caller's value, or a CompactMask for a mask given as runs
        self._entries: dict[Any, Any] = entries
        self._views: dict[Any, weakref.ref[np.ndarray]] = {}

    def __getitem__(self, key: Any) -> Any:
        value = self._entries[key]
        if type(value) is not CompactMask:
            return value
        ref = self._views.get(key)
        array = ref() if ref is not None else None
        if array is None:
            array = value.to_array()
            array.flags.writeable = False
            self._views[key] = weakref.ref(array)
        return array

    def __setitem__(self, key: Any, value: Any) -> None:
        self._entries[key] = value
        self._views.pop(key, None)

    def __delitem__(self, key: Any) -> None:
        del self._entries[key]
        self._views.pop(key, None)

    def __repr__(self) -> str:
        return f"ClipMasks({list(self._entries)!r})"

    def clear(self) -> None:
        self._entries.clear()
        self._views.clear()

    def copy(self) -> ClipMasks:
        """A shallow copy, as dict.copy: the same masks, held the same way."""
        return ClipMasks(dict(self._entries))

    def compact(self) -> dict[Any, CompactMask]:
        """The masks as CompactMask objects (box, area, runs), in order; a
        mask assigned as an array is converted."""
        return {k: v if type(v) is CompactMask else CompactMask.from_array(v) for k, v in self._entries.items()}

    def dense(self) -> dict[Any, Any]:
        """A plain dict of the masks: those held as runs painted into one new,
        writable N x H x W uint8 array (each entry a view of it, as the dense
        load's masks are), the others as they are."""
        compact = [v for v in self._entries.values() if type(v) is CompactMask]
        shapes = {m.shape for m in compact}
        painted: Iterator[np.ndarray]
        if len(shapes) == 1:
            painted = iter(_core._paint_masks(compact))  # type: ignore[attr-defined]
        else:
            painted = (m.to_array() for m in compact)
        return {k: next(painted) if type(v) is CompactMask else v for k, v in self._entries.items()}


class ClipRecord(_EntryKeys, Mapping[str, Any]):
    """One frame record of an opened clip: the keys "frame_index",
    "masks_dict", "mask_areas", "json_path", "image_path" and
    "intersections_df", with the values of the dense load.

    Each value is made when it is first read and the same object is given
    afterwards, so changes to it (such as the removals of
    find_best_laste_frame from "masks_dict") stay with the record. The record
    itself is read-only.
    """

    __slots__ = ("_handle", "_index", "_values")
    _entries = _RECORD_KEYS  # every record has the same keys

    def __init__(self, handle: Any, index: int) -> None:
        self._handle = handle
        self._index = index
        self._values: dict[str, Any] = {}  # the values handed out, read as they now are

    def _make(self, name: str) -> Any:
        h, i = self._handle, self._index
        if name == "masks_dict":
            return ClipMasks(h.masks(i))
        if name == "mask_areas":
            return h.areas(i)
        if name == "intersections_df":
            return h.table(i)
        if name == "frame_index":
            return h.frame_index(i)
        if name == "json_path":
            return h.json_path(i)
        if name == "image_path":
            return h.image_path(i)
        raise KeyError(name)

    def _peek(self, name: str) -> Any:
        """The value handed out, or a new one that is not kept."""
        return self._values[name] if name in self._values else self._make(name)

    def __getitem__(self, name: str) -> Any:
        try:
            return self._values[name]
        except KeyError:
            if name not in _RECORD_KEYS:
                raise
        value = self._values[name] = self._make(name)
        return value

    def __repr__(self) -> str:
        return f"<ClipRecord {self._index}: {self._handle.json_path(self._index)!r}>"


class Clip(_EntryKeys, Mapping[int, ClipRecord]):
    """A tracked clip opened with ``open_clip``: frame key (0, 1, ... in load
    order) -> ClipRecord. Read-only; it holds the masks as runs.

    Attributes:
        height, width: The frame size of every mask.
        nbytes: Bytes held by the clip's records (masks, tables, paths).
        last_frame: The record with the largest key, as the first result of
            ``get_gsam_annotation_data``.
    """

    __slots__ = ("_handle", "_entries")

    def __init__(self, handle: Any) -> None:
        self._handle = handle
        # key -> its position until the record is made, then the record; the
        # keys compare and hash as a dict's keys do (3.0 finds 3).
        self._entries: dict[int, Any] = dict(zip(range(len(handle)), range(len(handle))))

    def __getitem__(self, key: int) -> ClipRecord:
        try:
            record = self._entries[key]
        except KeyError:
            raise KeyError(f"no frame key {key!r} in the clip: its keys are 0 to {len(self) - 1}") from None
        if type(record) is int:
            index = record
            record = self._entries[index] = ClipRecord(self._handle, index)
        return record

    def __repr__(self) -> str:
        return (f"<Clip of {len(self)} frames at {self.height} x {self.width}, "
                f"{self.nbytes / 2**20:.1f} MiB held>")

    @property
    def height(self) -> int:
        return int(self._handle.height)

    @property
    def width(self) -> int:
        return int(self._handle.width)

    @property
    def nbytes(self) -> int:
        return int(self._handle.nbytes)

    @property
    def last_frame(self) -> ClipRecord:
        return self[len(self) - 1]

    def animals(self, key: int) -> dict[Any, CompactMask]:
        """The compact per-animal view of frame `key`: mask key ->
        CompactMask (box, area, runs) for the masks its "masks_dict" now
        holds, in order.

        Raises:
            KeyError: no frame `key`.
        """
        record = self[key]
        masks = record._values.get("masks_dict")
        return self._handle.masks(record._index) if masks is None else masks.compact()

    def dense_record(self, key: int) -> dict[str, Any]:
        """Frame `key` as a plain dict record, as ``get_gsam_annotation_data``
        gives it: "masks_dict" a dict of writable dense masks (those of the
        record's "masks_dict" as it now is), the other values those the
        record has handed out, or new ones.

        Raises:
            KeyError: no frame `key`.
        """
        record = self[key]
        out = {name: record._peek(name) for name in _RECORD_KEYS}
        out["masks_dict"] = out["masks_dict"].dense()
        return out

    def to_dict(self, keys: Iterable[int] | None = None) -> dict[int, dict[str, Any]]:
        """Plain dict records (``dense_record``) of the frames `keys`, in
        that order, or of every frame: the whole ``gsam_annotation_data``
        dict of the dense load, which holds every mask densely.

        Raises:
            KeyError: a key that is not a frame of the clip.
        """
        out = {}
        for key in self if keys is None else keys:
            record = self[key]
            out[record._index] = self.dense_record(record._index)
        return out


_core._clip_types(ClipRecord, ClipMasks)  # type: ignore[attr-defined]  # private, not in the stubs
