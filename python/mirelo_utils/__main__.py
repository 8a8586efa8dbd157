"""Command line of mirelo_utils.

    python -m mirelo_utils report SAVE_DIR_BASE OUT_DIR

writes the identity-health page of the tracked clip whose annotation files
lie below SAVE_DIR_BASE into OUT_DIR/index.html, with the tracking question
report beside it.

    python -m mirelo_utils evaluate PRED GT OUT_DIR

scores the tracks PRED against the ground truth GT (HOTA, IDF1, CLEAR MOT)
into OUT_DIR: summary.csv, per_animal.csv and index.html.

    python -m mirelo_utils fix swap CLIP A B --from N [--to M]

corrects identities in the clip folder's annotation files (likewise relabel,
merge, drop, advice, undo, history and recover), logged in
CLIP/corrections.jsonl.

    python -m mirelo_utils export CLIP --format cvat|coco|mot|mots OUT
    python -m mirelo_utils import FILE OUT_DIR [--frames DIR]

write a tracked clip for an annotation tool, and read such a file back into
annotation files. Exit codes: 0 done, 2 bad input (a one-line message; a
folder without annotation files gives the loader's message), 1 any other
failure, 130 interrupted.

    python -m mirelo_utils track CONFIG.toml

tracks the recordings the configuration names (track_recordings); a rerun
goes on where a run stopped. Exit codes: 0 done, 2 a bad configuration, a
missing file, a failing model factory or settings that differ from an
earlier run's (a one-line message, nothing written), 1 any other failure,
130 interrupted.
"""

from __future__ import annotations

import argparse
import math
import sys
import threading
import time
from typing import Optional, Sequence, TextIO

from ._health.options import HandOverSettings, PageOptions

PROG = "python -m mirelo_utils"

# Errors a caller can mend by fixing the input: files, folders and values.
_BAD_INPUT = (OSError, ValueError, KeyError, TypeError, IndexError, LookupError)


def _number(text: str) -> float:
    """A number option: finite, as written (a text such as "1e400" that
    overflows to infinity is not the number it writes)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # one line instead of usage + error
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


class ProgressBar:
    """A progress bar on a stream, shown only once the work has taken longer
    than `delay` seconds; redrawn by a timer thread, so that it moves also
    while one long call (loading the clip) runs without the interpreter lock."""

    def __init__(self, stream: TextIO, delay: float = 1.0, interval: float = 0.2, width: int = 30):
        self._stream = stream
        self._delay = delay
        self._interval = interval
        self._width = width
        self._start = time.monotonic()
        self._state = ("Starting", 0, 0)
        self._shown = False
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="mirelo-progress", daemon=True)
        self._thread.start()

    def __call__(self, stage: str, done: int, total: int) -> None:
        with self._lock:
            self._state = (stage, done, total)

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            if time.monotonic() - self._start >= self._delay:
                try:
                    self._draw()
                except (OSError, ValueError):  # a closed or broken stream: no bar, the work goes on
                    return

    def _draw(self) -> None:
        with self._lock:
            stage, done, total = self._state
            elapsed = time.monotonic() - self._start
            filled = int(self._width * done / total) if total > 0 else 0
            bar = "#" * filled + "-" * (self._width - filled)
            count = f" {done}/{total}" if total > 1 else ""
            self._stream.write(f"\r[{bar}] {stage}{count} {elapsed:5.1f}s\033[K")
            self._stream.flush()
            self._shown = True

    def close(self) -> None:
        self._stop.set()
        self._thread.join()
        if self._shown:
            try:
                self._draw()
                self._stream.write("\n")
                self._stream.flush()
            except (OSError, ValueError):
                pass


def _report(args: argparse.Namespace) -> int:
    from ._health import PAGE_NAME, clip_health_report

    hand_over = HandOverSettings(min_frame_id=args.min_frame_id, area_threshold=args.area_threshold,
                                 min_count=args.min_count, min_area=args.min_area, max_attempts=args.max_attempts,
                                 pen_animals=args.pen_animals)
    bar = ProgressBar(sys.stderr)
    try:
        table = clip_health_report(
            args.save_dir_base,
            args.out_dir,
            expected_animals=args.expected_animals,
            intersection_thrr=args.intersection_threshold,
            hand_over=hand_over,
            progress=bar,
        )
    finally:
        bar.close()
    if table is None:  # no annotation files: the loader has printed why
        return 2
    import os

    from ._support import console_text

    print(console_text(table.to_string()))
    print(f"Health page written to {console_text(os.path.join(args.out_dir, PAGE_NAME))}")
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _Parser(prog=PROG, description="Tools of mirelo_utils.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    report = commands.add_parser(
        "report",
        help="write the identity-health page of a tracked clip",
        description="Writes OUT_DIR/index.html, the identity-health page of the tracked clip whose annotation "
        "files (output_pp_<frame>.json) lie below SAVE_DIR_BASE, and the tracking question report beside it.",
    )
    # The defaults are those of the records clip_health_report takes.
    page, hand = PageOptions(), HandOverSettings()
    report.add_argument("save_dir_base", metavar="SAVE_DIR_BASE", help="folder of the clip's annotation files")
    report.add_argument("out_dir", metavar="OUT_DIR", help="folder of the page (created when missing)")
    report.add_argument("--expected-animals", type=int, default=page.expected_animals, metavar="N",
                        help=f"animals in the pen ({page.expected_animals})")
    report.add_argument(
        "--intersection-threshold", type=_number, default=page.intersection_thrr, metavar="PCT",
        help=f"percentage of a mask covered by another above which they overlap heavily ({page.intersection_thrr:g})",
    )
    advice = report.add_argument_group(
        "hand-over advice", f"With the defaults a clip of {int(hand.min_frame_id + hand.min_count) + 1} frames or "
        "fewer has nothing to remove: scale --min-frame-id and --min-count to shorter clips.")
    for option, name, kind, metavar, what in (
        ("--min-frame-id", "min_frame_id", _number, "ID", "the small-area search looks at the frames after this one"),
        ("--area-threshold", "area_threshold", _number, "PIXELS", "largest area that counts as tiny"),
        ("--min-count", "min_count", _number, "N", "a track tiny in more frames than this is removed"),
        ("--min-area", "min_area", _number, "PIXELS", "pixels every mask of the last frame chosen must exceed"),
        ("--max-attempts", "max_attempts", int, "N", "last frames the choice examines"),
        ("--pen-animals", "pen_animals", int, "N", "animals in the pen the choice counts on"),
    ):
        advice.add_argument(option, type=kind, default=getattr(hand, name), metavar=metavar,
                            help=f"{what} ({hand.text(name)})")
    _add_track(commands)
    from ._scores import command as evaluate

    evaluate.add_parser(commands)
    from . import _fix_command as fix

    fix.add_parser(commands)
    from ._exchange import command as exchange

    exchange.add_parsers(commands)
    args = parser.parse_args(argv)
    if args.command == "track":
        command, bad_input = _track, _track_bad_input()
    elif args.command in exchange.COMMANDS:
        command, bad_input = exchange.run, _BAD_INPUT
    else:
        command, bad_input = {"evaluate": evaluate.run, "fix": fix.run}.get(args.command, _report), _BAD_INPUT
    try:
        return command(args)
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return 130
    except bad_input as e:
        print(f"{PROG} {args.command}: error: {_one_line(e)}", file=sys.stderr)
        return 2
    except Exception as e:  # noqa: BLE001 - a command line reports, it does not trace back
        print(f"{PROG} {args.command}: failed: {type(e).__name__}: {_one_line(e)}", file=sys.stderr)
        return 1


def _add_track(commands: argparse._SubParsersAction) -> None:
    track = commands.add_parser(
        "track",
        help="track whole recordings as a configuration file says",
        description="Tracks the recordings that CONFIG.toml names, window by window, from the camera files to "
        "checked, handed-over clips (mirelo_utils.track_recordings). Run again, it goes on where a run stopped; "
        "with other settings it refuses unless told --restart or --from-window.",
    )
    track.add_argument("config", metavar="CONFIG.toml", help="the run's configuration file")
    redo = track.add_mutually_exclusive_group()
    redo.add_argument("--restart", action="store_true", help="throw away what earlier runs made and start again")
    redo.add_argument("--from-window", type=int, metavar="N",
                      help="keep the windows before window N (from 1), track it and those after it again")
    cluster = track.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="run the recordings side by side on the Dask cluster of this scheduler")
    cluster.add_argument("--workers", type=int, metavar="N",
                         help="run the recordings side by side on a local Dask cluster of N worker processes")
    track.add_argument("--quiet", action="store_true", help="no progress on stderr")


def _track_bad_input() -> tuple[type[BaseException], ...]:
    from ._runner.config import ConfigError

    return (ConfigError,)


def _track(args: argparse.Namespace) -> int:
    from ._support import console_text

    if args.scheduler is not None or args.workers is not None:
        from ._runner.cluster import track_on_cluster_command

        table = track_on_cluster_command(args.config, args.scheduler, args.workers, restart=args.restart,
                                         from_window=args.from_window)
    else:
        from ._runner import track_recordings

        table = track_recordings(args.config, restart=args.restart, from_window=args.from_window,
                                 progress=not args.quiet)
    for name, page in table.attrs["pages"].items():
        rows = table[table["Recording"] == name]
        tracked = int(rows["Tracks"].gt(0).sum())
        breaks = int(((rows["Tracks from"] == "detector") & (rows["Window"] > 1)).sum())
        print(console_text(f"{name}: {len(rows)} windows, {tracked} tracked, {breaks} break(s) of identity; "
                           f"page {page}"))
    unfinished = table.attrs.get("unfinished") or {}
    for name, error in unfinished.items():
        print(console_text(f"{name}: not finished: {error}"), file=sys.stderr)
    return 1 if unfinished else 0


def _one_line(e: BaseException) -> str:
    text = str(e.args[0]) if isinstance(e, KeyError) and len(e.args) == 1 else str(e)
    return " ".join(text.split()) or type(e).__name__


if __name__ == "__main__":
    sys.exit(main())
