"""Several recordings at once on a Dask cluster: one chain of tasks per
recording, one task per window, each depending on the one before (a window
starts from the previous window's hand-over), so recordings run side by
side while each one's windows stay in order. The workers load the models
once each through the model factory, cut the frames with the cluster
ingest's own records and calls, and read and write the recordings' folders
themselves; the caller checks and plans the run, writes nothing but the
manifests it opens, and prints."""

from __future__ import annotations

import json
import os
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any, Optional, Union

from .._dask import InRunOrder, _travelling, check_choices, check_client, error_text, import_distributed, \
    lost_task_error, print_finished, raise_first
from .._support import console_text
from .config import ModelSettings, RunConfig
from .manifest import Manifest
from .models import Models, make_models, models_identity
from .run import open_manifest, prepare, window_table, write_recording_page
from .recording import Job, Recording, RecordingRun

if TYPE_CHECKING:
    import distributed
    import pandas as pd

__all__ = ["track_recordings_on_cluster"]


@dataclass(frozen=True)
class JobPlan:
    """What a worker needs to run a recording's windows (the models are
    made on the worker, by the factory)."""

    config: RunConfig
    settings: Any  # the cluster ingest's RunSettings
    made_with: dict


# The models of this worker process, by their settings: made once, used by
# every window the worker runs.
_MODELS: dict[str, Models] = {}


def _models(settings: ModelSettings) -> Models:
    key = json.dumps(asdict(settings), sort_keys=True, default=str)
    if key not in _MODELS:
        _MODELS[key] = make_models(settings)
    return _MODELS[key]


def _identity_task(settings: ModelSettings) -> dict:
    return models_identity(settings, _models(settings))


def _window_task(plan: JobPlan, recording: Recording, manifest_path: str, k: int, previous: Any) -> tuple:
    """Window k of a recording: (what it did, its frames, its seconds, error)."""
    if previous is not None and previous[3] is not None:
        return None, 0, 0.0, RuntimeError(f"not run: an earlier window of {recording.name} failed")
    try:
        job = Job(plan.config, plan.settings, plan.made_with, _models(plan.config.models))
        manifest = Manifest.read(manifest_path)
        run = RecordingRun(job, recording, manifest)  # type: ignore[arg-type]
        done = run.advance(k)
        text, frames, seconds = done if done is not None else (run.outcome(k), 0, 0.0)
        return text, frames, seconds, None
    except Exception as e:  # noqa: BLE001 - reported in the caller's table
        return None, 0, 0.0, _travelling(e)


def _page_task(plan: JobPlan, recording: Recording, manifest_path: str, previous: Any) -> tuple:
    try:
        job = Job(plan.config, plan.settings, plan.made_with)
        run = RecordingRun(job, recording, Manifest.read(manifest_path))  # type: ignore[arg-type]
        return write_recording_page(run), None
    except Exception as e:  # noqa: BLE001 - reported in the caller's table
        return None, _travelling(e)


@dataclass(eq=False)
class _Piece:
    """A window's task, as the console prints it."""

    where: str
    done: bool = False
    lines: list = field(default_factory=list)
    error: Optional[BaseException] = None


def track_recordings_on_cluster(
    config: Union[RunConfig, str, os.PathLike],
    client: distributed.Client,
    *,
    restart: bool = False,
    from_window: Optional[int] = None,
    messages: str = "all",
    errors: str = "raise",
) -> pd.DataFrame:
    """``track_recordings`` with the recordings side by side on a Dask cluster.

    Each recording is one chain of tasks, one per unfinished window, each
    depending on the one before, then one for the recording's page; the
    chains of different recordings run at once. The workers make the models
    with the configuration's factory (once per worker process), cut the
    frames and read and write the recordings' folders themselves: the
    recordings, the pen file, the model factory's folders and the output
    folder must be reachable under the same paths from every worker, and
    every worker needs the same version of mirelo_utils. The caller checks
    the configuration, asks one worker for the models' identity, compares
    each recording's manifest with the settings (and refuses as
    ``track_recordings`` does) and writes the manifests before any window
    runs. A window lost with its worker is run again by Dask from the
    manifest, as a rerun would.

    Args:
        config: A ``RunConfig`` or the path of a TOML configuration file.
        client: A synchronous ``distributed.Client`` of the cluster.
        restart, from_window: As in ``track_recordings``.
        messages: "all" prints one line per window in run order (a
            recording's windows once they and the recordings before are
            done); "summary" prints each line as its window finishes.
        errors: "raise" raises the first failure (in run order) once every
            other recording is done; "report" leaves it in the table's
            ``attrs["unfinished"]`` (recording -> error text).

    Returns:
        pandas.DataFrame: The table of ``track_recordings``.

    Raises:
        ImportError: dask or distributed is not installed.
        TypeError: client is not a synchronous distributed.Client.
        ValueError: messages or errors is not one of its choices.
        ConfigError: as in ``track_recordings``, before anything is written.
    """
    distributed = import_distributed("track_recordings_on_cluster")
    check_client(client, distributed)
    check_choices(messages, errors)
    prepared = prepare(config, restart=restart, from_window=from_window,
                       identity=lambda checked: client.submit(_identity_task, checked.models, pure=False).result())
    job = prepared.job
    os.makedirs(job.config.output, exist_ok=True)
    plan = JobPlan(job.config, job.settings, job.made_with)
    runs: list[RecordingRun] = []
    pieces: list[_Piece] = []
    by_recording: list[list[_Piece]] = []
    order: dict[Any, _Piece] = {}
    page_futures: dict[Any, int] = {}
    total = 0
    for i, recording in enumerate(prepared.recordings):
        manifest = open_manifest(prepared, i)
        run = RecordingRun(job, recording, manifest)
        runs.append(run)
        by_recording.append([])
        previous = None
        for k, w in enumerate(manifest.windows):
            if w["state"] == "handed over":
                continue
            piece = _Piece(run.where(k))
            previous = client.submit(_window_task, plan, recording, manifest.path, k, previous, pure=False,
                                     priority=-total)
            order[previous] = piece
            pieces.append(piece)
            by_recording[-1].append(piece)
            total += 1
        page_futures[client.submit(_page_task, plan, recording, manifest.path, previous, pure=False)] = i
    console = InRunOrder(pieces)
    finished = 0
    pages: list[Optional[str]] = [None] * len(runs)
    page_errors: dict[int, BaseException] = {}
    futures = list(order) + list(page_futures)
    try:
        for future, result in distributed.as_completed(futures, with_results=True, raise_errors=False):
            lost = future.status != "finished"
            if future in page_futures:
                i = page_futures.pop(future)
                page, error = (None, lost_task_error(future, result)) if lost else result
                pages[i] = page
                if error is not None:
                    page_errors[i] = error
                continue
            piece = order.pop(future)
            text, frames, seconds, error = (None, 0, 0.0, lost_task_error(future, result)) if lost else result
            piece.done, piece.error = True, error
            if error is None:
                rate = f", {frames / seconds:.1f} frames/s" if seconds > 0 and frames else ""
                piece.lines = [console_text(f"{piece.where}: {text}; {seconds:.1f} s{rate}")]
            finished += 1
            if messages == "all":
                console.print_ready()
            else:
                print_finished(finished, total, piece.where,
                               f"failed: {error_text(error)}" if error is not None else str(text))
    finally:
        left = list(order) + list(page_futures)
        if left:
            client.cancel(left)
    unfinished: dict[str, str] = {}
    failures: list[BaseException] = []
    for run in runs:
        run.manifest = Manifest.read(run.manifest.path)  # type: ignore[assignment]  # as the workers left it
    for i, run in enumerate(runs):
        # The first failure of a chain; the windows after it were not run.
        errors_here = [p.error for p in by_recording[i] if p.error is not None][:1]
        if i in page_errors:
            errors_here.append(page_errors[i])
        if errors_here:
            unfinished[run.recording.name] = error_text(errors_here[0]) or ""
            failures.append(errors_here[0])
    if errors == "raise":
        raise_first(failures)
    table = window_table(runs, pages)
    table.attrs["unfinished"] = unfinished
    return table


def track_on_cluster_command(config: str, scheduler: Optional[str], workers: Optional[int], *, restart: bool,
                             from_window: Optional[int]) -> pd.DataFrame:
    """The command line's cluster run: a client of the scheduler, or of a
    local cluster of single-threaded worker processes."""
    distributed = import_distributed("python -m mirelo_utils track")
    if scheduler is not None:
        with distributed.Client(scheduler) as client:
            return track_recordings_on_cluster(config, client, restart=restart, from_window=from_window,
                                               errors="report")
    if workers is None or workers < 1:
        from .config import ConfigError

        raise ConfigError(f"--workers: expected a number of worker processes >= 1, got {workers!r}")
    # No dashboard; the scheduler's own HTTP endpoint on any free port.
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None,
                                  scheduler_kwargs={"dashboard_address": ":0"}) as cluster, \
            distributed.Client(cluster) as client:
        return track_recordings_on_cluster(config, client, restart=restart, from_window=from_window,
                                           errors="report")
