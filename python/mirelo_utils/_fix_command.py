"""``python -m mirelo_utils fix ...``: corrections of identities in a clip
folder's annotation files from the command line (swap, relabel, merge, drop,
advice, undo, history, recover)."""

from __future__ import annotations

import argparse
import os
from typing import Any

from . import _corrections as fix
from ._support import console_text, option_type


_frame = option_type(int, "a frame number", 0, None, "a frame number of at least 0")
_object_id = option_type(int, "an object id (a whole number from 1)", 1, None,
                         "an object id from 1 (the mask key Box0 is object id 1)")


def add_parser(commands: Any) -> None:
    """Adds the fix command and its sub-commands to the command line."""
    p = commands.add_parser(
        "fix", help="correct identities in a clip's annotation files (swap, relabel, merge, drop, undo, history)",
        description="Edits the annotation files (output_pp_<frame>.json) of the clip folder CLIP, each edit all or "
        "nothing across the files and logged in CLIP/corrections.jsonl. Ids are the files' \"object_id\" values "
        "(the mask key Box<n> is object id n + 1); --from and --to are frame numbers of the file names, inclusive.")
    ops = p.add_subparsers(dest="fix_command", required=True, metavar="OPERATION")

    def op(name: str, help_text: str, description: str) -> argparse.ArgumentParser:
        q = ops.add_parser(name, help=help_text, description=description)
        q.add_argument("clip", metavar="CLIP", help="folder of the clip's annotation files")
        return q

    def ids(q: argparse.ArgumentParser, *names: tuple[str, str]) -> None:
        for name, what in names:
            q.add_argument(name.lower(), type=_object_id, metavar=name, help=what)

    def frames(q: argparse.ArgumentParser, required_from: bool = False) -> None:
        q.add_argument("--from", dest="from_frame", type=_frame, required=required_from, metavar="N",
                       help="first frame" + ("" if required_from else " (default: the clip's first)"))
        q.add_argument("--to", dest="to_frame", type=_frame, default=None, metavar="M",
                       help="last frame (default: the clip's last)")

    def durable(q: argparse.ArgumentParser) -> None:
        q.add_argument("--durable", action="store_true",
                       help="flush every step to the disk (survives a power loss; slower)")

    q = op("swap", "exchange two tracks' ids from a frame on",
           "Gives every detection of A the id B and every detection of B the id A in the frames --from N to --to M.")
    ids(q, ("A", "an object id"), ("B", "the other object id"))
    frames(q, required_from=True)
    durable(q)
    q = op("relabel", "give a track a new id", "Gives the detections of OLD the id NEW in the frames --from to --to; "
           "a frame that holds NEW already is refused (merge instead).")
    ids(q, ("OLD", "the track's id"), ("NEW", "its new id"))
    frames(q)
    durable(q)
    q = op("merge", "make two tracks of one animal one track",
           "Gives the detections of OTHER the id KEEP in every frame; frames holding both are refused unless "
           "--on-conflict says which detection to keep there.")
    ids(q, ("KEEP", "the id kept"), ("OTHER", "the id merged into it"))
    q.add_argument("--on-conflict", choices=("keep", "other", "union"), default=None,
                   help="in frames with both: KEEP's detection, OTHER's, or one detection of both outlines")
    durable(q)
    q = op("drop", "remove a track's detections", "Removes the detections of ID from the frames --from to --to.")
    ids(q, ("ID", "the track's id"))
    frames(q)
    durable(q)
    q = op("advice", "apply the swaps the identity-health page marks",
           "Judges the clip as the report command's page does and swaps each pair the page marks as swapped, "
           "from the first frame after its overlap episode to the clip's end, as one correction.")
    q.add_argument("--intersection-threshold", type=float, default=80, metavar="PCT",
                   help="percentage of a mask covered by another above which they overlap heavily (80)")
    q.add_argument("--min-episode-frames", type=int, default=2, metavar="N", help="shortest overlap episode (2)")
    durable(q)
    q = op("undo", "revert the newest correction not undone yet",
           "Gives the files the newest correction changed their bytes from before it back; repeated, steps back "
           "through the corrections.")
    durable(q)
    op("history", "list the clip's corrections", "Lists the corrections logged in CLIP/corrections.jsonl.")
    q = op("recover", "finish a correction a killed process left unfinished",
           "Finishes (or finishes rolling back) an interrupted correction of CLIP; readers and editors do it by "
           "themselves when they can write the folder.")
    q.add_argument("--abandon", action="store_true",
                   help="give up a correction that cannot be finished because a file changed since")


def _done(c: fix.Correction, clip: str) -> None:
    print(console_text(f"Correction {c.describe()}"))
    print(console_text(f"Logged in {os.path.join(clip, fix.LOG_NAME)}"))


def run(args: argparse.Namespace) -> int:
    """Runs the fix command; returns the exit code."""
    name, clip = args.fix_command, args.clip
    if name == "history":
        entries = fix.history(clip)
        if not entries:
            print(console_text(f"No corrections in {clip}."))
        for c in entries:
            status = (f" (undone by {c.undone_by})" if c.undone_by is not None else "")
            print(console_text(f"{c.time}  {c.describe()}{status}"))
        return 0
    if name == "recover":
        line = fix.recover_clip(clip, abandon=args.abandon)
        print(console_text(line or f"No unfinished correction in {clip}."))
        return 0
    if name == "advice":
        c = fix.apply_page_advice(clip, intersection_thrr=args.intersection_threshold,
                                  min_episode_frames=args.min_episode_frames, durable=args.durable)
        if c is None:
            print(console_text(f"The page marks no swapped identities in {clip}: nothing changed."))
            return 0
        _done(c, clip)
        return 0
    if name == "swap":
        c = fix.swap_identities(clip, args.a, args.b, args.from_frame, args.to_frame, durable=args.durable)
    elif name == "relabel":
        c = fix.relabel_track(clip, args.old, args.new, args.from_frame, args.to_frame, durable=args.durable)
    elif name == "merge":
        c = fix.merge_tracks(clip, args.keep, args.other, on_conflict=args.on_conflict, durable=args.durable)
    elif name == "drop":
        c = fix.drop_track(clip, args.id, args.from_frame, args.to_frame, durable=args.durable)
    else:
        c = fix.undo(clip, durable=args.durable)
    _done(c, clip)
    return 0
