"""``python -m mirelo_utils export CLIP --format FORMAT OUT`` and
``python -m mirelo_utils import FILE OUT_DIR``: a tracked clip out to an
annotation tool's format and back into annotation files."""

from __future__ import annotations

import argparse
from typing import Any

from .._support import option_type
from . import FORMATS, export_tracks, import_tracks

COMMANDS = ("export", "import")


_tolerance = option_type(float, "a number", 0, 1, "a number from 0 to 1")
_pixels = option_type(float, "a number", 0, 1e6, "a number of pixels from 0 to 10^6")


def add_parsers(commands: Any) -> None:
    """Adds the export and import commands to the command line's sub-parsers."""
    e = commands.add_parser(
        "export", help="write a tracked clip for an annotation tool (CVAT, COCO, MOT, MOTS)",
        description="Writes the tracks of the clip whose annotation files (output_pp_<frame>.json) lie below CLIP "
        "into OUT: CVAT for video 1.1 XML (polygon tracks), COCO video JSON (RLE masks with track ids), "
        "MOTChallenge boxes or MOTS masks. Object n (mask key Box<n-1>) keeps its id in every format.")
    e.add_argument("clip", metavar="CLIP", help="folder of the clip's annotation files")
    e.add_argument("--format", required=True, choices=FORMATS, help="the file's format")
    e.add_argument("out", metavar="OUT", help="the file to write")
    e.add_argument("--tolerance", type=_tolerance, default=0.02, metavar="T",
                   help="cvat: share of an outline's pixels that may change before a new shape is written (0.02)")
    e.add_argument("--simplify", type=_pixels, default=1.0, metavar="PX",
                   help="cvat: pixels within which outlines are simplified; 0 keeps every traced point (1)")
    e.add_argument("--label", default="pig", help="the animals' label or category (pig)")
    e.add_argument("--frame-offset", type=int, default=None, metavar="N",
                   help="mot, mots: added to the frame numbers (1: the benchmarks count from 1)")
    i = commands.add_parser(
        "import", help="read a CVAT, COCO, MOT or MOTS file back into annotation files",
        description="Writes OUT_DIR/output_pp_<frame>.json for every frame of FILE (CVAT for video XML, COCO "
        "video JSON, MOTChallenge or MOTS), which open_clip loads. The records point at the frames in --frames "
        "DIR (names ending in the frame number), or at one blank image of the file's frame size written into "
        "OUT_DIR.")
    i.add_argument("file", metavar="FILE", help="the track file")
    i.add_argument("out_dir", metavar="OUT_DIR", help="folder of the annotation files (created when missing)")
    i.add_argument("--format", choices=FORMATS, default=None, help="the file's format (default: read from the file)")
    i.add_argument("--frames", metavar="DIR", default=None,
                   help="folder of the frames the clip was tracked on (MOTChallenge boxes need it)")
    i.add_argument("--frame-offset", type=int, default=None, metavar="N",
                   help="mot, mots: taken off the frame numbers (1)")
    i.add_argument("--class-name", default="pig", help="class_name of every detection (pig)")


def run(args: argparse.Namespace) -> int:
    """Runs the export or import command; returns the exit code."""
    from .._support import console_text

    if args.command == "export":
        summary = export_tracks(args.clip, args.out, args.format, tolerance=args.tolerance,
                                simplify=args.simplify, label=args.label,
                                frame_offset=args.frame_offset)
        print(f"Wrote {console_text(summary.path)}: {summary}")
        return 0
    summary = import_tracks(args.file, args.out_dir, args.format, frames=args.frames, frame_offset=args.frame_offset,
                            class_name=args.class_name)
    where = f"; every record points at {console_text(summary.image)}" if summary.image else ""
    print(f"Wrote {summary} to {console_text(summary.out_dir)}{where}")
    return 0
