"""The recording runner: its own bookkeeping against the stages' time, and
its peak memory as recordings grow longer.

    python bench/bench_runner.py [--windows 4] [--frames 60] [--memory 2,10,20] [--memory-frames 30]

Recordings of the main job's generated pen (examples/pen_scene.py, half
size: frames 253 x 240) are made once into bench/out, tracked by the
stand-in models.

Each run is a fresh process that loads the libraries first and sets their
objects aside from the garbage collector (gc.freeze), so that the full
collections a run triggers cost what the run allocated, wherever they fall.

Bookkeeping: a recording of --windows windows of --frames frames, tracked by
track_recordings in a fresh process. The runner times each step of each
window into the manifest; its own bookkeeping (manifest, start masks,
summaries, logs, the recording's page and CSV) is set against the stages
(ingest, initialisation, propagation, refinement, annotation files, loading,
checks, drawings, hand-over). Beside it, the straightforward version: the
prototype's loop of the same calls (tests/reference/runner.py: masks held
densely per window, no manifest, no recording page, no resumption), its
wall time and peak memory.

Memory: recordings of each --memory count of windows of --memory-frames
frames, each tracked in a fresh process; the peak resident set of the
process (ru_maxrss) after the run, and its ratio to the shortest one's.
"""
import argparse
import gc
import json
import os
import resource
import shutil
import sys
import time

from _args import parse_args

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CACHE = os.path.join(HERE, "out")
EXAMPLES = os.path.join(ROOT, "examples")
STAGES = ["ingest", "initialisation", "propagation", "refinement", "annotation files", "loading", "checks",
          "drawings", "hand-over"]


def make_case(windows, frames):
    """A recording of `windows` windows of `frames` frames, its pen file and
    its configuration, in bench/out."""
    folder = os.path.join(CACHE, f"runner_{windows}x{frames}")
    config = os.path.join(folder, "track.toml")
    if os.path.exists(config):
        return folder
    sys.path.insert(0, EXAMPLES)
    from pen_scene import PenScene

    scene = PenScene(scale=0.5, clip_frames=frames, clips=windows)
    os.makedirs(os.path.join(folder, "recordings"), exist_ok=True)
    scene.write(os.path.join(folder, "recordings", "Camera64_1_20240115063000.mp4"))
    height = scene.height * 2 // 3
    factor = height / scene.height
    with open(os.path.join(folder, "pen_polygon.json"), "w") as f:
        json.dump({"shapes": [{"points": [[x * factor, y * factor] for x, y in scene.pen_polygon()]}]}, f)
    min_frame_id = frames * 5 // 6
    hand_over = {"min_frame_id": min_frame_id, "area_threshold": 100,
                 "min_count": (frames - 1 - min_frame_id) * 3 // 4}
    with open(os.path.join(folder, "case.json"), "w") as f:
        json.dump({"minutes": frames / scene.fps / 60, "height": height, "hand_over": hand_over}, f)
    with open(config, "w") as f:
        f.write(f"""output = "tracking"
[recordings]
folder = "recordings"
[pen]
file = "pen_polygon.json"
[models]
factory = "stand_in_models:make_models"
paths = [{json.dumps(EXAMPLES)}]
[windows]
minutes = {frames / scene.fps / 60!r}
resize_height = {height}
[hand_over]
""" + "".join(f"{k} = {v}\n" for k, v in hand_over.items()))
    return folder


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def child(side, folder):
    """One run in this fresh process; prints its figures as JSON."""
    import mirelo_utils as mu

    out = os.path.join(folder, "tracking" if side == "runner" else "plain")
    shutil.rmtree(out, ignore_errors=True)
    # The libraries (pandas, torch and the stand-ins) are loaded first, so
    # that the figures below are the runs' own.
    sys.path.insert(0, EXAMPLES)
    import pandas  # noqa: F401
    import stand_in_models  # noqa: F401

    # The libraries' objects set aside from the collector: the full
    # collections a run triggers scan only what the run made, wherever they
    # fall (the same for both sides).
    gc.collect()
    gc.freeze()
    started = time.perf_counter()
    if side == "runner":
        table = mu.track_recordings(os.path.join(folder, "track.toml"), progress=False)
        wall = time.perf_counter() - started
        manifest_path = os.path.join(os.path.dirname(table["Page"].iloc[0]).rsplit(os.sep + "window_", 1)[0],
                                     "manifest.json")
        with open(manifest_path) as f:
            manifest = json.load(f)
        seconds = {name: sum(w.get("seconds", {}).get(name, 0.0) for w in manifest["windows"])
                   for name in STAGES + ["bookkeeping"]}
        seconds["recording page"] = manifest.get("page_seconds", 0.0)
        result = {"wall": wall, "seconds": seconds, "frames": int(table["Frames"].sum())}
    else:
        from reference.runner import plain_loop

        frames_dir = os.path.join(out, "frames")
        table = mu.VideoMetadata(os.path.join(folder, "recordings"), [""], sample_step=1) \
            .get_filtered_video_dataframe()
        with open(os.path.join(folder, "case.json")) as f:
            case = json.load(f)
        mu.VideoProcessor(resize_dim=(0, case["height"]), time_step=case["minutes"], output_dir_base=frames_dir,
                          left_crop=True).process_videos_to_frames(table)
        windows = sorted({os.path.dirname(p) for p in mu.list_all_files(frames_dir, ".jpg")},
                         key=lambda d: float(os.path.basename(os.path.dirname(d)).split("min_to_")[0]))
        plain_loop(windows, out, stand_in_models.make_models(), os.path.join(folder, "pen_polygon.json"),
                   case["hand_over"])
        result = {"wall": time.perf_counter() - started}
    result["peak"] = peak_mib()
    print(json.dumps(result))


def run_child(side, folder):
    import subprocess

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in
                                                      os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))
    # The runner prints its progress and the library's lines on stderr and
    # stdout; the figures are the last line.
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", side, folder], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--windows", type=int, default=4, help="windows of the bookkeeping run (4)")
    ap.add_argument("--frames", type=int, default=60, help="frames per window of the bookkeeping run (60)")
    ap.add_argument("--memory", default="2,10,20", help="window counts of the memory runs (2,10,20)")
    # 30 frames at 8 fps: windows of 0.0625 minutes, a length the minutes add up to exactly.
    ap.add_argument("--memory-frames", type=int, default=30, help="frames per window of the memory runs (30)")
    ap.add_argument("--repeat", type=int, default=2, help="runs of each side; the fastest counts (2)")
    args = parse_args(ap, lambda side, folder: child(side, folder), 2, ("SIDE", "FOLDER"))

    folder = make_case(args.windows, args.frames)
    runs = [run_child("runner", folder) for _ in range(args.repeat)]
    plain = min((run_child("plain", folder) for _ in range(args.repeat)), key=lambda r: r["wall"])
    best = min(runs, key=lambda r: r["wall"])
    seconds = best["seconds"]
    stages = sum(seconds[name] for name in STAGES)
    books = seconds["bookkeeping"] + seconds["recording page"]
    print(f"Bookkeeping: {args.windows} windows of {args.frames} frames ({best['frames']} frames tracked), "
          f"stand-in models, the fastest of {args.repeat} runs")
    for name in STAGES:
        print(f"  {name:<17} {seconds[name]:7.2f} s")
    print(f"  {'stages':<17} {stages:7.2f} s")
    print(f"  {'bookkeeping':<17} {seconds['bookkeeping']:7.2f} s  (manifest, start masks, summaries, logs)")
    print(f"  {'recording page':<17} {seconds['recording page']:7.2f} s")
    print(f"  runner's own bookkeeping: {100 * books / stages:.1f} % of the stages' time (goal: at most 5 %)")
    print(f"  runner {best['wall']:.2f} s wall, peak {best['peak']:.0f} MiB | straightforward loop "
          f"{plain['wall']:.2f} s wall, peak {plain['peak']:.0f} MiB | runner / loop {best['wall'] / plain['wall']:.2f}x")
    print(f"  everything beside the stages (the models made, the recording planned, the bookkeeping): "
          f"{100 * (best['wall'] - stages) / stages:.1f} % of the stages' time")

    counts = [int(n) for n in args.memory.split(",")]
    print(f"\nPeak resident memory: windows of {args.memory_frames} frames, one fresh process per recording")
    first = None
    for n in counts:
        result = run_child("runner", make_case(n, args.memory_frames))
        first = first or result["peak"]
        print(f"  {n:3d} windows: {result['peak']:7.1f} MiB ({result['peak'] / first:5.3f}x the {counts[0]}-window "
              f"peak), {result['wall']:6.1f} s")


if __name__ == "__main__":
    main()
