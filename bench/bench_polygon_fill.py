"""Polygon fills: pen masks (get_in_pen_mask) against json + cv2.fillPoly
(the pixels compared too), side by side, for ordinary outlines and for long self-crossing ones (random
walks over the frame, the zigzag [i % 90, (i * 7) % 60]), where
cv2.fillPoly's sort of its active edges grows with the square of their
number. The library's fill is linear in the vertices and the edges' row
crossings: goals 40,000 random-walk points within 1 s and 10^6 within 5 s.
A baseline that would take minutes is not run ("-").

    python bench/bench_polygon_fill.py [--baseline-points 10000]
"""
import argparse
import json
import os
import tempfile

import numpy as np

import mirelo_utils as mu
import _args  # noqa: F401  (tests/ on the path)
from _harness import measure

import cv2


def baseline_in_pen_mask(test_mask, pen_json_path):
    with open(pen_json_path) as f:
        points = json.load(f)["shapes"][0]["points"]
    pen = np.zeros(test_mask.shape, np.uint8)
    cv2.fillPoly(pen, [np.array(points, np.int32)], 1)
    return test_mask & (pen != 0)


def outline(n, h, w):
    """A smooth closed outline of n points around the frame's centre."""
    t = np.linspace(0, 2 * np.pi, n, endpoint=False)
    r = 0.35 * (1 + 0.2 * np.sin(7 * t))
    return np.stack([w * (0.5 + r * np.cos(t)), h * (0.5 + r * np.sin(t))], 1)


def random_walk(n, h, w, seed=5):
    rng = np.random.default_rng(seed)
    return np.stack([rng.uniform(0, w, n), rng.uniform(0, h, n)], 1)


def zigzag(n, h, w):
    i = np.arange(n)
    return np.stack([i % 90, (i * 7) % 60], 1).astype(float)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--baseline-points", type=int, default=10000,
                    help="longest self-crossing outline the baseline is run on")
    a = ap.parse_args()
    cases = [
        ("outline, 40 points, 1440 x 2180", outline(40, 1440, 2180), 1440, 2180, True),
        ("outline, 10^6 points, 1440 x 2180", outline(10**6, 1440, 2180), 1440, 2180, True),
        ("random walk, 10^4 points, 64 x 96", random_walk(10**4, 64, 96), 64, 96, False),
        ("random walk, 4x10^4 points, 64 x 96", random_walk(4 * 10**4, 64, 96), 64, 96, False),
        ("random walk, 10^6 points, 64 x 96", random_walk(10**6, 64, 96), 64, 96, False),
        ("random walk, 4x10^4, 1080 x 1920", random_walk(4 * 10**4, 1080, 1920), 1080, 1920, False),
        ("zigzag, 3x10^5 points, 64 x 96", zigzag(3 * 10**5, 64, 96), 64, 96, False),
    ]
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "pen.json")
        for name, points, h, w, ordinary in cases:
            with open(path, "w") as f:
                json.dump({"shapes": [{"points": points.tolist()}]}, f)
            mask = np.ones((h, w), bool)
            lib = measure(lambda: mu.get_in_pen_mask(0, mask, path, ["frame.jpg"]), repeat=3)
            line = f"{name:<38} lib {lib[0] * 1e3:10.2f} ms {lib[1]:7.1f} MiB"
            if ordinary or len(points) <= a.baseline_points:
                base = measure(lambda: baseline_in_pen_mask(mask, path), repeat=1 if not ordinary else 3)
                same = np.array_equal(lib[2] != 0, base[2] != 0)
                line += (f" | baseline {base[0] * 1e3:10.2f} ms {base[1]:7.1f} MiB | speed-up "
                         f"{base[0] / lib[0]:7.1f}x{'' if same else ' (PIXELS DIFFER)'}")
            else:
                line += " | baseline          -"
            print(line, flush=True)


if __name__ == "__main__":
    main()
