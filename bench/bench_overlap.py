"""Overlap measures on ten animal-shaped masks against the straightforward
NumPy version of each, side by side.

    python bench/bench_overlap.py [--sizes 720x1090,1440x2180,2160x3270]
"""

import numpy as np
import pandas as pd

import mirelo_utils as mu
from _args import frame_sizes
from _harness import animal_masks, measure, row
from reference.measures import numpy_intersection_table


def numpy_iou(new, old):
    out = np.zeros((len(new), len(old)))
    for i, a in enumerate(new):
        for j, b in enumerate(old):
            inter = np.logical_and(a, b).sum()
            union = np.logical_or(a, b).sum()
            out[i, j] = inter / (union + 1e-6)
    return out


def main():
    for h, w in frame_sizes():
        masks = animal_masks(h, w)
        md = {f"Box{i}": m for i, m in enumerate(masks)}
        areas = {k: int(np.count_nonzero(m)) for k, m in md.items()}
        overlapping = sum(1 for i in range(10) for j in range(i) if np.any(masks[i] & masks[j]))
        print(f"== {h} x {w}, 10 masks, {overlapping} overlapping pairs")

        lib = measure(lambda: mu.intersection_between_masks(md, areas))
        base = measure(lambda: numpy_intersection_table(md, areas))
        pd.testing.assert_frame_equal(lib[2], base[2])
        row("intersection_between_masks", lib, base)
        floor = measure(lambda: [np.count_nonzero(m) for m in masks])
        print(f"{'':<34} lib / one count_nonzero pass over all masks: {lib[0] / floor[0]:.2f}")

        lib = measure(lambda: mu.cal_masks_iou_scores(masks, masks))
        base = measure(lambda: numpy_iou(masks, masks), repeat=2)
        np.testing.assert_allclose(lib[2], base[2], rtol=1e-12)
        row("cal_masks_iou_scores (10 x 10)", lib, base)


if __name__ == "__main__":
    main()
