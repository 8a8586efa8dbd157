"""process_videos_on_cluster against the library's serial run and a straightforward Dask version.

Three 30-second 2560 x 1440 recordings at 25 fps of two cameras (generated
once into bench/out/) are cut into windows of 0.1 minute with a left crop:
15 windows of 150 frames.

- serial:   VideoProcessor.process_videos_to_frames in a fresh process (it
            already keeps both cores busy: decoding beside JPEG encoding);
- cluster:  process_videos_on_cluster on a LocalCluster of two
            single-threaded worker processes;
- baseline: the same windows on the same cluster, one task each, cut by the
            straightforward OpenCV-Python loop (bench_crop_video.baseline_crop).

Prints the wall times and ratios, peak memory (the resident-set growth of the
caller and of each worker during the run), the per-task times from the task
stream, the scheduler's per-task overhead measured on 1000 empty tasks, the
number of tasks for an hour of video and the wall time to expect with more
workers. Cluster start-up is timed apart and not counted in the runs.

Usage: python bench/bench_cluster_ingest.py [--repeat N]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

from _args import parse_args

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_crop_video as crop_bench  # noqa: E402

OUT = os.path.join(HERE, "out", "cluster_ingest")
SECONDS, TIME_STEP = 30, 0.1
RECORDINGS = [("64", "Camera64_1_20240115080000"), ("64", "Camera64_1_20240115090000"),
              ("65", "Camera65_1_20240115080000")]


def video_path(name):
    return os.path.join(OUT, "videos", name + ".mp4")


def video_table():
    import pandas as pd

    rows = [[cam, "20240115", "08:00:00", video_path(name), name] for cam, name in RECORDINGS]
    return pd.DataFrame(rows, columns=["Camera Number", "Date", "Time", "File Path", "Video Name"])


def ensure_videos():
    first = video_path(RECORDINGS[0][1])
    if not os.path.exists(first):
        os.makedirs(os.path.dirname(first), exist_ok=True)
        print(f"generating {first} ({crop_bench.WIDTH}x{crop_bench.HEIGHT}, {crop_bench.FPS} fps, {SECONDS} s) ...")
        crop_bench.generate_video(first, frames=SECONDS * crop_bench.FPS)
    for _, name in RECORDINGS[1:]:
        if not os.path.exists(video_path(name)):
            shutil.copyfile(first, video_path(name))


def _kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    """Restarts this process's peak-RSS counter; returns the RSS now (kB)."""
    with contextlib.suppress(OSError), open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return _kb("VmRSS")


def peak_growth_mb(rss_before_kb):
    return (_kb("VmHWM") - rss_before_kb) / 1024


def peak_kb():
    return _kb("VmHWM")


def cpu_s():
    """User and system time of this process, all threads."""
    t = os.times()
    return t.user + t.system


def serial_child(root, result_path):
    import mirelo_utils as mu

    df = video_table()
    before = reset_peak()
    cpu0 = cpu_s()
    t0 = time.perf_counter()
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        mu.VideoProcessor(output_dir_base=root, time_step=TIME_STEP, left_crop=True).process_videos_to_frames(df)
    wall = time.perf_counter() - t0
    with open(result_path, "w") as f:
        json.dump({"wall_s": wall, "cpu_s": cpu_s() - cpu0, "peak_mb": peak_growth_mb(before)}, f)


def run_serial(root):
    shutil.rmtree(root, ignore_errors=True)
    result_path = os.path.join(OUT, "serial.json")
    subprocess.run([sys.executable, __file__, "--child", root, result_path], check=True)
    with open(result_path) as f:
        return json.load(f)


def baseline_window(video, out_dir, start, end):
    """One window cut by the straightforward OpenCV-Python loop, on a worker."""
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        crop_bench.baseline_crop(video, out_dir, start, end, left_crop=True)


def windows_of(total_min):
    start, out = 0, []
    while start < total_min:
        end = min(total_min, start + TIME_STEP)
        out.append((start, end))
        start = start + TIME_STEP
    return out


def run_baseline(client, root):
    import cv2

    shutil.rmtree(root, ignore_errors=True)
    futures = []
    for _, name in RECORDINGS:
        cap = cv2.VideoCapture(video_path(name))
        total = cap.get(cv2.CAP_PROP_FRAME_COUNT) / cap.get(cv2.CAP_PROP_FPS) / 60
        cap.release()
        for start, end in windows_of(total):
            folder = f"{root}/20240115/{name}/{start}min_to_{end}min/left_cropped_frames"
            futures.append(client.submit(baseline_window, video_path(name), folder, start, end, pure=False))
    t0 = time.perf_counter()
    client.gather(futures)
    return time.perf_counter() - t0


def run_cluster(client, root):
    import mirelo_utils as mu

    shutil.rmtree(root, ignore_errors=True)
    df = video_table()
    vp = mu.VideoProcessor(output_dir_base=root, time_step=TIME_STEP, left_crop=True)
    workers_before = client.run(reset_peak)
    workers_cpu = client.run(cpu_s)
    before = reset_peak()
    cpu0 = cpu_s()
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        table = mu.process_videos_on_cluster(df, vp, client)
    wall = time.perf_counter() - t0
    cpu = cpu_s() - cpu0 + sum(c - workers_cpu.get(w, c) for w, c in client.run(cpu_s).items())
    workers_peak = client.run(peak_kb)
    worker_mb = [(workers_peak[w] - workers_before[w]) / 1024 for w in workers_peak if w in workers_before]
    return wall, cpu, peak_growth_mb(before), worker_mb, table


def same_trees(a, b):
    def files(root):
        out = {}
        for folder, _, names in os.walk(root):
            for n in names:
                with open(os.path.join(folder, n), "rb") as f:
                    out[os.path.relpath(os.path.join(folder, n), root)] = f.read()
        return out

    fa, fb = files(a), files(b)
    return fa == fb, len(fa)


def noop(x):
    return x


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=2, help="runs of each side; the best time is reported")
    args = parse_args(ap, serial_child, 2)

    import distributed

    ensure_videos()
    serial_root, cluster_root, base_root = (os.path.join(OUT, n) for n in ("serial", "cluster", "baseline"))
    t0 = time.perf_counter()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        startup = time.perf_counter() - t0
        # Serial and cluster runs alternate, so that a load change on a shared
        # machine does not favour one side.
        serial_runs, cluster_runs, streams = [], [], []
        for _ in range(args.repeat):
            serial_runs.append(run_serial(serial_root))
            with distributed.get_task_stream(client) as ts:
                cluster_runs.append(run_cluster(client, cluster_root))
            streams.append(ts.data)
        baseline = min(run_baseline(client, base_root) for _ in range(args.repeat))
        t0 = time.perf_counter()
        client.gather(client.map(noop, range(1000), pure=False))
        overhead = (time.perf_counter() - t0) / 1000

    serial = min(serial_runs, key=lambda r: r["wall_s"])
    best = min(range(len(cluster_runs)), key=lambda i: cluster_runs[i][0])
    wall, cpu, caller_mb, worker_mb, table = cluster_runs[best]
    durations = {}
    for rec in streams[best]:
        prefix = str(rec["key"]).split("-")[0]
        spent = sum(s["stop"] - s["start"] for s in rec["startstops"] if s["action"] == "compute")
        durations.setdefault(prefix, []).append(spent)
    windows = durations.get("_window_task", [])
    same, files = same_trees(serial_root, cluster_root)

    print(f"ingest of {len(RECORDINGS)} recordings of {SECONDS} s at {crop_bench.WIDTH}x{crop_bench.HEIGHT}, "
          f"{crop_bench.FPS} fps, windows of {TIME_STEP} min, left crop; {os.cpu_count()} cores, best of {args.repeat}")
    print(f"  serial    wall {serial['wall_s']:6.2f} s  cpu {serial['cpu_s']:6.1f} s  peak +{serial['peak_mb']:.0f} MB")
    worker_text = ", ".join(f"+{m:.0f}" for m in worker_mb)
    print(f"  cluster   wall {wall:6.2f} s  cpu {cpu:6.1f} s  caller peak +{caller_mb:.0f} MB, workers {worker_text} MB  "
          f"(cluster start-up {startup:.1f} s, not counted)")
    print(f"  baseline  wall {baseline:6.2f} s  (OpenCV-Python loop, one task per window, same cluster)")
    print(f"  ratios    cluster / serial: wall {wall / serial['wall_s']:.2f}x, cpu {cpu / serial['cpu_s']:.2f}x; "
          f"baseline / cluster {baseline / wall:.2f}x")
    print(f"  outputs   {'identical' if same else 'DIFFERENT'} to the serial run: {files} files; "
          f"statuses {sorted(set(table['Status']))}")
    print(f"  tasks     {sum(len(v) for v in durations.values())}: "
          + ", ".join(f"{len(v)} {k}" for k, v in sorted(durations.items())))
    if windows:
        print(f"            window tasks (detections included): median {statistics.median(windows):.2f} s, "
              f"max {max(windows):.2f} s, sum {sum(windows):.1f} s")
    print(f"  overhead  {overhead * 1e3:.2f} ms per task (1000 empty tasks, 2 workers)")
    per_hour = round(60 / TIME_STEP) + 1
    print(f"  an hour of one camera: {per_hour} tasks ({round(60 / TIME_STEP)} windows, 1 plan, "
          f"+1 detection per camera), scheduling {per_hour * overhead:.1f} s of it")
    if windows:
        t_w = statistics.median(windows)
        print("  expected wall for an hour of video, one core per worker, this window time: "
              + ", ".join(f"{w} workers {max(1, -(-per_hour // w)) * t_w:.0f} s" for w in (2, 8, 32, 128)))


if __name__ == "__main__":
    main()
