"""crop_video_to_frames against the straightforward OpenCV-Python loop.

A 2560 x 1440, 25 fps pen recording (generated once into bench/out/) is cut
over a 10-second window (250 frames) by both, each in its own subprocess so
that peak memory (ru_maxrss) is per run. The script prints the wall times,
the ratio, the peak memory of both, checks that both wrote the same file
names with images equal within JPEG tolerance, and measures the floor: the
decode time plus the encode time divided by the cores.

Usage: python bench/bench_crop_video.py [--repeat N]
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import resource
import shutil
import subprocess
import sys
import time

from _args import parse_args

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
VIDEO = os.path.join(OUT, "Camera64_1_20240115063000_2560x1440.mp4")
WIDTH, HEIGHT, FPS, FRAMES = 2560, 1440, 25, 300
START_MIN = 0.02  # frame 30
END_MIN = START_MIN + 10 / 60  # 250 frames later


def generate_video(path, frames=FRAMES):
    """A pen scene: textured floor, fence posts, an orange marker, ten moving animals, sensor noise."""
    import cv2
    import numpy as np

    rng = np.random.default_rng(7)
    base = np.full((HEIGHT, WIDTH, 3), (90, 110, 120), np.uint8)
    texture = cv2.GaussianBlur(rng.integers(0, 60, (HEIGHT // 4, WIDTH // 4, 3), dtype=np.uint8), (0, 0), 2)
    base = cv2.add(base, cv2.resize(texture, (WIDTH, HEIGHT)))
    for x in range(0, WIDTH, 320):
        cv2.line(base, (x, 0), (x, HEIGHT), (60, 60, 60), 6)
    cv2.rectangle(base, (2250, 300), (2309, 900), (0, 128, 255), -1)  # orange marker, right edge 2310
    noise = [rng.integers(0, 6, (HEIGHT, WIDTH, 3), dtype=np.uint8) for _ in range(5)]
    writer = cv2.VideoWriter(path + ".tmp.mp4", cv2.VideoWriter_fourcc(*"mp4v"), FPS, (WIDTH, HEIGHT))
    for i in range(frames):
        frame = base.copy()
        for k in range(10):
            cx = int(300 + k * 190 + 80 * np.sin(i / 15 + k))
            cy = int(400 + (k % 3) * 300 + 60 * np.cos(i / 20 + k))
            cv2.ellipse(frame, (cx, cy), (110, 55), (i * 2 + k * 30) % 180, 0, 360, (150, 170, 215), -1)
        cv2.add(frame, noise[i % len(noise)], dst=frame)
        writer.write(frame)
    writer.release()
    os.replace(path + ".tmp.mp4", path)


def baseline_crop(video_path, output_dir, start_min, end_min, left_crop=True, frame_skip=1):
    """The straightforward loop: VideoCapture, seek, read, slice, imwrite."""
    import cv2
    from reference.ingest import opencv_orange_region  # (after cv2, which imports NumPy as it does)

    os.makedirs(output_dir, exist_ok=True)
    cap = cv2.VideoCapture(video_path)
    fps = int(cap.get(cv2.CAP_PROP_FPS))
    start_frame = fps * 60 * start_min
    end_frame = fps * 60 * end_min
    cap.set(cv2.CAP_PROP_POS_FRAMES, start_frame)
    ok, first = cap.read()
    bx1, by1, bx2, by2 = opencv_orange_region(first)
    if left_crop:
        x1, y1, x2, y2 = (380 if bx2 >= 2300 else 120), 0, bx1 - 45, 1440
    else:
        x1, y1, x2, y2 = bx1 - 50, 0, (2560 if bx2 >= 2300 else 2300), 1440
    frame_idx, save_idx = start_frame, 0
    image = None
    while frame_idx < end_frame:
        ok, frame = cap.read()
        if not ok:
            break
        if frame_idx % frame_skip == 0 or frame_idx == end_frame - 1:
            print(f"Processing frame {frame_idx} (saved as {save_idx:04d}.jpg)")
            image = frame[y1:y2, x1:x2]
            cv2.imwrite(os.path.join(output_dir, f"{save_idx:04d}.jpg"), image)
            save_idx += 1
        frame_idx += 1
    cap.release()
    print(f"Cropped frames from {start_min} to {end_min} minutes saved to {output_dir}.")
    print("Dim:", image.shape)


def library_crop(video_path, output_dir, start_min, end_min):
    import mirelo_utils

    vp = mirelo_utils.VideoProcessor(left_crop=True)
    vp.crop_video_to_frames(video_path, output_dir, start_min, end_min, camera_number="64")


def floor_parts(video_path, start_min, end_min):
    """Decode-only and encode-only times of the same window, one stream each."""
    import cv2

    cap = cv2.VideoCapture(video_path)
    fps = int(cap.get(cv2.CAP_PROP_FPS))
    start_frame, end_frame = fps * 60 * start_min, fps * 60 * end_min
    cap.set(cv2.CAP_PROP_POS_FRAMES, start_frame)
    cap.read()
    frames, idx = [], start_frame
    t0 = time.perf_counter()
    while idx < end_frame:
        ok, frame = cap.read()
        if not ok:
            break
        if len(frames) < 8:
            frames.append(frame)
        idx += 1
    decode = time.perf_counter() - t0
    n = int(round(idx - start_frame))
    t0 = time.perf_counter()
    for i in range(n):
        cv2.imencode(".jpg", frames[i % len(frames)][0:1440, 380:2205])
    encode = time.perf_counter() - t0
    return decode, encode


def _status_kb(field):
    """A memory figure of this process from /proc/self/status, in kB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def _reset_peak_rss():
    """Restarts the peak-RSS counter (VmHWM) so that it covers the run only, not the imports."""
    with contextlib.suppress(OSError):
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")


def child(mode, out_dir, result_path):
    t_import = time.perf_counter()
    if mode == "library":
        import mirelo_utils  # noqa: F401
    else:
        import cv2  # noqa: F401

    rss_before = _status_kb("VmRSS")
    _reset_peak_rss()
    cpu0 = time.process_time()
    t0 = time.perf_counter()
    result = {"import_s": t0 - t_import}
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        if mode == "library":
            library_crop(VIDEO, out_dir, START_MIN, END_MIN)
        elif mode == "baseline":
            baseline_crop(VIDEO, out_dir, START_MIN, END_MIN)
        else:
            result["decode_s"], result["encode_s"] = floor_parts(VIDEO, START_MIN, END_MIN)
    result["wall_s"] = time.perf_counter() - t0
    result["cpu_s"] = time.process_time() - cpu0
    result["rss_before_mb"] = rss_before / 1024
    result["peak_rss_mb"] = _status_kb("VmHWM") / 1024
    with open(result_path, "w") as f:
        json.dump(result, f)


def run_child(mode, out_dir):
    result_path = os.path.join(OUT, f"result_{mode}.json")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.join(os.path.dirname(HERE), "python") + os.pathsep + env.get("PYTHONPATH", "")
    subprocess.run([sys.executable, __file__, "--child", mode, out_dir, result_path], check=True, env=env)
    with open(result_path) as f:
        return json.load(f)


def compare_outputs(dir_a, dir_b):
    import cv2
    import numpy as np

    names_a, names_b = sorted(os.listdir(dir_a)), sorted(os.listdir(dir_b))
    if names_a != names_b:
        return False, f"file names differ: {len(names_a)} vs {len(names_b)} files"
    worst_max, worst_mean = 0, 0.0
    for name in names_a:
        a = cv2.imread(os.path.join(dir_a, name)).astype(np.int16)
        b = cv2.imread(os.path.join(dir_b, name)).astype(np.int16)
        if a.shape != b.shape:
            return False, f"{name}: shapes {a.shape} vs {b.shape}"
        d = np.abs(a - b)
        worst_max, worst_mean = max(worst_max, int(d.max())), max(worst_mean, float(d.mean()))
    ok = worst_mean < 1.0
    return ok, f"{len(names_a)} files, same names; decoded difference: max {worst_max}, worst mean {worst_mean:.3f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3, help="runs of each side; the best time is reported")
    args = parse_args(ap, child, 3, metavar=("MODE", "OUT_DIR", "RESULT"))

    os.makedirs(OUT, exist_ok=True)
    if not os.path.exists(VIDEO):
        print(f"generating {VIDEO} ({WIDTH}x{HEIGHT}, {FPS} fps, {FRAMES} frames) ...")
        generate_video(VIDEO)
    lib_dir, base_dir = os.path.join(OUT, "frames_library"), os.path.join(OUT, "frames_baseline")
    runs = {"library": [], "baseline": []}
    for _ in range(args.repeat):
        for mode, d in (("baseline", base_dir), ("library", lib_dir)):
            shutil.rmtree(d, ignore_errors=True)
            runs[mode].append(run_child(mode, d))
    # The floor's parts are single-stream timings: the least of several runs.
    floors = [run_child("floor", "") for _ in range(args.repeat)]
    floor = {part: min(f[part] for f in floors) for part in ("decode_s", "encode_s")}

    best = {m: min(r, key=lambda x: x["wall_s"]) for m, r in runs.items()}
    cores = os.cpu_count() or 1
    floor_s = (floor["decode_s"] + floor["encode_s"]) / cores
    print(f"crop_video_to_frames, {WIDTH}x{HEIGHT} @ {FPS} fps, window {START_MIN} to {END_MIN} min (250 frames), "
          f"left crop, {cores} cores, best of {args.repeat}")
    for m in ("baseline", "library"):
        r = best[m]
        print(f"  {m:9s} wall {r['wall_s']:6.2f} s  cpu {r['cpu_s']:6.2f} s  "
              f"peak RSS {r['peak_rss_mb']:7.1f} MB (RSS after imports {r['rss_before_mb']:.1f} MB, "
              f"+{r['peak_rss_mb'] - r['rss_before_mb']:.1f} MB during the run)")
    print(f"  ratio     {best['baseline']['wall_s'] / best['library']['wall_s']:.2f}x faster than the baseline")
    print(f"  floor     decode {floor['decode_s']:.2f} s + encode {floor['encode_s']:.2f} s, / {cores} cores "
          f"= {floor_s:.2f} s; library at {best['library']['wall_s'] / floor_s:.2f}x the floor")
    ok, detail = compare_outputs(base_dir, lib_dir)
    print(f"  outputs   {'equal' if ok else 'DIFFERENT'}: {detail}")


if __name__ == "__main__":
    main()
