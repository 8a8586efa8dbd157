"""The evaluation page as data: everything the page of ``python -m
mirelo_utils evaluate`` shows, in frozen records that tests read without
HTML, rendered by the package's Jinja2 template (autoescaped: identities and
file names are text, never markup). matplotlib draws the plots and Jinja2
renders, both imported by the calls that need them."""

from __future__ import annotations

import base64
import functools
import io
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

from .._support import import_optional, page_template

if TYPE_CHECKING:
    from . import TrackingScores

TEMPLATE = "evaluation.html.jinja"
PAGE_NAME = "index.html"
DRAWINGS = "drawings"
_DPI = 80


@dataclass(frozen=True)
class Picture:
    """An embedded image (a data URI) with its alternative text."""

    alt: str
    uri: str


@dataclass(frozen=True)
class AnimalRow:
    """A row of the per-animal table."""

    identity: int
    frames: int
    frames_tracked: int
    status: str
    switches: int
    fragmentations: int
    idf1: float
    partner: Optional[int]


@dataclass(frozen=True)
class SwitchRow:
    """An identity switch; `drawing` is the link (relative to the page) to the
    frame's drawing, None where the frame is not at hand."""

    frame: int
    ground_truth: int
    previous: int
    current: int
    drawing: Optional[str]


@dataclass(frozen=True)
class EvaluationPage:
    """Everything the page shows."""

    predicted: str
    ground_truth: str
    iou: str
    threshold: float
    first_frame: Optional[int]
    last_frame: Optional[int]
    summary: tuple[tuple[str, float], ...]
    counts: tuple[tuple[str, int], ...]
    frame_plot: Optional[Picture]
    alpha_plot: Optional[Picture]
    animals: tuple[AnimalRow, ...]
    switches: tuple[SwitchRow, ...]
    frames_at_hand: bool


def _number(value: float) -> str:
    if math.isnan(value):
        return "–"
    return f"{value:g}" if float(value).is_integer() else f"{value:.4f}"


def _figure(width: float, height: float):
    module = import_optional("matplotlib.figure", "python -m mirelo_utils evaluate", "matplotlib", "plots")
    # A Figure of its own (no pyplot): no global figure state, no GUI back end.
    return module.Figure(figsize=(width, height), dpi=_DPI)


def _png(fig) -> str:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def frame_plot(scores: TrackingScores) -> Optional[Picture]:
    """Matches, misses and false positives per frame, identity switches
    marked below."""
    f = scores.per_frame
    if len(f) == 0:
        return None
    fig = _figure(15, 4.2)
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    fig.subplots_adjust(left=0.05, right=0.99, bottom=0.12, top=0.95, hspace=0.08)
    frames = f["Frame"].to_numpy()
    for column, colour in (("Matches", "#2ca02c"), ("Misses", "#d62728"), ("False positives", "#9467bd")):
        top.plot(frames, f[column].to_numpy(), color=colour, lw=1, label=column)
    top.set_ylabel("detections")
    top.legend(loc="upper right", fontsize=8, ncol=3)
    bottom.bar(frames, f["Switches"].to_numpy(), color="#ff7f0e", width=1.0)
    bottom.set_ylabel("switches")
    bottom.set_xlabel("frame")
    return Picture("Matches, misses, false positives and identity switches per frame", _png(fig))


def alpha_plot(scores: TrackingScores) -> Picture:
    """HOTA, DetA, AssA and LocA over the alphas."""
    a = scores.per_alpha
    fig = _figure(5, 3.2)
    ax = fig.subplots()
    fig.subplots_adjust(left=0.13, right=0.98, bottom=0.15, top=0.96)
    for name in ("HOTA", "DetA", "AssA", "LocA"):
        ax.plot(a["Alpha"].to_numpy(), a[name].to_numpy(), lw=1.2, label=f"{name} ({scores.summary[name]:.3f})")
    ax.set_xlim(0, 1)
    ax.set_ylim(0, 1.02)
    ax.set_xlabel("alpha (localisation threshold)")
    ax.legend(loc="lower left", fontsize=8)
    return Picture("HOTA, DetA, AssA and LocA per alpha", _png(fig))


def build(scores: TrackingScores, *, predicted: str, ground_truth: str, iou: str, threshold: float,
          drawings: dict[int, str], frames_at_hand: bool) -> EvaluationPage:
    """The page's data; `drawings` maps a frame to its drawing's link."""
    a = scores.per_animal
    animals = tuple(
        AnimalRow(int(r["Identity"]), int(r["Frames"]), int(r["Frames tracked"]), str(r["Status"]), int(r["Switches"]),
                  int(r["Fragmentations"]), float(r["IDF1"]),
                  None if r["Predicted identity"] is None or str(r["Predicted identity"]) == "<NA>"
                  else int(r["Predicted identity"]))
        for r in a.to_dict("records"))
    switches = tuple(SwitchRow(int(f), int(g), int(p), int(c), drawings.get(int(f)))
                     for f, g, p, c in scores.switches.itertuples(index=False))
    frames = scores.per_frame["Frame"]
    return EvaluationPage(
        predicted=predicted, ground_truth=ground_truth, iou=iou, threshold=threshold,
        first_frame=int(frames.iloc[0]) if len(frames) else None,
        last_frame=int(frames.iloc[-1]) if len(frames) else None,
        summary=tuple(scores.summary.items()), counts=tuple(scores.counts.items()),
        frame_plot=frame_plot(scores), alpha_plot=alpha_plot(scores),
        animals=animals, switches=switches, frames_at_hand=frames_at_hand)


@functools.lru_cache(maxsize=1)
def _template() -> Any:
    return page_template(__file__, TEMPLATE, {"number": _number})


def render(page: EvaluationPage) -> str:
    """The page as one HTML document (plots embedded; drawings linked)."""
    return _template().render(page=page)
