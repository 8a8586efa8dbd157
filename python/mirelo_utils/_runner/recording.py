"""One recording's windows, one after the other: cut, first frame (from the
detector, or from the hand-over), propagation, refinement and annotation
files, checks, hand-over to the next window. Every step ends with the
manifest saved, and each window picks up at the step after the last one
the manifest records, so a rerun redoes exactly the unfinished work.

The host side only chains the core's calls: the frames are cut, the masks
refined, outlined and written, the clip loaded, checked and handed over by
the core; here are the models' calls and the bookkeeping."""

from __future__ import annotations

import contextlib
import io
import json
import os
import shutil
import time
from collections.abc import Iterator, MutableMapping
from dataclasses import dataclass, field
from typing import Any, Optional

from .. import _core
from .._clip import open_clip
from .._core import _ingest as _ingest_impl  # type: ignore[attr-defined]
from .._core import _io  # type: ignore[attr-defined]  # private, not in the stubs
from .._dask import RunSettings, VideoRow
from .._health import PageOptions, check_and_write
from .._qc import Mask_Refinement
from .config import RunConfig
from .manifest import STATES, Manifest, window_name
from .models import Models
from .progress import Progress

__all__ = ["Job", "Recording", "RecordingRun", "frame_files", "run_settings_of"]

START_MASKS = "start_masks.npy"
SUMMARY = "summary.json"
ANNOTATIONS = "annotations"
HEALTH = "health"


@dataclass(frozen=True)
class Recording:
    """A recording of the run: its folder name under the output folder and
    its video-table row."""

    name: str
    row: VideoRow

    @property
    def record(self) -> dict[str, str]:
        return {"video_name": self.row.video_name, "file_path": self.row.file_path, "date": self.row.date,
                "camera_number": self.row.camera_number}


def run_settings_of(config: RunConfig) -> RunSettings:
    """The frame extraction's settings (the cluster ingest's record)."""
    from .._ingest import VideoProcessor

    w = config.windows
    processor = VideoProcessor(
        resize_dim=None if w.resize_height is None else (0, w.resize_height),
        frame_skip=w.frame_skip, time_step=w.minutes,
        output_dir_base=os.path.join(config.output, "frames"),
        crop=w.crop, left_crop=w.crop_side == "left")
    return RunSettings(**_ingest_impl.run_settings(processor))


@dataclass
class Job:
    """What the recordings of a run share: the settings, the models (loaded
    where the windows run) and the progress."""

    config: RunConfig
    settings: RunSettings
    made_with: dict[str, Any]
    models: Optional[Models] = None
    progress: Progress = field(default_factory=lambda: Progress(None))


def frame_files(folder: str) -> list[str]:
    """A window's frame images in frame order (named by their number, as
    the video predictor reads them)."""
    names = [n for n in os.listdir(folder) if os.path.splitext(n)[1].lower() in (".jpg", ".jpeg")]
    names.sort(key=lambda n: int(os.path.splitext(n)[0]))
    return [os.path.join(folder, n) for n in names]


def _write_bytes(path: str, data: bytes, sync: bool = True) -> None:
    """Written whole through a temporary; `sync` for the files a later step
    reads back, not for logs and drawings, which nothing reads."""
    _io.write_file(path, data, sync=sync)


def _write_json(path: str, value: Any) -> None:
    _write_bytes(path, (json.dumps(value, indent=1) + "\n").encode("utf-8"))


def _flush() -> None:
    """The files a step wrote, on the disk before the manifest says the
    step is done: one flush of the system's buffers rather than one per file
    (frames, annotation files)."""
    sync = getattr(os, "sync", None)
    if sync is not None:
        sync()


def _png(image: Any) -> bytes:
    buffer = io.BytesIO()
    image.save(buffer, format="PNG")
    return buffer.getvalue()


def _remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def _runs(flags: Any) -> list[tuple[int, int]]:
    """(first, last) index of each run of True values."""
    import numpy as np

    padded = np.concatenate(([False], np.asarray(flags, bool), [False]))
    edges = np.flatnonzero(padded[1:] != padded[:-1])
    return [(int(a), int(b) - 1) for a, b in zip(edges[::2], edges[1::2])]


class RecordingRun:
    """The windows of one recording, advanced step by step from what its
    manifest records."""

    def __init__(self, job: Job, recording: Recording, manifest: Manifest) -> None:
        self.job = job
        self.config = job.config
        self.recording = recording
        self.manifest = manifest
        self.folder = os.path.dirname(manifest.path)
        self.seconds: dict[int, dict[str, float]] = {}  # window -> step -> seconds, of this run
        self._tracked: Optional[tuple[int, dict]] = None  # window -> {frame: [(object id, CompactMask)]}
        self._clip: Optional[tuple[int, Any]] = None  # the last window loaded, for its hand-over

    # -- places

    def window_dir(self, k: int) -> str:
        return os.path.join(self.folder, window_name(k))

    def where(self, k: int) -> str:
        w = self.manifest.windows[k]
        return f"{self.recording.name} window {k + 1}/{len(self.manifest.windows)} " \
               f"({w['start_min']:g}-{w['end_min']:g} min)"

    # -- time and messages

    @contextlib.contextmanager
    def stage(self, k: int, name: str) -> Iterator[None]:
        """Times a step of window k ("bookkeeping" for the run's own files)."""
        start = time.perf_counter()
        try:
            yield
        finally:
            steps = self.seconds.setdefault(k, {})
            steps[name] = steps.get(name, 0.0) + time.perf_counter() - start

    def _save(self, k: int) -> None:
        with self.stage(k, "bookkeeping"):
            self.manifest.windows[k]["seconds"] = {name: round(s, 4) for name, s in self.seconds.get(k, {}).items()}
            # Flushed to the disk when the window's costly work is done
            # (refined: tracked and written; handed over: finished). A state
            # in between lost to a power cut is redone by the rerun, as
            # after a kill; the flush before "refined" has taken the window's
            # frames and annotation files to the disk before any manifest
            # names them.
            self.manifest.save(sync=self.manifest.windows[k]["state"] in ("refined", "handed over"))

    def _log(self, k: int, step: str, lines: list[str]) -> None:
        """The core's messages of a step, in the window's logs folder (none
        when the step said nothing)."""
        if not lines:
            return
        with self.stage(k, "bookkeeping"):
            folder = os.path.join(self.window_dir(k), "logs")
            os.makedirs(folder, exist_ok=True)
            _write_bytes(os.path.join(folder, f"{step}.log"), "".join(f"{line}\n" for line in lines).encode("utf-8"),
                         sync=False)

    @property
    def models(self) -> Models:
        """The run's models (made by the factory where the windows run)."""
        assert self.job.models is not None, "the models are made before a window runs"
        return self.job.models

    @staticmethod
    def _captured(lines: list[str], call: Any) -> Any:
        return _core._call_capturing_lines(lines, call)  # type: ignore[attr-defined]  # private, not in the stubs

    # -- the steps

    def advance(self, k: int) -> Optional[tuple[str, int, float]]:
        """Takes window k from where the manifest leaves it to "handed over";
        returns what it did (in a few words), its frames and its seconds, or
        None when an earlier run had finished it."""
        windows = self.manifest.windows
        w = windows[k]
        if w["state"] == "handed over":
            return None
        started = time.perf_counter()
        if w["state"] is None:
            self.cut(k)
        if not w.get("frames"):
            status = w.get("cut")
            self._untracked(k, "no frames" + ("" if status == "saved" else f": {status}"))
        elif w.get("start") is None:
            self.start_from_detector(k)
        if w["state"] != "handed over":
            if self.manifest.state_index(k) <= STATES.index("tracked"):
                self.track(k)
                self.refine(k)
            if w["state"] == "refined":
                self.check(k)
            if w["state"] == "checked":
                self.hand_over(k)
        done = (self.outcome(k), int(w.get("frames") or 0), time.perf_counter() - started)
        self.job.progress.window_done(self.where(k), *done)
        return done

    def outcome(self, k: int) -> str:
        """A window's result in a few words, for the run's log."""
        w = self.manifest.windows[k]
        start = w.get("start") or {}
        tracks = len(start.get("objects") or ())
        text = f"{w.get('frames') or 0} frames"
        if not tracks:
            return f"{text}, no tracks ({start.get('reason', '')})"
        text += f", {tracks} tracks from the {start['from']}"
        hand = w.get("hand_over") or {}
        if hand.get("failed"):
            text += f"; hand-over failed: {hand['reason']}"
        elif hand.get("carried") is not None:
            text += f"; {len(hand['carried'])} handed over"
            if hand.get("removed"):
                text += f", {', '.join(hand['removed'])} dropped"
        return text

    def cut(self, k: int) -> None:
        """The window's frames, cut afresh (a folder the manifest does not
        record as cut is what a killed run left)."""
        w = self.manifest.windows[k]
        with self.stage(k, "ingest"):
            for path in (w["folder"], w["folder"] + ".partial"):
                _remove(path)
            _remove(self.window_dir(k))
            crop = self.config.windows.crop_window or self.manifest.data.get("crop_window")
            lines: list[str] = []
            status, saved, chosen = _ingest_impl.run_window(
                self.job.settings, self.recording.row, w["start_min"], w["end_min"],
                None if crop is None else tuple(crop), False, 0, lines)
        self._log(k, "cut", lines)
        if chosen is not None and self.config.windows.crop_window is None:
            self.manifest.data["crop_window"] = list(chosen)
        w.update(state="cut", cut=status, frames=saved if status == "saved" else 0,
                 made=self.manifest.current_digest())
        self._save(k)

    def _next_object_id(self, k: int) -> int:
        used = [i for w in self.manifest.windows[:k] for i in ((w.get("start") or {}).get("objects") or ())]
        return max(used, default=0) + 1

    def _untracked(self, k: int, reason: str) -> None:
        w = self.manifest.windows[k]
        w["start"] = {"from": None, "reason": reason}
        w["hand_over"] = None
        w["state"] = "handed over"
        self._save(k)

    def start_from_detector(self, k: int) -> None:
        """The window's first frame with the pen's animals, from the
        detector; or no tracks for this window."""
        import numpy as np

        models, config = self.models, self.config
        frames = frame_files(self.manifest.windows[k]["folder"])
        lines: list[str] = []
        with self.stage(k, "initialisation"):
            masks, _, index, drawing = self._captured(lines, lambda: _core.initializer(
                self.manifest.windows[k]["folder"], frames, models.processor, models.grounding_model,
                models.device, models.image_predictor, 0, config.initialisation.step,
                config.initialisation.text_threshold, config.pen.animals, config.pen.file))
        self._log(k, "initialisation", lines)
        if masks is None:
            self._untracked(k, f"no frame of the window shows {config.pen.animals} animals")
            return
        masks = np.asarray(masks).reshape(-1, *np.shape(masks)[-2:]) > 0
        first = self._next_object_id(k)
        with self.stage(k, "drawings"):
            os.makedirs(os.path.join(self.window_dir(k), "drawings"), exist_ok=True)
            _write_bytes(os.path.join(self.window_dir(k), "drawings", "first_frame.png"), _png(drawing), sync=False)
        self._set_start(k, {"from": "detector", "frame": int(index), "objects": list(range(first, first + len(masks)))},
                        masks)
        self._save(k)

    def _set_start(self, k: int, start: dict[str, Any], masks: Any) -> None:
        """Window k's first masks, kept beside it until its annotation files
        are written (the manifest is saved by the caller)."""
        import numpy as np

        with self.stage(k, "bookkeeping"):
            os.makedirs(self.window_dir(k), exist_ok=True)
            buffer = io.BytesIO()
            np.save(buffer, np.packbits(masks, axis=-1), allow_pickle=False)
            _write_bytes(os.path.join(self.window_dir(k), START_MASKS), buffer.getvalue())
            start["height"], start["width"] = int(masks.shape[1]), int(masks.shape[2])
            self.manifest.windows[k]["start"] = start

    def _start_masks(self, k: int) -> Any:
        import numpy as np

        start = self.manifest.windows[k]["start"]
        with open(os.path.join(self.window_dir(k), START_MASKS), "rb") as f:
            packed = np.load(f, allow_pickle=False)
        return np.unpackbits(packed, axis=-1, count=start["width"]).astype(bool)

    def track(self, k: int) -> None:
        """Propagation through the video predictor's calls; the masks are
        kept as runs (a few kilobytes each) until they are refined."""
        import numpy as np

        from .._support import import_optional

        torch = import_optional("torch", "track_recordings", "torch", "features")
        w = self.manifest.windows[k]
        start = w["start"]
        masks = self._start_masks(k)
        predictor = self.models.video_predictor
        options = self.config.models
        tracked: dict[int, list] = {}
        with self.stage(k, "propagation"), torch.inference_mode():
            state = predictor.init_state(video_path=w["folder"], offload_video_to_cpu=options.offload_video_to_cpu,
                                         offload_state_to_cpu=options.offload_state_to_cpu)
            try:
                for object_id, mask in zip(start["objects"], masks):
                    predictor.add_new_mask(state, frame_idx=start["frame"], obj_id=object_id, mask=mask)
                for frame, ids, logits in predictor.propagate_in_video(state):
                    found = (logits > 0.0).cpu().numpy()
                    found = found.reshape(len(ids), *found.shape[-2:])
                    tracked[int(frame)] = [(int(i), _core.CompactMask.from_array(m)) for i, m in zip(ids, found)]
                    self.job.progress.frames()
            finally:
                # The predictor holds the window's frames and memory: none of
                # it is carried to the next window.
                predictor.reset_state(state)
                del state
        del masks
        self._tracked = (k, tracked)
        w["state"] = "tracked"
        self._save(k)

    def _refiner(self, k: int) -> Mask_Refinement:
        """The refinement, with the last positions of the window its tracks
        come from (none for tracks from the detector)."""
        import numpy as np

        r = self.config.refinement
        refiner = Mask_Refinement(min_area_ratio=r.min_area_ratio, max_distance_ratios=list(r.max_distance_ratios),
                                  max_prev_dist=r.max_prev_dist, custom_pen_json_path=self.config.pen.file)
        if self.manifest.windows[k]["start"]["from"] == "hand-over":
            before = self.manifest.windows[k - 1].get("refiner") or {}
            refiner.prev_centroids = {int(i): np.array(xy, dtype=np.float64) for i, xy in before.items()}
        return refiner

    def refine(self, k: int) -> None:
        """Refinement and annotation files, frame by frame: each frame's
        masks are painted, cleaned and outlined, one frame at a time."""
        w = self.manifest.windows[k]
        assert self._tracked is not None and self._tracked[0] == k
        tracked = self._tracked[1]
        frames = frame_files(w["folder"])
        annotations = os.path.join(self.window_dir(k), ANNOTATIONS)
        _remove(annotations)
        os.makedirs(annotations)
        refiner = self._refiner(k)
        lines: list[str] = []
        first = next(iter(tracked), None)
        for frame, objects in tracked.items():
            masks = {object_id: mask.to_array() for object_id, mask in objects}
            # The first frame of the window is refined as the first of its
            # segments; every other frame after it, as in one call for all.
            segments: MutableMapping[Any, MutableMapping[Any, Any]] = \
                {frame: masks} if frame == first else {first: {}, frame: masks}
            with self.stage(k, "refinement"):
                self._captured(lines, lambda: refiner.process_video_segments(segments, w["folder"], frames))
            with self.stage(k, "annotation files"):
                _core.write_annotation_file(os.path.join(annotations, f"output_pp_{frame}.json"), frames[frame],
                                            segments[frame], sync=False)
        self._log(k, "refinement", lines)
        self._tracked = None
        w["refiner"] = {str(i): [float(v) for v in xy] for i, xy in refiner.prev_centroids.items()}
        w["state"] = "refined"
        with self.stage(k, "bookkeeping"):
            _flush()
        self._save(k)
        self._drop_start_masks(k)

    def _drop_start_masks(self, k: int) -> None:
        """The first masks are not needed once the window's annotation files
        are written (removed after the manifest says so, and again by a
        rerun that finds them left by a run killed in between)."""
        with self.stage(k, "bookkeeping"):
            _remove(os.path.join(self.window_dir(k), START_MASKS))

    def hand_over_settings(self, k: int) -> Any:
        """The hand-over's settings for window k: the last frame must hold
        every track the window carries (the pen's animals less those dropped
        at earlier hand-overs), less those dropped at this one."""
        import dataclasses

        tracks = len(self.manifest.windows[k]["start"]["objects"])
        return dataclasses.replace(self.config.hand_over, pen_animals=tracks)

    def page_options(self, k: int) -> PageOptions:
        c = self.config
        w = self.manifest.windows[k]
        return PageOptions(expected_animals=c.expected_animals, intersection_thrr=c.checks.intersection_threshold,
                           min_episode_frames=c.checks.min_episode_frames,
                           max_pictured_episodes=c.checks.max_pictured_episodes, hand_over=self.hand_over_settings(k),
                           title=f"{self.recording.name}, window {k + 1} ({w['start_min']:g}-{w['end_min']:g} min)")

    def check(self, k: int) -> None:
        """The clip loaded compactly, its report, health page and overlap
        analysis; the window's summary for the recording's page."""
        self._drop_start_masks(k)
        predictor = self.models.image_predictor
        lines: list[str] = []
        with self.stage(k, "loading"):
            clip = self._captured(lines, lambda: open_clip(os.path.join(self.window_dir(k), ANNOTATIONS)))
        with self.stage(k, "checks"):
            checked = self._captured(lines, lambda: check_and_write(
                clip, os.path.join(self.window_dir(k), HEALTH),
                predictor if self.config.checks.appearance else None, self.page_options(k)))
            overlap = checked.report[0]
            analysis = None
            if len(overlap):
                try:
                    found = self._captured(lines, lambda: _core.process_overlap_frames(overlap, clip, predictor))
                    analysis = {"frame": int(found[0]), "track": str(found[1])}
                except ValueError as e:  # no episode long enough for the analysis
                    lines.append(f"No overlap analysis: {e}")
        self._log(k, "checks", lines)
        with self.stage(k, "bookkeeping"):
            # The clip's keys count its records from 0; the window's frames
            # are numbered from its first frame (the annotation files' numbers).
            number = {int(key): int(clip[key]["frame_index"]) for key in checked.scan.keys}
            _write_json(os.path.join(self.window_dir(k), SUMMARY), self._summary(checked, analysis, number))
        self._clip = (k, clip)
        self.manifest.windows[k]["state"] = "checked"
        self._save(k)

    @staticmethod
    def _summary(checked: Any, analysis: Optional[dict], number: dict[int, int]) -> dict[str, Any]:
        """What the recording's page shows of a window: per track its
        confidence and counts, the overlap episodes, the runs of frames in
        which a track vanished, the overlap analysis and the hand-over
        advice; frames by their number in the window (`number` of each key
        of the clip)."""
        import numpy as np

        from .._health.scan import ZERO_AREA

        page, scan = checked.page, checked.scan
        animals = [{"track": row.animal, "confidence": row.confidence, "frames_present": row.frames_present,
                    "frames_zero_area": row.frames_zero_area, "frames_heavy_overlap": row.frames_heavy_overlap,
                    "episodes": row.episodes, "named": row.times_named,
                    "first_suspect": None if row.first_suspect_frame is None else number[row.first_suspect_frame]}
                   for row in page.animals]
        episodes = [{"first": number[ep.first_frame], "last": number[ep.last_frame], "pair": list(ep.pair),
                     "suspects": list(ep.suspects), "swapped": ep.swapped} for ep in page.episodes]
        vanished = []
        gone = ~(np.nan_to_num(scan.area, nan=0.0) > ZERO_AREA)
        frames = scan.frames
        for i, row in enumerate(page.animals):
            for a, b in _runs(gone[:, i]):
                vanished.append({"track": row.animal, "first": number[int(frames[a])],
                                 "last": number[int(frames[b])]})
        advice = page.hand_over
        if analysis is not None:
            analysis = {**analysis, "frame": number[analysis["frame"]]}
        best = None if advice.best_frame is None else number[int(advice.best_frame)]
        return {"first_frame": number[page.first_frame], "last_frame": number[page.last_frame],
                "frames": page.frame_count, "animals": animals, "episodes": episodes, "vanished": vanished,
                "analysis": analysis, "advice": {"removed": list(advice.removed), "best_frame": best}}

    def summary(self, k: int) -> Optional[dict[str, Any]]:
        try:
            with open(os.path.join(self.window_dir(k), SUMMARY), encoding="utf-8") as f:
                return json.load(f)
        except FileNotFoundError:
            return None

    def hand_over(self, k: int) -> None:
        """The tracks carried onto the next window's first frame by the
        matcher, or the break: the next window starts from the detector, and
        the reason is recorded."""
        import numpy as np

        windows = self.manifest.windows
        w = windows[k]
        if k + 1 == len(windows):
            w["hand_over"] = None
            w["state"] = "handed over"
            self._save(k)
            return
        nxt = windows[k + 1]
        if nxt["state"] is None:
            self.cut(k + 1)
        s = self.hand_over_settings(k)
        lines: list[str] = []
        if not nxt.get("frames"):
            result: dict[str, Any] = {"failed": True, "reason": "the next window has no frames", "removed": []}
        else:
            clip = self._clip[1] if self._clip is not None and self._clip[0] == k else None
            with self.stage(k, "loading"):
                if clip is None:
                    clip = self._captured(lines, lambda: open_clip(os.path.join(self.window_dir(k), ANNOTATIONS)))
            self._clip = None
            drawing = os.path.join(self.window_dir(k + 1), "drawings", "hand_over.png")
            os.makedirs(os.path.dirname(drawing), exist_ok=True)
            shown: list[Any] = []
            with self.stage(k, "hand-over"):
                removed = list(self._captured(lines, lambda: _core.find_boxes_with_small_area_from_last_video(
                    clip, s.min_frame_id, s.area_threshold, s.min_count)))
                if len(removed) >= s.pen_animals:
                    masks, best, failed = None, None, True
                else:
                    masks, _, _, best, failed = self._captured(lines, lambda: _core.matcher(
                        clip, frame_files(nxt["folder"]), 0, self.models.image_predictor, removed,
                        min_area=s.min_area, max_attempts=min(int(s.max_attempts), len(clip)),
                        display_func=shown.append, pen_animals=s.pen_animals))
            if shown:
                with self.stage(k, "drawings"):
                    _write_bytes(drawing, _png(shown[-1]), sync=False)
            result = {"failed": bool(failed), "removed": [str(r) for r in removed]}
            if failed:
                result["reason"] = self._failure(k, removed)
            else:
                assert best is not None and masks is not None
                carried = [str(key) for key in best["masks_dict"].keys()]
                result.update(best_frame=int(best["frame_index"]), carried=carried)
                found = np.asarray(masks).reshape(len(carried), *np.shape(masks)[-2:]) > 0
                self._set_start(k + 1, {"from": "hand-over", "frame": 0,
                                        "objects": [int(key[3:]) + 1 for key in carried],
                                        "source_frame": int(best["frame_index"])}, found)
        self._log(k, "hand_over", lines)
        if result["failed"]:
            nxt["start"] = None
            _remove(os.path.join(self.window_dir(k + 1), START_MASKS))
        w["hand_over"] = result
        w["state"] = "handed over"
        self._save(k)

    def _failure(self, k: int, removed: list) -> str:
        s = self.hand_over_settings(k)
        if len(removed) >= s.pen_animals:
            return "every track was dropped as too small at the end of the window"
        advice = (self.summary(k) or {}).get("advice") or {}
        left = s.pen_animals - len(removed)
        if advice.get("best_frame") is None:
            return (f"fewer animals than the tracks carried remain: no frame among the window's last "
                    f"{s.text('max_attempts')} has {left} masks of more than {s.text('min_area')} pixels "
                    "without one covering half of another")
        return ("the masks found on the next window's first frame were rejected: a mask missing, smaller than "
                f"{s.text('min_area')} pixels, or covering more than 10 % of another")
