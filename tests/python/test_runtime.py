"""Long calls release the GIL and stop on Ctrl-C; the package imports lightly."""
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import mirelo_utils as mu


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
            "print(sorted(m for m in ('torch', 'pandas', 'matplotlib', 'seaborn', 'PIL', 'numpy', 'importlib.metadata') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
