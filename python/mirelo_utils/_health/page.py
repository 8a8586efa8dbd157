"""The health page as data: everything the page shows, in frozen records that
tests read without HTML, and their rendering by the package's Jinja2
template (autoescaped: names and titles from the caller's files are text,
never markup)."""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Any, Optional

from .._support import page_template
from .options import HandOverSettings

TEMPLATE = "index.html.jinja"


@dataclass(frozen=True)
class Picture:
    """An embedded image (a data URI) with its alternative text."""

    alt: str
    uri: str
    caption: str = ""


@dataclass(frozen=True)
class AnimalRow:
    """A row of the per-animal table (the values of clip_health_report's table)."""

    animal: str
    frames_present: int
    frames_zero_area: int
    frames_heavy_overlap: int
    episodes: int
    times_named: int
    first_suspect_frame: Optional[int]
    confidence: float

    @property
    def level(self) -> str:
        """"bad" below 0.5 confidence, "warn" below 0.9, else ""."""
        return "bad" if self.confidence < 0.5 else "warn" if self.confidence < 0.9 else ""


@dataclass(frozen=True)
class EpisodeRow:
    """An overlap episode and its evidence; the mismatches are given for the
    first and the second animal of the pair."""

    number: int
    first_frame: int
    last_frame: int
    frames: int
    pair: tuple[str, str]
    suspects: tuple[str, ...]
    shape_mismatch: tuple[float, float]
    box_mismatch: tuple[float, float]
    appearance_mismatch: Optional[tuple[float, float]]  # None without a predictor
    swapped: bool
    compared: tuple[tuple[int, int], ...]  # (from frame, to frame) across the entry and the exit
    pictures: tuple[Picture, ...]  # empty when not pictured


@dataclass(frozen=True)
class HandOverAdvice:
    """What the hand-over to the next clip would do with these settings."""

    settings: HandOverSettings
    removed: tuple[str, ...]  # tracks the small-area check would remove
    best_frame: Optional[str]  # the last-frame choice's key; None: no usable frame
    attempts: int  # frames the choice examined
    pen_animals: int  # the pen size the choice counts on
    expected_animals: int

    @property
    def tracks_needed(self) -> int:
        """Non-empty masks the chosen frame must hold."""
        return self.pen_animals - len(self.removed)


@dataclass(frozen=True)
class CorrectionRow:
    """A correction made to the clip's annotation files (an entry of its
    corrections.jsonl)."""

    edit: int
    time: str
    operation: str
    arguments: str  # "a=7 b=8 from_frame=59"
    frames: str  # the frames changed, as runs ("59-599")
    files: int  # files changed
    undoes: Optional[int]  # for an undo, the correction it reverted
    undone_by: Optional[int]  # the undo that reverted it


@dataclass(frozen=True)
class Page:
    """Everything the identity-health page of a clip shows."""

    title: str
    frame_count: int
    first_frame: int
    last_frame: int
    expected_animals: int
    threshold: float  # heavy overlap: more than this percentage of a mask covered
    frames_short: int  # frames with fewer distinct animals than expected
    frames_over: int  # frames with more masks than expected
    counts_plot: Picture
    area_plot: Picture
    animals: tuple[AnimalRow, ...]
    episodes: tuple[EpisodeRow, ...]
    pictured_episodes: int  # the first ones are pictured
    with_predictor: bool
    hand_over: HandOverAdvice
    corrections: tuple[CorrectionRow, ...] = ()  # oldest first
    corrections_error: Optional[str] = None  # why the log could not be read


def _number(value: float) -> str:
    if math.isnan(value):
        return "–"
    if math.isinf(value):
        return "∞"
    return f"{value:.2f}"


@functools.lru_cache(maxsize=1)
def _template() -> Any:
    return page_template(__file__, TEMPLATE, {"number": _number, "short": lambda value: f"{value:g}"})


def render(page: Page) -> str:
    """The page as one self-contained HTML document."""
    return _template().render(page=page)
