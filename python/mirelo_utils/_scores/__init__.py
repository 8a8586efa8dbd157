"""Tracking scores against ground truth, and the track files of the tracking
benchmarks (MOTChallenge boxes, MOTS masks, COCO run-length encoding).

``evaluate_tracking`` computes HOTA (DetA, AssA, LocA), the identity scores
(IDF1, IDP, IDR) and CLEAR MOT (MOTA, MOTP, IDSW, Frag, MT, PT, ML) exactly as
TrackEval computes them for one sequence; the work is done by the compiled
core, on masks held as runs (never as frame-sized arrays). pandas is imported
by the calls that build tables.
"""

from __future__ import annotations

import numbers
import os
import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

from .. import _core

if TYPE_CHECKING:  # pandas is imported by the calls, not by import mirelo_utils
    import pandas as pd

    from .._clip import Clip

__all__ = ["TrackingScores", "evaluate_tracking", "read_mot", "read_mots", "write_mot", "write_mots"]

Tracks = Union[str, "os.PathLike[str]", "Clip", Mapping[Any, Mapping[str, Any]]]

# Columns of a MOTChallenge file beyond the seventh, by their 1-based position.
_MOT_EXTRA = ("col8", "col9", "col10")
_BOX_KEY = re.compile(r"Box(-?\d+)")


@dataclass(frozen=True)
class TrackingScores:
    """The result of ``evaluate_tracking``.

    Attributes:
        summary: Metric name -> float, the keys "HOTA", "DetA", "AssA",
            "LocA" (means over the 19 alphas), "IDF1", "IDP", "IDR", "MOTA",
            "MOTP" (fractions) and "IDSW", "Frag", "MT", "PT", "ML" (counts).
        per_alpha: One row per alpha 0.05 ... 0.95: "Alpha", "HOTA", "DetA",
            "AssA", "LocA".
        per_animal: One row per ground-truth identity, in increasing order:
            "Identity", "Frames" (present), "Frames tracked" (matched by
            CLEAR), "Status" ("MT", "PT" or "ML"), "Switches" (CLEAR
            identity switches on it), "Fragmentations", "IDTP", "IDFN",
            "IDFP", "IDF1" (its share of the identity scores) and "Predicted
            identity" (the one the identity scores pair it with; missing when
            none).
        per_frame: One row per frame from the first to the last of either
            side: "Frame", "Ground truth", "Predicted" (detections counted),
            "Matches", "Misses", "False positives", "Switches" (CLEAR) and
            "Mean IoU" of the matches (NaN without any).
        switches: Every CLEAR identity switch in frame order: "Frame",
            "Ground truth identity", "Previous identity" (the predicted
            identity it was last matched to) and "New identity".
        counts: The CLEAR and identity counts behind the fractions:
            "CLR_TP", "CLR_FN", "CLR_FP", "IDTP", "IDFN", "IDFP".
    """

    summary: dict[str, float]
    per_alpha: pd.DataFrame
    per_animal: pd.DataFrame
    per_frame: pd.DataFrame
    switches: pd.DataFrame
    counts: dict[str, int]


def evaluate_tracking(predicted: Tracks, ground_truth: Tracks, *, iou: str = "mask",
                      threshold: float = 0.5) -> TrackingScores:
    """Scores predicted tracks against ground truth: HOTA, IDF1 and CLEAR MOT.

    Each side may be an opened clip (``open_clip``) or any mapping of frame
    records as ``get_gsam_annotation_data`` gives them, a folder of
    annotation files (opened with ``open_clip``), a MOTChallenge box file
    (``frame,id,x,y,w,h,conf,...``) or a MOTS file (``frame id class height
    width rle``); a file's kind is read from its first row.

    The values are TrackEval's for one sequence, as fractions (not the
    percentages of its printed tables), computed the same way:

    - Frames are numbered as written (MOTChallenge and MOTS20 count from 1,
      KITTI-MOTS from 0, annotation files from their file names); the
      sequence spans the frames of both sides. A clip's identities are its
      object ids (the number of the mask key "Box<n>" plus one).
    - Ground-truth MOTChallenge rows with 0 in the seventh column (read as an
      integer) are left out; there is no class filtering. MOTS rows of class
      10 are ignore regions: predictions that match no ground truth (at IoU
      0.5) and lie more than half inside them are left out (with
      ``iou="box"`` the regions are simply dropped); class-10 predictions
      are dropped. Other classes are animals.
    - CLEAR and the identity scores match at ``threshold``; HOTA at its 19
      alphas ``numpy.arange(0.05, 0.99, 0.05)``. Comparisons use TrackEval's
      epsilon, box IoU its operation order (so IoUs within ulps of a
      threshold fall on the same side), and sums numpy's order.
    - The one-to-one matching of each frame is linear_sum_assignment's over
      the detections in file order, ties resolved as scipy resolves them.
    - An empty side gives TrackEval's per-sequence values (0 for the scores
      it leaves unset, LocA 1).

    Masks are compared on their runs, never painted; overlapping masks are
    allowed. Where py-motmetrics differs (Frag; MT at exactly 80 %; IDF1 at
    an IoU one ulp below the threshold; IDSW and MOTA when a match carries
    over frames without detections; MOTP without matches), the values are
    TrackEval's.

    Args:
        predicted: The tracks to score.
        ground_truth: The corrected tracks.
        iou: "mask" (mask IoU; both sides need masks) or "box" (box IoU;
            masks give their tight box, inclusive pixels as width and
            height).
        threshold: IoU a CLEAR or identity match needs, 0 to 1.

    Returns:
        TrackingScores with summary, per_alpha, per_animal, per_frame,
        switches and counts.

    Raises:
        FileNotFoundError, OSError: a file that cannot be read, or a folder
            without annotation files.
        ValueError: a bad file (naming the file and line), a side without
            masks for iou="mask", masks of different frame sizes, an
            identity twice in one frame, or a bad ``iou`` or ``threshold``.
        TypeError: a side of another type.
    """
    if not isinstance(iou, str):
        raise TypeError(f"expected iou \"mask\" or \"box\", got {type(iou).__name__}")
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
        raise TypeError(f"expected a number for threshold, got {type(threshold).__name__}")
    gt = _side(ground_truth, "ground_truth")
    pred = _side(predicted, "predicted")
    raw = _core._score_tracking(gt, pred, iou, float(threshold))  # type: ignore[attr-defined]
    return _scores(raw)


def _side(value: Any, name: str) -> Any:
    """What the core reads for one side: a file path, or (frames, identities,
    masks) of a clip or a mapping of frame records."""
    from .._clip import Clip, open_clip

    if isinstance(value, (str, os.PathLike)):
        path = os.fspath(value)
        if isinstance(path, bytes):
            raise TypeError(f"expected a str path for {name}, got bytes")
        if not os.path.isdir(path):
            return path
        clip = open_clip(path)
        if clip is None:
            raise FileNotFoundError(f"no annotation files (output_pp_<frame>.json) below {path!r} for {name}")
        value = clip
    if isinstance(value, Clip):
        records = ((value[k]["frame_index"], value.animals(k)) for k in value)
    elif isinstance(value, Mapping):
        records = ((r["frame_index"], _compact(r["masks_dict"])) for r in value.values())
    else:
        raise TypeError(f"expected a clip, a mapping of frame records, a folder or a track file for {name}, "
                        f"got {type(value).__name__}")
    frames: list[int] = []
    ids: list[int] = []
    masks: list[Any] = []
    seen: set[int] = set()
    for frame, animals in records:
        frame = int(frame)
        if frame in seen:
            raise ValueError(f"frame {frame} appears in two frame records of {name}")
        seen.add(frame)
        for key, mask in animals.items():
            frames.append(frame)
            ids.append(_identity(key, name))
            masks.append(mask)
    return (frames, ids, masks)


def _compact(masks_dict: Any) -> Mapping[Any, Any]:
    compact = getattr(masks_dict, "compact", None)
    return compact() if compact is not None else masks_dict


def _identity(key: Any, name: str) -> int:
    match = _BOX_KEY.fullmatch(str(key))
    if match is None:
        raise ValueError(f"expected mask keys \"Box\" followed by a number in {name}, got {key!r}")
    return int(match.group(1)) + 1


def _scores(raw: dict[str, Any]) -> TrackingScores:
    import numpy as np
    import pandas as pd

    alpha = raw["per_alpha"]
    per_alpha = pd.DataFrame({"Alpha": alpha["alpha"], "HOTA": alpha["HOTA"], "DetA": alpha["DetA"],
                              "AssA": alpha["AssA"], "LocA": alpha["LocA"]})
    a = raw["per_animal"]
    frames = a["frames"]
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = np.where(frames > 0, a["frames_tracked"] / np.maximum(frames, 1), 0.0)
    status = np.where(ratio > 0.8, "MT", np.where(ratio >= 0.2, "PT", "ML"))
    per_animal = pd.DataFrame({
        "Identity": a["id"], "Frames": frames, "Frames tracked": a["frames_tracked"], "Status": status,
        "Switches": a["switches"], "Fragmentations": a["fragmentations"], "IDTP": a["idtp"], "IDFN": a["idfn"],
        "IDFP": a["idfp"], "IDF1": a["idf1"],
        "Predicted identity": pd.array(a["partner"], dtype="Int64"),
    })
    f = raw["per_frame"]
    with np.errstate(invalid="ignore", divide="ignore"):
        mean_iou = np.where(f["matches"] > 0, f["iou_sum"] / np.maximum(f["matches"], 1), np.nan)
    per_frame = pd.DataFrame({
        "Frame": f["frame"], "Ground truth": f["ground_truth"], "Predicted": f["predicted"], "Matches": f["matches"],
        "Misses": f["misses"], "False positives": f["false_positives"], "Switches": f["switches"], "Mean IoU": mean_iou,
    })
    s = raw["switches"]
    switches = pd.DataFrame({"Frame": s["frame"], "Ground truth identity": s["ground_truth"],
                             "Previous identity": s["previous"], "New identity": s["current"]})
    return TrackingScores(summary=dict(raw["summary"]), per_alpha=per_alpha, per_animal=per_animal,
                          per_frame=per_frame, switches=switches, counts=dict(raw["counts"]))


# ------------------------------------------------------------------ files

def read_mot(path: str | os.PathLike[str]) -> pd.DataFrame:
    """Reads a MOTChallenge box file.

    Rows are ``frame,id,x,y,w,h,conf[,...]``: comma-separated (blanks around
    the commas and one trailing comma allowed) or blank-separated numbers, 7
    to 10 per row; blank lines are skipped.

    Args:
        path: The file.

    Returns:
        One row per line in file order: "frame", "id" (int64), "x", "y",
        "w", "h" (the box's left, top, width and height), "conf" (the
        seventh column) and, when any row has them, "col8" to "col10" (NaN
        where a row is shorter).

    Raises:
        FileNotFoundError, OSError: the file cannot be read.
        ValueError: a bad row, naming the file and the line: a count of
            values outside 7 to 10, a value that is not a finite number, a
            frame or identity that is not whole, a negative width or height,
            or an identity twice in one frame.
    """
    import pandas as pd

    cols = _core._read_mot(path)  # type: ignore[attr-defined]
    table = pd.DataFrame({name: cols[name] for name in ("frame", "id", "x", "y", "w", "h", "conf")})
    extra = cols["extra"]
    for k in range(extra.shape[1]):
        table[_MOT_EXTRA[k]] = extra[:, k]
    return table


def write_mot(path: str | os.PathLike[str], table: Any) -> None:
    """Writes a MOTChallenge box file (replacing it whole, atomically).

    Args:
        path: The file.
        table: A DataFrame (or mapping of columns) with "frame", "id", "x",
            "y", "w", "h", optionally "conf" (1 where missing) and "col8" to
            "col10" (written in order; a row's trailing NaN left out), as
            ``read_mot`` gives it. Numbers are written in their shortest
            exact form, so ``read_mot`` gives the same values back.

    Raises:
        KeyError: a required column missing.
        ValueError: a frame or identity that is not whole, a value that is
            not finite, or NaN before a number among "col8" to "col10".
        OSError: the file cannot be written.
    """
    import numpy as np

    n = len(table["frame"])
    conf = table["conf"] if _has(table, "conf") else np.ones(n)
    extra_names = [name for name in _MOT_EXTRA if _has(table, name)]
    extra = np.column_stack([np.asarray(table[name], dtype=float) for name in extra_names]) if extra_names \
        else np.empty((n, 0))
    _core._write_mot(path, np.asarray(table["frame"]), np.asarray(table["id"]),  # type: ignore[attr-defined]
                     np.asarray(table["x"], dtype=float), np.asarray(table["y"], dtype=float),
                     np.asarray(table["w"], dtype=float), np.asarray(table["h"], dtype=float),
                     np.asarray(conf, dtype=float), extra)


def read_mots(path: str | os.PathLike[str]) -> pd.DataFrame:
    """Reads a MOTS file (``frame id class height width rle`` per line).

    Args:
        path: The file.

    Returns:
        One row per line in file order: "frame", "id", "class" (int64) and
        "mask" (a CompactMask, made from the RLE without painting pixels).
        ``attrs["frame_size"]`` is (height, width) of every mask.

    Raises:
        FileNotFoundError, OSError: the file cannot be read.
        ValueError: a bad row, naming the file and the line: not 6 values,
            numbers that are not whole, a frame size other than the first
            row's, an RLE text that is malformed or does not cover the frame,
            or an identity twice in one frame (ignore regions aside).
    """
    import pandas as pd

    cols, masks, size = _core._read_mots(path)  # type: ignore[attr-defined]
    table = pd.DataFrame({"frame": cols["frame"], "id": cols["id"], "class": cols["class"],
                          "mask": pd.Series(masks, dtype=object)})
    table.attrs["frame_size"] = tuple(size)
    return table


def write_mots(path: str | os.PathLike[str], table: Any) -> None:
    """Writes a MOTS file (replacing it whole, atomically).

    Args:
        path: The file.
        table: A DataFrame (or mapping of columns) with "frame", "id",
            "class" and "mask" (CompactMask objects or 2-D arrays), as
            ``read_mots`` gives it. Each mask is written as pycocotools'
            compressed RLE of its own frame size.

    Raises:
        KeyError: a column missing.
        ValueError: numbers that are not whole, columns of different lengths
            or a mask that is not 2-D.
        OSError: the file cannot be written.
    """
    import numpy as np

    _core._write_mots(path, np.asarray(table["frame"]), np.asarray(table["id"]),  # type: ignore[attr-defined]
                      np.asarray(table["class"]), list(table["mask"]))


def _has(table: Any, name: str) -> bool:
    try:
        return name in table
    except TypeError:
        return False
