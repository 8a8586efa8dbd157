"""The scan of a clip's frame records: every frame's mask areas and heavy
overlaps (from "mask_areas" and "intersections_df" alone), and the reader of
masks and images for the few frames the page looks at closer."""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import numpy as np

from .._clip import ClipMasks
from .._core import CompactMask
from .._core import _io

# A mask area at most this is a vanished mask, as in the tracking report.
ZERO_AREA = 0.1

_INT64 = (-(1 << 63), (1 << 63) - 1)

Step = Callable[[str, int, int], None]


@dataclass
class Scan:
    """Every frame's areas and heavy overlaps, frames in ascending key order."""

    keys: list  # frame keys as the clip holds them
    frames: np.ndarray  # their numbers, ascending
    animals: list  # mask keys, in order of first appearance
    area: np.ndarray  # frames x animals, NaN where a frame lacks the key
    heavy: np.ndarray  # frames x animals: in a cell above the threshold
    pairs: list  # per frame: set of (i, j), i < j, heavily overlapping


def field(record: Any, name: str, frame: Any) -> Any:
    if not isinstance(record, Mapping):
        raise TypeError(f"expected a frame record (a Mapping) for frame {frame!r}, got {type(record).__name__}")
    try:
        return record[name]
    except KeyError:
        raise KeyError(f"frame record {frame!r} has no {name!r}") from None


def frame_number(key: Any) -> int:
    if isinstance(key, bool) or not isinstance(key, numbers.Integral):
        raise TypeError(f"expected whole-number frame keys in clip, got {type(key).__name__} {key!r}")
    number = int(key)
    if not _INT64[0] <= number <= _INT64[1]:
        raise ValueError(f"expected frame keys from -2**63 to 2**63 - 1 in clip, got the key {key!r} of a frame record")
    return number


def _area(value: Any, key: Any, frame: Any) -> float:
    what = f"the \"mask_areas\" of {key!r} in frame {frame!r}"
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"expected a number for {what}, got {type(value).__name__} {value!r}")
    area = float(value)
    if not math.isfinite(area):
        raise ValueError(f"expected a finite number for {what}, got {value!r}")
    return area


def scan_frames(records: Mapping, threshold: float, step: Step) -> Scan:
    keys = list(records.keys())
    numbers_ = [frame_number(k) for k in keys]
    order = sorted(range(len(keys)), key=numbers_.__getitem__)
    keys = [keys[i] for i in order]
    index: dict = {}
    animals: list = []

    def animal(key: Any) -> int:
        i = index.get(key)
        if i is None:
            i = index[key] = len(animals)
            animals.append(key)
        return i

    rows: list[dict[int, float]] = []
    pairs: list[set] = []
    for pos, key in enumerate(keys):
        record = records[key]
        areas = field(record, "mask_areas", key)
        if not isinstance(areas, Mapping):
            raise TypeError(f"expected a Mapping for \"mask_areas\" of frame {key!r}, got {type(areas).__name__}")
        row = {animal(k): _area(v, k, key) for k, v in areas.items()}
        table = field(record, "intersections_df", key)
        frame_pairs = set()
        for r, c in _cells_above(table, threshold, key):
            i, j = animal(r), animal(c)
            if i != j:
                frame_pairs.add((min(i, j), max(i, j)))
        rows.append(row)
        pairs.append(frame_pairs)
        step("Reading frame records", pos + 1, len(keys))
    area = np.full((len(keys), len(animals)), np.nan)
    heavy = np.zeros((len(keys), len(animals)), dtype=bool)
    for pos, (row, frame_pairs) in enumerate(zip(rows, pairs)):
        for i, a in row.items():
            area[pos, i] = a
        for i, j in frame_pairs:
            heavy[pos, i] = heavy[pos, j] = True
    frames = np.array([numbers_[i] for i in order], dtype=np.int64)
    return Scan(keys, frames, animals, area, heavy, pairs)


def _cells_above(table: Any, threshold: float, frame: Any) -> Iterator[tuple[Any, Any]]:
    """(row key, column key) of the cells of an intersection table strictly
    above the threshold (NaN never), row by row."""
    try:
        labels_r, labels_c, to_numpy = table.index, table.columns, table.to_numpy
    except AttributeError:
        raise TypeError(
            f"expected a pandas DataFrame for \"intersections_df\" of frame {frame!r}, got {type(table).__name__}"
        ) from None
    try:
        cells = np.asarray(to_numpy(), dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise TypeError(f"expected numbers in the \"intersections_df\" of frame {frame!r}: {e}") from None
    if cells.ndim != 2 or cells.shape != (len(labels_r), len(labels_c)):
        raise ValueError(
            f"expected a table with one row and column per label in the \"intersections_df\" of frame {frame!r}, "
            f"got cells of shape {cells.shape} for {len(labels_r)} x {len(labels_c)} labels"
        )
    with np.errstate(invalid="ignore"):
        hits = np.argwhere(cells > threshold)
    for r, c in hits:
        yield labels_r[r], labels_c[c]


def counts(scan: Scan) -> tuple[np.ndarray, np.ndarray]:
    """Masks present per frame, and distinct animals: present masks with
    heavily overlapping ones counted once."""
    with np.errstate(invalid="ignore"):
        present = scan.area > ZERO_AREA
    distinct = present.sum(axis=1)
    for pos, frame_pairs in enumerate(scan.pairs):
        parent: dict = {}

        def root(i: int) -> int:
            while parent.get(i, i) != i:
                i = parent[i]
            return i

        for i, j in frame_pairs:
            if present[pos, i] and present[pos, j]:
                ri, rj = root(i), root(j)
                if ri != rj:
                    parent[rj] = ri
                    distinct[pos] -= 1
    return present.sum(axis=1), distinct


class FrameReader:
    """Reads masks and images of the few frames the page looks at, keeping
    the last frame's masks, which the next look-up usually wants again."""

    def __init__(self, records: Mapping, scan: Scan):
        self._records = records
        self._key_of = {int(f): k for f, k in zip(scan.frames, scan.keys)}
        self._cached: tuple = (None, None)

    def __contains__(self, frame: int) -> bool:
        return frame in self._key_of

    def record(self, frame: int) -> Mapping:
        return self._records[self._key_of[frame]]

    def masks(self, frame: int) -> Mapping:
        """Mask key -> CompactMask (the masks of an opened clip, never
        painted here) or 2-D array."""
        if self._cached[0] != frame:
            key = self._key_of[frame]
            masks = masks_of(self.record(frame), key)
            if isinstance(masks, ClipMasks):
                planes = masks.compact()
            else:
                planes = {k: _plane(v, k, key) for k, v in masks.items()}
            self._cached = (frame, planes)
        return self._cached[1]

    def image(self, frame: int):
        from PIL import Image

        key = self._key_of[frame]
        path = field(self.record(frame), "image_path", key)
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"expected a path for \"image_path\" of frame {key!r}, got {type(path).__name__}")
        try:
            name = os.fsencode(path)
        except UnicodeEncodeError:
            raise ValueError(f"expected a file name for \"image_path\" of frame {key!r}, got {path!r}, "
                             "which holds a lone surrogate no file name has") from None
        with _io.open_file(name) as f, Image.open(f) as im:
            return im.convert("RGB")


def masks_of(record: Mapping, frame: Any) -> Mapping:
    masks = field(record, "masks_dict", frame)
    if not isinstance(masks, Mapping):
        raise TypeError(f"expected a Mapping for \"masks_dict\" of frame {frame!r}, got {type(masks).__name__}")
    return masks


def _plane(mask: Any, key: Any, frame: Any) -> Any:
    """A mask as a 2-D array (a leading axis of length 1 dropped), or the
    CompactMask it is."""
    if type(mask) is CompactMask:
        return mask
    a = np.asarray(mask)
    if a.ndim == 3 and a.shape[0] == 1:
        a = a[0]
    if a.ndim != 2:
        raise ValueError(f"expected a 2-D mask for {key!r} in frame {frame!r}, got shape {a.shape}")
    if a.dtype.kind not in "biuf":
        raise TypeError(f"expected a numeric mask for {key!r} in frame {frame!r}, got dtype {a.dtype}")
    return a


def box(mask: Any) -> list[int]:
    """Tight box [x_min, y_min, x_max, y_max] of the set pixels (inclusive
    indices); [0, 0, 0, 0] for an empty mask."""
    if type(mask) is CompactMask:
        b = mask.box
        return [0, 0, 0, 0] if b is None else list(b)
    rows = np.flatnonzero(mask.any(axis=1))
    if rows.size == 0:
        return [0, 0, 0, 0]
    cols = np.flatnonzero(mask[rows[0] : rows[-1] + 1].any(axis=0))
    return [int(cols[0]), int(rows[0]), int(cols[-1]), int(rows[-1])]


def overlaps(a: list, b: tuple) -> bool:
    """Whether two inclusive boxes [x0, y0, x1, y1] share a pixel."""
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]


def is_set(mask: Any) -> bool:
    return mask.area > 0 if type(mask) is CompactMask else bool(mask.any())
