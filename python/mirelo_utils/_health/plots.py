"""The page's pictures: the animal counts per frame, the mask areas as a grid
of small plots with shared axes, and the episodes' frames drawn by
img_bbx_drawing; each as a data URI, so that the page is one file."""

from __future__ import annotations

import base64
import io
import math
from typing import Any

import numpy as np

from .. import _core
from .._support import import_optional
from .scan import ZERO_AREA, FrameReader, Scan, box, is_set, overlaps

THUMB_SIDE = 280
_MIN_MARGIN = 24
# Label text of img_bbx_drawing sits above a box: room for it in a crop.
_LABEL_ROOM = 22
_DPI = 80
_WIDTH = 15  # inches: the page's content width (1200 pixels) at _DPI
# The area grid's columns: a pen's ten animals in two rows.
_GRID_COLUMNS = 5
EPISODE_COLOUR = "#f4a340"
ZERO_COLOUR = "#d62728"


def _figure(width: float, height: float):
    module = import_optional("matplotlib.figure", "clip_health_report", "matplotlib", "plots")
    # A Figure of its own (no pyplot): no global figure state, no GUI back end.
    return module.Figure(figsize=(width, height), dpi=_DPI)


def data_uri(data: bytes, mime: str) -> str:
    return f"data:{mime};base64,{base64.b64encode(data).decode('ascii')}"


def _png(fig) -> str:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    return data_uri(buffer.getvalue(), "image/png")


def spans(frames: np.ndarray, flags: np.ndarray) -> list[tuple[int, int]]:
    """First and last frame of each run of consecutive flagged frames."""
    out: list[tuple[int, int]] = []
    for f, flag in zip(frames.tolist(), flags.tolist()):
        if flag:
            if out and out[-1][1] == f - 1:
                out[-1] = (out[-1][0], f)
            else:
                out.append((f, f))
    return out


def counts_plot(scan: Scan, present: np.ndarray, distinct: np.ndarray, expected: int) -> str:
    fig = _figure(_WIDTH, 2.6)
    fig.subplots_adjust(left=0.05, right=0.995, bottom=0.18, top=0.96)
    ax = fig.subplots()
    x = scan.frames
    ax.axhline(expected, color="#2a7", lw=1.5, label=f"expected ({expected})")
    ax.step(x, present, where="mid", color="#36c", lw=1.2, label="masks present")
    ax.step(x, distinct, where="mid", color="#c33", lw=1.2, ls="--", label="distinct animals")
    top = max(expected, int(present.max(initial=0))) + 1
    ax.set_ylim(-0.2, top + 0.2)
    ax.set_xlim(x[0] - 0.5, x[-1] + 0.5)
    ax.set_xlabel("frame")
    ax.set_ylabel("animals")
    ax.legend(loc="lower left", fontsize=8, ncols=3)
    return _png(fig)


def area_grid(scan: Scan, episode_frames: list[np.ndarray]) -> str:
    """Each animal's mask area over the frames, one small plot per animal in
    a grid with shared axes, its overlap episodes (episode_frames[i]) and
    zero-area frames shaded."""
    n = len(scan.animals)
    cols = min(_GRID_COLUMNS, n)
    rows = math.ceil(n / cols)
    fig = _figure(_WIDTH, 0.45 + 1.35 * rows)
    axes = fig.subplots(rows, cols, sharex=True, sharey=True, squeeze=False)
    fig.subplots_adjust(left=0.06, right=0.995, bottom=0.3 / (0.45 + 1.35 * rows), top=1 - 0.12 / (0.45 + 1.35 * rows),
                        wspace=0.06, hspace=0.28)
    x = scan.frames
    with np.errstate(invalid="ignore"):
        zero = scan.area <= ZERO_AREA
    for i, ax in enumerate(axes.flat):
        if i >= n:
            ax.set_visible(False)
            continue
        for first, last in spans(x, episode_frames[i]):
            ax.axvspan(first - 0.5, last + 0.5, color=EPISODE_COLOUR, alpha=0.35, lw=0)
        for first, last in spans(x, zero[:, i]):
            ax.axvspan(first - 0.5, last + 0.5, color=ZERO_COLOUR, alpha=0.35, lw=0)
        ax.plot(x, scan.area[:, i], color="#1f4e8c", lw=1.0)
        ax.set_title(str(scan.animals[i]), fontsize=9, loc="left", pad=2)
        ax.tick_params(labelsize=7)
        if i % cols == 0:
            ax.set_ylabel("area (px)", fontsize=8)
        # Tick labels under every plot of the last filled row of each column.
        if i + cols >= n:
            ax.xaxis.set_tick_params(labelbottom=True)
    top = np.nanmax(scan.area, initial=0.0) if np.isfinite(scan.area).any() else 0.0
    axes[0, 0].set_ylim(0, top * 1.08 if top > 0 else 1.0)
    axes[0, 0].set_xlim(x[0] - 0.5, x[-1] + 0.5)
    return _png(fig)


def thumbnail(frames: FrameReader, frame: int, pair: tuple) -> str:
    """The frame around the pair's masks with every mask of the frame drawn
    by img_bbx_drawing, as a JPEG data URI."""
    image = frames.image(frame)
    masks = frames.masks(frame)
    width, height = image.size
    boxes = [box(masks[k]) for k in pair if k in masks and is_set(masks[k])]
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
    cut: dict[Any, np.ndarray] = {}
    for k, m in masks.items():
        if tuple(m.shape) == (height, width) and is_set(m) and overlaps(box(m), (x0, y0, x1 - 1, y1 - 1)):
            part = np.asarray(m)[y0:y1, x0:x1]
            if part.any():
                cut[k] = part
    drawn = _core.img_bbx_drawing(crop, cut).convert("RGB")
    side = max(drawn.size)
    if side < THUMB_SIDE // 2:  # a small frame is enlarged to stay readable
        factor = THUMB_SIDE // 2 // side + 1
        drawn = drawn.resize((drawn.width * factor, drawn.height * factor), resample=0)
    drawn.thumbnail((THUMB_SIDE, THUMB_SIDE))
    buffer = io.BytesIO()
    drawn.save(buffer, format="JPEG", quality=82)
    return data_uri(buffer.getvalue(), "image/jpeg")
