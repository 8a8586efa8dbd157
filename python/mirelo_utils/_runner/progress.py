"""Progress of a run: a bar on a terminal (windows and frames done, frames
per second, time left), redrawn as frames are tracked; in a log that is no
terminal, one line per window instead."""

from __future__ import annotations

import time
from typing import Optional, TextIO

from .._support import console_text

__all__ = ["Progress", "clock_text"]


def clock_text(seconds: float) -> str:
    """Seconds as "m:ss", or "h:mm:ss" from an hour on."""
    s = int(round(max(seconds, 0.0)))
    h, rest = divmod(s, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}" if h else f"{m}:{s:02d}"


class Progress:
    """Counts the windows and frames of a run.

    Args:
        stream: Where it writes; None writes nothing.
        bar: Draw a bar (True), or write one line per window (False); by
            default a bar when the stream is a terminal.
        interval: Least seconds between two redraws of the bar.
    """

    def __init__(self, stream: Optional[TextIO], bar: Optional[bool] = None, interval: float = 0.2) -> None:
        self.stream = stream
        if bar is None:
            try:
                bar = stream is not None and stream.isatty()
            except (AttributeError, ValueError):
                bar = False
        self.bar = bool(bar)
        self.interval = interval
        self.start = time.monotonic()
        self.windows_total = 0
        self.windows_done = 0
        self.windows_timed = 0  # windows done by this run (not by an earlier one)
        self.seconds = 0.0  # their time
        self.frames_done = 0
        self.current = ""
        self._drawn = 0.0
        self._shown = False

    def add_windows(self, n: int, finished: int = 0) -> None:
        """A recording's n windows join the run; `finished` of them were
        finished by an earlier run."""
        self.windows_total += n
        self.windows_done += finished
        self._draw()

    def frames(self, n: int = 1) -> None:
        """Frames tracked."""
        self.frames_done += n
        if self.bar and time.monotonic() - self._drawn >= self.interval:
            self._draw()

    def window_done(self, where: str, text: str, frames: int, seconds: float) -> None:
        """A window finished: a line in a log, or the bar redrawn."""
        self.windows_done += 1
        self.windows_timed += 1
        self.seconds += seconds
        if self.stream is None:
            return
        if self.bar:
            self.current = where
            self._draw()
            return
        rate = f", {frames / seconds:.1f} frames/s" if seconds > 0 and frames else ""
        left = self.left()
        tail = f"; {clock_text(left)} left" if left is not None and self.windows_done < self.windows_total else ""
        self._write(f"[{self.windows_done}/{self.windows_total}] {where}: {text}; {seconds:.1f} s{rate}{tail}\n")

    def left(self) -> Optional[float]:
        """Seconds left, at this run's time per window so far."""
        if self.windows_timed == 0:
            return None
        return (self.windows_total - self.windows_done) * self.seconds / self.windows_timed

    def _draw(self) -> None:
        if self.stream is None or not self.bar:
            return
        self._drawn = time.monotonic()
        elapsed = self._drawn - self.start
        width = 24
        filled = int(width * self.windows_done / self.windows_total) if self.windows_total else 0
        left = self.left()
        rate = self.frames_done / elapsed if elapsed > 0 else 0.0
        text = (f"\r[{'#' * filled}{'-' * (width - filled)}] {self.windows_done}/{self.windows_total} windows, "
                f"{self.frames_done} frames, {rate:.1f} frames/s"
                f"{', ' + clock_text(left) + ' left' if left is not None else ''}"
                f"{'  ' + self.current if self.current else ''}\033[K")
        self._write(text)
        self._shown = True

    def _write(self, text: str) -> None:
        try:
            self.stream.write(console_text(text))  # type: ignore[union-attr]
            self.stream.flush()  # type: ignore[union-attr]
        except (OSError, ValueError):  # a closed or broken stream: no progress, the work goes on
            self.stream = None

    def close(self) -> None:
        if self.bar and self._shown and self.stream is not None:
            self._draw()
            self._write("\n")
