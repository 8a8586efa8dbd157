"""Small helpers shared by the benchmarks: best-of timing and peak memory,
and test masks. The straightforward versions the library is measured
against are those the tests check it against, in tests/reference.

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
