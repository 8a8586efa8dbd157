"""Centroid similarity of ten new against ten old animal masks, and cosine
scores of their appearance vectors, against the straightforward versions
(moments taken per pair; one cosine per pair), side by side.

    python bench/bench_similarity.py [--sizes 720x1090,1440x2180,2160x3270]
"""

import cv2
import numpy as np

import mirelo_utils as mu
from _args import frame_sizes
from _harness import animal_masks, measure, row


def straightforward_centroid_distance(masks_new, masks_old):
    d = np.zeros((len(masks_new), len(masks_old)))
    for i, new_mask in enumerate(masks_new):
        m = cv2.moments(new_mask.astype(np.uint8))
        c_new = np.array([np.nan, np.nan]) if m["m00"] == 0 else np.array([m["m01"] / m["m00"], m["m10"] / m["m00"]])
        for j, old_mask in enumerate(masks_old):
            m = cv2.moments(old_mask.astype(np.uint8))
            c_old = (np.array([np.nan, np.nan]) if m["m00"] == 0
                     else np.array([m["m01"] / m["m00"], m["m10"] / m["m00"]]))
            d[i, j] = np.nan if np.isnan(c_new).any() or np.isnan(c_old).any() else np.linalg.norm(c_new - c_old)
    d[np.isnan(d)] = np.nanmax(d) + 1.0
    return 1 - d / (np.max(d) + 1e-6)


def straightforward_cosine(new, old):
    out = np.full((len(new), len(old)), -np.inf)
    for i, a in enumerate(new):
        for j, b in enumerate(old):
            if a is not None and b is not None:
                a_, b_ = a.numpy().astype(np.float64), b.numpy().astype(np.float64)
                out[i, j] = a_ @ b_ / (np.linalg.norm(a_) * np.linalg.norm(b_))
    return out


def main():
    for h, w in frame_sizes():
        new, old = animal_masks(h, w, seed=1), animal_masks(h, w, seed=2)
        print(f"== {h} x {w}, 10 new x 10 old masks")
        lib = measure(lambda: mu.cal_centroid_distance(new, old))
        base = measure(lambda: straightforward_centroid_distance(new, old), repeat=2)
        np.testing.assert_allclose(lib[2], base[2], rtol=1e-9, atol=1e-12)
        row("cal_centroid_distance", lib, base)
        floor = measure(lambda: [np.count_nonzero(m) for m in new + old])
        print(f"{'':<34} lib / one count_nonzero pass over all masks: {lib[0] / floor[0]:.2f}")

    import torch

    rng = np.random.default_rng(0)
    feats = [torch.from_numpy(rng.normal(size=256).astype(np.float32)) for _ in range(10)] + [None]
    lib = measure(lambda: mu.cosine_scores_cal(feats, feats), repeat=50)
    base = measure(lambda: straightforward_cosine(feats, feats), repeat=10)
    np.testing.assert_allclose(lib[2], base[2], rtol=1e-6)
    print("== 11 x 11 feature vectors of 256 values (one None)")
    row("cosine_scores_cal", lib, base)


if __name__ == "__main__":
    main()
