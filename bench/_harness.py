"""Small helpers shared by the benchmarks: best-of timing and peak memory.

Peak memory is the growth of the process's resident set (VmHWM) during one
call, measured after resetting the high-water mark, so it counts C++ and
NumPy allocations alike.
"""
import gc
import time


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


def measure(fn, repeat=5):
    """Returns (best seconds, extra peak MiB of one call, last result).

    The first call measures memory; `repeat` further calls give the time."""
    repeat = max(1, repeat)
    gc.collect()
    base = _status("VmRSS")
    _reset_peak()
    result = fn()
    peak = _status("VmHWM") - base
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t)
    return best, max(peak, 0.0), result


def row(name, lib, base):
    """One line: library vs baseline time and memory, and the speed-up."""
    (lt, lm, _), (bt, bm, _) = lib, base
    print(f"{name:<34} lib {lt * 1e3:9.2f} ms {lm:8.1f} MiB | baseline {bt * 1e3:9.2f} ms "
          f"{bm:8.1f} MiB | speed-up {bt / lt:6.1f}x")
