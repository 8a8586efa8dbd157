"""Small helpers shared by the benchmarks: best-of timing and peak memory,
test masks, and the straightforward versions the library is measured (and,
in the tests, checked) against.

Peak memory is the growth of the process's resident set (VmHWM) during one
call, measured after resetting the high-water mark, so it counts C++ and
NumPy allocations alike.
"""
import gc
import os
import subprocess
import sys
import time

import numpy as np


# The import path made absolute while the working folder is the one the
# benchmark started in (a benchmark may move to a scratch folder).
_IMPORT_PATH = os.pathsep.join(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0  # MiB
    return float("nan")


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def measure(fn, repeat=5, clock=time.perf_counter):
    """Returns (best seconds, extra peak MiB of one call, last result).

    The first call measures memory; `repeat` further calls give the time, as
    `clock` counts it (time.thread_time: the calling thread's CPU time, which
    on a busy machine leaves out the waits for a free core)."""
    repeat = max(1, repeat)
    gc.collect()
    base = _status("VmRSS")
    _reset_peak()
    result = fn()
    peak = _status("VmHWM") - base
    best = float("inf")
    for _ in range(repeat):
        t = clock()
        result = fn()
        best = min(best, clock() - t)
    return best, max(peak, 0.0), result


def child_peak(script, *args):
    """Peak MiB of one call made by `script --peak ARGS...` in a fresh process,
    whose allocator maps every large block anew (MALLOC_MMAP_THRESHOLD_), so
    that blocks freed by earlier calls cannot hide it. The script prints the
    figure on its last line."""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072", PYTHONPATH=_IMPORT_PATH)
    out = subprocess.run([sys.executable, script, "--peak", *args], env=env, capture_output=True, text=True, check=True)
    return float(out.stdout.strip().splitlines()[-1])


def row(name, lib, base):
    """One line: library vs baseline time and memory, and the speed-up."""
    (lt, lm, _), (bt, bm, _) = lib, base
    print(f"{name:<34} lib {lt * 1e3:9.2f} ms {lm:8.1f} MiB | baseline {bt * 1e3:9.2f} ms "
          f"{bm:8.1f} MiB | speed-up {bt / lt:6.1f}x")


def animal_masks(h, w, n=10, seed=0):
    """Filled ellipses of about 200 x 350 pixels (scaled with the frame) at
    random places; some of them overlap."""
    import cv2

    rng = np.random.default_rng(seed)
    s = h / 1440.0
    masks = []
    for _ in range(n):
        m = np.zeros((h, w), np.uint8)
        cx, cy = int(rng.integers(200 * s, w - 200 * s)), int(rng.integers(200 * s, h - 200 * s))
        cv2.ellipse(m, (cx, cy), (int(175 * s), int(100 * s)), float(rng.integers(0, 180)), 0, 360, 1, -1)
        masks.append(m.astype(bool))
    return masks


def numpy_intersection_table(masks_dict, areas):
    """The pairwise intersection table written the straightforward way."""
    import pandas as pd

    keys = list(masks_dict)
    n = len(keys)
    out = np.zeros((n, n))
    for i in range(n):
        for j in range(n):
            a1, a2 = areas[keys[i]], areas[keys[j]]
            if a1 <= 1:
                continue
            if i > j:
                inter = np.count_nonzero(masks_dict[keys[i]] * masks_dict[keys[j]])
                out[i][j] = inter / a1 * 100 if a1 > 0 else 0
                out[j][i] = inter / a2 * 100 if a2 > 0 else 0
    return pd.DataFrame(out, index=keys, columns=keys)


def opencv_cluster_masks(masks_dict, eps=100, min_samples=1):
    """Centroid clustering written with OpenCV-Python contours and scikit-learn's DBSCAN."""
    import cv2
    from sklearn.cluster import DBSCAN

    centroids, keys = [], []
    for key, mask in masks_dict.items():
        contours, _ = cv2.findContours(mask.astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        if not contours:
            continue
        m = cv2.moments(max(contours, key=cv2.contourArea))
        if m["m00"] == 0:
            continue
        centroids.append((int(m["m10"] / m["m00"]), int(m["m01"] / m["m00"])))
        keys.append(key)
    labels = DBSCAN(eps=eps, min_samples=min_samples).fit(np.array(centroids)).labels_
    out = {"Noise": []}
    for idx, label in enumerate(labels):
        out.setdefault("Noise" if label == -1 else f"Cluster {label}", []).append(keys[idx])
    return out


def farneback(prev, curr):
    """OpenCV-Python's dense Farneback flow with the motion score's parameters."""
    import cv2

    return cv2.calcOpticalFlowFarneback(prev, curr, None, 0.5, 3, 15, 3, 5, 1.2, 0)


def opencv_motion_scores(frames, masks_dict):
    """Motion scores written with OpenCV-Python: mean flow magnitude from
    frames[0] to frames[5] over each mask's pixels above zero, 0 for none."""
    import cv2

    prev = cv2.imread(frames[0], cv2.IMREAD_GRAYSCALE)
    curr = cv2.imread(frames[5], cv2.IMREAD_GRAYSCALE)
    flow = farneback(prev, curr)
    mag, _ = cv2.cartToPolar(flow[..., 0], flow[..., 1])
    out = {}
    for key, mask in masks_dict.items():
        binary = (mask > 0).astype(np.uint8)
        masked = cv2.bitwise_and(mag, mag, mask=binary)
        out[key] = np.mean(masked[binary == 1]) if np.any(binary) else 0
    return out


def python_masks_of_file(json_path, height, width):
    """The masks of an annotation file made the straightforward way: json,
    then cv2.fillPoly into float32 zeros per detection and astype(uint8).
    Returns (image_path, N x H x W uint8 stack, object id - 1 per mask)."""
    import json

    import cv2

    with open(json_path, encoding="utf-8") as f:
        doc = json.load(f)
    masks, keys = [], []
    for det in doc["detections"]:
        m = np.zeros((height, width), np.float32)
        for text in det["formatted_polygon"]:
            v = text.split()[1:]
            pts = [(int(float(v[i]) * width), int(float(v[i + 1]) * height)) for i in range(0, len(v), 2)]
            cv2.fillPoly(m, [np.array(pts, np.int32)], 1)
        masks.append(m)
        keys.append(det.get("object_id", 0) - 1)
    return doc["image_path"], np.array(masks).astype(np.uint8), keys


def opencv_orange_region(frame):
    """The pen marker's box (x1, y1, x2, y2): of the two largest orange
    regions, the one farther right."""
    import cv2

    hsv = cv2.cvtColor(frame, cv2.COLOR_BGR2HSV)
    mask = cv2.inRange(hsv, (10, 150, 150), (25, 255, 255))
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    if not contours:
        return None
    two = sorted(contours, key=cv2.contourArea, reverse=True)[:2]

    def cx(c):
        m = cv2.moments(c)
        return m["m10"] / (m["m00"] + 0.00001)

    x, y, w, h = cv2.boundingRect(max(two, key=cx))
    return x, y, x + w, y + h
