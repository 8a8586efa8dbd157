"""The page of a tracked recording: its windows, each linked to the clip's
identity-health page, a timeline of every track over the whole recording
(confidence per clip, vanished and overlap episodes, breaks of identity),
the per-clip confidence table and the list of events; and the CSV of the
same. The page is a plain data object (frozen records that tests read
without HTML), rendered by the package's Jinja2 template with autoescaping,
as the health page is."""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Any, Optional

from .._support import page_template

__all__ = ["CSV_NAME", "PAGE_NAME", "RecordingPage", "build_page", "render", "table_of"]

PAGE_NAME = "index.html"
CSV_NAME = "timeline.csv"
TEMPLATE = "recording.html.jinja"

#: Columns of the per-recording CSV, in order.
CSV_COLUMNS = ["Window", "Event", "Track", "Other track", "First frame", "Last frame", "Recording first frame",
               "Recording last frame", "Confidence", "Detail"]


def level(confidence: Optional[float]) -> str:
    """"bad" below 0.5, "warn" below 0.9, "ok" otherwise (as the health page)."""
    if confidence is None or (isinstance(confidence, float) and math.isnan(confidence)):
        return "none"
    return "bad" if confidence < 0.5 else "warn" if confidence < 0.9 else "ok"


@dataclass(frozen=True)
class WindowColumn:
    """A window of the recording."""

    number: int  # from 1
    start_min: float
    end_min: float
    position: int  # its first frame in the recording's frames (the windows' frames one after the other)
    frames: int
    start: str  # "detector", "hand-over" or "no tracks"
    start_frame: Optional[int]  # where its tracks begin
    tracks: int
    page: Optional[str]  # its health page, relative to the recording's folder
    lowest: Optional[float]  # the lowest confidence of its tracks
    lowest_track: Optional[str]
    hand_over: str  # what its hand-over did
    state: str  # its state in the manifest

    @property
    def level(self) -> str:
        return level(self.lowest)


@dataclass(frozen=True)
class Event:
    """Something the recording's tracks went through: "vanished" (a track's
    mask empty), "overlap" (an overlap episode), "dropped" (a track the
    hand-over dropped), "break" (the tracks re-initialised from the
    detector), "no tracks" (a window no track reached)."""

    window: int  # from 1
    kind: str
    track: str  # the track(s) concerned, "" for none
    other: str  # the other track of an overlap episode
    first_frame: Optional[int]  # in the window's frames
    last_frame: Optional[int]
    first_position: Optional[int]  # in the recording's frames
    last_position: Optional[int]
    detail: str


@dataclass(frozen=True)
class Bar:
    """A piece of a track's timeline, in the recording's frames (the last
    one included)."""

    first: int
    last: int
    kind: str  # "clip", "vanished", "overlap"
    level: str  # for a clip: "ok", "warn", "bad"
    title: str

    @property
    def width(self) -> int:
        return self.last - self.first + 1


@dataclass(frozen=True)
class TrackLine:
    """A track's row of the timeline and of the confidence table."""

    track: str
    bars: tuple[Bar, ...]
    confidence: tuple[Optional[float], ...]  # per window; None where the track was not tracked

    @property
    def levels(self) -> tuple[str, ...]:
        return tuple(level(c) for c in self.confidence)


@dataclass(frozen=True)
class RecordingPage:
    """Everything the page of a tracked recording shows."""

    title: str
    recording: str  # the recording's file
    frames: int  # the frames of all windows
    windows: tuple[WindowColumn, ...]
    tracks: tuple[TrackLine, ...]
    events: tuple[Event, ...]
    breaks: tuple[Event, ...]
    unfinished: int  # windows not yet handed over

    @property
    def boundaries(self) -> tuple[int, ...]:
        return tuple(w.position for w in self.windows[1:])


def _track_name(object_id: int) -> str:
    return f"Box{object_id - 1}"


def build_page(manifest: Any, summaries: list[Optional[dict]], title: str,
               health_page: Any) -> RecordingPage:
    """The page from a recording's manifest and its windows' summaries.
    `health_page(k)` is the path of window k's health page relative to the
    recording's folder."""
    entries = manifest.windows
    positions, at = [], 0
    for w in entries:
        positions.append(at)
        at += int(w.get("frames") or 0)
    total = at
    windows, events, breaks = [], [], []
    lines: dict[str, dict] = {}  # track -> {"bars": [...], "confidence": {window: value}}

    def line(track: str) -> dict:
        return lines.setdefault(track, {"bars": [], "confidence": {}})

    for k, (w, summary) in enumerate(zip(entries, summaries)):
        n, pos = k + 1, positions[k]
        start = w.get("start") or {}
        objects = start.get("objects") or []
        hand = w.get("hand_over")
        if k > 0 and start.get("from") == "detector":
            before = entries[k - 1]
            reason = ((before.get("hand_over") or {}).get("reason")
                      or f"window {k} has no tracks: {(before.get('start') or {}).get('reason', '')}")
            ended = [_track_name(i) for i in (before.get("start") or {}).get("objects") or []]
            started = ", ".join(_track_name(i) for i in objects)
            detail = (f"{reason}; " + (f"tracks {', '.join(ended)} end, " if ended else "")
                      + f"tracks {started} start from the detector at frame {start['frame']}")
            brk = Event(n, "break", "", "", start.get("frame"), start.get("frame"), pos + start["frame"],
                        pos + start["frame"], detail)
            breaks.append(brk)
            events.append(brk)
        if start.get("from") is None and w.get("state") == "handed over":
            events.append(Event(n, "no tracks", "", "", None, None, None, None, start.get("reason", "")))
        lowest = lowest_track = None
        if summary is not None:
            for a in summary["animals"]:
                c = a["confidence"]
                line(a["track"])["confidence"][k] = c
                line(a["track"])["bars"].append(Bar(
                    pos + summary["first_frame"], pos + summary["last_frame"], "clip", level(c),
                    f"{a['track']}, window {n}: confidence {c:.2f}"))
                if lowest is None or c < lowest:
                    lowest, lowest_track = c, a["track"]
            for v in summary["vanished"]:
                line(v["track"])["bars"].append(Bar(pos + v["first"], pos + v["last"], "vanished", "",
                                                    f"{v['track']} vanished, frames {v['first']}-{v['last']}"))
                events.append(Event(n, "vanished", v["track"], "", v["first"], v["last"], pos + v["first"],
                                    pos + v["last"], f"{v['last'] - v['first'] + 1} frames with an empty mask"))
            for ep in summary["episodes"]:
                a, b = ep["pair"]
                named = ", ".join(ep["suspects"]) or "none"
                detail = f"named as failing: {named}" + ("; identities swapped" if ep["swapped"] else "")
                for track in (a, b):
                    line(track)["bars"].append(Bar(pos + ep["first"], pos + ep["last"], "overlap", "",
                                                   f"{a} and {b} overlap, frames {ep['first']}-{ep['last']}; {detail}"))
                events.append(Event(n, "overlap", a, b, ep["first"], ep["last"], pos + ep["first"],
                                    pos + ep["last"], detail))
        if hand:
            last = summary["last_frame"] if summary else None
            for track in hand.get("removed") or []:
                events.append(Event(n, "dropped", track, "", last, last, None if last is None else pos + last,
                                    None if last is None else pos + last,
                                    "too small at the end of the window: its identity ends at the hand-over"))
        windows.append(WindowColumn(
            number=n, start_min=w["start_min"], end_min=w["end_min"], position=pos, frames=int(w.get("frames") or 0),
            start=start.get("from") or "no tracks", start_frame=start.get("frame"), tracks=len(objects),
            page=health_page(k) if summary is not None else None, lowest=lowest, lowest_track=lowest_track,
            hand_over=_hand_over_text(hand, k + 1 == len(entries)), state=w.get("state") or "planned"))
    tracks = tuple(TrackLine(track, tuple(data["bars"]),
                             tuple(data["confidence"].get(k) for k in range(len(entries))))
                   for track, data in lines.items())
    unfinished = sum(w.get("state") != "handed over" for w in entries)
    return RecordingPage(title=title, recording=manifest.data["recording"]["file_path"], frames=total,
                         windows=tuple(windows), tracks=tracks, events=tuple(events), breaks=tuple(breaks),
                         unfinished=unfinished)


def _hand_over_text(hand: Optional[dict], last: bool) -> str:
    if hand is None:
        return "last window" if last else "–"
    if hand.get("failed"):
        return f"failed: {hand['reason']}"
    text = f"{len(hand['carried'])} tracks from frame {hand['best_frame']}"
    if hand.get("removed"):
        text += f"; dropped {', '.join(hand['removed'])}"
    return text


def table_of(page: RecordingPage) -> Any:
    """The per-recording table (pandas DataFrame): one "clip" row per track
    and window with its confidence, then the events, window by window."""
    import pandas as pd

    rows = []
    for w in page.windows:
        for t in page.tracks:
            c = t.confidence[w.number - 1]
            if c is not None:
                last = w.frames - 1
                rows.append([w.number, "clip", t.track, "", w.start_frame, last, w.position + (w.start_frame or 0),
                             w.position + last, c, ""])
        for e in page.events:
            if e.window == w.number:
                rows.append([e.window, e.kind, e.track, e.other, e.first_frame, e.last_frame, e.first_position,
                             e.last_position, None, e.detail])
    table = pd.DataFrame(rows, columns=CSV_COLUMNS)
    for column in ("First frame", "Last frame", "Recording first frame", "Recording last frame"):
        table[column] = table[column].astype("Int64")
    return table


def _number(value: Optional[float]) -> str:
    return "–" if value is None else f"{value:.2f}"


@functools.lru_cache(maxsize=1)
def _template() -> Any:
    return page_template(__file__, TEMPLATE, {"number": _number, "short": lambda value: f"{value:g}"})


def render(page: RecordingPage) -> str:
    """The page as one self-contained HTML document."""
    return _template().render(page=page)
