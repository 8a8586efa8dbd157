"""The identity-health page of a tracked clip.

    python bench/bench_health.py [--size 1440x2180x600] [--baseline-size 240x363x600]

A clip is generated once into bench/out (annotation files of ten animals,
outlines of 40 points, one JPEG frame): the animals rest in a 5 x 2 grid,
jittered from frame to frame, with six overlap episodes (merges and a
swap) and a vanished animal.

At --size: the page (clip_health_report on the opened clip, no predictor)
beside what the issue measures it against, opening the clip plus drawing the
episode pictures (each episode's first and last frame drawn whole by
img_bbx_drawing and shrunk), each in a fresh process for its peak memory.
At --baseline-size, small enough for dense masks: the library's page beside
the straightforward version (the dense Python loader, pandas and NumPy per
frame, one matplotlib figure per animal, the same pictures).
"""
import argparse
import base64
import contextlib
import io
import json
import os
import sys
import time

import numpy as np
from PIL import Image

import mirelo_utils as mu
from _args import size
from _harness import child_peak

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "out")
MERGES = [(60, 75, 1, 0), (150, 158, 4, 3), (250, 262, 6, 5), (420, 430, 8, 7), (500, 509, 9, 2)]  # frames, from, onto
SWAP = (300, 309, 2, 3)  # merged in these frames, identities swapped after
VANISHED = (350, 380, 7)


def outline(rng, h, w, cell, points=40):
    cx, cy = (cell % 5 + 0.5) * w / 5, (cell // 5 + 0.5) * h / 2
    s = h / 1440.0
    t = np.linspace(0, 2 * np.pi, points, endpoint=False)
    r = rng.uniform(0.95, 1.05, points)
    x, y = cx + r * 175 * s * np.cos(t), cy + r * 100 * s * np.sin(t)
    return "0 " + " ".join(f"{float(u) / w!r} {float(v) / h!r}" for u, v in zip(x, y))


def make_clip(h, w, frames):
    folder = os.path.join(CACHE, f"health_clip_{h}x{w}x{frames}")
    if os.path.exists(os.path.join(folder, "done")):
        return folder
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(0)
    frame = os.path.join(folder, "frame.jpg")
    Image.fromarray(rng.integers(60, 200, (h, w, 3), np.uint8)).save(frame, quality=85)
    for f in range(frames):
        cell = list(range(10))
        for first, last, src, dst in MERGES:
            if first <= f <= last:
                cell[src] = dst
        if SWAP[0] <= f <= SWAP[1]:
            cell[SWAP[2]] = cell[SWAP[3]]
        elif f > SWAP[1]:
            cell[SWAP[2]], cell[SWAP[3]] = SWAP[3], SWAP[2]
        dets = []
        for i in range(10):
            gone = i == VANISHED[2] and VANISHED[0] <= f <= VANISHED[1]
            polygons = [] if gone else [outline(rng, h, w, cell[i])]
            dets.append({"object_id": i + 1, "formatted_polygon": polygons, "xyxy": [[0, 0, 1, 1]]})
        with open(os.path.join(folder, f"output_pp_{f}.json"), "w") as out:
            json.dump({"image_path": frame, "detections": dets}, out)
    open(os.path.join(folder, "done"), "w").close()
    return folder


def open_clip(folder):
    return mu.open_clip(folder)


def episode_frames(folder):
    """First and last frame of every episode, as the page finds them."""
    out = []
    for first, last, *_ in [*MERGES, SWAP]:
        out += [first, last]
    return out


def pictures(records, frames):
    """Each frame drawn whole with its masks by img_bbx_drawing, shrunk."""
    uris = []
    for f in frames:
        rec = records[f]
        with Image.open(rec["image_path"]) as im:
            drawn = mu.img_bbx_drawing(im.convert("RGB"), dict(rec["masks_dict"])).convert("RGB")
        drawn.thumbnail((360, 360))
        buffer = io.BytesIO()
        drawn.save(buffer, format="JPEG", quality=82)
        uris.append(base64.b64encode(buffer.getvalue()))
    return uris


def python_page(folder, out):
    """The page the straightforward way: dense load, pandas/NumPy per frame,
    a matplotlib figure per animal, whole-frame pictures."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from bench_clip_loading import python_loader

    _, data = python_loader(folder)
    keys = list(data[0]["mask_areas"])
    frames = sorted(data)
    area = np.array([[data[f]["mask_areas"].get(k, np.nan) for k in keys] for f in frames], dtype=float)
    pairs = {}
    for f in frames:
        table = data[f]["intersections_df"]
        for r, c in zip(*np.nonzero(table.values > 80)):
            pair = tuple(sorted((table.index[r], table.columns[c])))
            pairs.setdefault(pair, set()).add(f)
    episodes = []
    for pair, fs in pairs.items():
        fs = sorted(fs)
        start = fs[0]
        for a, b in zip(fs, fs[1:] + [None]):
            if b != a + 1:
                if a > start:
                    episodes.append((start, a, pair))
                start = b
    parts = []
    for i, k in enumerate(keys):
        fig, ax = plt.subplots(figsize=(9, 1.5), dpi=80)
        ax.plot(frames, area[:, i])
        for first, last, pair in episodes:
            if k in pair:
                ax.axvspan(first - 0.5, last + 0.5, color="orange", alpha=0.35)
        for f in np.flatnonzero(area[:, i] <= 0.1):
            ax.axvspan(f - 0.5, f + 0.5, color="red", alpha=0.35)
        buffer = io.BytesIO()
        fig.savefig(buffer, format="png")
        plt.close(fig)
        parts.append(f'<img src="data:image/png;base64,{base64.b64encode(buffer.getvalue()).decode()}">')
    for uri in pictures(data, [f for first, last, _ in episodes for f in (first, last)]):
        parts.append(f'<img src="data:image/jpeg;base64,{uri.decode()}">')
    with open(os.path.join(out, "index.html"), "w") as page:
        page.write("<html><body>" + "\n".join(parts) + "</body></html>")


def library_page(folder, out):
    with contextlib.redirect_stdout(io.StringIO()):
        mu.clip_health_report(open_clip(folder), out)


def open_and_pictures(folder, out):
    records = open_clip(folder)
    pictures(records, episode_frames(folder))


JOBS = {"page": library_page, "open+pictures": open_and_pictures, "python": python_page}


def timed(job, folder, out):
    t = time.perf_counter()
    JOBS[job](folder, out)
    return time.perf_counter() - t


def fresh(job, folder, out):
    """(seconds, peak MiB) of one run in a fresh process."""
    peak = child_peak(__file__, job, folder, out)
    with open(os.path.join(out, ".seconds")) as f:
        return float(f.read()), peak


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--peak":
        job, folder, out = sys.argv[2:5]
        import resource

        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        import matplotlib.figure  # noqa: F401 - imported before the measure, as in a session that plots

        seconds = timed(job, folder, out)
        with open(os.path.join(out, ".seconds"), "w") as f:
            f.write(str(seconds))
        with open("/proc/self/status") as f:
            hwm = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
        print(max(hwm - base, 0) / 1024.0)
        return
    p = argparse.ArgumentParser()
    p.add_argument("--size", type=size, default="1440x2180x600")
    p.add_argument("--baseline-size", type=size, default="240x363x600")
    args = p.parse_args()
    out = os.path.join(CACHE, "health_page")
    os.makedirs(out, exist_ok=True)

    h, w, n = args.size
    folder = make_clip(h, w, n)
    print(f"== health page of a {n}-frame clip at {h} x {w}, ten animals, six episodes (fresh process each)")
    page = fresh("page", folder, out)
    ref = fresh("open+pictures", folder, out)
    print(f"{'page (open + clip_health_report)':<34} {page[0]:7.2f} s {page[1]:8.0f} MiB peak")
    print(f"{'open + pictures of the episodes':<34} {ref[0]:7.2f} s {ref[1]:8.0f} MiB peak | "
          f"page / (open + pictures) {page[0] / ref[0]:4.2f}x")

    h, w, n = args.baseline_size
    folder = make_clip(h, w, n)
    print(f"== the same at {h} x {w} beside the straightforward version (dense masks)")
    lib = fresh("page", folder, out)
    base = fresh("python", folder, out)
    print(f"{'page':<34} lib {lib[0]:7.2f} s {lib[1]:8.0f} MiB | baseline {base[0]:7.2f} s {base[1]:8.0f} MiB | "
          f"speed-up {base[0] / lib[0]:5.1f}x")


if __name__ == "__main__":
    main()
