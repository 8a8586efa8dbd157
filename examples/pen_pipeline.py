"""The main job: a generated pen recording tracked by one run of the
recording runner, then checked against what the scene holds.

Usage:
    python examples/pen_pipeline.py [--out DIR] [--quick]

A pen recording is generated first (examples/pen_scene.py: ten animals, an
orange marker post, two animals that cross and one that walks under the
feeder roof), with the pen's outline and the run's configuration
(<out>/track.toml). Then one call, ``mirelo_utils.track_recordings``, takes
the recording through everything, window by window:

 1. ingest: the recording is cut into windows of frames cropped to the pen;
 2. initialisation: ``initializer`` finds the first frame of window 1 with
    ten animals and segments them;
 3. propagation: the video predictor carries the masks through the window;
 4. refinement and annotation files: ``Mask_Refinement`` cleans every mask,
    ``write_annotation_file`` writes one output_pp_<frame>.json per frame;
 5. checks: ``open_clip`` loads the window back, the tracking question
    report, the identity-health page and the overlap analysis check it;
 6. hand-over: the animals that stayed tiny at the end are dropped and
    ``matcher`` carries the others onto the next window, which goes through
    steps 3 to 5 in turn;

and writes the recording's page and CSV. The same command does it from the
shell: ``python -m mirelo_utils track <out>/track.toml``.

The models are small stand-ins (examples/stand_in_models.py, loaded by the
configuration's model factory) that answer the real models' calls; the
README shows the configuration of the real ones. Everything is written
under examples/output/ (or --out); the job ends with a summary, the checks
against the generated scene and the time of each stage, and exits with
status 1 when a check fails.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import time
from collections import Counter
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

import mirelo_utils as mu

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDING_NAME = "Camera64_1_20240115063000.mp4"
STAGES = ["ingest", "initialisation", "propagation", "refinement", "annotation files", "loading", "checks", "drawings",
          "hand-over", "bookkeeping"]


def write_config(out: str, scene: Any, height: int) -> str:
    """The run's configuration: the recording's folder, the pen file, the
    stand-ins' factory, windows of one clip each, and the hand-over's
    small-area search over the clip's last sixth (a track tiny in more than
    three quarters of those frames is dropped)."""
    frames = scene.clip_frames
    min_frame_id = frames * 5 // 6
    path = os.path.join(out, "track.toml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"""# The main job's run (python -m mirelo_utils track {path})
output = "tracking"

[recordings]
folder = "recordings"
sub_dirs = ["sub"]

[pen]
file = "pen_polygon.json"
animals = 10

[models]
factory = "stand_in_models:make_models"
paths = [{json.dumps(HERE)}]

[windows]
minutes = {frames / scene.fps / 60!r}
resize_height = {height}
crop_side = "left"

[hand_over]
min_frame_id = {min_frame_id}
area_threshold = 100
min_count = {(frames - 1 - min_frame_id) * 3 // 4}
""")
    return path


@dataclass
class Clip:
    """One tracked window, as the run left it."""

    name: str
    folder: str
    entry: dict  # its manifest entry
    summary: dict  # its summary.json
    records: Any  # open_clip of its annotation files
    overlap_rows: Any  # the tracking question report's rows
    zero_area_rows: Any

    @property
    def report_path(self) -> str:
        return os.path.join(self.folder, "health", "tracking_question_report.csv")

    @property
    def page(self) -> str:
        return os.path.join(self.folder, "health", "index.html")

    def confidence(self) -> dict[str, float]:
        return {a["track"]: a["confidence"] for a in self.summary["animals"]}

    def animal(self, track: str) -> dict:
        return next(a for a in self.summary["animals"] if a["track"] == track)


def load_clips(recording_dir: str) -> tuple[dict, list[Clip]]:
    import pandas as pd

    with open(os.path.join(recording_dir, "manifest.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    clips = []
    for k, entry in enumerate(manifest["windows"]):
        folder = os.path.join(recording_dir, f"window_{k:03d}")
        with open(os.path.join(folder, "summary.json"), encoding="utf-8") as f:
            summary = json.load(f)
        report = pd.read_csv(os.path.join(folder, "health", "tracking_question_report.csv"))
        overlap = report[report["Report type"] == "High overlap mask detected"]
        zero = report[report["Report type"] != "High overlap mask detected"]
        records = mu.open_clip(os.path.join(folder, "annotations"))
        clips.append(Clip(f"clip{k + 1}", folder, entry, summary, records, overlap, zero))
    return manifest, clips


# -- the generated scene -----------------------------------------------------

def identities(records: Any, frame_key: int, truth: dict[str, np.ndarray]) -> dict[str, Optional[str]]:
    """Which animal of the scene each track's mask lies on (None: empty
    mask), read from the frame's annotation file."""
    h, w = next(iter(truth.values())).shape
    _, masks, numbers = mu.process_json_and_generate_masks(records[frame_key]["json_path"], h, w)
    found = {}
    for number, mask in zip(numbers, masks):
        best, best_iou = None, 0.0
        for animal, t in truth.items():
            inter = np.count_nonzero(t & (mask > 0))
            iou = inter / max(np.count_nonzero(t | (mask > 0)), 1)
            if iou > best_iou:
                best, best_iou = animal, iou
        found[f"Box{number}"] = best if best_iou > 0.5 else None
    return found


def scene_checks(manifest: dict, clips: list[Clip], scene: Any, frame_size: tuple[int, int]) -> list[tuple[bool, str]]:
    """What the scene holds against what the run found. Clip frame k of
    window w is recording frame w * clip_frames + 1 + k (the frame extraction
    reads each window's first frame only to find the marker)."""
    first, second = clips[0], clips[1]
    frame = [lambda k, w=w: scene.truth(w * scene.clip_frames + 1 + k, frame_size) for w in (0, 1)]
    start_frame = first.entry["start"]["frame"]
    last1, last2 = len(first.records) - 1, len(second.records) - 1
    # The annotation files' keys: the clip's frame numbers (the first frame's on).
    key1 = {int(r["frame_index"]): key for key, r in first.records.items()}
    start = identities(first.records, key1[start_frame], frame[0](start_frame))
    end = identities(first.records, last1, frame[0](first.records[last1]["frame_index"]))
    track_of = {animal: key for key, animal in start.items()}
    a, b, v = track_of.get("A"), track_of.get("B"), track_of.get("V")
    checks = [(len(start) == 10 and None not in start.values(),
               f"ten tracks, one per animal, at frame {start_frame}")]
    swapped = sorted(k for k in start if end.get(k) != start[k] and end.get(k) is not None)
    checks.append((swapped == sorted([a, b]) and end.get(a) == "B" and end.get(b) == "A",
                   f"identity swap at the crossing: {a} ends on animal B, {b} on animal A"))
    checks.append((end.get(v) is None, f"vanishing: {v} (animal V) is empty at the end of clip 1"))
    pairs = set(first.overlap_rows["Box Pair"])
    checks.append((pairs == {f"{a}-{b}", f"{b}-{a}"},
                   f"report: heavy overlap only between {a} and {b} {sorted(pairs)}"))
    zero = set(first.zero_area_rows["Box ID"])
    checks.append((zero == {v}, f"report: vanished masks only for {v} {sorted(zero)}"))
    named = (first.summary["analysis"] or {}).get("track")
    checks.append((named in (a, b), f"overlap analysis names one of the crossing pair ({named})"))
    hand = first.entry["hand_over"]
    checks.append((hand["removed"] == [v], f"hand-over drops {v} {hand['removed']}"))
    start2 = identities(second.records, 0, frame[1](0))
    end2 = identities(second.records, last2, frame[1](second.records[last2]["frame_index"]))
    carried = all(start2.get(k) == end.get(k) == end2.get(k) for k in hand["carried"])
    checks.append((carried and len(hand["carried"]) == 9 and second.entry["start"]["from"] == "hand-over",
                   "clip 2: nine tracks, each on the animal it ended clip 1 on"))
    checks.append((len(second.overlap_rows) == 0 and len(second.zero_area_rows) == 0,
                   "clip 2: no vanished or overlapping masks in the report"))
    confidence = first.confidence()
    suspects = sorted(k for k, c in confidence.items() if c < 1)
    checks.append((suspects == sorted([a, b, v]), f"page: confidence below 1 for exactly {a}, {b} and {v} {suspects}"))
    va, aa, ba = first.animal(v), first.animal(a), first.animal(b)
    checks.append((va["frames_zero_area"] == len(first.zero_area_rows)
                   and min(aa["episodes"], ba["episodes"]) == 1 and max(aa["named"], ba["named"]) >= 1,
                   f"page: {v} vanished in {va['frames_zero_area']} frames, {a} and {b} in one overlap episode, "
                   f"named {[aa['named'], ba['named']]} times"))
    checks.append((all(c == 1 for c in second.confidence().values()), "clip 2 page: every track at confidence 1"))
    return checks


def print_summary(out: str, recording_dir: str, manifest: dict, clips: list[Clip], checks: list[tuple[bool, str]],
                  seconds: dict[str, float], started: float) -> None:
    def rel(path: str) -> str:
        return os.path.relpath(path, out)

    print(f"\n== Summary (paths below {out}) ==")
    print(f"recording page: {rel(os.path.join(recording_dir, 'index.html'))}, "
          f"table {rel(os.path.join(recording_dir, 'timeline.csv'))}, manifest "
          f"{rel(os.path.join(recording_dir, 'manifest.json'))}")
    for clip in clips:
        start = clip.entry["start"]
        print(f"{clip.name}: {len(clip.records)} frames from frame {start['frame']} ({start['from']}), "
              f"annotation files in {rel(os.path.join(clip.folder, 'annotations'))}")
        print(f"  report:   {rel(clip.report_path)}"
              f"{'' if len(clip.overlap_rows) or len(clip.zero_area_rows) else ' (nothing to report)'}")
        if len(clip.overlap_rows):
            frames = clip.overlap_rows["Frame ID"]
            print(f"            heavy overlap {dict(Counter(clip.overlap_rows['Box Pair']))} in frames "
                  f"{frames.min()}-{frames.max()}")
        if len(clip.zero_area_rows):
            print(f"            vanished masks {dict(Counter(clip.zero_area_rows['Box ID']))}")
        if clip.summary["analysis"]:
            analysis = clip.summary["analysis"]
            print(f"  analysis: episode from frame {analysis['frame']}, track named {analysis['track']}")
        print(f"  page:     {rel(clip.page)}")
        for a in clip.summary["animals"]:
            if a["confidence"] < 1:
                print(f"            {a['track']}: confidence {a['confidence']:.2f}, {a['frames_zero_area']} frames "
                      f"with zero area, {a['episodes']} overlap episode(s), named {a['named']} time(s) as failing "
                      "track")
        drawings = sorted(os.listdir(os.path.join(clip.folder, "drawings")))
        print(f"  drawings: {', '.join(rel(os.path.join(clip.folder, 'drawings', d)) for d in drawings)}")
        hand = clip.entry["hand_over"]
        if hand:
            print(f"  hand-over: dropped {hand['removed']}, carried {hand.get('carried')}")
    print("\nChecks against the scene:")
    for ok, text in checks:
        print(f"  {'ok    ' if ok else 'FAILED'} {text}")
    print("\nTimings (s):")
    for name, s in seconds.items():
        print(f"  {name:<17}{s:7.2f}")
    print(f"  {'total':<17}{time.perf_counter() - started:7.2f}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=os.path.join(HERE, "output"), help="output folder (rebuilt on every run)")
    ap.add_argument("--quick", action="store_true", help="a smaller, shorter scene (as the tests run it)")
    args = ap.parse_args(argv)
    sys.path.insert(0, HERE)
    from pen_scene import PenScene

    started = time.perf_counter()
    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)

    # Full size: a 1250 x 720 recording, two clips of 120 frames at 8 fps,
    # frames 507 x 480. Quick: half the size, 60 frames per clip.
    scene = PenScene(scale=0.5, clip_frames=60) if args.quick else PenScene()
    height = scene.height * 2 // 3
    print("== Scene ==")
    scene_start = time.perf_counter()
    recording = os.path.join(out, "recordings", "sub", RECORDING_NAME)
    os.makedirs(os.path.dirname(recording))
    scene.write(recording)
    # The pen outline in the frames' pixels.
    factor = height / scene.height
    with open(os.path.join(out, "pen_polygon.json"), "w", encoding="utf-8") as f:
        json.dump({"shapes": [{"label": "pen", "points": [[x * factor, y * factor] for x, y in scene.pen_polygon()]}]},
                  f)
    config = write_config(out, scene, height)
    scene_seconds = time.perf_counter() - scene_start
    print(f"Generated {recording}: {scene.frames} frames at {scene.fps} fps, {scene.width} x {scene.height}")
    print(f"Configuration: {config}")

    print("\n== Tracking (mirelo_utils.track_recordings) ==")
    table = mu.track_recordings(config)
    recording_dir = os.path.dirname(table["Page"].iloc[0]).rsplit(os.sep + "window_", 1)[0]
    manifest, clips = load_clips(recording_dir)
    frame_h, frame_w = clips[0].records[0]["masks_dict"]["Box0"].shape
    checks = scene_checks(manifest, clips, scene, (frame_w, frame_h))
    seconds = {"scene": scene_seconds}
    for name in STAGES:
        seconds[name] = sum(w.get("seconds", {}).get(name, 0.0) for w in manifest["windows"])
    seconds["recording page"] = manifest.get("page_seconds", 0.0)
    print_summary(out, recording_dir, manifest, clips, checks, seconds, started)
    return 0 if all(ok for ok, _ in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
