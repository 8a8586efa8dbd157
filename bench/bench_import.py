"""Cost of `import mirelo_utils` in a fresh interpreter, against importing
the straightforward stack (numpy and OpenCV-Python), the empty interpreter
alongside.

    python bench/bench_import.py [--runs 15]

CPU time (user + system) of the whole process, best of the runs: on a loaded
machine wall time mostly measures the other processes. The peak is the
process's maximum resident set. The last lines are the `python -X importtime`
figures (self and cumulative) of the package and of its compiled module,
best of the runs, and the codec libraries that the import mapped (none
expected: they load with the first operation that needs them).
"""
import argparse
import os
import re
import subprocess
import sys

from _harness import _IMPORT_PATH

CODEC_LIBRARIES = ("libmirelo_media", "libopencv_imgcodecs", "libopencv_video", "libavformat", "libavcodec")


# The child reports its own peak: the one wait4 gives counts the forked
# parent's memory too.
PEAK = "\nwith open('/proc/self/status') as f: print([l.split()[1] for l in f if l.startswith('VmHWM:')][0])"


def cpu_and_peak(code, runs):
    """Best CPU ms and the peak MiB of that run of `python -c code`."""
    env = dict(os.environ, PYTHONPATH=_IMPORT_PATH)
    best = None
    for _ in range(runs):
        proc = subprocess.Popen([sys.executable, "-c", code + PEAK], env=env, stdout=subprocess.PIPE, text=True)
        out = proc.stdout.read()
        _, status, usage = os.wait4(proc.pid, 0)
        if status != 0:
            raise SystemExit(f"python -c {code!r} failed")
        cpu = (usage.ru_utime + usage.ru_stime) * 1e3
        if best is None or cpu < best[0]:
            best = (cpu, int(out.split()[-1]) / 1024.0)
    return best


def import_times(runs):
    """Best self and cumulative microseconds per module of -X importtime."""
    env = dict(os.environ, PYTHONPATH=_IMPORT_PATH)
    best = {}
    for _ in range(runs):
        err = subprocess.run([sys.executable, "-X", "importtime", "-c", "import mirelo_utils"], env=env,
                             capture_output=True, text=True, check=True).stderr
        for m in re.finditer(r"import time:\s+(\d+) \|\s+(\d+) \| +(mirelo_utils(?:\._core)?)$", err, re.M):
            self_us, total_us, name = int(m[1]), int(m[2]), m[3]
            old = best.get(name, (float("inf"), float("inf")))
            best[name] = (min(old[0], self_us), min(old[1], total_us))
    return best


def mapped_codec_libraries():
    code = ("import mirelo_utils\n"
            "with open('/proc/self/maps') as f: names = {l.rsplit('/', 1)[-1].strip() for l in f}\n"
            f"print(sorted({{lib for lib in {CODEC_LIBRARIES!r} for n in names if n.startswith(lib + '.so')}}))")
    env = dict(os.environ, PYTHONPATH=_IMPORT_PATH)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          check=True).stdout.strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=15)
    args = ap.parse_args()
    empty = cpu_and_peak("pass", args.runs)
    lib = cpu_and_peak("import mirelo_utils", args.runs)
    base = cpu_and_peak("import numpy, cv2", args.runs)
    print(f"{'empty interpreter':<22} {empty[0]:7.1f} ms CPU {empty[1]:7.1f} MiB")
    print(f"{'import mirelo_utils':<22} {lib[0]:7.1f} ms CPU {lib[1]:7.1f} MiB | "
          f"baseline import numpy, cv2 {base[0]:7.1f} ms CPU {base[1]:7.1f} MiB | speed-up {base[0] / lib[0]:5.1f}x")
    for name, (self_us, total_us) in sorted(import_times(args.runs).items()):
        print(f"-X importtime {name:<20} self {self_us / 1e3:7.1f} ms, cumulative {total_us / 1e3:7.1f} ms")
    print(f"codec libraries mapped by the import: {mapped_codec_libraries()}")


if __name__ == "__main__":
    main()
