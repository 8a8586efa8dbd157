"""Pen masks (get_in_pen_mask) against the straightforward json + cv2.fillPoly
version, side by side, for a pen inside the frame and for pens with one vertex
far above it. The fill walks every row from the polygon's top down to the
frame, so the baseline's time grows with that vertex's distance; the
library's fill (the same pixels) walks only the frame's rows and stays flat.

    python bench/bench_pen_mask.py [--size 1440x2180] [--masks 10]
"""
import argparse
import json
import os
import tempfile

import cv2
import numpy as np

import mirelo_utils as mu
from _args import size
from _harness import measure, row


def baseline_in_pen_mask(test_mask, pen_json_path):
    with open(pen_json_path) as f:
        points = json.load(f)["shapes"][0]["points"]
    h, w = test_mask.shape[-2:]
    pen = np.zeros((h, w), np.uint8)
    cv2.fillPoly(pen, [np.array(points, np.int32)], 1)
    return test_mask & (pen != 0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=size, default="1440x2180")
    ap.add_argument("--masks", type=int, default=10)
    a = ap.parse_args()
    h, w = a.size
    masks = np.ones((a.masks, h, w), bool)
    inside = [[w * 0.1, h * 0.2], [w * 0.9, h * 0.1], [w * 0.8, h * 0.9], [w * 0.2, h * 0.8]]
    cases = [("pen inside the frame", inside)]
    for k in (16, 20, 24):
        cases.append((f"one vertex at y = -2^{k}", [inside[0], [w * 0.5, -2.0**k], *inside[1:]]))
    with tempfile.TemporaryDirectory() as d:
        for name, points in cases:
            path = os.path.join(d, "pen.json")
            with open(path, "w") as f:
                json.dump({"shapes": [{"points": points}]}, f)
            lib = measure(lambda: mu.get_in_pen_mask(0, masks, path, ["frame.jpg"]), repeat=3)
            base = measure(lambda: baseline_in_pen_mask(masks, path), repeat=3)
            row(name, lib, base)


if __name__ == "__main__":
    main()
