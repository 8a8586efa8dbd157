"""The main job: a pen recording through the whole tracking pipeline.

Usage:
    python examples/pen_pipeline.py [--out DIR] [--quick]

A pen recording is generated first (examples/pen_scene.py: ten animals, an
orange marker post, two animals that cross and one that walks under the
feeder roof), then:

 1. ingest: the recording is catalogued (VideoMetadata) and cut into two
    windows of frames, cropped to the pen (VideoProcessor);
 2. initialisation: `initializer` finds the first frame of window 1 with ten
    animals and segments them;
 3. propagation: the video predictor carries the masks through the clip;
 4. refinement: Mask_Refinement cleans every mask against the pen and the
    animal's previous position;
 5. annotation files: one output_pp_<frame>.json per frame, polygons from the
    mask contours, as a tracking run stores them;
 6. loading: `open_clip` loads the annotation files back into frame records;
 7. report: the tracking question report (vanished and heavily overlapping
    masks) and the overlap-episode analysis;
 8. page: `clip_health_report` writes the clip's identity-health page;
 9. hand-over: the animals that stayed tiny at the end are dropped and
    `matcher` carries the others onto window 2, which goes through steps 3
    to 8 as the second clip.

The models are small stand-ins (examples/stand_in_models.py) that answer the
real models' calls; the README shows the same pipeline with the real ones.
Everything is written under examples/output/ (or --out); the run ends with a
summary, the checks against the generated scene and the time of each stage.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import shutil
import sys
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Optional

import cv2
import numpy as np
import torch

import mirelo_utils as mu

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDING_NAME = "Camera64_1_20240115063000.mp4"


@dataclass
class Models:
    """The caller's models: the detector's processor and model, the image
    predictor and the video predictor, and the device of the detector inputs."""

    processor: Any
    grounding_model: Any
    image_predictor: Any
    video_predictor: Any
    device: str = "cpu"


def stand_in_models() -> Models:
    """The stand-ins made for the generated scene (the README shows the real models)."""
    from stand_in_models import (BoxPromptedSegmenter, ColourDetector, ColourDetectorProcessor,
                                 RepromptingVideoPredictor)

    segmenter = BoxPromptedSegmenter()
    return Models(ColourDetectorProcessor(), ColourDetector().eval(), segmenter,
                  RepromptingVideoPredictor(segmenter))


class Stages:
    """Wall time per stage, summed over both clips."""

    def __init__(self):
        self.seconds: dict[str, float] = {}

    @contextlib.contextmanager
    def __call__(self, name: str):
        start = time.perf_counter()
        try:
            yield
        finally:
            self.seconds[name] = self.seconds.get(name, 0.0) + time.perf_counter() - start


class Progress:
    """A progress bar on stderr; without a terminal, a line per quarter."""

    def __init__(self, label: str, total: int):
        self.label, self.total, self.done, self.shown = label, max(total, 1), 0, -1
        self.tty = sys.stderr.isatty()

    def advance(self) -> None:
        self.done += 1
        step = min(self.done * 20 // self.total, 20)
        if step != self.shown and (self.tty or step % 5 == 0):
            self.shown = step
            text = f"  {self.label:<17}[{'#' * step}{'.' * (20 - step)}] {self.done}/{self.total}"
            sys.stderr.write("\r" + text if self.tty else text + "\n")
            if self.tty and step == 20:
                sys.stderr.write("\n")
            sys.stderr.flush()


@contextlib.contextmanager
def messages_to(path: str):
    """Sends the library's printed messages of a chatty step to a log file."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as log, contextlib.redirect_stdout(log):
        yield


# -- the steps ---------------------------------------------------------------

def ingest(base_dir: str, sub_dirs: list[str], frames_dir: str, time_step: float,
           resize_dim: Optional[tuple[int, int]], logs: str) -> list[list[str]]:
    """Catalogues the recordings and cuts them into windows of frames cropped
    to the pen left of the orange marker; returns the frame paths of each
    window, in time order. The per-frame messages go to logs/ingest.log."""
    with messages_to(os.path.join(logs, "ingest.log")):
        table = mu.VideoMetadata(base_dir=base_dir, sub_dirs=sub_dirs, sample_step=1).get_filtered_video_dataframe()
        video_processor = mu.VideoProcessor(resize_dim=resize_dim, frame_skip=1, time_step=time_step,
                                            output_dir_base=frames_dir, left_crop=True)
        video_processor.process_videos_to_frames(table)
    print(f"Video table: {len(table)} recording(s), crop window {video_processor.camera_crop_coords}")
    windows: dict[str, list[str]] = {}
    for path in mu.list_all_files(frames_dir, ".jpg"):
        windows.setdefault(os.path.dirname(path), []).append(path)
    order = sorted(windows, key=lambda d: float(os.path.basename(os.path.dirname(d)).split("min_to_")[0]))
    for d in order:
        print(f"  {len(windows[d]):4d} frames in {os.path.relpath(d, frames_dir)}")
    return [windows[d] for d in order]


def propagate(video_predictor, frame_names: list[str], first_idx: int, obj_ids: list[int], masks) -> dict:
    """The host's propagation: prompts the video predictor with the first
    masks and collects video_segments {frame: {object id: 1 x H x W bool}}."""
    video_segments = {}
    shown = Progress("propagation", len(frame_names) - first_idx)
    with torch.inference_mode():
        state = video_predictor.init_state(video_path=os.path.dirname(frame_names[0]))
        for obj_id, mask in zip(obj_ids, masks):
            video_predictor.add_new_mask(state, frame_idx=first_idx, obj_id=obj_id, mask=np.squeeze(mask) > 0)
        for frame_idx, ids, logits in video_predictor.propagate_in_video(state):
            video_segments[frame_idx] = {oid: (logits[i] > 0.0).cpu().numpy() for i, oid in enumerate(ids)}
            shown.advance()
    return video_segments


def outline(mask: np.ndarray) -> tuple[list[str], list[list[int]]]:
    """A mask's outlines as polygon texts ("0" and the normalised x y pairs of
    each outer contour) and its box [x0, y0, x1, y1] (maxima inclusive), as
    the annotation files hold them; nothing for an empty mask. Vertices are
    pixel centres, so that x times the width truncates back to the pixel when
    the file is read."""
    h, w = mask.shape
    contours, _ = cv2.findContours(mask.astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    if not contours:
        return [], []
    polygons = []
    for c in contours:
        # A one-pixel piece is written as its point given twice: readers draw
        # polygons of at least two points.
        points = c[:, 0] if len(c) > 1 else np.repeat(c[:, 0], 2, axis=0)
        polygons.append("0 " + " ".join(f"{(x + 0.5) / w:.6f} {(y + 0.5) / h:.6f}" for x, y in points))
    x, y, bw, bh = cv2.boundingRect(np.concatenate(contours))
    return polygons, [[x, y, x + bw - 1, y + bh - 1]]


def write_annotation_files(video_segments: dict, frame_names: list[str], ann_dir: str) -> None:
    """One output_pp_<frame>.json per frame: the frame's image path and, per
    track, its object id, box and outline polygons."""
    os.makedirs(ann_dir, exist_ok=True)
    shown = Progress("annotation files", len(video_segments))
    for frame_idx, objects in video_segments.items():
        detections = []
        for obj_id, mask in objects.items():
            polygons, box = outline(np.squeeze(mask, axis=0))
            detections.append({"object_id": int(obj_id), "class_name": "pig", "xyxy": box,
                               "formatted_polygon": polygons})
        with open(os.path.join(ann_dir, f"output_pp_{frame_idx}.json"), "w", encoding="utf-8") as f:
            json.dump({"image_path": frame_names[frame_idx], "detections": detections}, f)
        shown.advance()


@dataclass
class Clip:
    """One tracked clip: its frames, output folder, loaded records and checks."""

    name: str
    frame_names: list[str]
    out: str
    records: Any = None
    refined: tuple[int, int] = (0, 0)  # masks changed, pixels removed
    report_path: Optional[str] = None
    overlap_rows: Any = None
    zero_area_rows: list = field(default_factory=list)
    analysis: Any = None
    page: Optional[str] = None
    health: Any = None  # the page's table: one row per track
    drawings: list[str] = field(default_factory=list)

    @property
    def ann_dir(self) -> str:
        return os.path.join(self.out, "annotations")


def track_clip(clip: Clip, first_idx: int, obj_ids: list[int], first_masks, models: Models,
               refiner: "mu.Mask_Refinement", stages: Stages, logs: str) -> None:
    """Propagation, refinement, annotation files and loading of one clip."""
    os.makedirs(clip.out, exist_ok=True)
    with stages("propagation"):
        video_segments = propagate(models.video_predictor, clip.frame_names, first_idx, obj_ids, first_masks)
    with stages("refinement"):
        before = {(f, o): int(np.count_nonzero(m)) for f, objs in video_segments.items() for o, m in objs.items()}
        with messages_to(os.path.join(logs, f"{clip.name}_refinement.log")):
            refiner.process_video_segments(video_segments, os.path.dirname(clip.frame_names[0]), clip.frame_names)
        removed = [before[f, o] - int(np.count_nonzero(m)) for f, objs in video_segments.items()
                   for o, m in objs.items()]
        clip.refined = (sum(r > 0 for r in removed), sum(removed))
    with stages("annotation files"):
        write_annotation_files(video_segments, clip.frame_names, clip.ann_dir)
    del video_segments
    with stages("loading"):
        # The clip held compactly (runs of pixels per mask row); a record's
        # masks become arrays only when read.
        clip.records = mu.open_clip(clip.ann_dir)
    print(f"{clip.name}: {len(clip.records)} frames tracked; refinement changed {clip.refined[0]} masks "
          f"({clip.refined[1]} pixels)")


def check_clip(clip: Clip, image_predictor, stages: Stages) -> None:
    """Tracking question report, overlap-episode analysis, health page, and
    drawings of the first overlap frame and the last frame."""
    with stages("report"):
        overlap, zero_area, _, _ = mu.generate_tracking_report(clip.records, clip.out)
        clip.overlap_rows, clip.zero_area_rows = overlap, zero_area
        path = os.path.join(clip.out, "tracking_question_report.csv")
        clip.report_path = path if os.path.exists(path) else None
        if len(overlap):
            clip.analysis = mu.process_overlap_frames(overlap, clip.records, image_predictor)
    with stages("page"):
        clip.page = health_page(clip, image_predictor, len(clip.records[0]["masks_dict"]))
    with stages("drawings"):
        if len(overlap):
            draw(clip, int(overlap["Frame ID"].min()), "first_overlap")
        draw(clip, len(clip.records) - 1, "last_frame")


def health_page(clip: Clip, image_predictor, tracks: int) -> str:
    """The clip's identity-health page: one self-contained index.html with
    the tracking question report beside it; the per-track table is kept."""
    bars: dict[str, Progress] = {}

    def shown(stage: str, done: int, total: int) -> None:
        bar = bars.setdefault(stage, Progress(stage.lower(), total))
        while bar.done < done:
            bar.advance()

    out_dir = os.path.join(clip.out, "health")
    clip.health = mu.clip_health_report(clip.records, out_dir, image_predictor=image_predictor,
                                        expected_animals=tracks, title=f"{clip.name}: {clip.ann_dir}",
                                        progress=shown, hand_over=hand_over_settings(len(clip.records)))
    return os.path.join(out_dir, "index.html")


def draw(clip: Clip, frame_key: int, name: str) -> None:
    """Saves the drawing of one annotation file with boxes and labels."""
    path = os.path.join(clip.out, "drawings", f"{name}.png")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    mu.retrieve_annotation(clip.records[frame_key]["json_path"], path, box_drawing=True)
    clip.drawings.append(path)


def hand_over_settings(frames: int) -> mu.HandOverSettings:
    """The small-area search over the clip's last sixth: a track tiny in more
    than three quarters of those frames is dropped at the hand-over."""
    min_frame_id = frames * 5 // 6
    return mu.HandOverSettings(min_frame_id=min_frame_id, area_threshold=100,
                               min_count=(frames - 1 - min_frame_id) * 3 // 4)


@dataclass
class Run:
    clips: list[Clip]
    first_frame: int
    removed: list[str]
    keep_box: list[str]
    stages: Stages


def run_pipeline(frame_windows: list[list[str]], out: str, models: Models, pen_json: Optional[str],
                 stages: Stages) -> Run:
    """Tracks the first window, hands its animals over to the second and tracks
    that; the library's chatty messages go to <out>/logs."""
    logs = os.path.join(out, "logs")
    first = Clip("clip1", frame_windows[0], os.path.join(out, "clip1"))
    second = Clip("clip2", frame_windows[1], os.path.join(out, "clip2"))
    refiner = mu.Mask_Refinement(custom_pen_json_path=pen_json)

    print("\n== Clip 1: initialisation ==")
    with stages("initialisation"):
        masks, _, first_idx, drawing = mu.initializer(os.path.dirname(first.frame_names[0]), first.frame_names,
                                                      models.processor, models.grounding_model, models.device,
                                                      models.image_predictor, custom_pen_json_path=pen_json)
    if masks is None:
        raise RuntimeError("no frame of the first window shows ten animals")
    os.makedirs(os.path.join(first.out, "drawings"), exist_ok=True)
    first.drawings.append(os.path.join(first.out, "drawings", "first_frame.png"))
    drawing.save(first.drawings[-1])

    print("\n== Clip 1: tracking ==")
    track_clip(first, first_idx, list(range(1, len(masks) + 1)), masks, models, refiner, stages, logs)
    check_clip(first, models.image_predictor, stages)

    print("\n== Hand-over ==")
    with stages("hand-over"):
        settings = hand_over_settings(len(first.records))
        remove = mu.find_boxes_with_small_area_from_last_video(first.records, settings.min_frame_id,
                                                              settings.area_threshold, settings.min_count)
        print(f"Tracks dropped before the hand-over: {remove}")
        shown = os.path.join(second.out, "drawings", "hand_over.png")
        os.makedirs(os.path.dirname(shown), exist_ok=True)
        masks2, _, keep_box, _, failed = mu.matcher(first.records, second.frame_names, 0, models.image_predictor,
                                                    remove, display_func=lambda image: image.save(shown))
        second.drawings.append(shown)
    if failed:
        raise RuntimeError("the hand-over to the second window failed")

    print("\n== Clip 2: tracking ==")
    # The i-th new mask continues the track keep_box[i] ("Box<k>" is object k + 1).
    track_clip(second, 0, [int(key[3:]) + 1 for key in keep_box], masks2, models, refiner, stages, logs)
    check_clip(second, models.image_predictor, stages)
    return Run([first, second], first_idx, remove, keep_box, stages)


# -- the generated scene -----------------------------------------------------

def identities(records: dict, frame_key: int, truth: dict[str, np.ndarray]) -> dict[str, Optional[str]]:
    """Which animal of the scene each track's mask lies on (None: empty
    mask), read from the frame's annotation file (the hand-over drops tracks
    from the loaded records)."""
    h, w = next(iter(truth.values())).shape
    _, masks, numbers = mu.process_json_and_generate_masks(records[frame_key]["json_path"], h, w)
    found = {}
    for number, mask in zip(numbers, masks):
        key = f"Box{number}"
        best, best_iou = None, 0.0
        for animal, t in truth.items():
            inter = np.count_nonzero(t & (mask > 0))
            iou = inter / max(np.count_nonzero(t | (mask > 0)), 1)
            if iou > best_iou:
                best, best_iou = animal, iou
        found[key] = best if best_iou > 0.5 else None
    return found


def scene_checks(run: Run, scene, frame_size: tuple[int, int]) -> list[tuple[bool, str]]:
    """What the scene holds against what the pipeline found. Clip frame k of
    window w is recording frame w * clip_frames + 1 + k (the frame extraction
    reads each window's first frame only to find the marker)."""
    first, second = run.clips
    frame = [lambda k, w=w: scene.truth(w * scene.clip_frames + 1 + k, frame_size) for w in (0, 1)]
    last1, last2 = len(first.records) - 1, len(second.records) - 1
    start = identities(first.records, run.first_frame, frame[0](run.first_frame))
    end = identities(first.records, last1, frame[0](last1))
    track_of = {animal: key for key, animal in start.items()}
    a, b, v = track_of.get("A"), track_of.get("B"), track_of.get("V")
    checks = [(len(start) == 10 and None not in start.values(),
               f"ten tracks, one per animal, at frame {run.first_frame}")]
    swapped = sorted(k for k in start if end.get(k) != start[k] and end.get(k) is not None)
    checks.append((swapped == sorted([a, b]) and end.get(a) == "B" and end.get(b) == "A",
                   f"identity swap at the crossing: {a} ends on animal B, {b} on animal A"))
    checks.append((end.get(v) is None, f"vanishing: {v} (animal V) is empty at the end of clip 1"))
    pairs = set(first.overlap_rows["Box Pair"])
    checks.append((pairs == {f"{a}-{b}", f"{b}-{a}"},
                   f"report: heavy overlap only between {a} and {b} {sorted(pairs)}"))
    zero = {row["Box ID"] for row in first.zero_area_rows}
    checks.append((zero == {v}, f"report: vanished masks only for {v} {sorted(zero)}"))
    named = first.analysis[1] if first.analysis else None
    checks.append((named in (a, b), f"overlap analysis names one of the crossing pair ({named})"))
    checks.append((run.removed == [v], f"hand-over drops {v} {run.removed}"))
    start2, end2 = identities(second.records, 0, frame[1](0)), identities(second.records, last2, frame[1](last2))
    carried = all(start2.get(k) == end.get(k) == end2.get(k) for k in run.keep_box)
    checks.append((carried and len(run.keep_box) == 9, "clip 2: nine tracks, each on the animal it ended clip 1 on"))
    checks.append((len(second.overlap_rows) == 0 and not second.zero_area_rows,
                   "clip 2: no vanished or overlapping masks in the report"))
    health = first.health
    suspects = sorted(health.index[health["Confidence"] < 1])
    checks.append((suspects == sorted([a, b, v]), f"page: confidence below 1 for exactly {a}, {b} and {v} {suspects}"))
    checks.append((health.loc[v, "Frames with zero area"] == len(first.zero_area_rows)
                   and min(health.loc[[a, b], "Overlap episodes"]) == 1
                   and max(health.loc[[a, b], "Times named as failing track"]) >= 1,
                   f"page: {v} vanished in {health.loc[v, 'Frames with zero area']} frames, {a} and {b} in one "
                   f"overlap episode, named {list(health.loc[[a, b], 'Times named as failing track'])} times"))
    checks.append((second.health["Confidence"].eq(1).all(), "clip 2 page: every track at confidence 1"))
    return checks


def print_summary(run: Run, out: str, checks: list[tuple[bool, str]], started: float) -> None:
    print(f"\n== Summary (paths below {out}) ==")
    for clip in run.clips:
        def rel(path):
            return os.path.relpath(path, out)

        print(f"{clip.name}: {len(clip.records)} frames, annotation files in {rel(clip.ann_dir)}")
        print(f"  report:   {rel(clip.report_path) if clip.report_path else 'nothing to report (no file written)'}")
        if len(clip.overlap_rows):
            frames = clip.overlap_rows["Frame ID"]
            pairs = dict(Counter(clip.overlap_rows["Box Pair"]))
            print(f"            heavy overlap {pairs} in frames {frames.min()}-{frames.max()}")
        if clip.zero_area_rows:
            print(f"            vanished masks {dict(Counter(row['Box ID'] for row in clip.zero_area_rows))}")
        if clip.analysis:
            print(f"  analysis: episode from frame {clip.analysis[0]}, track named {clip.analysis[1]}")
        print(f"  page:     {rel(clip.page)}")
        for key, row in clip.health[clip.health["Confidence"] < 1].iterrows():
            print(f"            {key}: confidence {row['Confidence']:.2f}, {row['Frames with zero area']} frames with"
                  f" zero area, {row['Overlap episodes']} overlap episode(s), named {row['Times named as failing track']}"
                  " time(s) as failing track")
        print(f"  drawings: {', '.join(rel(p) for p in clip.drawings)}")
    print(f"Hand-over: dropped {run.removed}, carried {run.keep_box}")
    print("\nChecks against the scene:")
    for ok, text in checks:
        print(f"  {'ok    ' if ok else 'FAILED'} {text}")
    print("\nTimings (s):")
    for name, seconds in run.stages.seconds.items():
        print(f"  {name:<17}{seconds:7.2f}")
    print(f"  {'total':<17}{time.perf_counter() - started:7.2f}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=os.path.join(HERE, "output"), help="output folder (rebuilt on every run)")
    ap.add_argument("--quick", action="store_true", help="a smaller, shorter scene (as the tests run it)")
    args = ap.parse_args(argv)
    from pen_scene import PenScene

    started = time.perf_counter()
    stages = Stages()
    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)

    # Full size: a 1250 x 720 recording, two clips of 120 frames at 8 fps,
    # frames 507 x 480. Quick: half the size, 60 frames per clip.
    scene = PenScene(scale=0.5, clip_frames=60) if args.quick else PenScene()
    height = scene.height * 2 // 3
    resize_dim = (math.ceil(height * scene.pen_w / scene.height), height)
    print("== Scene ==")
    with stages("scene"):
        recording = os.path.join(out, "recordings", "sub", RECORDING_NAME)
        os.makedirs(os.path.dirname(recording))
        scene.write(recording)
    print(f"Generated {recording}: {scene.frames} frames at {scene.fps} fps, {scene.width} x {scene.height}")

    print("\n== Ingest ==")
    with stages("ingest"):
        windows = ingest(os.path.join(out, "recordings"), ["sub"], os.path.join(out, "frames"),
                         scene.clip_frames / scene.fps / 60, resize_dim, os.path.join(out, "logs"))
    frame_h, frame_w = cv2.imread(windows[0][0]).shape[:2]
    # The pen outline in the frames' pixels.
    factor = frame_h / scene.height
    pen_json = os.path.join(out, "pen_polygon.json")
    with open(pen_json, "w", encoding="utf-8") as f:
        points = [[x * factor, y * factor] for x, y in scene.pen_polygon()]
        json.dump({"shapes": [{"label": "pen", "points": points}]}, f)

    run = run_pipeline(windows[:2], out, stand_in_models(), pen_json, stages)
    checks = scene_checks(run, scene, (frame_w, frame_h))
    print_summary(run, out, checks, started)
    return 0 if all(ok for ok, _ in checks) else 1


if __name__ == "__main__":
    # The stand-ins' tensors are tiny: one thread spares torch the hand-offs
    # between its threads.
    torch.set_num_threads(1)
    sys.exit(main())
