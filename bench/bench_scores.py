"""Tracking scores (evaluate_tracking) beside TrackEval, the reference
evaluation, on the same files, on one core.

    python bench/bench_scores.py [--frames 600] [--size 1440x2180] [--box-frames 5000]
                                 [--box-ids 20] [--repeat 3]

Two inputs, generated once into bench/out/scores_* and reused:

- masks: a MOTS pair (ground truth and predictions) of --frames frames of ten
  animals at --size, each an ellipse of about 1.4 % of the frame walking
  within its own part of the pen (TrackEval refuses overlapping masks); the
  predictions are shifted and resized a little, drop out now and then and
  swap two identities twice.
- boxes: a MOTChallenge pair of --box-frames frames of --box-ids animals.

Each side runs in a fresh process pinned to one core and starts from the
files: TrackEval's time is its dataset's reading, RLE handling and
preprocessing and its HOTA, CLEAR and Identity evaluation of the sequence
(what its Evaluator does per sequence, without writing results); the
library's is evaluate_tracking. The figures are the fastest of --repeat
calls in CPU time of the calling thread (both sides run on it alone), the
memory the growth of the resident set during the first. The
summaries of the two are compared (largest difference printed).
"""
import json
import os
import subprocess
import sys
import tempfile
import time

from _args import clip_parser, parse_args

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
KEYS = ["HOTA", "DetA", "AssA", "LocA", "IDF1", "IDP", "IDR", "MOTA", "MOTP", "IDSW", "Frag", "MT", "PT", "ML"]


# --------------------------------------------------------------- the inputs

def ellipse(h, w, cy, cx, ry, rx):
    """A filled ellipse as a CompactMask, built from its column runs."""
    import numpy as np

    import mirelo_utils as mu

    xs = np.arange(max(0, int(np.ceil(cx - rx))), min(w, int(np.floor(cx + rx)) + 1))
    dy = ry * np.sqrt(np.clip(1 - ((xs - cx) / rx) ** 2, 0, None))
    y0 = np.clip(np.round(cy - dy), 0, h).astype(np.int64)
    y1 = np.clip(np.round(cy + dy), 0, h).astype(np.int64)
    keep = y1 > y0
    xs, y0, y1 = xs[keep], y0[keep], y1[keep]
    starts, ends = xs * h + y0, xs * h + y1
    zeros = starts - np.concatenate([[0], ends[:-1]])
    counts = np.empty(2 * len(xs) + 1, np.int64)
    counts[0:-1:2] = zeros
    counts[1::2] = ends - starts
    counts[-1] = h * w - (ends[-1] if len(ends) else 0)
    return mu.rle_decode({"size": [h, w], "counts": counts.tolist()})


def make_masks(folder, frames, h, w, seed=3):
    import numpy as np

    import mirelo_utils as mu

    rng = np.random.default_rng(seed)
    rows, cols = 2, 5
    cell_h, cell_w = h / rows, w / cols
    ry, rx = 0.07 * h, 0.065 * w  # about 1.4 % of the frame
    ry, rx = min(ry, cell_h / 2 - 40), min(rx, cell_w / 2 - 40)
    phase = rng.random((10, 2)) * 6.28
    swaps = sorted(rng.choice(np.arange(50, frames - 50), 2, replace=False)) if frames > 120 else []
    tables = {"gt": {"frame": [], "id": [], "class": [], "mask": []},
              "pred": {"frame": [], "id": [], "class": [], "mask": []}}
    for f in range(1, frames + 1):
        for k in range(10):
            r, c = divmod(k, cols)
            cy = (r + 0.5) * cell_h + 25 * np.sin(f / 40 + phase[k, 0])
            cx = (c + 0.5) * cell_w + 25 * np.cos(f / 50 + phase[k, 1])
            t = tables["gt"]
            t["frame"].append(f), t["id"].append(k + 1), t["class"].append(2), t["mask"].append(ellipse(h, w, cy, cx, ry, rx))
            if rng.random() < 0.03:
                continue  # the prediction drops out
            ident = k + 1
            for s in swaps:  # two animals swap identities from frame s on
                if f >= s and k in (0, 1):
                    ident = 2 - k if ident == k + 1 else k + 1
            d = rng.normal(0, 6, 2)
            p = tables["pred"]
            p["frame"].append(f), p["id"].append(ident), p["class"].append(2)
            p["mask"].append(ellipse(h, w, cy + d[0], cx + d[1], ry * (1 + rng.normal(0, 0.04)), rx * (1 + rng.normal(0, 0.04))))
    os.makedirs(folder, exist_ok=True)
    for name, table in tables.items():
        mu.write_mots(os.path.join(folder, name + ".txt"), table)


def make_boxes(folder, frames, ids, seed=5):
    import numpy as np

    rng = np.random.default_rng(seed)
    base = rng.random((ids, 2)) * [1800, 1200]
    lines = {"gt": [], "pred": []}
    for f in range(1, frames + 1):
        pos = base + 30 * np.sin(f / 50 + np.arange(ids)[:, None])
        for i in range(ids):
            x, y = pos[i]
            lines["gt"].append(f"{f},{i + 1},{x:.2f},{y:.2f},60.00,90.00,1,1,1")
            if rng.random() < 0.05:
                continue
            dx, dy, dw, dh = rng.normal(0, [8, 8, 4, 4])
            ident = i + 1 if rng.random() > 0.002 else ids + 1 + int(rng.integers(0, 5))
            lines["pred"].append(f"{f},{ident},{x + dx:.2f},{y + dy:.2f},{60 + dw:.2f},{90 + dh:.2f},0.9,-1,-1,-1")
    os.makedirs(folder, exist_ok=True)
    for name, rows in lines.items():
        with open(os.path.join(folder, name + ".txt"), "w") as fh:
            fh.write("\n".join(rows) + "\n")


# --------------------------------------------------------------- the sides

def trackeval_run(folder, frames, masks):
    import contextlib
    import io
    import shutil

    import trackeval

    root = tempfile.mkdtemp()
    os.makedirs(os.path.join(root, "gt", "seq", "gt"))
    os.makedirs(os.path.join(root, "trackers", "t", "data"))
    shutil.copyfile(os.path.join(folder, "gt.txt"), os.path.join(root, "gt", "seq", "gt", "gt.txt"))
    shutil.copyfile(os.path.join(folder, "pred.txt"), os.path.join(root, "trackers", "t", "data", "seq.txt"))
    config = {"GT_FOLDER": os.path.join(root, "gt"), "TRACKERS_FOLDER": os.path.join(root, "trackers"),
              "TRACKERS_TO_EVAL": ["t"], "SEQ_INFO": {"seq": frames}, "SKIP_SPLIT_FOL": True, "PRINT_CONFIG": False}

    def run():
        import numpy as np

        with contextlib.redirect_stdout(io.StringIO()):
            dataset = (trackeval.datasets.MOTSChallenge(config) if masks
                       else trackeval.datasets.MotChallenge2DBox({**config, "BENCHMARK": "MOT17"}))
            raw = dataset.get_raw_seq_data("t", "seq")
            data = dataset.get_preprocessed_seq_data(raw, "pedestrian")
            hota = trackeval.metrics.HOTA().eval_sequence(data)
            clear = trackeval.metrics.CLEAR({"PRINT_CONFIG": False}).eval_sequence(data)
            ident = trackeval.metrics.Identity({"PRINT_CONFIG": False}).eval_sequence(data)
        out = {k: float(np.mean(hota[k])) for k in KEYS[:4]}
        out.update({k: float(ident[k]) for k in KEYS[4:7]})
        out.update({k: float(clear[k]) for k in KEYS[7:]})
        return out

    return run


def library_run(folder, masks):
    import pandas  # noqa: F401  imported by the first call otherwise, which measures memory

    import mirelo_utils as mu

    gt, pred = os.path.join(folder, "gt.txt"), os.path.join(folder, "pred.txt")
    return lambda: mu.evaluate_tracking(pred, gt, iou="mask" if masks else "box").summary


def child(side, kind, folder, frames, repeat):
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    from _harness import measure

    masks = kind == "masks"
    fn = trackeval_run(folder, int(frames), masks) if side == "trackeval" else library_run(folder, masks)
    # CPU time of the calling thread: the machine may be shared, and both
    # sides run on this one thread.
    seconds, peak, summary = measure(fn, repeat=int(repeat), clock=time.thread_time)
    print(json.dumps({"seconds": seconds, "peak": peak, "summary": summary}))


def measure_side(side, kind, folder, frames, repeat):
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", side, kind, folder, str(frames), str(repeat)],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = clip_parser(__doc__.split("\n\n")[0])
    ap.add_argument("--box-frames", type=int, default=5000)
    ap.add_argument("--box-ids", type=int, default=20)
    ap.add_argument("--repeat", type=int, default=3)
    args = parse_args(ap, child, 5)
    h, w = args.size[:2]
    cases = [
        ("masks", os.path.join(OUT, f"scores_masks_{args.frames}_{h}x{w}"), args.frames,
         lambda folder: make_masks(folder, args.frames, h, w),
         f"{args.frames} frames x 10 animals, masks {h} x {w}"),
        ("boxes", os.path.join(OUT, f"scores_boxes_{args.box_frames}_{args.box_ids}"), args.box_frames,
         lambda folder: make_boxes(folder, args.box_frames, args.box_ids),
         f"{args.box_frames} frames x {args.box_ids} animals, boxes"),
    ]
    for kind, folder, frames, make, title in cases:
        if not os.path.exists(os.path.join(folder, "pred.txt")):
            t = time.perf_counter()
            make(folder)
            print(f"generated {folder} in {time.perf_counter() - t:.1f} s")
        lib = measure_side("library", kind, folder, frames, args.repeat)
        ref = measure_side("trackeval", kind, folder, frames, args.repeat)
        diff = max(abs(lib["summary"][k] - ref["summary"][k]) for k in KEYS)
        print(f"{title}: evaluate_tracking {lib['seconds'] * 1e3:8.1f} ms {lib['peak']:7.1f} MiB | "
              f"TrackEval {ref['seconds'] * 1e3:8.1f} ms {ref['peak']:7.1f} MiB | "
              f"speed-up {ref['seconds'] / lib['seconds']:5.1f}x | largest difference {diff:.1e}")


if __name__ == "__main__":
    main()
