"""Centroid clustering and optical-flow motion on ten animal-shaped masks,
against the straightforward OpenCV-Python (+ scikit-learn) versions.

    python bench/bench_cluster_motion.py [--sizes 720x1090,1440x2180,2160x3270]

Clustering is compared with contours traced over each full mask and
scikit-learn's DBSCAN. Motion is compared with the Farneback call alone on
frames already in memory (the floor: the library also reads both JPEG frames
and averages inside every mask) and with the whole straightforward version.
"""
import os
import tempfile

import cv2
import numpy as np

import mirelo_utils as mu
from _args import frame_sizes
from _harness import animal_masks, measure, row
from reference.measures import farneback, opencv_cluster_masks, opencv_motion_scores


def pen_frames(h, w, folder):
    """Two JPEG frames of a textured scene, the second moved by a few pixels."""
    rng = np.random.default_rng(1)
    small = rng.integers(0, 256, (h // 8 + 1, w // 8 + 1, 3)).astype(np.uint8)
    scene = cv2.GaussianBlur(cv2.resize(small, (w, h), interpolation=cv2.INTER_CUBIC), (0, 0), 2)
    moved = cv2.warpAffine(scene, np.float32([[1, 0, 3], [0, 1, -2]]), (w, h), borderMode=cv2.BORDER_REFLECT)
    paths = [os.path.join(folder, f"{k:04d}.jpg") for k in range(6)]
    for k, p in enumerate(paths):
        cv2.imwrite(p, scene if k < 5 else moved)
    return paths


def main():
    print(f"OpenCV-Python {cv2.__version__}, {cv2.getNumThreads()} threads")
    for h, w in frame_sizes():
        md = {f"Box{i}": m for i, m in enumerate(animal_masks(h, w))}
        print(f"== {h} x {w}, 10 masks")

        opencv_cluster_masks(md)  # scikit-learn's import is not part of the figure
        lib = measure(lambda: mu.cluster_masks_and_print(md))
        base = measure(lambda: opencv_cluster_masks(md))
        assert lib[2] == base[2], (lib[2], base[2])
        row("cluster_masks_and_print", lib, base)

        with tempfile.TemporaryDirectory() as folder:
            frames = pen_frames(h, w, folder)
            prev = cv2.imread(frames[0], cv2.IMREAD_GRAYSCALE)
            curr = cv2.imread(frames[5], cv2.IMREAD_GRAYSCALE)
            repeat = 3 if h * w <= 1440 * 2180 else 2
            lib = measure(lambda: mu.compute_motion_score_in_polygon(frames, md), repeat)
            floor = measure(lambda: farneback(prev, curr), repeat)
            base = measure(lambda: opencv_motion_scores(frames, md), repeat)
            for key, value in base[2].items():
                assert abs(lib[2][key] - value) <= 1e-3 * max(1.0, abs(value)), (key, lib[2][key], value)
            row("compute_motion_score_in_polygon", lib, base)
            print(f"{'':<34} lib / Farneback call alone: {lib[0] / floor[0]:.2f} "
                  f"(Farneback {floor[0] * 1e3:.1f} ms, {floor[1]:.1f} MiB)")


if __name__ == "__main__":
    main()
