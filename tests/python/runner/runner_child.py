"""The command line run in a forked process of the kill test: its output
to a log file, its exit status the command's. Imported by the fork server
before it forks: it draws a figure once, so that the forked runs find
matplotlib's fonts and caches ready, as a long-running process would."""
import io
import os
import sys

from matplotlib.figure import Figure

_figure = Figure(figsize=(4, 3), dpi=80)
_axes = _figure.subplots(2, 2, sharex=True)
_axes[0, 0].plot([0, 1], [1, 0])
_axes[0, 0].set_title("warm-up")
_figure.savefig(io.BytesIO(), format="png")


def track(config, log):
    with open(log, "w") as f:
        os.dup2(f.fileno(), 1)
        os.dup2(f.fileno(), 2)
    sys.stdout = open(1, "w", closefd=False)
    sys.stderr = open(2, "w", closefd=False)
    from mirelo_utils.__main__ import main

    code = main(["track", config])
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(code)
