"""Frame extraction and clip checks spread over a Dask cluster.

Frame extraction is the serial ``VideoProcessor.process_videos_to_frames``
cut into tasks: one per recording to read its duration and plan its windows,
one per window to extract it, and, for each camera whose crop window is not
cached yet, a short detection task on the windows in run order until one
finds the orange marker. The caller's thread keeps the crop-window cache and
the console: it stores each camera's window as the serial run would, then
fans the camera's windows out, and prints the messages of the recordings and
windows in the serial run's order.

Clip checks run ``clip_health_report`` once per clip folder, one task each,
and gather the per-animal tables.

Workers run the same code as the serial calls and read and write the files
themselves, so they must be on storage that every worker reaches under the
same paths. ``dask`` and ``distributed`` are imported only by these calls.
"""

from __future__ import annotations

import os
from collections import deque
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional, Union

from . import _core
from ._core import _ingest as _impl  # type: ignore[attr-defined]
from ._health.options import HandOverSettings, PageOptions, hand_over_settings
from ._support import console_text, import_optional

if TYPE_CHECKING:
    import distributed
    import pandas

    from ._ingest import VideoProcessor

    _Path = Union[str, os.PathLike[str]]

__all__ = ["clip_health_reports_on_cluster", "process_videos_on_cluster"]

# More windows than this in one recording is a time_step mistake, not a plan
# a scheduler could hold.
MAX_WINDOWS_PER_RECORDING = 1_000_000


def import_distributed(call: str) -> Any:
    """The ``distributed`` module, or an ImportError naming the extra."""
    return import_optional("distributed", call, "the optional dask and distributed packages", "dask")


def check_client(client: Any, distributed: Any) -> None:
    if not isinstance(client, distributed.Client):
        raise TypeError(f"expected a distributed.Client for client, got {type(client).__name__}")
    if client.asynchronous:
        raise TypeError("expected a synchronous distributed.Client for client, got an asynchronous one")


def check_choices(messages: str, errors: str) -> None:
    if messages not in ("all", "summary"):
        raise ValueError(f"expected messages 'all' or 'summary', got {messages!r}")
    if errors not in ("raise", "report"):
        raise ValueError(f"expected errors 'raise' or 'report', got {errors!r}")


def _travelling(error: BaseException) -> BaseException:
    """The error itself when it pickles (it goes back to the caller), else its text."""
    import pickle

    try:
        pickle.dumps(error)
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")
    return error


def lost_task_error(future: Any, result: Any) -> BaseException:
    """The error of a task that did not finish: its worker died more often
    than the scheduler allows, or it was cancelled. `result` is what
    as_completed(with_results=True, raise_errors=False) gave for it."""
    error = result[1] if isinstance(result, tuple) and len(result) == 3 else result
    if isinstance(error, BaseException):
        return error
    return RuntimeError(f"the task ended as {future.status}")


def raise_first(errors: list[BaseException]) -> None:
    """Raises the first error, noting how many there were."""
    if not errors:
        return
    error = errors[0]
    if hasattr(error, "add_note"):
        error.add_note(f"failures: {len(errors)}; everything else finished "
                       "(errors='report' returns the table instead)")
    raise error


def error_text(error: Optional[BaseException]) -> Optional[str]:
    return None if error is None else f"{type(error).__name__}: {error}"


@dataclass(frozen=True)
class RunSettings:
    """A VideoProcessor's settings of a run, as the tasks receive them (the
    record itself stays with the caller: its crop-window cache is the
    caller's)."""

    resize_height: Optional[int]
    frame_skip: Any
    crop_side: str  # "left", "right" or "keep"
    time_step: Any
    output_dir_base: str
    crop: bool
    left_folder: bool


@dataclass(frozen=True)
class VideoRow:
    """The columns of a video-table row that a run reads, as texts."""

    video_name: str
    file_path: str
    date: str
    camera_number: str  # as printed in folder names


class InRunOrder:
    """Prints what finished pieces of work printed, in the serial run's
    order: each piece's lines (and its failure) once it and every piece
    before it are done. `pieces` yields them in that order, lazily, so
    that a piece may add the ones after it (a recording its windows) by the
    time it is done. A piece has `done`, `lines`, `error` and `where`."""

    def __init__(self, pieces: Iterable[Any]) -> None:
        self._pieces = iter(pieces)
        self._next: Any = None

    def print_ready(self) -> None:
        while True:
            if self._next is None:
                self._next = next(self._pieces, None)
                if self._next is None:
                    return
            if not self._next.done:
                return
            print_piece(self._next)
            self._next = None


def print_piece(piece: Any) -> None:
    """What a piece of work printed, then its failure."""
    for line in piece.lines:
        print(line)
    if piece.error is not None:
        print(console_text(f"Failed: {piece.where}: {error_text(piece.error)}"))


def print_finished(done: int, total: int, where: str, what: str) -> None:
    """The summary's line for one finished piece of work."""
    print(console_text(f"[{done}/{total}] {where}: {what}"))


# ----------------------------------------------------------------- workers


def _plan_task(settings: RunSettings, row: VideoRow) -> tuple:
    lines: list[str] = []
    try:
        return _impl.plan_recording(settings, row, lines, MAX_WINDOWS_PER_RECORDING), lines, None
    except Exception as e:
        return None, lines, _travelling(e)


def _health_task(clip_dir: str, out_dir: str, image_predictor: Any, options: PageOptions) -> tuple:
    from ._health import write_report

    lines: list[str] = []
    try:
        table = _core._call_capturing_lines(  # type: ignore[attr-defined]  # private, not in the stubs
            lines, lambda: write_report(clip_dir, out_dir, image_predictor, options))
    except Exception as e:
        return None, lines, _travelling(e)
    return table, lines, None


def _window_task(settings: RunSettings, row: VideoRow, start: Any, end: Any, crop_window: Any,
                 detect_only: bool) -> tuple:
    lines: list[str] = []
    try:
        # One encoding thread beside the decoding one: a task takes about a
        # core, and the cluster's parallelism comes from its worker threads.
        status, saved, window = _impl.run_window(settings, row, start, end, crop_window, detect_only, 1, lines)
    except Exception as e:
        return "failed", 0, None, lines, _travelling(e)
    return status, saved, window, lines, None


# ------------------------------------------------------------------ caller


@dataclass(eq=False)
class _Recording:
    index: int
    name: Any
    path: Any
    where: str  # the recording in messages: its path, or its row when that cannot be read
    row: Optional[VideoRow] = None  # None when the table row cannot be read
    camera: Any = None
    lines: list = field(default_factory=list)
    windows: Optional[list] = None  # None until planned
    error: Optional[BaseException] = None

    @property
    def done(self) -> bool:
        return self.windows is not None


@dataclass(eq=False)
class _Window:
    recording: _Recording
    start: Any
    end: Any
    folder: str
    order: int  # position in the serial run, set when the recordings before it are planned
    status: Optional[str] = None
    saved: int = 0
    lines: list = field(default_factory=list)
    error: Optional[BaseException] = None

    @property
    def done(self) -> bool:
        return self.status is not None

    @property
    def where(self) -> str:
        return self.folder


@dataclass(eq=False)
class _Camera:
    known: bool = False
    window: Any = None
    detecting: Optional[_Window] = None
    waiting: deque = field(default_factory=deque)  # windows after `detecting`, in run order
    found_at: Optional[int] = None  # order of the window whose detection stored the window
    error: Optional[BaseException] = None  # the cached entry cannot be read


_DESCRIPTIONS = {
    "skipped": "skipped, already exists",
    "not opened": "could not open the video",
    "no first frame": "could not read the first frame",
    "no orange region": "no orange region detected",
}


class _Run:
    def __init__(self, distributed: Any, client: Any, processor: Any, df: Any, messages: str) -> None:
        self.distributed = distributed
        self.client = client
        self.settings = RunSettings(**_impl.run_settings(processor))
        self.coords = processor.camera_crop_coords
        self.verbose = messages == "all"
        self.recordings: list[_Recording] = []
        self.windows: list[_Window] = []
        self.cameras: dict[Any, _Camera] = {}
        self.tasks: dict[Any, tuple] = {}  # future -> (kind, subject)
        self.folder_queue: dict[str, deque] = {}  # folders in use -> submissions waiting for them
        self.routed = 0  # recordings whose windows were handed to the cluster, in row order
        self.console = InRunOrder(self._pieces())
        self.finished = 0
        self.ac = distributed.as_completed(with_results=True, raise_errors=False)
        for index, (label, row) in enumerate(df.iterrows()):
            rec = _Recording(index, None, None, f"row {label!r}")
            self.recordings.append(rec)
            try:
                rec.name, rec.path = row["Video Name"], row["File Path"]
                rec.row = VideoRow(**_impl.video_row(row))
                rec.camera = row["Camera Number"]
                rec.where = rec.row.file_path
            except Exception as e:
                rec.error, rec.windows = e, []

    # -- submission

    def _submit(self, fn: Any, args: tuple, kind: str, subject: Any, priority: int) -> None:
        future = self.client.submit(fn, *args, pure=False, priority=priority)
        self.tasks[future] = (kind, subject)
        self.ac.add(future)

    def _submit_window(self, w: _Window, crop_window: Any, detect_only: bool, holds_folder: bool = False) -> None:
        # Two windows of one folder (a row listed twice) run one after the
        # other, as in the serial run, never on the same files at once.
        if not holds_folder:
            if w.folder in self.folder_queue:
                self.folder_queue[w.folder].append((w, crop_window, detect_only))
                return
            self.folder_queue[w.folder] = deque()
        rec = w.recording
        args = (self.settings, rec.row, w.start, w.end, crop_window, detect_only)
        # Detections gate whole cameras; windows go in run order.
        priority = 1 if detect_only else -w.order
        self._submit(_window_task, args, "detect" if detect_only else "window", w, priority)

    def _release_folder(self, folder: str) -> None:
        waiting = self.folder_queue.get(folder)
        if waiting:
            self._submit_window(*waiting.popleft(), holds_folder=True)
        else:
            self.folder_queue.pop(folder, None)

    # -- routing windows to their camera, in run order

    def _route_planned(self) -> None:
        while self.routed < len(self.recordings) and self.recordings[self.routed].windows is not None:
            rec = self.recordings[self.routed]
            self.routed += 1
            for w in rec.windows:
                w.order = len(self.windows)
                self.windows.append(w)
            if not rec.windows:
                continue
            if not self.settings.crop:
                for w in rec.windows:
                    self._submit_window(w, None, False)
                continue
            try:
                cam = self._camera(rec.camera)
            except Exception as e:  # a camera value that cannot be a cache key
                cam = _Camera(error=e)
            if cam.error is not None:
                for w in rec.windows:
                    self._settle(w, "failed", 0, [], cam.error)
                continue
            for w in rec.windows:
                if cam.known:
                    self._submit_window(w, cam.window, False)
                elif cam.detecting is None:
                    cam.detecting = w
                    self._submit_window(w, None, True)
                else:
                    cam.waiting.append(w)

    def _camera(self, key: Any) -> _Camera:
        cam = self.cameras.get(key)
        if cam is None:
            cam = _Camera()
            try:
                if key in self.coords:
                    cam.window = _impl.crop_window(self.coords[key], key)
                    cam.known = True
            except Exception as e:  # every window of the camera fails as the serial run's first one
                cam.error = e
            self.cameras[key] = cam
        return cam

    def _detected(self, w: _Window, status: str, window: Any, lines: list, error: Optional[BaseException]) -> None:
        cam = self.cameras[w.recording.camera]
        w.lines = lines
        if status == "saved" and window is not None:
            # Stored before the windows fan out, as the serial run's first
            # window of the camera stores it.
            self.coords[w.recording.camera] = window
            cam.known, cam.window, cam.found_at, cam.detecting = True, window, w.order, None
            self._submit_window(w, window, False, holds_folder=True)
            while cam.waiting:
                self._submit_window(cam.waiting.popleft(), window, False)
            return
        # Skipped, or no crop window from this window: it is done, and the
        # next window of the camera tries.
        self._settle(w, status, 0, [], error)
        self._release_folder(w.folder)
        cam.detecting = cam.waiting.popleft() if cam.waiting else None
        if cam.detecting is not None:
            self._submit_window(cam.detecting, None, True)

    # -- results

    def _settle(self, w: _Window, status: str, saved: int, lines: list, error: Optional[BaseException]) -> None:
        w.status, w.saved, w.error = status, saved, error
        w.lines = w.lines + lines
        self.finished += 1
        if not self.verbose:
            what = f"failed: {error_text(error)}" if error is not None else _DESCRIPTIONS.get(status, f"{saved} images")
            print_finished(self.finished, len(self.windows), w.folder, what)

    def _planned(self, rec: _Recording, windows: Optional[list], lines: list, error: Optional[BaseException]) -> None:
        rec.lines, rec.error = lines, error
        rec.windows = []
        for start, end, folder in windows or ():
            rec.windows.append(_Window(rec, start, end, folder, -1))
        if not self.verbose:
            print_piece(rec)

    def _on_result(self, future: Any, result: Any) -> None:
        kind, subject = self.tasks.pop(future)
        if future.status != "finished":
            error = lost_task_error(future, result)
            result = (None, [], error) if kind == "plan" else ("failed", 0, None, [], error)
        if kind == "plan":
            self._planned(subject, *result)
            self._route_planned()
        elif kind == "detect":
            status, _saved, window, lines, error = result
            self._detected(subject, status, window, lines, error)
        else:
            status, saved, _window, lines, error = result
            self._settle(subject, status, saved, lines, error)
            self._release_folder(subject.folder)

    # -- console

    def _pieces(self) -> Iterator[Any]:
        """Recordings and windows in the serial run's order; a recording's
        windows are read once it is done (planned)."""
        for rec in self.recordings:
            yield rec
            yield from rec.windows or ()

    def _print_ready(self) -> None:
        if self.verbose:
            self.console.print_ready()

    def _store_in_run_order(self) -> None:
        # The serial run adds cameras to the cache in the order it meets
        # them; results arrive in any order.
        found = sorted((cam.found_at, key) for key, cam in self.cameras.items() if cam.found_at is not None)
        if len(found) > 1 and type(self.coords) is dict:
            for _, key in found:
                self.coords[key] = self.coords.pop(key)

    def run(self) -> None:
        for rec in self.recordings:
            if rec.row is not None:
                self._submit(_plan_task, (self.settings, rec.row), "plan", rec, 2)
            elif not self.verbose:
                print_piece(rec)
        self._route_planned()
        self._print_ready()
        try:
            for future, result in self.ac:
                self._on_result(future, result)
                self._print_ready()
        finally:
            if self.tasks:
                self.client.cancel(list(self.tasks))
        self._store_in_run_order()
        if not self.verbose:
            counts = {s: sum(w.status == s for w in self.windows) for s in ("saved", "skipped", "failed")}
            early = len(self.windows) - sum(counts.values())
            print(f"{len(self.windows)} windows: {counts['saved']} saved, {counts['skipped']} skipped, "
                  f"{early} without images, {counts['failed']} failed")

    def table(self) -> pandas.DataFrame:
        import pandas as pd

        rows = []
        for rec in self.recordings:
            if rec.error is not None or not rec.windows:
                status = "failed" if rec.error is not None else "no windows"
                rows.append([rec.name, rec.path, None, status, 0, error_text(rec.error)])
            for w in rec.windows or ():
                rows.append([rec.name, rec.path, w.folder, w.status, w.saved, error_text(w.error)])
        return pd.DataFrame(rows, columns=["Video Name", "File Path", "Window", "Status", "Images", "Error"])

    def errors(self) -> list[BaseException]:
        """The failures, in run order."""
        errors = []
        for rec in self.recordings:
            if rec.error is not None:
                errors.append(rec.error)
            errors.extend(w.error for w in rec.windows or () if w.error is not None)
        return errors


def process_videos_on_cluster(
    df: pandas.DataFrame,
    processor: VideoProcessor,
    client: distributed.Client,
    *,
    messages: str = "all",
    errors: str = "raise",
) -> pandas.DataFrame:
    """Extracts the frames of every recording of a video table on a Dask cluster.

    Writes exactly the folders, file names and JPEG bytes that
    ``processor.process_videos_to_frames(df)`` writes, with one task per
    window so that one long recording spreads over many workers. Each
    camera's crop window is found as the serial run finds it (on the camera's
    first window in run order that is not skipped, trying the next window
    when the orange marker is missing) and stored in
    ``processor.camera_crop_coords`` before the camera's windows fan out;
    afterwards the mapping holds the entries the serial run leaves. Each
    window is built under "<folder>.partial" and renamed when whole, so a
    task lost with its worker leaves nothing half-written and Dask's retry
    redoes it.

    Workers read the recordings and write the frames themselves: the
    recordings and ``output_dir_base`` must be on storage that every worker
    reaches under the same paths. A recording or window that fails is
    reported and the others go on.

    Args:
        df: The video table of ``VideoMetadata.get_filtered_video_dataframe``
            (columns "Video Name", "File Path", "Date", "Camera Number").
        processor: The run's settings; its crop-window cache is read and
            filled.
        client: A synchronous ``distributed.Client`` of the cluster.
        messages: "all" prints every line of the serial run in its order
            (each window's lines once it and the windows before it are
            done); "summary" prints each recording's duration lines and one
            line per window as it finishes, then the counts.
        errors: "raise" raises the first error (in run order) once every
            other window is done; "report" only records it in the table.

    Returns:
        pandas.DataFrame: One row per window in run order ("Video Name",
        "File Path", "Window" (folder), "Status", "Images", "Error"); a
        recording without windows has one row with "Window" None. "Status" is
        "saved", "skipped", "not opened", "no first frame",
        "no orange region", "failed", or "no windows".

    Raises:
        ImportError: dask or distributed is not installed.
        TypeError: client is not a synchronous distributed.Client.
        ValueError: messages or errors is not one of its choices.
        Exception: With errors="raise", the first failure of a recording or
            window, after the others finished.
    """
    distributed = import_distributed("process_videos_on_cluster")
    check_client(client, distributed)
    check_choices(messages, errors)
    run = _Run(distributed, client, processor, df, messages)
    run.run()
    if errors == "raise":
        raise_first(run.errors())
    return run.table()


@dataclass(eq=False)
class _Clip:
    """One clip's task: its table and what it printed, once done."""

    where: str  # the clip folder as given
    done: bool = False
    table: Any = None
    lines: list = field(default_factory=list)
    error: Optional[BaseException] = None


def _folders(values: Any, what: str) -> list[str]:
    if isinstance(values, (str, bytes, os.PathLike)) or not isinstance(values, Sequence):
        raise TypeError(f"expected a sequence of folder paths for {what}, got {type(values).__name__}")
    out = []
    for v in values:
        if not isinstance(v, (str, os.PathLike)):
            raise TypeError(f"expected folder paths (str or os.PathLike) in {what}, got {type(v).__name__}")
        out.append(os.fsdecode(v))
    return out


def clip_health_reports_on_cluster(
    clip_dirs: Sequence[_Path],
    out_dirs: Sequence[_Path],
    client: distributed.Client,
    image_predictor: Any = None,
    *,
    expected_animals: int = 10,
    intersection_thrr: float = 80,
    min_episode_frames: int = 2,
    max_pictured_episodes: int = 40,
    hand_over: Optional[HandOverSettings] = None,
    min_frame_id: Optional[float] = None,
    area_threshold: Optional[float] = None,
    min_count: Optional[float] = None,
    min_area: Optional[float] = None,
    max_attempts: Optional[int] = None,
    messages: str = "all",
    errors: str = "raise",
) -> pandas.DataFrame:
    """Writes the identity-health page of many clips on a Dask cluster.

    Runs ``clip_health_report(clip_dirs[i], out_dirs[i], image_predictor,
    ...)`` for every clip folder, one task each (the clip opened with
    ``open_clip`` on the worker), and gathers the per-animal tables. The
    clip folders and the output folders must be on storage that every worker
    reaches under the same paths. A clip that fails is reported and the
    others go on.

    Args:
        clip_dirs: Clip folders (each a ``save_dir_base`` of annotation files).
        out_dirs: The page's folder of each clip, as many as ``clip_dirs``
            and all different.
        client: A synchronous ``distributed.Client`` of the cluster.
        image_predictor: Sent once to every worker for the appearance
            evidence (it must pickle); None to judge by shape and box only.
        expected_animals: As in ``clip_health_report``.
        intersection_thrr: As in ``clip_health_report``.
        min_episode_frames: As in ``clip_health_report``.
        max_pictured_episodes: As in ``clip_health_report``.
        hand_over: The settings of the hand-over advice
            (``HandOverSettings``), as in ``clip_health_report``.
        min_frame_id, area_threshold, min_count, min_area, max_attempts: One
            setting of the hand-over advice each, replacing that of
            ``hand_over``, as in ``clip_health_report``.
        messages: "all" prints what each clip's report prints, clip by clip
            in the given order (as a loop over the clips would); "summary"
            prints one line per clip as it finishes.
        errors: "raise" raises the first error (in clip order) once every
            other clip is done; "report" only lists it.

    Returns:
        pandas.DataFrame: The rows of every clip's per-animal table, clip by
        clip: "Clip" (the folder as given), "Animal", then the columns of
        ``clip_health_report``. ``attrs["unchecked"]`` maps each clip without
        a table to the reason: "no annotation files", or the error's type
        and message.

    Raises:
        ImportError: dask or distributed is not installed.
        TypeError: client is not a synchronous distributed.Client; clip_dirs
            or out_dirs is not a sequence of paths.
        ValueError: out_dirs does not give one different folder per clip;
            messages or errors is not one of its choices; a bad option (as in
            ``clip_health_report``, raised before any task starts).
        Exception: With errors="raise", the first clip's failure, after the
            others finished.
    """
    distributed = import_distributed("clip_health_reports_on_cluster")
    check_client(client, distributed)
    check_choices(messages, errors)
    # Checked here once, not in every task.
    options = PageOptions(
        expected_animals=expected_animals,
        intersection_thrr=intersection_thrr,
        min_episode_frames=min_episode_frames,
        max_pictured_episodes=max_pictured_episodes,
        hand_over=hand_over_settings(hand_over, min_frame_id=min_frame_id, area_threshold=area_threshold,
                                     min_count=min_count, min_area=min_area, max_attempts=max_attempts),
    )
    clips, outs = _folders(clip_dirs, "clip_dirs"), _folders(out_dirs, "out_dirs")
    if len(clips) != len(outs):
        raise ValueError(f"expected one out_dir per clip folder, got {len(outs)} for {len(clips)} clips")
    seen: dict[str, str] = {}
    for clip, out in zip(clips, outs):
        key = os.path.normcase(os.path.abspath(out))
        if key in seen:
            raise ValueError(f"expected a different out_dir for each clip, got {out!r} for {seen[key]!r} and {clip!r}")
        seen[key] = clip
    import pandas as pd

    from ._health import ANIMAL_COLUMNS

    predictor = None if image_predictor is None else client.scatter(image_predictor, broadcast=True)
    pieces = [_Clip(clip) for clip in clips]
    position = {}
    for i, (clip, out) in enumerate(zip(clips, outs)):
        future = client.submit(_health_task, clip, out, predictor, options, pure=False, priority=-i)
        position[future] = i
    console = InRunOrder(pieces)
    try:
        for future, result in distributed.as_completed(list(position), with_results=True, raise_errors=False):
            piece = pieces[position.pop(future)]
            if future.status != "finished":
                result = (None, [], lost_task_error(future, result))
            piece.table, piece.lines, piece.error = result
            piece.done = True
            if messages == "all":
                console.print_ready()
            else:
                what = (f"failed: {error_text(piece.error)}" if piece.error is not None else
                        "no annotation files" if piece.table is None else f"{len(piece.table)} animals")
                print_finished(len(clips) - len(position), len(clips), piece.where, what)
    finally:
        if position:
            client.cancel(list(position))

    frames, unchecked, failures = [], {}, []
    for piece in pieces:
        if piece.error is not None:
            unchecked[piece.where] = error_text(piece.error)
            failures.append(piece.error)
        elif piece.table is None:
            unchecked[piece.where] = "no annotation files"
        else:
            rows = piece.table.reset_index()
            rows.insert(0, "Clip", piece.where)
            frames.append(rows)
    if errors == "raise":
        raise_first(failures)
    combined = (pd.concat(frames, ignore_index=True) if frames
                else pd.DataFrame(columns=["Clip", "Animal", *ANIMAL_COLUMNS]))
    combined.attrs["unchecked"] = unchecked
    return combined
