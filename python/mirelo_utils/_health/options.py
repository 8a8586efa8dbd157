"""The health page's settings, one record each for clip_health_report, its
cluster variant and the command line: the hand-over advice's settings (a
public record callers pass around) and the page's own options (the record a
cluster task receives)."""

from __future__ import annotations

import dataclasses
import math
import numbers
from dataclasses import dataclass
from typing import Any, Optional

__all__ = ["HandOverSettings", "PageOptions", "hand_over_settings"]


def number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"expected a number for {what}, got {type(value).__name__} {value!r}")
    return float(value)


def setting(value: Any, name: str) -> float:
    """A number option as float; NaN refused."""
    value_ = number(value, name)
    if math.isnan(value_):
        raise ValueError(f"expected a number for {name}, got nan")
    return value_


def check_whole(value: Any, name: str, low: int) -> None:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < low:
        raise ValueError(f"expected a whole number >= {low} for {name}, got {value!r}")


@dataclass(frozen=True)
class HandOverSettings:
    """The settings of the hand-over advice on the health page: those of
    ``find_boxes_with_small_area_from_last_video`` (which tracks the next
    clip drops) and ``find_best_laste_frame`` (which frame it starts from).

    ``clip_health_report``, ``clip_health_reports_on_cluster`` and the command
    line take one record (``hand_over=``), or its fields by keyword.

    Attributes:
        min_frame_id: Frames up to this key are not examined for small
            areas.
        area_threshold: Largest area, in pixels, that counts as tiny.
        min_count: A track is advised for removal when tiny in more frames
            than this (>= 0). With the defaults (500, 100, 100) a clip of
            601 frames or fewer has nothing to remove; scale them to shorter
            clips.
        min_area: Pixels every mask of the chosen last frame must exceed.
        max_attempts: Frames the last-frame choice examines, counted back
            from the last (at most the clip's frames; a whole number >= 1).
        pen_animals: Animals in the pen: the chosen last frame needs this
            many non-empty masks less the tracks removed (a whole number
            >= 1).

    Raises:
        TypeError: a setting that is not a number.
        ValueError: NaN, a negative min_count, or a max_attempts or
            pen_animals that is not a whole number >= 1.
    """

    min_frame_id: float = 500
    area_threshold: float = 100
    min_count: float = 100
    min_area: float = 10
    max_attempts: int = 10
    pen_animals: int = 10

    def __post_init__(self) -> None:
        for name in ("min_frame_id", "area_threshold", "min_count", "min_area"):
            setting(getattr(self, name), name)
        # A count below zero means nothing; the thresholds may be set as high
        # or low as a caller wants (everything, or nothing, counts as tiny).
        if self.min_count < 0:
            raise ValueError(f"expected a number >= 0 for min_count, got {self.min_count!r}")
        check_whole(self.max_attempts, "max_attempts", 1)
        check_whole(self.pen_animals, "pen_animals", 1)

    def text(self, name: str) -> str:
        """A setting as the page writes it: whole numbers as such, others in
        the shortest form ("600.5", "1e+20")."""
        value = getattr(self, name)
        return str(int(value)) if isinstance(value, numbers.Integral) else f"{float(value):g}"


def hand_over_settings(hand_over: Optional[HandOverSettings], **given: Any) -> HandOverSettings:
    """`hand_over` (the defaults when None) with the settings given by
    keyword replaced; a keyword given as None is not given."""
    if hand_over is None:
        hand_over = HandOverSettings()
    elif not isinstance(hand_over, HandOverSettings):
        raise TypeError(f"expected a HandOverSettings or None for hand_over, got {type(hand_over).__name__}")
    changed = {name: value for name, value in given.items() if value is not None}
    return dataclasses.replace(hand_over, **changed) if changed else hand_over


@dataclass(frozen=True)
class PageOptions:
    """Everything clip_health_report is told besides the clip, the folder,
    the predictor and the progress callback; checked when made. The
    arguments of the same names there describe the fields."""

    expected_animals: int = 10
    intersection_thrr: float = 80
    min_episode_frames: int = 2
    max_pictured_episodes: int = 40
    hand_over: HandOverSettings = HandOverSettings()
    title: Optional[str] = None

    def __post_init__(self) -> None:
        check_whole(self.expected_animals, "expected_animals", 0)
        setting(self.intersection_thrr, "intersection_thrr")
        check_whole(self.min_episode_frames, "min_episode_frames", 1)
        check_whole(self.max_pictured_episodes, "max_pictured_episodes", 0)
        if not isinstance(self.hand_over, HandOverSettings):
            raise TypeError(f"expected a HandOverSettings for hand_over, got {type(self.hand_over).__name__}")
        if self.title is not None and not isinstance(self.title, str):
            raise TypeError(f"expected a text or None for title, got {type(self.title).__name__}")

    @property
    def threshold(self) -> float:
        return float(self.intersection_thrr)
