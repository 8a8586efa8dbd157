"""Corrections of identities: swap_identities over a whole clip beside a
straightforward json.load / edit / json.dump loop over the same files.

    python bench/bench_corrections.py [--frames 600] [--size 1440x2180] [--repeat 5] [--durable]

The clip is the generated one of bench_open_clip.py (ten animals of
40-point outlines per frame, 4.6 MiB of compact JSON for 600 frames), copied
into a scratch folder. The library swaps ids 1 and 2 from frame 0 to the end
as one all-or-nothing edit: the files read, parsed and checked, the journal
written, each file replaced through a temporary renamed over it (no flush to
the disk unless --durable), the audit log appended; then an undo puts the
files back for the next round (not timed). The loop reads each file with
json.load, swaps the ids and writes it back in place with json.dumps (in one
write; json.dump itself writes piece by piece through the pure-Python
encoder, about ten times slower): not atomic, no journal, no log, and the
files come out reformatted.

Times are wall-clock (the work is mostly system calls), the fastest of
--repeat; peak memory is the growth of the resident set during one swap
(and its undo).
"""
import json
import os
import shutil
import tempfile
import time

from _args import clip_parser
from _harness import measure
from bench_open_clip import clip_folder


def python_swap(folder, files, a, b):
    for name in files:
        path = os.path.join(folder, name)
        with open(path) as f:
            doc = json.load(f)
        for det in doc["detections"]:
            if det.get("object_id") == a:
                det["object_id"] = b
            elif det.get("object_id") == b:
                det["object_id"] = a
        with open(path, "w") as f:
            f.write(json.dumps(doc))


def main():
    ap = clip_parser(repeat=5)
    ap.add_argument("--durable", action="store_true", help="flush every step to the disk")
    args = ap.parse_args()
    import mirelo_utils as mu

    h, w = args.size
    source = clip_folder(args.frames, h, w)
    files = sorted((n for n in os.listdir(source) if n.endswith(".json")), key=lambda n: int(n[10:-5]))
    size_mib = sum(os.path.getsize(os.path.join(source, n)) for n in files) / 2**20
    scratch = tempfile.mkdtemp(prefix="bench_corrections_", dir=os.path.dirname(source))
    results = {"lib": [], "undo": [], "ids 9 and 10": [], "python": []}
    try:
        lib_dir = os.path.join(scratch, "peak")
        shutil.copytree(source, lib_dir)
        _, lib_peak, _ = measure(lambda: mu.swap_identities(lib_dir, 1, 2, from_frame=0, durable=args.durable), 0)
        shutil.rmtree(lib_dir)
        # Each round edits fresh copies: a file system may treat files
        # rewritten again and again differently from files just written.
        for r in range(args.repeat):
            lib_dir, py_dir = os.path.join(scratch, f"lib{r}"), os.path.join(scratch, f"py{r}")
            shutil.copytree(source, lib_dir)
            shutil.copytree(source, py_dir)
            c, t = _timed(lambda: mu.swap_identities(lib_dir, 1, 2, from_frame=0, durable=args.durable))
            results["lib"].append(t)
            results["undo"].append(_timed(lambda: mu.undo(lib_dir, durable=args.durable))[1])
            results["ids 9 and 10"].append(
                _timed(lambda: mu.swap_identities(lib_dir, 9, 10, from_frame=0, durable=args.durable))[1])
            results["python"].append(_timed(lambda: python_swap(py_dir, files, 1, 2))[1])
            shutil.rmtree(lib_dir)
            shutil.rmtree(py_dir)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    best = {k: min(v) for k, v in results.items()}
    print(f"clip: {args.frames} frames of 10 animals at {h} x {w}, {len(files)} files, {size_mib:.1f} MiB"
          f"{', durable' if args.durable else ''}; fastest of {args.repeat} rounds on fresh copies")
    print(f"swap_identities 1 2 (all or nothing, logged) {best['lib'] * 1e3:8.1f} ms, peak {lib_peak:.1f} MiB "
          f"({len(c.files)} files changed)")
    print(f"  its undo                                   {best['undo'] * 1e3:8.1f} ms")
    print(f"swap_identities 9 10 (ids of 1 and 2 digits) {best['ids 9 and 10'] * 1e3:8.1f} ms")
    print(f"json.load / edit / json.dumps loop           {best['python'] * 1e3:8.1f} ms")
    print(f"ratio: {best['lib'] / best['python']:.2f}x the loop's time")


def _timed(fn):
    t = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - t


if __name__ == "__main__":
    main()
