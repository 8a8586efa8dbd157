"""Command-line pieces shared by the benchmarks. Nothing heavy is imported
here: a benchmark's child process measures its own imports.

Every benchmark imports this module first; it puts tests/ on the import
path, so that the straightforward versions the library is measured against
are imported from tests/reference, the same ones the tests check it against.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))


def sizes(text):
    """An argparse type: frame sizes written "HxW" (or "HxWxN", N frames),
    comma-separated, as tuples of ints."""
    return [tuple(int(v) for v in part.split("x")) for part in text.split(",")]


def size(text):
    """An argparse type: one frame size, "HxW" (or "HxWxN"), as a tuple."""
    return tuple(int(v) for v in text.split("x"))


def clip_parser(description=None, repeat=None):
    """The command line of a benchmark on a generated clip: --frames (600)
    and --size (1440x2180), and --repeat when a default is given."""
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--frames", type=int, default=600)
    ap.add_argument("--size", type=size, default=(1440, 2180))
    if repeat is not None:
        ap.add_argument("--repeat", type=int, default=repeat)
    return ap


def frame_sizes(default="720x1090,1440x2180,2160x3270"):
    """The command line of a benchmark whose one option is --sizes: the
    frame sizes to measure, as (h, w) tuples."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=sizes, default=default)
    return ap.parse_args().sizes


def parse_args(ap, child, nargs, metavar=None):
    """The command line of a benchmark that measures each side in a fresh
    process of its own, running this script again with the hidden option
    "--child" and `nargs` values: that call runs child(*values) and exits;
    any other returns the parsed arguments."""
    ap.add_argument("--child", nargs=nargs, metavar=metavar, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(*args.child)
        sys.exit(0)
    return args
