"""Track quality control against the straightforward OpenCV-Python / pandas
versions (tests/reference/qc.py, which the tests check the library against too),
side by side.

Mask refinement: frames of ten animal-shaped masks (bool, 1 x H x W), each
with a few stray fragments near it, one far away and some outside the pen.
The library refines every frame; the baseline, at tens of milliseconds per
mask, only the first `--baseline-frames` of them (the results of those are
compared). Peak memory is that of refining those first frames, each side in
a fresh process; the new masks (3 MB each at 1440 x 2180) are part of it.
Tracking report: `--records` frame records of ten masks (areas and a 10 x 10
intersection table), a few frames with overlaps and vanished masks, beside
the floor of reading each record once.

    python bench/bench_qc.py [--sizes 720x1090,1440x2180] [--frames 100]
"""
import argparse
import contextlib
import io
import json
import os
import tempfile

import cv2
import numpy as np
import pandas as pd

import mirelo_utils as mu
from _args import size, sizes
from _harness import child_peak, measure
from reference.qc import Refinement, tracking_report

VARIANTS = 10  # distinct masks per object; frames reuse them in turn


def pen_file(folder, h, w):
    """An octagon leaving a strip of about 5 % of the frame outside."""
    mx, my = int(w * 0.05), int(h * 0.05)
    pts = [[mx, 0], [w - mx, 0], [w - 1, my], [w - 1, h - my], [w - mx, h - 1], [mx, h - 1], [0, h - my], [0, my]]
    path = os.path.join(folder, "pen.json")
    with open(path, "w") as f:
        json.dump({"shapes": [{"label": "pen", "points": pts}]}, f)
    return path


def animal_with_fragments(rng, h, w, cx, cy, s):
    m = np.zeros((h, w), np.uint8)
    cv2.ellipse(m, (cx, cy), (int(175 * s), int(100 * s)), float(rng.integers(0, 180)), 0, 360, 1, -1)
    for _ in range(int(rng.integers(2, 5))):  # strays within about 60 pixels of the body
        x = int(np.clip(cx + rng.integers(-230, 230) * s, 0, w - 20))
        y = int(np.clip(cy + rng.integers(-160, 160) * s, 0, h - 20))
        cv2.circle(m, (x, y), int(rng.integers(3, 12)), 1, -1)
    x, y = int(rng.integers(0, w - 30)), int(rng.integers(0, h - 30))  # one far away
    m[y:y + int(rng.integers(5, 30)), x:x + int(rng.integers(5, 30))] = 1
    return m.astype(bool)[None]


def clip_masks(h, w, objects=10, seed=0):
    """masks[o][v]: variant v of object o, the body jittered by a few pixels."""
    rng = np.random.default_rng(seed)
    s = h / 1440.0
    centres = [(int(rng.integers(100 * s, w - 100 * s)), int(rng.integers(100 * s, h - 100 * s))) for _ in range(objects)]
    return [[animal_with_fragments(rng, h, w, cx + int(rng.integers(-5, 6)), cy + int(rng.integers(-5, 6)), s)
             for _ in range(VARIANTS)] for cx, cy in centres]


def segments_of(masks, frames):
    return {f: {o: masks[o][f % VARIANTS] for o in range(len(masks))} for f in range(frames)}


def refine_calls(h, w, folder):
    """The two refinements as calls over the first `frames` frames."""
    masks = clip_masks(h, w)
    pen = pen_file(folder, h, w)

    def lib(frames):
        segments = segments_of(masks, frames)
        with contextlib.redirect_stdout(io.StringIO()):
            mu.Mask_Refinement(custom_pen_json_path=pen).process_video_segments(segments, "clip", range(frames))
        return segments

    def base(frames):
        segments = segments_of(masks, frames)
        with contextlib.redirect_stdout(io.StringIO()):
            Refinement(pen).process_video_segments(segments)
        return segments

    return {"lib": lib, "base": base}, len(masks)


def bench_refinement(h, w, frames, baseline_frames):
    with tempfile.TemporaryDirectory() as tmp:
        calls, n = refine_calls(h, w, tmp)
        lt, _, ours = measure(lambda: calls["lib"](frames), repeat=3)
        bt, _, ref = measure(lambda: calls["base"](baseline_frames), repeat=1)
        for f in ref:
            for o in ref[f]:
                np.testing.assert_array_equal(ours[f][o], ref[f][o], err_msg=f"frame {f} object {o}")
    lm, bm = (child_peak(__file__, f"{h}x{w}", side, str(baseline_frames)) for side in ("lib", "base"))
    lib_ms, base_ms = lt * 1e3 / (frames * n), bt * 1e3 / (baseline_frames * n)
    print(f"{'process_video_segments':<26} lib {lib_ms:7.3f} ms/mask ({frames} x {n} masks) | "
          f"baseline {base_ms:7.2f} ms/mask ({baseline_frames} x {n}) | speed-up {base_ms / lib_ms:6.1f}x")
    print(f"{'':<26} peak for {baseline_frames} x {n} masks: lib {lm:8.1f} MiB | baseline {bm:8.1f} MiB")


def report_records(count, seed=1):
    rng = np.random.default_rng(seed)
    keys = [f"Box{k}" for k in range(10)]
    data = {}
    for f in range(count):
        areas = {k: int(rng.integers(2000, 40000)) for k in keys}
        cells = rng.uniform(0, 30, (10, 10)) * (rng.random((10, 10)) < 0.2)
        np.fill_diagonal(cells, 0)
        if f % 40 == 7:
            cells[2, 5], cells[5, 2] = 85.3349, 91.0
        if f % 75 == 3:
            areas["Box4"] = 0
        data[f] = {"frame_index": f, "masks_dict": None, "mask_areas": areas,
                   "intersections_df": pd.DataFrame(cells, index=keys, columns=keys)}
    return data


def report_folder():
    """A scratch folder in memory where there is one: the report's write
    ends with a flush to disk (fsync, about 2 ms on this machine's disk)
    that the baseline's to_csv does not make, and that would hide the
    computation."""
    shm = "/dev/shm"
    return tempfile.TemporaryDirectory(dir=shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None)


def bench_report(count):
    data = report_records(count)
    with report_folder() as tmp:
        def lib():
            with contextlib.redirect_stdout(io.StringIO()):
                return mu.generate_tracking_report(data, tmp)

        def base():
            result = tracking_report(data)
            result[4].to_csv(os.path.join(tmp, "baseline.csv"), index=False)
            return result

        # What any version must do: read each record once, its table's cells
        # (and its areas).
        def read_tables():
            return [r["intersections_df"].to_numpy() for r in data.values()]

        def read_records():
            return [(r["intersections_df"].to_numpy(), list(r["mask_areas"].items())) for r in data.values()]

        lib_r, base_r = measure(lib, repeat=20), measure(base)
        tables, records = measure(read_tables, repeat=20), measure(read_records, repeat=20)
        pd.testing.assert_frame_equal(lib_r[2][0], base_r[2][0], check_dtype=False)
    (lt, lm, _), (bt, bm, _) = lib_r, base_r
    print(f"{'generate_tracking_report':<26} lib {lt * 1e3:8.2f} ms {lm:8.1f} MiB ({count} records) | "
          f"baseline {bt * 1e3:8.2f} ms {bm:8.1f} MiB | speed-up {bt / lt:6.1f}x")
    print(f"{'':<26} lib / reading each record once (table and areas, {records[0] * 1e3:.2f} ms): "
          f"{lt / records[0]:.2f} | lib / reading each table once ({tables[0] * 1e3:.2f} ms): {lt / tables[0]:.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=sizes, default="720x1090,1440x2180")
    ap.add_argument("--frames", type=int, default=100)
    ap.add_argument("--baseline-frames", type=int, default=10)
    ap.add_argument("--records", type=int, default=600)
    ap.add_argument("--peak", nargs=3, metavar=("SIZE", "SIDE", "FRAMES"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peak:
        h, w = size(args.peak[0])
        with tempfile.TemporaryDirectory() as tmp:
            calls, _ = refine_calls(h, w, tmp)
            print(measure(lambda: calls[args.peak[1]](int(args.peak[2])), repeat=1)[1])
        return
    for h, w in args.sizes:
        print(f"== {h} x {w}")
        bench_refinement(h, w, args.frames, args.baseline_frames)
    print("== tracking report")
    bench_report(args.records)


if __name__ == "__main__":
    main()
