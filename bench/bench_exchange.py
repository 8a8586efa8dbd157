"""A tracked clip exchanged with annotation tools: COCO video JSON with RLE
masks out and back beside pycocotools, CVAT for video XML's time, size and
shapes, and how closely the polygon tracks give the masks back.

    python bench/bench_exchange.py [--frames 600] [--size 1440x2180] [--repeat 3] [--no-scene]

The clip is bench_open_clip.py's (generated once into bench/out: ten
animals walking about the pen, each a 40-point outline of about 1.4 % of
the frame). Both sides run on one thread and are timed in CPU time of the
calling thread, the fastest of --repeat; memory is the growth of the
resident set during the first call.

- COCO export: export_tracks(clip, "coco") beside the straightforward way:
  pycocotools' encode of each dense mask (made Fortran-ordered, as encode
  needs), its area and box, and json.dump of the document. The dense masks
  are painted frame by frame outside the timing (the whole clip's would take
  18.8 GB).
- COCO import: read_tracks (the masks as runs) beside json.load and
  pycocotools' decode of every annotation into a dense mask; and
  import_tracks (annotation files written) beside decode, cv2.findContours
  and json.dump of each frame's annotation file.
- CVAT: export_tracks(clip, "cvat") with its defaults: time, size, tracks and
  shapes; read_tracks of it; the worst animal's IoU (its worst frame, and its
  mean over the frames) between the masks and the polygons read back, on
  the bench clip and on the main job's generated scene (examples/pen_scene.py
  through examples/pen_pipeline.py, run into bench/out once).
"""
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from _args import clip_parser
from _harness import measure

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
ROOT = os.path.dirname(HERE)


def dense_frames(clip):
    """(frame, [(object id, dense uint8 mask)]) per frame, painted on demand."""
    import numpy as np

    for k in clip:
        animals = clip.animals(k)
        yield clip[k]["frame_index"], [(int(key[3:]) + 1, np.asarray(m)) for key, m in animals.items()]


def pycocotools_export(clip, path, clock):
    """The straightforward COCO export: returns its CPU seconds (painting the
    dense masks left out)."""
    import numpy as np
    from pycocotools import mask as coco

    spent = 0.0
    images, annotations = [], []
    for i, (frame, masks) in enumerate(dense_frames(clip), start=1):
        t = clock()
        images.append({"id": i, "video_id": 1, "frame_id": frame, "file_name": "frame.jpg",
                       "height": clip.height, "width": clip.width})
        for ident, m in masks:
            rle = coco.encode(np.asfortranarray(m))
            rle["counts"] = rle["counts"].decode("ascii")
            annotations.append({"id": len(annotations) + 1, "image_id": i, "video_id": 1, "category_id": 1,
                                "track_id": ident, "instance_id": ident, "bbox": coco.toBbox(rle).tolist(),
                                "area": int(coco.area(rle)), "iscrowd": 0, "segmentation": rle})
        spent += clock() - t
    t = clock()
    doc = {"videos": [{"id": 1, "name": "clip", "width": clip.width, "height": clip.height}], "images": images,
           "annotations": annotations, "categories": [{"id": 1, "name": "pig"}]}
    with open(path, "w") as f:
        json.dump(doc, f)
    return spent + clock() - t


def pycocotools_read(path):
    """json.load and every annotation decoded into a dense mask."""
    from pycocotools import mask as coco

    with open(path) as f:
        doc = json.load(f)
    area = 0
    for a in doc["annotations"]:
        seg = dict(a["segmentation"], counts=a["segmentation"]["counts"].encode())
        area += int(coco.decode(seg).sum() > 0)
    return area


def python_import(path, out):
    """json.load, decode, cv2.findContours and json.dump of each frame's
    annotation file, as a script without the library would write them."""
    import cv2
    from pycocotools import mask as coco

    with open(path) as f:
        doc = json.load(f)
    frame_of = {im["id"]: im["frame_id"] for im in doc["images"]}
    by_frame = {}
    for a in doc["annotations"]:
        by_frame.setdefault(frame_of[a["image_id"]], []).append(a)
    for frame, anns in by_frame.items():
        detections = []
        for a in anns:
            seg = dict(a["segmentation"], counts=a["segmentation"]["counts"].encode())
            m = coco.decode(seg)
            h, w = m.shape
            contours, _ = cv2.findContours(m, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
            polygons = ["0 " + " ".join(f"{(x + 0.5) / w:.6f} {(y + 0.5) / h:.6f}" for x, y in c[:, 0])
                        for c in contours]
            box = [[int(v) for v in cv2.boundingRect(m)]] if contours else []
            detections.append({"object_id": a["track_id"], "class_name": "pig", "xyxy": box,
                               "formatted_polygon": polygons})
        with open(os.path.join(out, f"output_pp_{frame}.json"), "w") as f:
            json.dump({"image_path": "frame.png", "detections": detections}, f)


def polygon_fidelity(clip, xml_path):
    """(worst IoU of any mask, worst animal's mean IoU, identities kept)
    between the clip and the CVAT file read back."""
    import numpy as np

    import mirelo_utils as mu

    back = mu.read_tracks(xml_path)
    per_animal, worst, kept = {}, 1.0, True
    for k in clip:
        frame = clip[k]["frame_index"]
        for key, m in clip.animals(k).items():
            ident = int(key[3:]) + 1
            got = back.get(frame, {}).get(ident)
            kept &= got is not None
            if got is None:
                continue
            a, b = np.asarray(m).astype(bool), np.asarray(got).astype(bool)
            union = np.count_nonzero(a | b)
            iou = np.count_nonzero(a & b) / union if union else 1.0
            worst = min(worst, iou)
            per_animal.setdefault(ident, []).append(iou)
    mean = min(sum(v) / len(v) for v in per_animal.values())
    return worst, mean, kept


def scene_clips():
    """The annotation folders of the main job's quick run (made once)."""
    folder = os.path.join(OUT, "scene")
    done = os.path.join(folder, ".done")
    if not os.path.exists(done):
        print("running the main job on the generated scene ...", flush=True)
        # The package this benchmark imports (installed, or PYTHONPATH's).
        run = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "pen_pipeline.py"), "--out", folder],
                             capture_output=True, text=True)
        if run.returncode != 0:
            raise RuntimeError(f"the main job failed:\n{run.stdout[-2000:]}\n{run.stderr[-2000:]}")
        open(done, "w").close()
    found = sorted({os.path.dirname(p) for p in glob.glob(os.path.join(folder, "**", "output_pp_*.json"), recursive=True)})
    return found


def main():
    ap = clip_parser(__doc__.splitlines()[0], repeat=3)
    ap.add_argument("--no-scene", action="store_true", help="leave out the generated scene's fidelity")
    args = ap.parse_args()
    from bench_open_clip import clip_folder

    import mirelo_utils as mu

    h, w = args.size
    clip = mu.open_clip(clip_folder(args.frames, h, w))
    clock = time.thread_time
    scratch = tempfile.mkdtemp(prefix="bench_exchange_")
    try:
        ours_json = os.path.join(scratch, "ours.json")
        theirs_json = os.path.join(scratch, "theirs.json")
        print(f"clip: {len(clip)} frames x 10 animals at {h} x {w}; one thread, CPU time, best of {args.repeat}")

        lib = measure(lambda: mu.export_tracks(clip, ours_json, "coco", threads=1), args.repeat, clock)
        base_t = min(pycocotools_export(clip, theirs_json, clock) for _ in range(max(1, args.repeat - 1)))
        print(f"COCO export            lib {lib[0]:7.3f} s {lib[1]:7.1f} MiB | pycocotools encode + json.dump "
              f"{base_t:7.2f} s | speed-up {base_t / lib[0]:6.1f}x | {os.path.getsize(ours_json) / 2**20:.1f} MiB "
              f"(theirs {os.path.getsize(theirs_json) / 2**20:.1f} MiB)")
        export_lib, export_base = lib[0], base_t

        lib = measure(lambda: mu.read_tracks(ours_json), args.repeat, clock)
        base = measure(lambda: pycocotools_read(theirs_json), max(1, args.repeat - 1), clock)
        print(f"COCO read              lib {lib[0]:7.3f} s {lib[1]:7.1f} MiB | json.load + pycocotools decode "
              f"{base[0]:7.2f} s | speed-up {base[0] / lib[0]:6.1f}x")
        print(f"COCO export + read     lib {export_lib + lib[0]:7.3f} s | pycocotools {export_base + base[0]:7.2f} s | "
              f"speed-up {(export_base + base[0]) / (export_lib + lib[0]):6.1f}x")

        out_lib, out_base = os.path.join(scratch, "lib_files"), os.path.join(scratch, "py_files")
        os.makedirs(out_base)

        def import_lib():
            shutil.rmtree(out_lib, ignore_errors=True)
            return mu.import_tracks(ours_json, out_lib, threads=1)

        lib = measure(import_lib, args.repeat, clock)
        base = measure(lambda: python_import(theirs_json, out_base), 1, clock)
        print(f"COCO import to files   lib {lib[0]:7.3f} s {lib[1]:7.1f} MiB | decode + findContours + json.dump "
              f"{base[0]:7.2f} s | speed-up {base[0] / lib[0]:6.1f}x")

        xml = os.path.join(scratch, "tracks.xml")
        lib = measure(lambda: mu.export_tracks(clip, xml, "cvat", threads=1), args.repeat, clock)
        summary = lib[2]
        read = measure(lambda: mu.read_tracks(xml), args.repeat, clock)
        print(f"CVAT export            lib {lib[0]:7.3f} s {lib[1]:7.1f} MiB | {summary.bytes / 2**20:.1f} MiB, "
              f"{summary.tracks} tracks, {summary.shapes:,} shapes for {summary.animal_frames:,} animal-frames; "
              f"read back {read[0]:.3f} s")
        exact = os.path.join(scratch, "exact.xml")
        exact_summary = mu.export_tracks(clip, exact, "cvat", simplify=0, tolerance=0)
        print(f"CVAT exact outlines    {exact_summary.bytes / 2**20:.1f} MiB (simplify=0)")
        worst, mean, kept = polygon_fidelity(clip, xml)
        print(f"CVAT fidelity, bench clip: worst mask IoU {worst:.4f}, worst animal's mean {mean:.4f}, "
              f"identities kept: {kept}")
        if not args.no_scene:
            for folder in scene_clips():
                scene = mu.open_clip(folder)
                path = os.path.join(scratch, "scene.xml")
                s = mu.export_tracks(scene, path, "cvat")
                worst, mean, kept = polygon_fidelity(scene, path)
                print(f"CVAT fidelity, scene {os.path.relpath(folder, OUT)}: {len(scene)} frames, {s.shapes} shapes "
                      f"for {s.animal_frames} animal-frames; worst mask IoU {worst:.4f}, worst animal's mean "
                      f"{mean:.4f}, identities kept: {kept}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
