"""The identity-health page of a tracked clip.

``clip_health_report`` reads a clip's frame records (areas and intersection
tables for every frame, masks and images only for the frames it pictures),
writes one self-contained ``index.html`` and the tracking question report
beside it, and returns one row per animal. The per-frame numbers come from
the records and the core's calls (the tracking report, runs of consecutive
frames, mask IoU, box IoU, appearance features, the small-area check and the
last-frame choice); this module only gathers them and lays out the page.

numpy, pandas, Pillow and matplotlib, and the standard modules that only
the page needs, are imported by the call, so ``import mirelo_utils`` stays
light.
"""

from __future__ import annotations

import io
import math
import numbers
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional, Union

from . import _core
from ._clip import ClipMasks, open_clip
from ._core import CompactMask
from ._core import _qc as _qc_impl
from ._support import shown_text

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

__all__ = ["clip_health_report", "ANIMAL_COLUMNS"]

PAGE_NAME = "index.html"

#: Columns of the per-animal table, in order.
ANIMAL_COLUMNS = [
    "Frames present",
    "Frames with zero area",
    "Frames in heavy overlap",
    "Overlap episodes",
    "Times named as failing track",
    "First suspect frame",
    "Confidence",
]

# A mask area at most this is a vanished mask, as in the tracking report.
_ZERO_AREA = 0.1
_THUMB_SIDE = 280
_MIN_MARGIN = 24
# Label text of img_bbx_drawing sits above a box: room for it in a crop.
_LABEL_ROOM = 22

ProgressFn = Callable[[str, int, int], None]


# ------------------------------------------------------------------ inputs


def _out_folder(out_dir: Any) -> tuple[str, list[str]]:
    """The output folder as a text, created when missing and proved writable
    by a probe file, so that a bad folder fails before any work is done; and
    the folders this call created, deepest first."""
    if not isinstance(out_dir, (str, os.PathLike)):
        raise TypeError(f"expected a folder path (str or os.PathLike) for out_dir, got {type(out_dir).__name__}")
    folder = os.fsdecode(out_dir)
    if not folder:
        raise ValueError("expected a folder path for out_dir, got an empty text")
    if "\x00" in folder:
        raise ValueError(f"expected a folder path without NUL characters for out_dir, got {folder!r}")
    created: list[str] = []
    try:
        _make_folders(folder, created)
        # The probe goes through the core's atomic writer under a fixed name:
        # a run killed while it exists leaves either that name, which the next
        # probe replaces and removes, or the writer's own temporary, which the
        # next probe's write sweeps away with the other stale temporaries.
        probe = os.path.join(folder, ".index.html.probe")
        _qc_impl.write_file(probe, b"")
        os.unlink(probe)
    except FileExistsError:
        remove_created(created)
        raise NotADirectoryError(f"cannot write the health report into out_dir {folder!r}: not a folder") from None
    except OSError as e:
        remove_created(created)
        reason = e.strerror or str(e)
        raise type(e)(f"cannot write the health report into out_dir {folder!r}: {reason}") from None
    return folder, created


def _make_folders(folder: str, created: list[str]) -> None:
    """os.makedirs(folder, exist_ok=True), noting in `created` (deepest
    first) the folders it made, so that a refusal can take them back."""
    missing = []
    path = os.path.abspath(folder)
    while not os.path.isdir(path):
        missing.append(path)
        parent = os.path.dirname(path)
        if parent == path:
            break
        path = parent
    for path in reversed(missing):
        try:
            os.mkdir(path)
        except FileExistsError:
            if not os.path.isdir(path):
                raise
            continue
        created.insert(0, path)


def remove_created(created: list[str]) -> None:
    """Removes the folders a refused run made, deepest first, as long as
    they are empty (whatever landed in them since stays)."""
    for path in created:
        try:
            os.rmdir(path)
        except OSError:
            return


def _open_records(clip: Any) -> tuple[Optional[Mapping], Optional[str]]:
    """The frame records and, for a clip folder, its path. (None, folder)
    when the folder holds no annotation files (the loader has said so)."""
    if isinstance(clip, (str, os.PathLike)):
        folder = os.fsdecode(clip)
        return open_clip(folder), folder
    if isinstance(clip, Mapping):
        return clip, None
    raise TypeError(
        f"expected a clip (a Mapping of frame key -> frame record) or a clip folder for clip, got {type(clip).__name__}"
    )


_INT64 = (-(1 << 63), (1 << 63) - 1)


def _frame_number(key: Any) -> int:
    if isinstance(key, bool) or not isinstance(key, numbers.Integral):
        raise TypeError(f"expected whole-number frame keys in clip, got {type(key).__name__} {key!r}")
    number = int(key)
    if not _INT64[0] <= number <= _INT64[1]:
        raise ValueError(f"expected frame keys from -2**63 to 2**63 - 1 in clip, got the key {key!r} of a frame record")
    return number


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"expected a number for {what}, got {type(value).__name__} {value!r}")
    return float(value)


def _area(value: Any, key: Any, frame: Any) -> float:
    what = f"the \"mask_areas\" of {key!r} in frame {frame!r}"
    area = _number(value, what)
    if not math.isfinite(area):
        raise ValueError(f"expected a finite number for {what}, got {value!r}")
    return area


def _setting(value: Any, name: str) -> float:
    """A number option as float; NaN refused."""
    number = _number(value, name)
    if math.isnan(number):
        raise ValueError(f"expected a number for {name}, got nan")
    return number


def _check_whole(value: Any, name: str, low: int) -> None:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < low:
        raise ValueError(f"expected a whole number >= {low} for {name}, got {value!r}")


def _field(record: Any, name: str, frame: Any) -> Any:
    if not isinstance(record, Mapping):
        raise TypeError(f"expected a frame record (a Mapping) for frame {frame!r}, got {type(record).__name__}")
    try:
        return record[name]
    except KeyError:
        raise KeyError(f"frame record {frame!r} has no {name!r}") from None


# ------------------------------------------------------------ frame scan


@dataclass
class _Scan:
    """Every frame's areas and heavy overlaps, frames in ascending key order."""

    keys: list  # frame keys as the clip holds them
    frames: "np.ndarray"  # their numbers, ascending
    animals: list  # mask keys, in order of first appearance
    area: "np.ndarray"  # frames x animals, NaN where a frame lacks the key
    heavy: "np.ndarray"  # frames x animals: in a cell above the threshold
    pairs: list = field(default_factory=list)  # per frame: set of (i, j), i < j, heavily overlapping


def _scan_frames(records: Mapping, threshold: float, progress: "_Progress") -> _Scan:
    import numpy as np

    keys = list(records.keys())
    numbers_ = [_frame_number(k) for k in keys]
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
        areas = _field(record, "mask_areas", key)
        if not isinstance(areas, Mapping):
            raise TypeError(f"expected a Mapping for \"mask_areas\" of frame {key!r}, got {type(areas).__name__}")
        row = {animal(k): _area(v, k, key) for k, v in areas.items()}
        table = _field(record, "intersections_df", key)
        frame_pairs = set()
        for r, c in _cells_above(table, threshold, key):
            i, j = animal(r), animal(c)
            if i != j:
                frame_pairs.add((min(i, j), max(i, j)))
        rows.append(row)
        pairs.append(frame_pairs)
        progress.step("Reading frame records", pos + 1, len(keys))
    area = np.full((len(keys), len(animals)), np.nan)
    heavy = np.zeros((len(keys), len(animals)), dtype=bool)
    for pos, (row, frame_pairs) in enumerate(zip(rows, pairs)):
        for i, a in row.items():
            area[pos, i] = a
        for i, j in frame_pairs:
            heavy[pos, i] = heavy[pos, j] = True
    frames = np.array([numbers_[i] for i in order], dtype=np.int64)
    return _Scan(keys, frames, animals, area, heavy, pairs)


def _cells_above(table: Any, threshold: float, frame: Any) -> Iterator[tuple[Any, Any]]:
    """(row key, column key) of the cells of an intersection table strictly
    above the threshold (NaN never), row by row."""
    import numpy as np

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


# --------------------------------------------------------------- episodes


@dataclass
class _Episode:
    a: int
    b: int
    first: int  # frame numbers, inclusive
    last: int
    before: Optional[int] = None  # the frames around it, None at the clip's ends
    after: Optional[int] = None
    shape: tuple = (math.nan, math.nan)  # 1 - mask IoU, per animal of the pair
    box: tuple = (math.nan, math.nan)  # 1 - box IoU
    appearance: tuple = (math.nan, math.nan)  # 1 - cosine similarity (with a predictor)
    swapped: bool = False
    suspects: tuple = ()
    thumbnails: list = field(default_factory=list)  # (frame, data URI)

    @property
    def frames(self) -> int:
        return self.last - self.first + 1


def _find_episodes(scan: _Scan, min_frames: int) -> list[_Episode]:
    """Runs of at least min_frames consecutive frames in which a pair of
    animals overlaps heavily (either way round)."""
    import pandas as pd

    n = len(scan.animals)
    frame_ids, codes = [], []
    for pos, frame_pairs in enumerate(scan.pairs):
        for i, j in sorted(frame_pairs):
            frame_ids.append(int(scan.frames[pos]))
            codes.append(i * n + j)
    if not codes:
        return []
    table = pd.DataFrame({"Frame ID": frame_ids, "Pair": codes})
    runs = _core.find_continuous_frames(table, group_by="Pair", n_consecutive=min_frames)
    episodes = [
        _Episode(code // n, code % n, run[0], run[-1]) for code, code_runs in runs.items() for run in code_runs
    ]
    episodes.sort(key=lambda e: (e.first, e.a, e.b))
    return episodes


class _Frames:
    """Reads masks and images of the few frames the page pictures, keeping
    the last frame's masks, which the next look-up usually wants again."""

    def __init__(self, records: Mapping, scan: _Scan):
        self._records = records
        self._key_of = {int(f): k for f, k in zip(scan.frames, scan.keys)}
        self._cached: tuple = (None, None)

    def __contains__(self, frame: int) -> bool:
        return frame in self._key_of

    def record(self, frame: int) -> Mapping:
        key = self._key_of[frame]
        return self._records[key]

    def masks(self, frame: int) -> Mapping:
        """Mask key -> CompactMask (the masks of an opened clip, never
        painted here) or 2-D array."""
        if self._cached[0] != frame:
            key = self._key_of[frame]
            masks = _masks_of(self.record(frame), key)
            if isinstance(masks, ClipMasks):
                planes = masks.compact()
            else:
                planes = {k: _plane(v, k, key) for k, v in masks.items()}
            self._cached = (frame, planes)
        return self._cached[1]

    def image(self, frame: int):
        from PIL import Image

        key = self._key_of[frame]
        path = _field(self.record(frame), "image_path", key)
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"expected a path for \"image_path\" of frame {key!r}, got {type(path).__name__}")
        try:
            name = os.fsencode(path)
        except UnicodeEncodeError:
            raise ValueError(f"expected a file name for \"image_path\" of frame {key!r}, got {path!r}, "
                             "which holds a lone surrogate no file name has") from None
        with Image.open(name) as im:
            return im.convert("RGB")


def _masks_of(record: Mapping, frame: Any) -> Mapping:
    masks = _field(record, "masks_dict", frame)
    if not isinstance(masks, Mapping):
        raise TypeError(f"expected a Mapping for \"masks_dict\" of frame {frame!r}, got {type(masks).__name__}")
    return masks


def _plane(mask: Any, key: Any, frame: Any) -> Any:
    """A mask as a 2-D array (a leading axis of length 1 dropped), or the
    CompactMask it is."""
    import numpy as np

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


def _box(mask: Any) -> list[int]:
    """Tight box [x_min, y_min, x_max, y_max] of the set pixels (inclusive
    indices); [0, 0, 0, 0] for an empty mask."""
    import numpy as np

    if type(mask) is CompactMask:
        box = mask.box
        return [0, 0, 0, 0] if box is None else list(box)
    rows = np.flatnonzero(mask.any(axis=1))
    if rows.size == 0:
        return [0, 0, 0, 0]
    cols = np.flatnonzero(mask[rows[0] : rows[-1] + 1].any(axis=0))
    return [int(cols[0]), int(rows[0]), int(cols[-1]), int(rows[-1])]


def _overlaps(a: list, b: tuple) -> bool:
    """Whether two inclusive boxes [x0, y0, x1, y1] share a pixel."""
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]


def _is_set(mask: Any) -> bool:
    return mask.area > 0 if type(mask) is CompactMask else bool(mask.any())


def _judge_episode(ep: _Episode, scan: _Scan, frames: _Frames, predictor: Any) -> None:
    """Judges an episode from the pair's masks at its edges.

    A track that fails in an overlap jumps: its mask leaves its animal for
    the other one as the episode begins (and may jump back as it ends), or
    the two identities come out of it exchanged. So each animal's mask is
    compared across the entry (the frame before the episode -> its first
    frame) and the exit (its last frame -> the frame after), keeping the
    larger mismatch of each measure, and the frame before is compared with
    the frame after for an exchange. At the clip's ends the comparison that
    has no frame is left out."""
    import numpy as np

    pair = (scan.animals[ep.a], scan.animals[ep.b])
    ep.before = ep.first - 1 if ep.first - 1 in frames else None
    ep.after = ep.last + 1 if ep.last + 1 in frames else None
    edges = [(f, g) for f, g in ((ep.before, ep.first), (ep.last, ep.after)) if f is not None and g is not None]
    shape = next((tuple(m.shape) for m in frames.masks(ep.first).values()), None)
    if not edges or shape is None:
        return
    looks: dict = {}

    def look(frame: int) -> tuple:
        """The pair's masks on a frame (empty where missing), and their
        appearance features with a predictor."""
        if frame not in looks:
            present = frames.masks(frame)
            masks = [present[k] if k in present else np.zeros(shape, np.uint8) for k in pair]
            features = None
            if predictor is not None:
                stack = np.stack([np.asarray(m) for m in masks])
                features = _core.generate_sam2_image_features(frames.image(frame), stack, predictor)
            looks[frame] = (masks, features)
        return looks[frame]

    def compare(old_frame: int, new_frame: int) -> tuple:
        """Mismatch per measure and animal, and the similarity of every new
        mask (rows) with every old one (columns)."""
        (old, old_features), (new, new_features) = look(old_frame), look(new_frame)
        iou = _core.cal_masks_iou_scores(new, old)
        boxes_old = [_box(m) for m in old]
        box_iou = np.array([[_core.calculate_iou(_box(n), b) for b in boxes_old] for n in new])
        similarity = iou + box_iou
        cosine = np.full((2, 2), np.nan)
        if predictor is not None:
            cosine = _core.cosine_scores_cal(new_features, old_features)
            if np.isfinite(cosine).all():
                similarity = similarity + cosine
        return np.stack([1.0 - np.diag(iou), 1.0 - np.diag(box_iou), 1.0 - np.diag(cosine)]), similarity

    mismatch = np.max([compare(f, g)[0] for f, g in edges], axis=0)
    ep.shape, ep.box, ep.appearance = (tuple(float(v) for v in row) for row in mismatch)
    if ep.before is not None and ep.after is not None:
        similarity = compare(ep.before, ep.after)[1]
        ep.swapped = bool(similarity[0, 1] + similarity[1, 0] > similarity[0, 0] + similarity[1, 1])
    if ep.swapped:
        ep.suspects = (ep.a, ep.b)
    else:
        total = mismatch[:2].sum(axis=0) + (mismatch[2] if predictor is not None else 0.0)
        ep.suspects = (ep.b,) if total[1] > total[0] else (ep.a,)


def _thumbnail(frames: _Frames, frame: int, pair: tuple) -> str:
    """The frame around the pair's masks with every mask of the frame drawn
    by img_bbx_drawing, as a JPEG data URI."""
    import numpy as np

    image = frames.image(frame)
    masks = frames.masks(frame)
    width, height = image.size
    boxes = [_box(masks[k]) for k in pair if k in masks and _is_set(masks[k])]
    if boxes:
        x0, y0 = min(b[0] for b in boxes), min(b[1] for b in boxes)
        x1, y1 = max(b[2] for b in boxes) + 1, max(b[3] for b in boxes) + 1
        margin = max(_MIN_MARGIN, (x1 - x0 + y1 - y0) // 8)
        x0, x1 = max(0, x0 - margin), min(width, x1 + margin)
        y0, y1 = max(0, y0 - margin - _LABEL_ROOM), min(height, y1 + margin)
    else:
        x0, y0, x1, y1 = 0, 0, width, height
    crop = image.crop((x0, y0, x1, y1))
    # Only the masks inside the picture: an empty one would be drawn as a box
    # at its corner. An opened clip's mask is painted into fresh zero pages,
    # so only its own pixels are touched, whatever the frame size.
    cut = {}
    for k, m in masks.items():
        if tuple(m.shape) == (height, width) and _is_set(m) and _overlaps(_box(m), (x0, y0, x1 - 1, y1 - 1)):
            part = np.asarray(m)[y0:y1, x0:x1]
            if part.any():
                cut[k] = part
    drawn = _core.img_bbx_drawing(crop, cut).convert("RGB")
    side = max(drawn.size)
    if side < _THUMB_SIDE // 2:  # a small frame is enlarged to stay readable
        factor = _THUMB_SIDE // 2 // side + 1
        drawn = drawn.resize((drawn.width * factor, drawn.height * factor), resample=0)
    drawn.thumbnail((_THUMB_SIDE, _THUMB_SIDE))
    buffer = io.BytesIO()
    drawn.save(buffer, format="JPEG", quality=82)
    return _data_uri(buffer.getvalue(), "image/jpeg")


# ------------------------------------------------------------- hand-over


@dataclass
class _HandOverSettings:
    """The settings of find_boxes_with_small_area_from_last_video and
    find_best_laste_frame that the advice is given with."""

    min_frame_id: Any
    area_threshold: Any
    min_count: Any
    min_area: Any
    max_attempts: int

    def __post_init__(self) -> None:
        for name in ("min_frame_id", "area_threshold", "min_count", "min_area"):
            _setting(getattr(self, name), name)
        # A count below zero means nothing; the thresholds may be set as high
        # or low as a caller wants (everything, or nothing, counts as tiny).
        if self.min_count < 0:
            raise ValueError(f"expected a number >= 0 for min_count, got {self.min_count!r}")
        _check_whole(self.max_attempts, "max_attempts", 1)

    def text(self, name: str) -> str:
        value = getattr(self, name)
        return str(int(value)) if isinstance(value, numbers.Integral) else f"{float(value):g}"


@dataclass
class _HandOver:
    remove: list
    best_frame: Any  # frame key, or None when no frame is usable
    attempts: int
    settings: _HandOverSettings


def _hand_over(records: Mapping, scan: _Scan, settings: _HandOverSettings) -> _HandOver:
    """The small-area check on the clip, then the last-frame choice without
    those tracks, on copies of the last frames' "masks_dict" (the choice
    removes the tracks from the records it is given)."""
    remove = list(_core.find_boxes_with_small_area_from_last_video(
        records, settings.min_frame_id, settings.area_threshold, settings.min_count))
    attempts = min(int(settings.max_attempts), len(scan.keys))
    last = {}
    for key in scan.keys[-attempts:]:
        masks = _masks_of(records[key], key)
        # An opened clip's masks are copied as their runs, never painted.
        copy = ClipMasks(masks.compact()) if isinstance(masks, ClipMasks) else dict(masks.items())
        last[key] = {"masks_dict": copy}
    best, failed = _core.find_best_laste_frame(last, settings.min_area, attempts, remove_stack_obs=remove)
    best_key = None if failed else next(k for k, record in last.items() if record is best)
    return _HandOver(remove, best_key, attempts, settings)


# ------------------------------------------------------------------ plots


def _figure(width: float, height: float):
    try:
        from matplotlib.figure import Figure
    except ImportError as e:
        raise ImportError(
            "clip_health_report needs matplotlib, which is installed with the plots extra: "
            "pip install 'mirelo_utils[plots]'"
        ) from e
    # A Figure of its own (no pyplot): no global figure state, no GUI back end.
    return Figure(figsize=(width, height), dpi=80)


def _png(fig) -> str:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    return _data_uri(buffer.getvalue(), "image/png")


def _data_uri(data: bytes, mime: str) -> str:
    import base64

    return f"data:{mime};base64,{base64.b64encode(data).decode('ascii')}"


def _spans(frames: "np.ndarray", flags: "np.ndarray") -> list[tuple[int, int]]:
    """First and last frame of each run of consecutive flagged frames."""
    out: list[tuple[int, int]] = []
    for f, flag in zip(frames.tolist(), flags.tolist()):
        if flag:
            if out and out[-1][1] == f - 1:
                out[-1] = (out[-1][0], f)
            else:
                out.append((f, f))
    return out


def _counts_plot(scan: _Scan, present: "np.ndarray", distinct: "np.ndarray", expected: int) -> str:
    fig = _figure(9, 2.6)
    fig.subplots_adjust(left=0.08, right=0.99, bottom=0.18, top=0.96)
    ax = fig.subplots()
    x = scan.frames
    ax.axhline(expected, color="#2a7", lw=1.5, label=f"expected ({expected})")
    ax.step(x, present, where="mid", color="#36c", lw=1.2, label="masks present")
    ax.step(x, distinct, where="mid", color="#c33", lw=1.2, ls="--", label="distinct animals")
    top = max(expected, int(present.max(initial=0))) + 1
    ax.set_ylim(-0.2, top + 0.2)
    ax.set_xlabel("frame")
    ax.set_ylabel("animals")
    ax.legend(loc="lower left", fontsize=8, ncols=3)
    return _png(fig)


class _AreaPlots:
    """Each animal's mask area over the frames, zero-area frames and overlap
    episodes shaded. One figure serves every animal (its axes and ticks are
    built once; only the line, the shading and the limits change), which
    makes a plot about three times cheaper than a figure of its own."""

    def __init__(self, frames: "np.ndarray"):
        import numpy as np

        self._x = frames
        self._fig = _figure(9, 1.5)
        self._fig.subplots_adjust(left=0.08, right=0.99, bottom=0.17, top=0.96)
        self._ax = self._fig.subplots()
        (self._line,) = self._ax.plot(frames, np.zeros(len(frames)), color="#1f4e8c", lw=1.0)
        self._label = self._ax.text(0.005, 0.93, "", transform=self._ax.transAxes, fontsize=9, va="top")
        self._ax.set_xlim(frames[0] - 0.5, frames[-1] + 0.5)
        self._ax.set_ylabel("area (px)", fontsize=8)
        self._ax.tick_params(labelsize=8)

    def draw(self, key: Any, area: "np.ndarray", episode_frames: "np.ndarray") -> str:
        import numpy as np

        for patch in list(self._ax.patches):
            patch.remove()
        for first, last in _spans(self._x, episode_frames):
            self._ax.axvspan(first - 0.5, last + 0.5, color="#f4a340", alpha=0.35, lw=0)
        with np.errstate(invalid="ignore"):
            zero = area <= _ZERO_AREA
        for first, last in _spans(self._x, zero):
            self._ax.axvspan(first - 0.5, last + 0.5, color="#d62728", alpha=0.35, lw=0)
        self._line.set_ydata(area)
        top = np.nanmax(area, initial=0.0) if np.isfinite(area).any() else 0.0
        self._ax.set_ylim(0, top * 1.08 if top > 0 else 1.0)
        self._label.set_text(str(key))
        return _png(self._fig)


def _in_episodes(frames: "np.ndarray", i: int, episodes: list[_Episode]) -> "np.ndarray":
    import numpy as np

    flags = np.zeros(len(frames), dtype=bool)
    for ep in episodes:
        if i in (ep.a, ep.b):
            flags |= (frames >= ep.first) & (frames <= ep.last)
    return flags


# ------------------------------------------------------------- the table


def _animal_table(scan: _Scan, episodes: list[_Episode]) -> "pd.DataFrame":
    import numpy as np
    import pandas as pd

    n = len(scan.frames)
    with np.errstate(invalid="ignore"):
        present = scan.area > _ZERO_AREA
        zero = scan.area <= _ZERO_AREA
    absent = np.isnan(scan.area)
    rows = []
    for i, key in enumerate(scan.animals):
        involved = [ep for ep in episodes if i in (ep.a, ep.b)]
        named = [ep for ep in involved if i in ep.suspects]
        suspect_frames = [ep.first for ep in named]
        doubtful = zero[:, i] | absent[:, i]
        if doubtful.any():
            suspect_frames.append(int(scan.frames[np.argmax(doubtful)]))
        clean = int((present[:, i] & ~scan.heavy[:, i]).sum())
        rows.append(
            [
                int(present[:, i].sum()),
                int(zero[:, i].sum()),
                int(scan.heavy[:, i].sum()),
                len(involved),
                len(named),
                min(suspect_frames) if suspect_frames else pd.NA,
                clean / n * 0.5 ** len(named),
            ]
        )
    table = pd.DataFrame(rows, columns=ANIMAL_COLUMNS, index=pd.Index(scan.animals, name="Animal", dtype=object))
    table["First suspect frame"] = table["First suspect frame"].astype("Int64")
    return table


def _counts(scan: _Scan) -> tuple["np.ndarray", "np.ndarray"]:
    """Masks present per frame, and distinct animals: present masks with
    heavily overlapping ones counted once."""
    import numpy as np

    with np.errstate(invalid="ignore"):
        present = scan.area > _ZERO_AREA
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


# ------------------------------------------------------------------- page

_CSS = """
body{font-family:system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:24px;color:#222;max-width:1200px}
h1{font-size:1.5em;margin-bottom:.2em}h2{font-size:1.2em;margin-top:1.6em;border-bottom:1px solid #ccc}
p.sub{color:#555;margin-top:0}table{border-collapse:collapse;font-size:.9em;margin:.6em 0}
th,td{border:1px solid #ccc;padding:3px 8px;text-align:right;vertical-align:top}
th{background:#f2f2f2}td.k,th.k{text-align:left}tr.bad td{background:#fdecea}tr.warn td{background:#fff6e0}
.plots img,.counts img{display:block;max-width:100%;height:auto;margin:4px 0}
#episodes td,#episodes th{white-space:nowrap}.thumbs{display:flex;gap:6px}.thumbs figure{margin:0}.thumbs img{display:block;max-width:240px;height:auto}
figcaption{font-size:.8em;color:#555}.note{font-size:.85em;color:#555}
.legend span{display:inline-block;width:12px;height:12px;margin:0 4px 0 12px;vertical-align:middle}
"""


def _fmt(value: float) -> str:
    from html import escape

    if isinstance(value, float):
        if math.isnan(value):
            return "–"
        if math.isinf(value):
            return "∞"
        return f"{value:.2f}"
    return escape(str(value))


def _tag(name: str, text: Any, cls: str = "") -> str:
    from html import escape

    attr = f' class="{cls}"' if cls else ""
    return f"<{name}{attr}>{escape(str(text))}</{name}>"


def _page(
    title: str,
    scan: _Scan,
    table: "pd.DataFrame",
    counts_uri: str,
    area_uris: list[str],
    episodes: list[_Episode],
    shown: int,
    hand: _HandOver,
    expected: int,
    threshold: float,
    with_predictor: bool,
    present: "np.ndarray",
    distinct: "np.ndarray",
) -> str:
    from html import escape as esc

    import numpy as np

    n = len(scan.frames)
    short = int(np.count_nonzero(distinct < expected))
    over = int(np.count_nonzero(present > expected))
    out = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f"<title>Identity health: {esc(title)}</title>",
        f"<style>{_CSS}</style></head><body>",
        f"<h1>Identity health: {esc(title)}</h1>",
        f'<p class="sub">{n} frames ({scan.frames[0]} to {scan.frames[-1]}), {len(scan.animals)} tracked animals, '
        f"{expected} expected in the pen. {len(episodes)} overlap episode(s); {short} frame(s) with fewer distinct "
        f"animals than expected, {over} with more masks than expected. The frames with a vanished mask or a heavy "
        f'overlap are listed in <a href="tracking_question_report.csv">tracking_question_report.csv</a>.</p>',
        "<h2>Animals per frame</h2>",
        '<div class="counts">',
        f'<img alt="Expected and observed animal counts per frame" src="{counts_uri}">',
        "</div>",
        '<p class="note">Masks present: masks with a non-zero area. Distinct animals: the masks present, where masks '
        f"that overlap heavily (more than {threshold:g} % of one covered by the other) count once.</p>",
        "<h2>Animals</h2>",
        _animal_html(table),
        '<p class="note">Confidence = (frames in which the animal has a mask of non-zero area outside any heavy '
        "overlap) / (frames of the clip) × 0.5<sup>times named as failing track</sup>. An animal is named in an overlap "
        "episode when its mask changed more than its partner's on entering or leaving it, or when the two identities came "
        "out swapped (both are named). First suspect frame: the first frame in which its mask is missing or of "
        "zero area, or the first frame of an episode in which it was named.</p>",
        '<p class="legend">Mask area per frame:<span style="background:#d62728;opacity:.5"></span>zero area'
        '<span style="background:#f4a340;opacity:.6"></span>overlap episode</p>',
        '<div class="plots">',
    ]
    for key, uri in zip(scan.animals, area_uris):
        out.append(f'<img alt="Mask area of {esc(str(key))} per frame" src="{uri}">')
    out.append("</div>")
    out.append("<h2>Overlap episodes</h2>")
    out.append(_episodes_html(scan, episodes, shown, with_predictor))
    out.append("<h2>Hand-over to the next clip</h2>")
    removed = ", ".join(esc(str(k)) for k in hand.remove) if hand.remove else "none"
    s = hand.settings.text
    out.append(
        f"<p>Tracks the small-area check would remove (area at most {s('area_threshold')} pixels in more than "
        f"{s('min_count')} frames after frame {s('min_frame_id')}): <b>{removed}</b>.</p>"
    )
    # find_best_laste_frame counts on ten animals, less the tracks removed.
    needed = 10 - len(hand.remove)
    count = f"at least {needed} non-empty masks remain, " if needed > 0 else ""
    rule = (f"{count}every remaining mask has more than {s('min_area')} pixels and no mask covers half of "
            "another")
    if hand.best_frame is None:
        out.append(
            f"<p>Last-frame choice: <b>no usable frame</b> in the last {hand.attempts} frames (none in which {rule}); "
            "the hand-over would fail. Check the vanished and merged masks of the clip's end before the next clip.</p>"
        )
    else:
        out.append(f"<p>Last-frame choice: frame key <b>{esc(str(hand.best_frame))}</b> (the latest of the last "
                   f"{hand.attempts} frames in which {rule}).</p>")
    out.append(
        '<p class="note">Settings of the advice: find_boxes_with_small_area_from_last_video('
        f"min_frame_id={s('min_frame_id')}, area_threshold={s('area_threshold')}, min_count={s('min_count')}), "
        f"find_best_laste_frame(min_area={s('min_area')}, max_attempts={s('max_attempts')}).</p>"
    )
    out.append('<p class="note">Generated by mirelo_utils.clip_health_report.</p>')
    out.append("</body></html>")
    return "\n".join(out) + "\n"


def _animal_html(table: "pd.DataFrame") -> str:
    import pandas as pd

    head = "".join(_tag("th", c) for c in ["Animal", *table.columns])
    head = head.replace("<th>Animal</th>", '<th class="k">Animal</th>', 1)
    body = []
    for key, row in table.iterrows():
        conf = row["Confidence"]
        cls = "bad" if conf < 0.5 else "warn" if conf < 0.9 else ""
        cells = [_tag("td", key, "k")]
        for c in table.columns:
            v = row[c]
            cells.append(_tag("td", "–" if v is pd.NA else f"{v:.2f}" if c == "Confidence" else v))
        attr = f' class="{cls}"' if cls else ""
        body.append(f"<tr{attr}>{''.join(cells)}</tr>")
    return f'<table id="animals"><thead><tr>{head}</tr></thead><tbody>{"".join(body)}</tbody></table>'


def _episodes_html(scan: _Scan, episodes: list[_Episode], shown: int, with_predictor: bool) -> str:
    from html import escape as esc

    if not episodes:
        return "<p>No overlap episode: no two masks overlapped heavily in consecutive frames.</p>"
    cols = ["#", "Frames", "Pair", "Suspect", "Shape mismatch", "Box mismatch"]
    if with_predictor:
        cols.append("Appearance mismatch")
    cols += ["Identities swapped", "Compared frames", "First and last frame"]
    rows = []
    for n, ep in enumerate(episodes, 1):
        a, b = str(scan.animals[ep.a]), str(scan.animals[ep.b])
        suspect = ", ".join(str(scan.animals[i]) for i in ep.suspects) or "–"

        def both(v: tuple) -> str:
            return f"{esc(a)} {_fmt(float(v[0]))}<br>{esc(b)} {_fmt(float(v[1]))}"

        cells = [
            f"<td>{n}</td>",
            f"<td>{ep.first}–{ep.last} ({ep.frames})</td>",
            f'<td class="k">{esc(a)} – {esc(b)}</td>',
            f'<td class="k"><b>{esc(suspect)}</b></td>',
            f"<td>{both(ep.shape)}</td>",
            f"<td>{both(ep.box)}</td>",
        ]
        if with_predictor:
            cells.append(f"<td>{both(ep.appearance)}</td>")
        cells.append(f"<td>{'yes' if ep.swapped else 'no'}</td>")
        edges = [f"{f} → {g}" for f, g in ((ep.before, ep.first), (ep.last, ep.after)) if f is not None and g is not None]
        cells.append(f"<td>{'<br>'.join(edges) or '–'}</td>")
        if ep.thumbnails:
            figs = "".join(
                f'<figure><img alt="Frame {f}, {esc(a)} and {esc(b)}" src="{uri}"><figcaption>frame {f}</figcaption>'
                "</figure>"
                for f, uri in ep.thumbnails
            )
            cells.append(f'<td class="k"><div class="thumbs">{figs}</div></td>')
        else:
            cells.append('<td class="k">not pictured</td>')
        rows.append(f"<tr>{''.join(cells)}</tr>")
    head = "".join(_tag("th", c, "k" if c in ("Pair", "Suspect", "First and last frame") else "") for c in cols)
    note = (
        '<p class="note">Mismatch = 1 − similarity of the animal\'s mask across the compared frames, the entry into '
        "the episode and the exit from it (the larger of the two): mask IoU (shape), box IoU (box)"
        + (", cosine similarity of the image predictor's features (appearance)" if with_predictor else "")
        + ". The animal whose mask changed more is named: a track that fails in an overlap jumps onto the other "
        "animal. Identities swapped: each mask after the episode matches the other animal's mask before it better "
        "than its own; both are named.</p>"
    )
    more = ""
    if shown < len(episodes):
        more = f'<p class="note">Pictures are shown for the first {shown} episodes only.</p>'
    return f'<table id="episodes"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody></table>{note}{more}'


# --------------------------------------------------------------- progress


class _Progress:
    def __init__(self, callback: Optional[ProgressFn]):
        self._callback = callback

    def step(self, stage: str, done: int, total: int) -> None:
        if self._callback is not None:
            self._callback(stage, done, total)


def _title(records: Mapping, folder: Optional[str], scan: _Scan) -> str:
    if folder is not None:
        return folder
    first = records[scan.keys[0]]
    path = first.get("json_path") if isinstance(first, Mapping) else None
    if isinstance(path, str) and path:
        return os.path.dirname(path) or path
    return "tracked clip"


# ------------------------------------------------------------------- entry


def clip_health_report(
    clip: Union[Mapping[Any, Mapping[str, Any]], str, os.PathLike],
    out_dir: Union[str, os.PathLike],
    image_predictor: Any = None,
    *,
    expected_animals: int = 10,
    intersection_thrr: float = 80,
    min_episode_frames: int = 2,
    max_pictured_episodes: int = 40,
    min_frame_id: float = 500,
    area_threshold: float = 100,
    min_count: float = 100,
    min_area: float = 10,
    max_attempts: int = 10,
    title: Optional[str] = None,
    progress: Optional[ProgressFn] = None,
) -> Optional["pd.DataFrame"]:
    """Writes the identity-health page of a tracked clip and returns its
    per-animal summary.

    Writes ``out_dir/index.html``, one self-contained page (images embedded
    as data URIs; no network and no JavaScript needed), and the tracking
    question report ``out_dir/tracking_question_report.csv`` beside it (by
    ``generate_tracking_report``; a header-only file when there is nothing to
    report). Both replace earlier files whole, through temporaries. The page
    shows the expected and observed animal counts per frame, each animal's
    mask area over the frames with zero-area frames and overlap episodes
    shaded, the table of overlap episodes with their evidence and pictures of
    their first and last frames (drawn by ``img_bbx_drawing``), and the
    hand-over advice: the tracks ``find_boxes_with_small_area_from_last_video``
    would remove and the frame ``find_best_laste_frame`` would pick, with
    the settings given (run on copies of the last frames' masks: the
    caller's records are not changed); the page names the settings.

    Every frame's "mask_areas" and "intersections_df" are read; masks and
    images only for the frames around the overlap episodes, their pictures
    and the last frames. An overlap episode is a run of at least
    ``min_episode_frames`` consecutive frames in which two animals overlap
    heavily (a cell of the intersection table above ``intersection_thrr``,
    either way round). Its evidence compares each of the two masks across
    the entry (the frame before the episode -> its first frame) and the exit
    (its last frame -> the frame after), keeping the larger value: shape
    mismatch 1 - mask IoU, box mismatch 1 - box IoU and, with an image
    predictor, appearance mismatch 1 - cosine similarity of the predictor's
    features. The identities count as swapped when the masks after the
    episode are more similar (sum of those similarities) to the other
    animal's mask before it than to their own; both animals are then named
    as failing tracks, otherwise the one whose mask changed more (larger
    total mismatch; the first of the pair on a tie): a track that fails in
    an overlap jumps onto the other animal.

    Confidence of an animal, in [0, 1]:
    ``clean / frames * 0.5 ** named``, where ``clean`` counts the frames in
    which its mask has a non-zero area (above 0.1 pixel) and is in no heavy
    overlap, ``frames`` is the number of frames of the clip and ``named``
    the number of episodes in which it was named as a failing track.

    Args:
        clip: The frame records: a clip of ``open_clip`` (its masks are read
            as runs, painted only for the pictures), the records of
            ``get_gsam_annotation_data`` or any Mapping of frame key ->
            record of that form; or a clip folder, opened with ``open_clip``.
            Frame keys are whole numbers.
        out_dir: Folder of the page and the report; created when missing.
        image_predictor: The image predictor, for the appearance evidence;
            None to judge by shape and box only.
        expected_animals: Animals in the pen.
        intersection_thrr: Percentage of a mask covered by another above
            which the two overlap heavily (as in generate_tracking_report).
        min_episode_frames: Shortest overlap episode, in frames.
        max_pictured_episodes: Episodes pictured (the first ones); every
            episode is listed.
        min_frame_id: As in ``find_boxes_with_small_area_from_last_video``:
            frames up to this key are not examined for the advice.
        area_threshold: As there: largest area, in pixels, that counts as
            tiny.
        min_count: As there: a track is advised for removal when tiny in
            more frames than this. With the defaults (500, 100, 100) a
            clip of 601 frames or fewer has nothing to remove; scale them
            to shorter clips.
        min_area: As in ``find_best_laste_frame``: pixels every mask of the
            chosen frame must exceed.
        max_attempts: As there: frames examined, counted back from the last
            (at most the clip's frames).
        title: Page title; by default the clip folder (or the folder of the
            first record's "json_path").
        progress: Called as ``progress(stage, done, total)`` as the work
            goes on.

    Returns:
        pandas DataFrame indexed by the mask key ("Animal"), one row per
        animal in order of first appearance, with the columns "Frames
        present", "Frames with zero area", "Frames in heavy overlap",
        "Overlap episodes", "Times named as failing track", "First suspect
        frame" (nullable integer, <NA> when never suspect) and "Confidence".
        None when ``clip`` is a folder without annotation files (after the
        loader's message "No JSON files found in ...").

    Raises:
        TypeError: clip is neither a Mapping nor a folder path; frame keys
            that are not whole numbers; records of the wrong form; an
            option that is not a number.
        ValueError: an empty clip; a bad option.
        KeyError: a record without "mask_areas", "intersections_df" or, for a
            pictured frame, "masks_dict" or "image_path".
        NotADirectoryError, PermissionError, OSError: out_dir cannot be
            written (raised before the clip is read).
        ImportError: matplotlib is not installed.
    """
    for name, value, low in (
        ("expected_animals", expected_animals, 0),
        ("min_episode_frames", min_episode_frames, 1),
        ("max_pictured_episodes", max_pictured_episodes, 0),
    ):
        _check_whole(value, name, low)
    threshold = _setting(intersection_thrr, "intersection_thrr")
    settings = _HandOverSettings(min_frame_id, area_threshold, min_count, min_area, max_attempts)
    if title is not None and not isinstance(title, str):
        raise TypeError(f"expected a text or None for title, got {type(title).__name__}")
    if progress is not None and not callable(progress):
        raise TypeError(f"expected a callable or None for progress, got {type(progress).__name__}")
    folder, created = _out_folder(out_dir)
    try:
        table = _report(clip, folder, image_predictor, int(expected_animals), threshold, int(min_episode_frames),
                        int(max_pictured_episodes), settings, title, progress)
    except BaseException:
        remove_created(created)
        raise
    if table is None:
        remove_created(created)
    return table


def _report(clip: Any, folder: str, image_predictor: Any, expected_animals: int, threshold: float,
            min_episode_frames: int, max_pictured_episodes: int, settings: "_HandOverSettings",
            title: Optional[str], progress: Optional[ProgressFn]) -> Optional["pd.DataFrame"]:
    steps = _Progress(progress)

    steps.step("Loading the clip", 0, 1)
    records, clip_folder = _open_records(clip)
    if records is None:
        return None
    if len(records) == 0:
        raise ValueError("expected a clip with at least one frame record, got an empty mapping")
    steps.step("Loading the clip", 1, 1)

    scan = _scan_frames(records, threshold, steps)
    report = _core.generate_tracking_report(records, folder, threshold)
    if report[0].empty and not report[1]:
        header = ",".join(report[0].columns) + "\n"
        _qc_impl.write_file(os.path.join(folder, "tracking_question_report.csv"), header.encode("utf-8"))

    episodes = _find_episodes(scan, min_episode_frames)
    frames = _Frames(records, scan)
    shown = min(len(episodes), max_pictured_episodes)
    for n, ep in enumerate(episodes):
        _judge_episode(ep, scan, frames, image_predictor)
        if n < shown:
            pair = (scan.animals[ep.a], scan.animals[ep.b])
            ep.thumbnails = [(f, _thumbnail(frames, f, pair)) for f in dict.fromkeys((ep.first, ep.last))]
        steps.step("Judging overlap episodes", n + 1, len(episodes))

    table = _animal_table(scan, episodes)
    present, distinct = _counts(scan)
    counts_uri = _counts_plot(scan, present, distinct, expected_animals)
    plots = _AreaPlots(scan.frames)
    area_uris = []
    for i, key in enumerate(scan.animals):
        area_uris.append(plots.draw(key, scan.area[:, i], _in_episodes(scan.frames, i, episodes)))
        steps.step("Drawing the plots", i + 1, len(scan.animals))

    hand = _hand_over(records, scan, settings)
    page = _page(
        title if title is not None else _title(records, clip_folder, scan),
        scan,
        table,
        counts_uri,
        area_uris,
        episodes,
        shown,
        hand,
        expected_animals,
        threshold,
        image_predictor is not None,
        present,
        distinct,
    )
    # Names that are not UTF-8 (a clip folder's, say) are shown with the
    # replacement character: the page is text.
    _qc_impl.write_file(os.path.join(folder, PAGE_NAME), shown_text(page).encode("utf-8"))
    steps.step("Writing the page", 1, 1)
    return table
