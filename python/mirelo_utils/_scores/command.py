"""``python -m mirelo_utils evaluate PRED GT OUT_DIR``: the scores of tracks
against ground truth written as CSVs and a small page, with drawings of the
frames of identity switches where the frames are at hand."""

from __future__ import annotations

import argparse
import os
import re
from typing import Any, Optional

from .._support import option_type
from . import TrackingScores, evaluate_tracking, read_mot, read_mots
from .page import DRAWINGS, PAGE_NAME, build, render

SUMMARY_CSV = "summary.csv"
PER_ANIMAL_CSV = "per_animal.csv"
MAX_DRAWINGS = 100
_DIGITS = re.compile(r"(\d+)$")
_IMAGE_SUFFIXES = (".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp")


def add_parser(commands: Any) -> None:
    """Adds the evaluate command to the command line's sub-parsers."""
    p = commands.add_parser(
        "evaluate", help="score tracks against ground truth (HOTA, IDF1, CLEAR MOT)",
        description="Scores PRED against GT and writes OUT_DIR/summary.csv, OUT_DIR/per_animal.csv and "
        "OUT_DIR/index.html (plots per frame, every identity switch, drawings of the switch frames where the "
        "frames are at hand). PRED and GT are each a MOTChallenge box file, a MOTS file or a folder of "
        "annotation files (output_pp_<frame>.json).")
    p.add_argument("predicted", metavar="PRED", help="the tracks to score")
    p.add_argument("ground_truth", metavar="GT", help="the corrected tracks")
    p.add_argument("out_dir", metavar="OUT_DIR", help="folder of the results (created when missing)")
    p.add_argument("--iou", choices=("mask", "box"), default=None,
                   help="mask or box IoU (default: mask, or box when a side holds boxes)")
    p.add_argument("--threshold", type=_unit, default=0.5, metavar="T",
                   help="IoU a CLEAR or identity match needs (0.5)")
    p.add_argument("--images", metavar="DIR", default=None,
                   help="folder of the frame images (names ending in the frame number) for the drawings")


_unit = option_type(float, "a number", 0, 1, "a number from 0 to 1")


def run(args: argparse.Namespace) -> int:
    """Runs the command; returns the exit code."""
    import pandas as pd

    os.makedirs(args.out_dir, exist_ok=True)
    iou = args.iou or ("box" if _holds_boxes(args.predicted) or _holds_boxes(args.ground_truth) else "mask")
    scores = evaluate_tracking(args.predicted, args.ground_truth, iou=iou, threshold=args.threshold)
    sides = _Sides(args.predicted, args.ground_truth, args.images)
    drawings = _draw_switches(scores, sides, args.out_dir)
    page = build(scores, predicted=args.predicted, ground_truth=args.ground_truth, iou=iou,
                 threshold=args.threshold, drawings=drawings, frames_at_hand=sides.frames_at_hand())
    summary = pd.DataFrame({"Metric": list(scores.summary), "Value": list(scores.summary.values())})
    _write(os.path.join(args.out_dir, SUMMARY_CSV), summary.to_csv(index=False))
    _write(os.path.join(args.out_dir, PER_ANIMAL_CSV), scores.per_animal.to_csv(index=False))
    _write(os.path.join(args.out_dir, PAGE_NAME), render(page))
    for name, value in scores.summary.items():
        print(f"{name:<5} {value:g}" if float(value).is_integer() else f"{name:<5} {value:.4f}")
    print(f"Scores written to {os.path.join(args.out_dir, PAGE_NAME)}")
    return 0


def _write(path: str, data: str | bytes) -> None:
    from .._core import _io

    _io.write_file(path, data.encode("utf-8") if isinstance(data, str) else data)


def _holds_boxes(path: str) -> bool:
    """A MOTChallenge file: its first row has a comma or seven or more values."""
    if os.path.isdir(path):
        return False
    try:
        with open(path, encoding="utf-8", errors="replace") as fh:
            for line in fh:
                if line.strip():
                    return "," in line or len(line.split()) >= 7
    except OSError:
        return False  # evaluate_tracking reports it
    return False


class _Sides:
    """The detections of both sides by frame, and the frame images at hand,
    read only when a drawing needs them."""

    def __init__(self, predicted: str, ground_truth: str, images: Optional[str]):
        self._paths = {"pred": predicted, "gt": ground_truth}
        self._images_dir = images
        self._detections: dict[str, dict[int, list[tuple[int, Any]]]] = {}
        self._images: Optional[dict[int, str]] = None

    def images(self) -> dict[int, str]:
        if self._images is None:
            found: dict[int, str] = {}
            for key in ("gt", "pred"):
                path = self._paths[key]
                if os.path.isdir(path):
                    for frame, dets, image in _clip_frames(path):
                        if image and os.path.isfile(image):
                            found.setdefault(frame, image)
            if self._images_dir:
                for name in sorted(os.listdir(self._images_dir)):
                    stem, ext = os.path.splitext(name)
                    match = _DIGITS.search(stem)
                    if match and ext.lower() in _IMAGE_SUFFIXES:
                        found[int(match.group(1))] = os.path.join(self._images_dir, name)
            self._images = found
        return self._images

    def frames_at_hand(self) -> bool:
        return bool(self.images())

    def detections(self, key: str, frame: int) -> list[tuple[int, Any]]:
        if key not in self._detections:
            self._detections[key] = _by_frame(self._paths[key])
        return self._detections[key].get(frame, [])


def _clip_frames(folder: str):
    from .._clip import open_clip

    clip = open_clip(folder)
    for k in clip or ():
        record = clip[k]
        yield int(record["frame_index"]), clip.animals(k), record["image_path"]


def _by_frame(path: str) -> dict[int, list[tuple[int, Any]]]:
    """Frame -> [(identity, CompactMask or (x, y, w, h))] of a side."""
    out: dict[int, list[tuple[int, Any]]] = {}
    if os.path.isdir(path):
        for frame, animals, _ in _clip_frames(path):
            out[frame] = [(int(key[3:]) + 1, mask) for key, mask in animals.items()]
    elif _holds_boxes(path):
        t = read_mot(path)
        for f, i, x, y, w, h in zip(t["frame"], t["id"], t["x"], t["y"], t["w"], t["h"]):
            out.setdefault(int(f), []).append((int(i), (float(x), float(y), float(w), float(h))))
    else:
        t = read_mots(path)
        for f, i, c, m in zip(t["frame"], t["id"], t["class"], t["mask"]):
            if c != 10:
                out.setdefault(int(f), []).append((int(i), m))
    return out


def _draw_switches(scores: TrackingScores, sides: _Sides, out_dir: str) -> dict[int, str]:
    """Draws the first MAX_DRAWINGS frames with identity switches whose image
    is at hand; returns frame -> link relative to the page."""
    frames = list(dict.fromkeys(int(f) for f in scores.switches["Frame"]))[:MAX_DRAWINGS]
    if not frames or not sides.images():
        return {}
    os.makedirs(os.path.join(out_dir, DRAWINGS), exist_ok=True)
    links = {}
    for frame in frames:
        image = sides.images().get(frame)
        if image is None:
            continue
        rows = scores.switches[scores.switches["Frame"] == frame]
        focus_gt = set(rows["Ground truth identity"].astype(int))
        focus_pred = set(rows["Previous identity"].astype(int)) | set(rows["New identity"].astype(int))
        name = f"frame_{frame}.png"
        _draw(image, sides.detections("gt", frame), sides.detections("pred", frame), focus_gt, focus_pred,
              os.path.join(out_dir, DRAWINGS, name))
        links[frame] = f"{DRAWINGS}/{name}"
    return links


def _draw(image_path: str, gt: list[tuple[int, Any]], pred: list[tuple[int, Any]], focus_gt: set[int],
          focus_pred: set[int], out_path: str) -> None:
    """The frame with the predicted masks painted, and the boxes of both
    sides labelled: ground truth green ("GT <id>"), predictions magenta; the
    identities of the switch drawn thick."""
    import io

    import numpy as np
    from PIL import Image, ImageDraw

    with Image.open(image_path) as im:
        picture = im.convert("RGB")
    pixels = np.asarray(picture).copy()
    for ident, det in pred:
        if not isinstance(det, tuple) and det.shape == pixels.shape[:2]:
            mask = np.asarray(det).astype(bool)
            colour = np.array([255, 0, 255] if ident in focus_pred else [200, 120, 200], dtype=np.float64)
            pixels[mask] = (0.55 * pixels[mask] + 0.45 * colour).astype(np.uint8)
    picture = Image.fromarray(pixels)
    draw = ImageDraw.Draw(picture)
    # Ground-truth labels go below their box, predicted ones inside its top.
    for dets, colour, prefix, focus, below in ((gt, (0, 200, 0), "GT ", focus_gt, True),
                                               (pred, (255, 0, 255), "", focus_pred, False)):
        for ident, det in dets:
            box = _box(det)
            if box is None:
                continue
            draw.rectangle(box, outline=colour, width=4 if ident in focus else 1)
            draw.text((box[0] + 3, box[3] + 3 if below else box[1] + 3), f"{prefix}{ident}", fill=colour)
    buffer = io.BytesIO()
    picture.save(buffer, format="PNG")
    _write(out_path, buffer.getvalue())


def _box(det: Any) -> Optional[tuple[float, float, float, float]]:
    if isinstance(det, tuple):
        x, y, w, h = det
        return (x, y, x + w, y + h)
    return det.box
