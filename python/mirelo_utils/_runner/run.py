"""A run over the recordings of a configuration: everything checked before
anything is written (the configuration, its files, the models, and each
recording's manifest against the settings), then each recording's windows
one after the other and its page."""

from __future__ import annotations

import os
import shutil
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Optional, Union

from .. import _core
from .._core import _ingest as _ingest_impl  # type: ignore[attr-defined]
from .._core import _io  # type: ignore[attr-defined]  # private, not in the stubs
from .._dask import MAX_WINDOWS_PER_RECORDING, VideoRow
from .config import ConfigError, RunConfig, load_config
from .manifest import MANIFEST_NAME, Manifest, compared_settings, settings_differences, window_name
from .models import make_models, models_identity
from .page import CSV_NAME, PAGE_NAME, build_page, render, table_of
from .progress import Progress
from .recording import HEALTH, Job, Recording, RecordingRun, run_settings_of

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["Prepared", "WINDOW_COLUMNS", "prepare", "track_recordings", "window_table", "write_recording_page"]

#: Columns of the table track_recordings returns, in order.
WINDOW_COLUMNS = ["Recording", "Window", "Start (min)", "End (min)", "Frames", "State", "Tracks from", "Tracks",
                  "Lowest confidence", "Hand-over", "Page"]

_REQUIRED_COLUMNS = ("Video Name", "File Path", "Date", "Camera Number")


def _captured(lines: list[str], call: Callable[[], Any]) -> Any:
    return _core._call_capturing_lines(lines, call)  # type: ignore[attr-defined]  # private, not in the stubs


# ----------------------------------------------------------------- inputs


def _video_table(config: RunConfig) -> Any:
    """The recordings' video table, from the folder or the CSV file."""
    source = config.recordings
    if source.video_table is not None:
        import pandas as pd

        try:
            table = pd.read_csv(source.video_table, dtype=str, keep_default_na=False)
        except FileNotFoundError:
            raise ConfigError(f"recordings.video_table: no such file {source.video_table!r}") from None
        except (OSError, ValueError) as e:
            raise ConfigError(f"recordings.video_table: cannot read {source.video_table!r}: {e}") from None
        missing = [c for c in _REQUIRED_COLUMNS if c not in table.columns]
        if missing:
            raise ConfigError(f"recordings.video_table: {source.video_table!r} has no column "
                              f"{', '.join(repr(c) for c in missing)}")
        return table
    from .._ingest import VideoMetadata

    assert source.folder is not None
    if not os.path.isdir(source.folder):
        raise ConfigError(f"recordings.folder: no such folder {source.folder!r}")
    catalogue = VideoMetadata(base_dir=source.folder, sub_dirs=list(source.sub_dirs),
                              filter_start=source.filter_start, filter_end=source.filter_end,
                              sample_step=source.sample_step, top_n=source.top_n, match_pattern=source.match_pattern,
                              camera_number=source.camera_number)
    try:
        return _captured([], catalogue.get_filtered_video_dataframe)
    except (OSError, ValueError) as e:
        raise ConfigError(f"recordings: {e}") from None


def _recordings(config: RunConfig) -> list[Recording]:
    table = _video_table(config)
    where = "recordings.video_table" if config.recordings.video_table is not None else "recordings.folder"
    out: list[Recording] = []
    names: dict[str, str] = {}
    for label, row in table.iterrows():
        try:
            values = VideoRow(**_ingest_impl.video_row(row))
        except (KeyError, TypeError, ValueError) as e:
            raise ConfigError(f"{where}: row {label!r} cannot be read: {e}") from None
        path = values.file_path
        if not os.path.isfile(path):
            raise ConfigError(f"{where}: no such recording file {path!r}")
        name = values.video_name
        if not name or name in (".", "..") or "/" in name or os.sep in name or "\x00" in name:
            raise ConfigError(f"{where}: {name!r} cannot name the recording's folder (\"Video Name\" of {path!r})")
        if name in names:
            raise ConfigError(f"{where}: two recordings named {name!r}: {names[name]!r} and {path!r}")
        names[name] = path
        out.append(Recording(name, values))
    if not out:
        raise ConfigError(f"{where}: no recording to track (none is listed, or none passes the filters)")
    return out


def _check_pen(config: RunConfig) -> None:
    if not os.path.isfile(config.pen.file):
        raise ConfigError(f"pen.file: no such file {config.pen.file!r}")
    try:
        points = _core.draw_pen("", config.pen.file)
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise ConfigError(f"pen.file: {config.pen.file!r} is not a pen file: {e}") from None
    if len(points) < 3:
        raise ConfigError(f"pen.file: {config.pen.file!r} holds {len(points)} points, not a pen outline")


def _check_output(config: RunConfig) -> None:
    out = config.output
    parent = out
    while not os.path.exists(parent):
        parent = os.path.dirname(parent) or "."
    if not os.path.isdir(parent):
        raise ConfigError(f"output: {parent!r} is not a folder")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise ConfigError(f"output: cannot write into {parent!r}")


# ----------------------------------------------------------------- planning


@dataclass
class Prepared:
    """A run checked and planned: for each recording its windows and its
    manifest as found (None when it has none)."""

    job: Job
    recordings: list[Recording]
    plans: list[list[list]]
    manifests: list[Optional[Manifest]]
    restart: bool
    from_window: Optional[int]

    def manifest_path(self, recording: Recording) -> str:
        return os.path.join(self.job.config.output, recording.name, MANIFEST_NAME)


def _plan(job: Job, recording: Recording) -> list[list]:
    lines: list[str] = []
    try:
        windows = _ingest_impl.plan_recording(job.settings, recording.row, lines, MAX_WINDOWS_PER_RECORDING)
    except (OSError, ValueError) as e:
        raise ConfigError(f"recordings: {recording.row.file_path!r}: {e}") from None
    return [[start, end, folder] for start, end, folder in windows]


def _refusal(recording: Recording, manifest: Manifest, earlier: dict, made_with: dict, plan: list,
             from_window: Optional[int]) -> Optional[str]:
    """Why the recording cannot go on from its manifest (made with
    `earlier`) with these settings, or None when it can."""
    diffs = settings_differences(earlier, made_with)
    windows_changed = manifest.plan != plan
    if windows_changed:
        diffs.append(f"its windows: {len(manifest.plan)} before, {len(plan)} now"
                     if len(manifest.plan) != len(plan) else "its windows' times or folders")
    name = f"recording {recording.name!r} ({manifest.path})"
    if from_window is not None:
        if from_window > len(plan):
            return f"--from-window {from_window}: {name} has {len(plan)} windows"
        frames = [d for d in diffs if d.startswith(("windows.", "its windows"))]
        if frames:
            return (f"{name} was cut into windows with other settings ({'; '.join(frames)}): --from-window keeps "
                    "the windows before it, so only --restart can track it with these")
        return None
    if diffs:
        return (f"{name} was tracked with other settings: {'; '.join(diffs)}. Run with --restart to track it anew, "
                "or with --from-window N to keep its windows before N and redo the others")
    return None


def prepare(config: Union[RunConfig, str, os.PathLike], *, restart: bool = False,
            from_window: Optional[int] = None, models: Any = None, progress: Optional[Progress] = None,
            identity: Optional[Callable[[RunConfig], dict]] = None) -> Prepared:
    """Checks the run and plans it, writing nothing.

    `models`: the models to use (None: made by the factory now); `identity`:
    gives their identity when they are made elsewhere (the cluster's
    workers), called once the settings are checked.

    Raises:
        ConfigError: a bad configuration, a missing file, a model factory
            that fails, or a recording whose manifest was made with other
            settings (unless `restart` or `from_window`).
    """
    if not isinstance(config, RunConfig):
        if not isinstance(config, (str, os.PathLike)):
            raise TypeError(f"expected a RunConfig or the path of a configuration file for config, got "
                            f"{type(config).__name__}")
        config = load_config(config)
    config = absolute(config)
    if restart and from_window is not None:
        raise ConfigError("--restart and --from-window exclude each other")
    if from_window is not None and (isinstance(from_window, bool) or not isinstance(from_window, int)
                                    or from_window < 1):
        raise ConfigError(f"--from-window: expected a window number >= 1, got {from_window!r}")
    _check_output(config)
    _check_pen(config)
    settings = compared_settings(config)
    recordings = _recordings(config)
    # What the configuration says of the models, before they are made.
    named = {"factory": config.models.factory, "options": {k: config.models.options[k] for k in
                                                           sorted(config.models.options)}}
    job = Job(config, run_settings_of(config), {"settings": settings, "models": named}, models,
              progress or Progress(None))
    plans = [_plan(job, r) for r in recordings]
    prepared = Prepared(job, recordings, plans, [], restart, None if from_window is None else from_window - 1)
    for recording in recordings:
        prepared.manifests.append(None if restart else Manifest.read(prepared.manifest_path(recording)))

    def refuse(made_with: dict) -> None:
        for recording, plan, manifest in zip(recordings, plans, prepared.manifests):
            if manifest is not None:
                earlier = manifest.made_with()
                if made_with["models"] is named:
                    earlier = {"settings": earlier["settings"],
                               "models": {k: earlier["models"].get(k) for k in named}}
                refusal = _refusal(recording, manifest, earlier, made_with, plan, from_window)
                if refusal is not None:
                    raise ConfigError(refusal)

    # The settings first: a refusal does not wait for the models to be made.
    refuse(job.made_with)
    if identity is None:
        if models is None:
            models = make_models(config.models)
        made = models_identity(config.models, models)
    else:
        made = identity(config)
    job.models = models
    job.made_with = {"settings": settings, "models": made}
    refuse(job.made_with)
    return prepared


def absolute(config: RunConfig) -> RunConfig:
    """The configuration with its paths made absolute, from the current folder."""
    import dataclasses

    r = config.recordings
    recordings = dataclasses.replace(
        r, folder=None if r.folder is None else os.path.abspath(r.folder),
        video_table=None if r.video_table is None else os.path.abspath(r.video_table))
    return dataclasses.replace(
        config, output=os.path.abspath(config.output), recordings=recordings,
        pen=dataclasses.replace(config.pen, file=os.path.abspath(config.pen.file)),
        models=dataclasses.replace(config.models, paths=tuple(os.path.abspath(p) for p in config.models.paths)))


# ----------------------------------------------------------------- writing


def open_manifest(prepared: Prepared, i: int) -> Manifest:
    """Recording i's manifest, made, reset or kept as the run was asked,
    and saved: the first thing a run writes for a recording."""
    recording, plan = prepared.recordings[i], prepared.plans[i]
    old = prepared.manifests[i]
    made_with = prepared.job.made_with
    folder = os.path.dirname(prepared.manifest_path(recording))
    if old is None:
        # Whatever an earlier run left without a manifest (or a restart
        # throws away) goes, frames included.
        found = Manifest.read(prepared.manifest_path(recording)) if prepared.restart else None
        for _, _, frames in plan + (found.plan if found is not None else []):
            for path in (frames, frames + ".partial"):
                if os.path.isdir(path):
                    shutil.rmtree(path)
        if os.path.isdir(folder):
            shutil.rmtree(folder)
        os.makedirs(folder)
        manifest = Manifest.new(prepared.manifest_path(recording), recording.record, made_with, plan)
    else:
        manifest = old
        if manifest.made_with() != made_with:
            manifest.replace_made_with(made_with)
        if prepared.from_window is not None:
            _redo_from(manifest, folder, prepared.from_window)
        manifest.forget_unused()
    manifest.save()
    return manifest


def _redo_from(manifest: Manifest, folder: str, first: int) -> None:
    """Window `first` and those after it are tracked again (their frames
    stay, the windows' settings being the same), and the window before it
    is checked and handed over again."""
    windows = manifest.windows
    for k in range(first, len(windows)):
        w = windows[k]
        path = os.path.join(folder, window_name(k))
        if os.path.isdir(path):
            shutil.rmtree(path)
        kept: dict[str, Any] = {key: w[key] for key in ("start_min", "end_min", "folder", "state", "made", "frames",
                                                        "cut") if key in w}
        if kept["state"] is not None:
            kept["state"] = "cut"
        kept["made"] = manifest.current_digest()
        windows[k] = kept
    if first > 0:
        before = windows[first - 1]
        if before["state"] == "handed over" and (before.get("start") or {}).get("from") is not None:
            before["state"] = "refined"
            before.pop("hand_over", None)


def write_recording_page(run: RecordingRun) -> str:
    """The recording's page and CSV, from its manifest and its windows'
    summaries; returns the page's path."""
    start = time.perf_counter()
    manifest = run.manifest
    summaries = [run.summary(k) if w["state"] in ("checked", "handed over") else None
                 for k, w in enumerate(manifest.windows)]
    page = build_page(manifest, summaries, run.recording.name,
                      lambda k: f"{window_name(k)}/{HEALTH}/index.html")
    path = os.path.join(run.folder, PAGE_NAME)
    _io.write_file(path, render(page).encode("utf-8"))
    _io.write_file(os.path.join(run.folder, CSV_NAME), table_of(page).to_csv(index=False).encode("utf-8"))
    manifest.data["page_seconds"] = round(time.perf_counter() - start, 4)
    manifest.save()
    return path


def window_table(runs: Sequence[RecordingRun], pages: Sequence[Optional[str]]) -> pd.DataFrame:
    """One row per window of every recording, in run order."""
    import pandas as pd

    rows = []
    for run, page in zip(runs, pages):
        for k, w in enumerate(run.manifest.windows):
            summary = run.summary(k) if w["state"] in ("checked", "handed over") else None
            start = w.get("start") or {}
            lowest = min((a["confidence"] for a in summary["animals"]), default=None) if summary else None
            hand = w.get("hand_over")
            text = None if hand is None else (f"failed: {hand['reason']}" if hand["failed"]
                                               else f"{len(hand['carried'])} carried")
            rows.append([run.recording.name, k + 1, w["start_min"], w["end_min"], w.get("frames"), w["state"],
                         start.get("from"), len(start.get("objects") or ()), lowest, text,
                         os.path.join(run.window_dir(k), HEALTH, "index.html") if summary else None])
    table = pd.DataFrame(rows, columns=WINDOW_COLUMNS)
    table.attrs["pages"] = {run.recording.name: page for run, page in zip(runs, pages)}
    return table


def track_recordings(
    config: Union[RunConfig, str, os.PathLike],
    *,
    restart: bool = False,
    from_window: Optional[int] = None,
    progress: bool = True,
) -> pd.DataFrame:
    """Tracks whole recordings: windows cut from the camera files, tracked,
    refined, written, checked and handed over one to the next, with a
    manifest per recording that lets a rerun take up where a run stopped.

    Each recording's windows go one after the other through: the frame
    extraction (as ``VideoProcessor`` cuts them); the first frame with the
    pen's animals from the detector (``initializer``: on the first window,
    and after a hand-over that failed), or the masks the hand-over carried;
    propagation by the video predictor (``init_state``, ``add_new_mask``,
    ``propagate_in_video``, ``reset_state`` once the window is done);
    ``Mask_Refinement`` and the annotation files (``write_annotation_file``);
    ``open_clip``, the tracking question report, the identity-health page
    and the overlap analysis; then the small-area drop, the last-frame
    choice and ``matcher`` onto the next window's first frame. A hand-over
    that fails (no usable last frame: fewer animals than the pen holds
    remain; or rejected masks) is a break: the next window starts from the
    detector with new track ids, and the manifest and the recording's page
    say where and why.

    Output, under ``config.output``: ``frames/`` (the windows' frames) and
    per recording a folder named by its "Video Name" with ``manifest.json``,
    ``index.html`` (the recording's page: timeline, per-clip confidence,
    breaks, episodes; linking each window's health page), ``timeline.csv``
    and per window ``window_NNN/`` with ``annotations/``, ``health/`` (page
    and report), ``summary.json``, ``drawings/`` and ``logs/`` (the
    library's messages).

    The manifest records each window's state ("cut", "tracked", "refined",
    "checked", "handed over") with the settings and the models it was made
    with, written whole after every step. Run again with the same
    configuration, a run redoes only what is unfinished (a window tracked
    but not yet written is tracked again) and writes the same bytes as a run
    that was never stopped. With other settings it refuses, naming them,
    unless told ``restart`` (track anew) or ``from_window`` (keep the
    windows before it, redo the others and the hand-over into it).

    Args:
        config: A ``RunConfig``, or the path of a TOML configuration file
            (see ``load_config``).
        restart: Throw away what earlier runs made and start again.
        from_window: Keep the windows before this one (numbered from 1),
            track it and those after it again with the current settings.
        progress: Show the progress on stderr: a bar on a terminal, one line
            per window otherwise.

    Returns:
        pandas.DataFrame: one row per window in run order: "Recording",
        "Window" (from 1), "Start (min)", "End (min)", "Frames", "State",
        "Tracks from" ("detector", "hand-over", or None without tracks),
        "Tracks", "Lowest confidence", "Hand-over", "Page" (the health
        page). ``attrs["pages"]`` maps each recording to its page.

    Raises:
        ConfigError: a bad configuration, a missing file, a model factory
            that fails, or settings that differ from a manifest's (raised
            before anything is written).
        ImportError: torch is not installed.
    """
    shown = Progress(sys.stderr if progress else None)
    prepared = prepare(config, restart=restart, from_window=from_window, progress=shown)
    os.makedirs(prepared.job.config.output, exist_ok=True)
    runs, pages = [], []
    try:
        for i, recording in enumerate(prepared.recordings):
            manifest = open_manifest(prepared, i)
            run = RecordingRun(prepared.job, recording, manifest)
            shown.add_windows(len(manifest.windows), sum(w["state"] == "handed over" for w in manifest.windows))
            for k in range(len(manifest.windows)):
                run.advance(k)
            runs.append(run)
            pages.append(write_recording_page(run))
    finally:
        shown.close()
    return window_table(runs, pages)
