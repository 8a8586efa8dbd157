"""Overlap episodes (runs of frames in which two animals overlap heavily),
how each is judged, and the per-animal table that follows from them."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np
import pandas as pd

from .. import _core
from . import ANIMAL_COLUMNS
from .scan import ZERO_AREA, FrameReader, Scan, box

@dataclass
class Episode:
    a: int  # the pair, as positions in Scan.animals
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
    pictures: list = field(default_factory=list)  # (frame, data URI)

    @property
    def frames(self) -> int:
        return self.last - self.first + 1

    @property
    def edges(self) -> list[tuple[int, int]]:
        """The compared frame pairs: (before, first) and (last, after), those
        the clip has."""
        return [(f, g) for f, g in ((self.before, self.first), (self.last, self.after))
                if f is not None and g is not None]


def find_episodes(scan: Scan, min_frames: int) -> list[Episode]:
    """Runs of at least min_frames consecutive frames in which a pair of
    animals overlaps heavily (either way round)."""
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
    episodes = [Episode(code // n, code % n, run[0], run[-1]) for code, code_runs in runs.items() for run in code_runs]
    episodes.sort(key=lambda e: (e.first, e.a, e.b))
    return episodes


def judge_episode(ep: Episode, scan: Scan, frames: FrameReader, predictor: Any) -> None:
    """Judges an episode from the pair's masks at its edges.

    A track that fails in an overlap jumps: its mask leaves its animal for
    the other one as the episode begins (and may jump back as it ends), or
    the two identities come out of it exchanged. So each animal's mask is
    compared across the entry (the frame before the episode -> its first
    frame) and the exit (its last frame -> the frame after), keeping the
    larger mismatch of each measure, and the frame before is compared with
    the frame after for an exchange. At the clip's ends the comparison that
    has no frame is left out.

    The measures are those of the core's overlap analysis
    (process_overlap_frames): 1 - mask IoU, 1 - box IoU and, with a
    predictor, 1 - cosine similarity of the appearance features. Its rule
    differs, and both exist for what each answers. The overlap analysis
    names one track for a whole clip, the one most often worst over five
    consecutive frame pairs before the clip's first episode, and needs the
    predictor; its answer is fixed by the tracking workflow that calls it.
    The page needs a verdict on every episode, with or without a predictor,
    and must tell an exchange of identities (both tracks wrong) from one
    track jumping, which frame-to-frame scores next to one episode cannot
    show. So it compares each pair's masks across that episode's own edges,
    and the masks before it with those after it.
    """
    pair = (scan.animals[ep.a], scan.animals[ep.b])
    ep.before = ep.first - 1 if ep.first - 1 in frames else None
    ep.after = ep.last + 1 if ep.last + 1 in frames else None
    shape = next((tuple(m.shape) for m in frames.masks(ep.first).values()), None)
    if not ep.edges or shape is None:
        return
    looks: dict = {}

    def look(frame: int) -> tuple:
        """The pair's masks on a frame (empty where missing), their boxes,
        and their appearance features with a predictor."""
        if frame not in looks:
            present = frames.masks(frame)
            masks = [present[k] if k in present else np.zeros(shape, np.uint8) for k in pair]
            features = None
            if predictor is not None:
                stack = np.stack([np.asarray(m) for m in masks])
                features = _core.generate_sam2_image_features(frames.image(frame), stack, predictor)
            looks[frame] = (masks, np.array([box(m) for m in masks]), features)
        return looks[frame]

    def compare(old_frame: int, new_frame: int) -> tuple:
        """Mismatch per measure and animal, and the similarity of every new
        mask (rows) with every old one (columns)."""
        (old, old_boxes, old_features), (new, new_boxes, new_features) = look(old_frame), look(new_frame)
        iou = _core.cal_masks_iou_scores(new, old)
        box_iou = _core._box_iou_scores(new_boxes, old_boxes)  # type: ignore[attr-defined]  # private
        similarity = iou + box_iou
        cosine = np.full((2, 2), np.nan)
        if predictor is not None:
            cosine = _core.cosine_scores_cal(new_features, old_features)
            if np.isfinite(cosine).all():
                similarity = similarity + cosine
        return np.stack([1.0 - np.diag(iou), 1.0 - np.diag(box_iou), 1.0 - np.diag(cosine)]), similarity

    mismatch = np.max([compare(f, g)[0] for f, g in ep.edges], axis=0)
    ep.shape, ep.box, ep.appearance = (tuple(float(v) for v in row) for row in mismatch)
    if ep.before is not None and ep.after is not None:
        similarity = compare(ep.before, ep.after)[1]
        ep.swapped = bool(similarity[0, 1] + similarity[1, 0] > similarity[0, 0] + similarity[1, 1])
    if ep.swapped:
        ep.suspects = (ep.a, ep.b)
    else:
        total = mismatch[:2].sum(axis=0) + (mismatch[2] if predictor is not None else 0.0)
        ep.suspects = (ep.b,) if total[1] > total[0] else (ep.a,)


def in_episodes(scan: Scan, i: int, episodes: list[Episode]) -> np.ndarray:
    """Per frame, whether animal i is in one of the episodes."""
    flags = np.zeros(len(scan.frames), dtype=bool)
    for ep in episodes:
        if i in (ep.a, ep.b):
            flags |= (scan.frames >= ep.first) & (scan.frames <= ep.last)
    return flags


def animal_values(scan: Scan, episodes: list[Episode]) -> list[tuple]:
    """Per animal, the values of the per-animal table (ANIMAL_COLUMNS), the
    first suspect frame None when there is none."""
    n = len(scan.frames)
    with np.errstate(invalid="ignore"):
        present = scan.area > ZERO_AREA
        zero = scan.area <= ZERO_AREA
    absent = np.isnan(scan.area)
    rows = []
    for i in range(len(scan.animals)):
        involved = [ep for ep in episodes if i in (ep.a, ep.b)]
        named = [ep for ep in involved if i in ep.suspects]
        suspect_frames = [ep.first for ep in named]
        doubtful = zero[:, i] | absent[:, i]
        if doubtful.any():
            suspect_frames.append(int(scan.frames[np.argmax(doubtful)]))
        clean = int((present[:, i] & ~scan.heavy[:, i]).sum())
        rows.append((
            int(present[:, i].sum()),
            int(zero[:, i].sum()),
            int(scan.heavy[:, i].sum()),
            len(involved),
            len(named),
            min(suspect_frames) if suspect_frames else None,
            clean / n * 0.5 ** len(named),
        ))
    return rows


def animal_table(scan: Scan, values: list[tuple]) -> pd.DataFrame:
    """The per-animal table, indexed by the mask key ("Animal")."""
    table = pd.DataFrame([[pd.NA if v is None else v for v in row] for row in values], columns=ANIMAL_COLUMNS,
                         index=pd.Index(scan.animals, name="Animal", dtype=object))
    table["First suspect frame"] = table["First suspect frame"].astype("Int64")
    return table
