"""Clip hand-over: loading a clip's annotation files, the best last frame and
the matcher's own work, each beside the straightforward NumPy/OpenCV-Python
version.

    python bench/bench_clip_loading.py [--clips 1440x2180x100,480x727x600]

A clip is generated: one JPEG frame and per file ten animals, each an
outline of 40 points around an ellipse (about 1 % of the frame each).
"""
import argparse
import contextlib
import io
import json
import os
import tempfile
import time

import cv2
import numpy as np
import pandas as pd
from PIL import Image

import mirelo_utils as mu
from _args import size, sizes
from _harness import measure
from reference.annotation import python_masks_of_file
from reference.measures import numpy_intersection_table


def outline(rng, h, w, points=40, cell=None):
    s = h / 1440.0
    if cell is None:
        cx, cy = rng.uniform(200 * s, w - 200 * s), rng.uniform(200 * s, h - 200 * s)
    else:  # apart from each other: one animal per cell of a 5 x 2 grid
        cx, cy = (cell % 5 + 0.5) * w / 5, (cell // 5 + 0.5) * h / 2
    a, b, turn = 175 * s, 100 * s, rng.uniform(0, np.pi) if cell is None else 0.0
    t = np.linspace(0, 2 * np.pi, points, endpoint=False)
    r = rng.uniform(0.9, 1.1, points)
    x = cx + r * (a * np.cos(t) * np.cos(turn) - b * np.sin(t) * np.sin(turn))
    y = cy + r * (a * np.cos(t) * np.sin(turn) + b * np.sin(t) * np.cos(turn))
    return "0 " + " ".join(f"{float(u) / w!r} {float(v) / h!r}" for u, v in zip(x, y))


def make_clip(folder, h, w, files, animals=10, seed=0, apart=False):
    rng = np.random.default_rng(seed)
    frame = os.path.join(folder, "frame.jpg")
    Image.fromarray(rng.integers(0, 255, (h, w, 3), np.uint8)).save(frame, quality=90)
    for k in range(files):
        dets = [{"object_id": i + 1, "formatted_polygon": [outline(rng, h, w, cell=i if apart else None)],
                 "xyxy": [[0, 0, 1, 1]]}
                for i in range(animals)]
        with open(os.path.join(folder, f"output_pp_{k}.json"), "w") as f:
            json.dump({"image_path": frame, "detections": dets}, f)
    return frame


def python_loader(folder):
    """The straightforward loader: json, cv2.fillPoly into float32 zeros,
    astype(uint8), NumPy counts and the NumPy intersection table."""
    names = sorted((n for n in os.listdir(folder) if n.endswith(".json")), key=lambda n: int(n[10:-5]))
    paths = [os.path.join(folder, n) for n in names]
    with open(paths[0]) as f:
        h, w = cv2.imread(json.load(f)["image_path"]).shape[:2]
    data = {}
    for k, path in enumerate(paths):
        image_path, stack, keys = python_masks_of_file(path, h, w)
        md = {f"Box{b}": stack[i] for i, b in enumerate(keys)}
        areas = {key: int(np.count_nonzero(m)) for key, m in md.items()}
        data[k] = {"frame_index": int(path.split("output_pp_")[-1].split(".")[0]), "masks_dict": md,
                   "mask_areas": areas, "json_path": path, "image_path": image_path,
                   "intersections_df": numpy_intersection_table(md, areas)}
    return data[len(paths) - 1], data


def check_same(folder, files):
    """The library's records equal the straightforward loader's (a few files)."""
    with tempfile.TemporaryDirectory() as sub:
        for k in range(files):
            os.link(os.path.join(folder, f"output_pp_{k}.json"), os.path.join(sub, f"output_pp_{k}.json"))
        _, lib = mu.get_gsam_annotation_data(None, save_dir_base=sub)
        _, base = python_loader(sub)
        for k in base:
            assert lib[k]["mask_areas"] == base[k]["mask_areas"]
            for key in base[k]["masks_dict"]:
                np.testing.assert_array_equal(lib[k]["masks_dict"][key], base[k]["masks_dict"][key])
            pd.testing.assert_frame_equal(lib[k]["intersections_df"], base[k]["intersections_df"])


def bench_loading(h, w, files):
    with tempfile.TemporaryDirectory() as folder:
        make_clip(folder, h, w, files)
        check_same(folder, 3)
        mask_mib = files * 10 * h * w / 2**20
        print(f"== get_gsam_annotation_data: {files} files at {h} x {w}, ten animals each "
              f"(masks returned: {mask_mib:.0f} MiB)")
        lib = measure(lambda: mu.get_gsam_annotation_data(None, save_dir_base=folder) and None, repeat=2)
        base = measure(lambda: python_loader(folder) and None, repeat=1)
        floor = measure(lambda: [np.ones((10, h, w), np.uint8) for _ in range(files)] and None, repeat=2)
        per = lambda m: m[0] / files * 1e3  # noqa: E731
        print(f"{'per frame':<34} lib {per(lib):8.2f} ms | baseline {per(base):8.2f} ms | "
              f"allocate and touch the masks {per(floor):6.2f} ms | speed-up {base[0] / lib[0]:5.1f}x")
        print(f"{'peak memory':<34} lib {lib[1]:8.0f} MiB ({lib[1] / mask_mib:.2f}x the masks) | "
              f"baseline {base[1]:8.0f} MiB ({base[1] / mask_mib:.2f}x)")


def numpy_best_last_frame(laste_frame, min_area=10, max_attempts=10):
    keys = sorted(laste_frame)
    for attempt in range(max_attempts):
        masks = laste_frame[keys[-1 - attempt]]["masks_dict"]
        areas = {k: int(np.count_nonzero(v)) for k, v in masks.items()}
        table = numpy_intersection_table(masks, areas)
        if all(a > min_area for a in areas.values()) and sum(a > 0 for a in areas.values()) >= 10 and \
                (table.values < 50).all():
            return laste_frame[keys[-1 - attempt]], False
    return None, True


def bench_last_frame_and_matcher(h, w):
    with tempfile.TemporaryDirectory() as folder:
        frame = make_clip(folder, h, w, 12, apart=True)
        _, data = mu.get_gsam_annotation_data(None, save_dir_base=folder)
        # The last three frames each lose an animal: four frames are examined.
        for k in (9, 10, 11):
            data[k]["masks_dict"]["Box3"] = np.zeros((h, w), np.uint8)
        mask_mib = 4 * 10 * h * w / 2**20
        print(f"== find_best_laste_frame: last 12 records at {h} x {w}, 4 frames examined "
              f"({mask_mib:.0f} MiB of masks read)")
        quiet = contextlib.redirect_stdout(io.StringIO())
        with quiet:
            lib = measure(lambda: mu.find_best_laste_frame(data), repeat=3)
        base = measure(lambda: numpy_best_last_frame(data), repeat=2)
        assert lib[2][0] is data[8] and base[2][0] is data[8]
        floor = measure(lambda: [np.count_nonzero(m) for k in (8, 9, 10, 11) for m in data[k]["masks_dict"].values()])
        print(f"{'find_best_laste_frame':<34} lib {lib[0] * 1e3:8.2f} ms {lib[1]:6.1f} MiB | baseline "
              f"{base[0] * 1e3:8.2f} ms {base[1]:6.1f} MiB | speed-up {base[0] / lib[0]:5.1f}x | "
              f"one count_nonzero pass {floor[0] * 1e3:6.2f} ms")

        new_masks = np.stack([data[8]["masks_dict"][f"Box{k}"] for k in range(10)]).astype(np.float32)[:, None]

        class Instant:
            def set_image(self, image):
                pass

            def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
                return new_masks, np.ones(10, np.float32), np.zeros((10, 1, 256, 256), np.float32)

        frames = {k: data[k] for k in range(8, 12)}
        shown = []

        def show(image):  # a notebook's display: the latest drawing is kept
            shown[:] = [image]

        bare = lambda: mu.matcher(frames, [frame], 0, Instant(), max_attempts=4)  # noqa: E731
        drawn = lambda: mu.matcher(frames, [frame], 0, Instant(), max_attempts=4, display_func=show)  # noqa: E731
        every = []
        kept = lambda: mu.matcher(frames, [frame], 0, Instant(), max_attempts=4, display_func=every.append)  # noqa: E731
        decoded = lambda: Image.open(frame).load()  # noqa: E731
        runs = (bare, drawn, kept, decoded)
        with contextlib.redirect_stdout(io.StringIO()):
            wall = [measure(fn, repeat=5) for fn in runs]
            # The calling thread's CPU time: the work alone, whatever else
            # the machine runs (the matcher and the decode use one thread).
            cpu = [measure(fn, repeat=10, clock=time.thread_time)[0] for fn in runs]
        assert wall[0][2][4] is False and shown[0].size == every[-1].size == (w, h) and len(every) == 6 + 11
        decode_rgb = measure(lambda: np.asarray(Image.open(frame).convert("RGB")), repeat=5)
        mib = 4 * h * w / 2**20
        print(f"== matcher at {h} x {w}, instant predictor, float32 masks: wall time (CPU time of the calling "
              f"thread), peak memory; JPEG decode {wall[3][0] * 1e3:.2f} ms ({cpu[3] * 1e3:.2f} ms), "
              f"decode to an RGB array {decode_rgb[0] * 1e3:.2f} ms")
        for name, k in (("matcher", 0), ("with display_func", 1), ("display_func keeping every drawing", 2)):
            print(f"{name:<36} {wall[k][0] * 1e3:8.2f} ms {wall[k][0] / wall[3][0]:5.2f}x the decode "
                  f"({cpu[k] * 1e3:6.2f} ms {cpu[k] / cpu[3]:5.2f}x) {wall[k][1]:6.1f} MiB")
        print(f"(a drawing is {mib:.1f} MiB; kept, each one is memory the process has not touched before)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--clips", type=sizes, default="1440x2180x100,480x727x600")
    ap.add_argument("--hand-over", type=size, default="1440x2180")
    args = ap.parse_args()
    for h, w, n in args.clips:
        bench_loading(h, w, n)
    if args.hand_over:
        bench_last_frame_and_matcher(*args.hand_over)


if __name__ == "__main__":
    t = time.time()
    main()
    print(f"(benchmark run {time.time() - t:.0f} s)")
