"""Long calls release the GIL and stop on Ctrl-C; the package imports lightly."""
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import mirelo_utils as mu
from conftest import BUNDLED_BUILD


def big_workload():
    masks = np.ones((150, 600, 600), bool)
    return lambda: mu.cal_masks_iou_scores(masks, masks)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs POSIX timers")
def test_ctrl_c_interrupts_long_call():
    work = big_workload()

    def on_alarm(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            work()
        assert time.monotonic() - start < 5.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_gil_released_during_long_call():
    work = big_workload()
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        start = time.monotonic()
        work()
        end = time.monotonic()
    finally:
        done.set()
        t.join()
    # A call holding the GIL lets the other thread run only at its edges, so
    # ticks in the middle half of the call show that the two overlapped,
    # however busy the machine.
    quarter = (end - start) / 4
    assert any(start + quarter < x < end - quarter for x in ticks), (end - start, len(ticks))


def test_import_does_not_load_heavy_host_libraries():
    code = ("import sys, mirelo_utils; "
            "print(sorted(m for m in ('torch', 'pandas', 'matplotlib', 'seaborn', 'PIL', 'numpy', 'jinja2', "
            "'importlib.metadata') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_captured_lines_are_those_of_the_capturing_thread(capsys):
    """What the cluster tasks see: one task's lines, whatever another thread
    of the worker prints meanwhile, also when the task fails."""
    no_frame = "No valid frame found with all masks area > 10 in the last 1 frames for {} tracks."

    def other_thread():
        mu.find_best_laste_frame({0: {"masks_dict": {}}}, 10, 1, ["Box0"])

    def task():
        mu.find_best_laste_frame({0: {"masks_dict": {}}}, 10, 1)
        thread = threading.Thread(target=other_thread)
        thread.start()
        thread.join()
        raise ValueError("the task failed")

    lines = []
    with pytest.raises(ValueError, match="the task failed"):
        mu._core._call_capturing_lines(lines, task)
    assert lines == [no_frame.format(10)]
    assert capsys.readouterr().out == no_frame.format(9) + "\n"
    assert mu._core._call_capturing_lines(lines, lambda: 7) == 7


CODEC_LIBRARIES = ("libmirelo_media", "libopencv_imgcodecs", "libopencv_video", "libavformat", "libavcodec",
                   "libswscale", "libavutil")

# Loaded libraries before and after the first operation that reads images.
MOTION_SCRIPT = """
import sys
import numpy as np
from PIL import Image

def loaded():
    with open("/proc/self/maps") as maps:
        names = {line.rsplit("/", 1)[-1].strip() for line in maps if ".so" in line}
    return sorted({lib for lib in sys.argv[2:] for name in names if name.startswith(lib + ".so")})

import mirelo_utils as mu
print(loaded())
frame = sys.argv[1] + "/0000.png"
Image.fromarray(np.full((8, 8), 50, np.uint8)).save(frame)
try:
    mu.compute_motion_score_in_polygon([frame] * 6, {"Box0": np.ones((8, 8), bool)})
except ImportError as error:
    print("ImportError:", error)
else:
    print("read")
print(loaded())
"""


def run_motion(tmp_path, pythonpath):
    env = dict(os.environ, PYTHONPATH=str(pythonpath))
    run = subprocess.run([sys.executable, "-c", MOTION_SCRIPT, str(tmp_path), *CODEC_LIBRARIES],
                         capture_output=True, text=True, env=env, timeout=60)
    assert run.returncode == 0, run.stderr
    return run.stdout.splitlines()


def test_codec_libraries_load_with_the_first_operation_that_needs_them(tmp_path):
    at_import, outcome, after = run_motion(tmp_path, Path(mu.__file__).parent.parent)
    assert at_import == "[]"
    assert outcome == "read"
    if BUNDLED_BUILD:  # the wheel's media library carries OpenCV and libav inside it
        assert after == str(["libmirelo_media"])
    else:
        assert "libmirelo_media" in after and "libopencv_imgcodecs" in after and "libavformat" in after


def _truncated(data):
    return data[: len(data) // 3]


@pytest.mark.parametrize("change, reason", [(None, "No such file"),
                                            (lambda data: b"not a library" * 100, "invalid ELF header"),
                                            (_truncated, "the file is cut short")])
def test_a_missing_or_broken_media_library_is_an_import_error(tmp_path, change, reason):
    package = tmp_path / "site" / "mirelo_utils"
    original = Path(mu.__file__).parent / "libmirelo_media.so"
    shutil.copytree(Path(mu.__file__).parent, package, ignore=shutil.ignore_patterns("libmirelo_media.so"))
    if change is not None:
        (package / "libmirelo_media.so").write_bytes(change(original.read_bytes()))
    at_import, error, after = run_motion(tmp_path, tmp_path / "site")
    assert at_import == after == "[]"
    assert error.startswith("ImportError: cannot load libmirelo_media.so: ") and reason in error, error
