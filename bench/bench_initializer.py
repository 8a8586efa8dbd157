"""First-frame search over 30 candidate JPEG frames with 12 detections each,
against a straightforward Python version (PIL, NumPy, pure-Python polygon
clipping, a pandas intersection table), with instant model doubles.

Frames 0..28 each hold one duplicated animal (11 distinct, rejected as too
few); frame 29 holds 12 distinct animals and is accepted. The figure that
matters is the library's own time (doubles excluded) against the time it
takes just to decode the 30 JPEGs.

Peak memory is the growth of the resident set during one call, measured in
a fresh child process (whose allocator maps every large block anew,
MALLOC_MMAP_THRESHOLD_) on the same frames and doubles.

    python bench/bench_initializer.py [--sizes 720x1090,1440x2180] [--frames 30] [--dtype bool]
"""
import argparse
import contextlib
import io
import json
import os
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np
import torch
from PIL import Image, ImageDraw

import mirelo_utils as mu
from _args import size, sizes
from _harness import _status, measure
from reference.measures import numpy_intersection_table

SCRIPT = os.path.abspath(__file__)
PYTHONPATH = os.pathsep.join(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)

DOUBLES = [0.0]  # seconds spent inside the model doubles


class timed:
    def __enter__(self):
        self.t = time.perf_counter()

    def __exit__(self, *exc):
        DOUBLES[0] += time.perf_counter() - self.t


class Batch(dict):
    @property
    def input_ids(self):
        return self["input_ids"]

    def to(self, device):
        return self


class Processor:
    def __init__(self, per_frame):
        self.per_frame = per_frame  # file name -> detector result

    def __call__(self, images, text, return_tensors):
        with timed():
            self.current = self.per_frame[os.path.basename(images.filename)]
            return Batch(input_ids=torch.tensor([[1]]))

    def post_process_grounded_object_detection(self, outputs, input_ids, text_threshold, target_sizes):
        with timed():
            return [self.current]


class Model:
    def __call__(self, **kwargs):
        return None


class Predictor:
    def __init__(self, answers):
        self.answers = answers  # first box's x_min -> precomputed (masks, scores, logits)

    def set_image(self, image):
        pass

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        with timed():
            return self.answers[float(box[-1][0])]


def write_frames(folder, h, w, frames):
    """Textured JPEG frames."""
    rng = np.random.default_rng(0)
    yy, xx = np.mgrid[0:h, 0:w]
    base = np.stack([xx * 255 // w, yy * 255 // h, (xx // 7 + yy // 5) % 256], -1).astype(np.uint8)
    for f in range(frames):
        img = cv2.GaussianBlur(base + rng.integers(0, 60, base.shape, dtype=np.uint8), (5, 5), 0)
        Image.fromarray(img).save(os.path.join(folder, f"frame_{f}.jpg"), quality=90)


def make_clip(folder, h, w, frames, dtype):
    """The frames' names, a pen polygon, and the doubles with their answers."""
    names = [os.path.join(folder, f"frame_{f}.jpg") for f in range(frames)]
    pen = os.path.join(folder, "pen.json")
    m = 0.03
    pts = [[w * m, h * m], [w * 0.5, h * 0.01], [w * (1 - m), h * m], [w * (1 - m), h * (1 - m)],
           [w * 0.5, h * 0.9], [w * m, h * (1 - m)]]  # not convex
    with open(pen, "w") as fh:
        json.dump({"shapes": [{"label": "pen", "points": pts}]}, fh)

    s = h / 1440.0
    bw, bh = 330 * s, 250 * s
    grid = [(w * (0.1 + 0.22 * c), h * (0.12 + 0.27 * r)) for r in range(3) for c in range(4)]

    def boxes_and_masks(duplicate, shift):
        boxes = [(x + shift, y, x + shift + bw, y + bh) for x, y in grid]
        if duplicate:  # the last animal detected twice, a few pixels apart
            x0, y0, x1, y1 = boxes[10]
            boxes[11] = (x0 + 6 * s, y0 + 4 * s, x1 + 6 * s, y1 + 4 * s)
            boxes.sort(key=lambda b: (b[1], b[0]))
        masks = np.zeros((12, 1, h, w), dtype)
        for k, (x0, y0, x1, y1) in enumerate(boxes):
            m = np.zeros((h, w), np.uint8)
            cv2.ellipse(m, (int((x0 + x1) / 2), int((y0 + y1) / 2)), (int(bw / 2), int(bh / 2)), 0, 0, 360, 1, -1)
            masks[k, 0] = m
        result = {"scores": torch.linspace(0.9, 0.6, 12), "labels": ["pig"] * 12,
                  "boxes": torch.tensor(boxes, dtype=torch.float32)}
        answer = (masks, np.ones((12, 1), np.float32), np.zeros((12, 1, 256, 256), np.float32))
        return result, answer

    per_frame, answers = {}, {}
    dup = boxes_and_masks(True, 0.0)
    clean = boxes_and_masks(False, 1.0)
    for f, p in enumerate(names):
        result, answer = clean if f == frames - 1 else dup
        per_frame[os.path.basename(p)] = result
        answers[float(result["boxes"][-1][0])] = answer
    return names, pen, Processor(per_frame), Predictor(answers)


# ---------------------------------------------------------------- baseline --


def clip_polygon_to_box(poly, x0, y0, x1, y1):
    """Sutherland-Hodgman clipping of a polygon to an axis-aligned box."""
    def clip(pts, inside, cut):
        out = []
        for i in range(len(pts)):
            cur, prev = pts[i], pts[i - 1]
            if inside(cur):
                if not inside(prev):
                    out.append(cut(prev, cur))
                out.append(cur)
            elif inside(prev):
                out.append(cut(prev, cur))
        return out

    def at_x(x):
        return lambda p, q: (x, p[1] + (q[1] - p[1]) * (x - p[0]) / (q[0] - p[0]))

    def at_y(y):
        return lambda p, q: (p[0] + (q[0] - p[0]) * (y - p[1]) / (q[1] - p[1]), y)

    pts = list(poly)
    for inside, cut in ((lambda p: p[0] >= x0, at_x(x0)), (lambda p: p[0] <= x1, at_x(x1)),
                        (lambda p: p[1] >= y0, at_y(y0)), (lambda p: p[1] <= y1, at_y(y1))):
        pts = clip(pts, inside, cut)
        if not pts:
            return []
    return pts


def area(pts):
    return abs(sum(pts[i - 1][0] * p[1] - p[0] * pts[i - 1][1] for i, p in enumerate(pts))) / 2


def python_initializer(video_dir, frame_names, processor, grounding_model, device, image_predictor,
                       start_index=0, step=10, gdino_thr=0.25, close_set_num=10, custom_pen_json_path=None):
    text = "pig."
    pen_json_path = custom_pen_json_path
    print(f"Using pen JSON path: {pen_json_path}")
    for ann_frame_idx in range(start_index, len(frame_names), step):
        image = Image.open(frame_names[ann_frame_idx])
        inputs = processor(images=image, text=text, return_tensors="pt").to(device)
        with torch.no_grad():
            outputs = grounding_model(**inputs)
        results = processor.post_process_grounded_object_detection(
            outputs, inputs.input_ids, text_threshold=gdino_thr, target_sizes=[image.size[::-1]])
        r = results[0]
        scores, labels, boxes = r["scores"].cpu().numpy(), np.array(r["labels"]), r["boxes"].cpu().numpy()
        order = np.lexsort((boxes[:, 0], boxes[:, 1]))
        boxes, scores, labels = boxes[order], scores[order], labels[order]
        keep = labels == "pig" if np.any(labels == "pig") else np.ones(len(labels), bool)
        input_boxes, gdino_scores, gdino_labels = boxes[keep], scores[keep], labels[keep]
        if len(input_boxes) == 0:
            print(f"No boxes found in frame {ann_frame_idx}. Skipping to next frame.")
            continue
        with open(pen_json_path) as fh:
            pen = [tuple(p) for p in json.load(fh)["shapes"][0]["points"]]
        ratios = [area(clip_polygon_to_box(pen, *b[:4])) / ((b[2] - b[0]) * (b[3] - b[1])) * 100 for b in input_boxes]
        in_pen = np.array([x >= 40 for x in ratios])
        input_boxes, gdino_scores, gdino_labels = input_boxes[in_pen], gdino_scores[in_pen], gdino_labels[in_pen]
        height = image.size[1]
        box_areas = (input_boxes[:, 2] - input_boxes[:, 0]) * (input_boxes[:, 3] - input_boxes[:, 1])
        upper = input_boxes[:, 1] < 0.5 * height
        ok = np.where(upper, box_areas < 1500000, box_areas < 4000000)
        input_boxes, gdino_scores, gdino_labels = input_boxes[ok], gdino_scores[ok], gdino_labels[ok]
        if len(input_boxes) == 0:
            print(f"ann_frame_idx [{ann_frame_idx}] cannot work, too few bbx found..\n")
            continue
        image_predictor.set_image(np.array(image.convert("RGB")))
        masks, scores_, logits = image_predictor.predict(point_coords=None, point_labels=None, box=input_boxes,
                                                          multimask_output=False)
        masks = masks[None] if masks.ndim == 3 else masks.squeeze(1)
        masks_dict = {f"Box{i}": m for i, m in enumerate(masks)}
        masks_areas = {k: int(np.count_nonzero(m)) for k, m in masks_dict.items()}
        intersections_df = numpy_intersection_table(masks_dict, masks_areas)
        removed_ixs = []
        for rk in intersections_df.index:
            for ck in intersections_df.columns:
                if intersections_df.loc[rk, ck] > 8:
                    i, j = int(rk[3:]), int(ck[3:])
                    removed_ixs.append(j if gdino_scores[i] > gdino_scores[j] else i)
                    removed_ixs = list(set(removed_ixs))
        boxkeys = np.array([k for k in range(len(input_boxes)) if k not in removed_ixs])
        print(f"Boxes will be kept: {boxkeys}, totally {len(boxkeys)} keys")
        masks, gdino_scores, objects = masks[boxkeys], gdino_scores[boxkeys], gdino_labels[boxkeys]
        masks_dict = {f"Box{i}": m for i, m in enumerate(masks)}
        if len(boxkeys) == close_set_num:
            print(f"ann_frame_idx [{ann_frame_idx}] works!!!")
            print(gdino_scores)
            return masks, objects, ann_frame_idx, pil_box_drawing(image.copy(), masks_dict)
        if len(boxkeys) > close_set_num:
            print(f"ann_frame_idx [{ann_frame_idx}] cannot work, too many bbx found..\n")
            pil_box_drawing(image.copy(), masks_dict)
        else:
            print(f"ann_frame_idx [{ann_frame_idx}] cannot work, too few bbx found..\n")
    return None, None, None, None


def pil_box_drawing(image, masks_dict):
    overlay = np.zeros((image.size[1], image.size[0], 4), np.uint8)
    for k, m in enumerate(masks_dict.values()):
        np.random.seed(k + 42)
        overlay[m > 0] = (*np.random.randint(0, 256, 3), 128)
    out = Image.alpha_composite(image.convert("RGBA"), Image.fromarray(overlay))
    draw = ImageDraw.Draw(out)
    for k, (key, m) in enumerate(masks_dict.items()):
        ys, xs = np.nonzero(m)
        np.random.seed(k + 42)
        draw.rectangle([xs.min(), ys.min(), xs.max(), ys.max()], outline=tuple(np.random.randint(0, 256, 3)), width=3)
        draw.text((xs.min() + 2, ys.min() - 14), key, fill="white")
    return out


def calls(folder, h, w, frames, dtype):
    names, pen, proc, pred = make_clip(folder, h, w, frames, np.dtype(dtype))
    kw = dict(step=1, close_set_num=12, custom_pen_json_path=pen)

    def lib():
        DOUBLES[0] = 0.0
        with contextlib.redirect_stdout(io.StringIO()):
            out = mu.initializer("clip", names, proc, Model(), "cpu", pred, **kw)
        return out, DOUBLES[0]

    def base():
        DOUBLES[0] = 0.0
        with contextlib.redirect_stdout(io.StringIO()):
            out = python_initializer("clip", names, proc, Model(), "cpu", pred, **kw)
        return out, DOUBLES[0]

    def decode():
        return [Image.open(p).load() for p in names]

    return {"lib": lib, "base": base, "decode": decode, "names": names}


def child_peak(folder, h, w, frames, dtype, name):
    """Peak MiB of one call, measured in a fresh process."""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072", PYTHONPATH=PYTHONPATH)
    args = [sys.executable, SCRIPT, "--peak", folder, f"{h}x{w}", str(frames), dtype, name]
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True)
    return float(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=sizes, default="720x1090,1440x2180")
    ap.add_argument("--frames", type=int, default=30)
    ap.add_argument("--dtype", default="bool", help="element type of the predictor's masks")
    ap.add_argument("--peak", nargs=5, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peak:
        folder, hw, frames, dtype, name = args.peak
        h, w = size(hw)
        fn = calls(folder, h, w, int(frames), dtype)[name]
        base = _status("VmRSS")
        fn()
        print(max(_status("VmHWM") - base, 0.0))
        return
    for h, w in args.sizes:
        with tempfile.TemporaryDirectory() as folder:
            write_frames(folder, h, w, args.frames)
            c = calls(folder, h, w, args.frames, args.dtype)
            decode = measure(c["decode"])
            to_array = measure(lambda: [np.asarray(Image.open(p)) for p in c["names"]])
            lt, _, (lres, ldoubles) = measure(c["lib"])
            bt, _, (bres, bdoubles) = measure(c["base"], repeat=1)
            assert lres[2] == bres[2] == args.frames - 1
            np.testing.assert_array_equal(lres[0], bres[0])
            assert lres[1].tolist() == bres[1].tolist()
            lm = child_peak(folder, h, w, args.frames, args.dtype, "lib")
            bm = child_peak(folder, h, w, args.frames, args.dtype, "base")
            lib_only, base_only = lt - ldoubles, bt - bdoubles
            print(f"== {h} x {w}, {args.frames} candidate frames, 12 boxes each, {args.dtype} masks")
            print(f"JPEG decode floor (PIL load)     {decode[0] * 1e3:9.1f} ms   (decode to an array: "
                  f"{to_array[0] * 1e3:.1f} ms, load {os.getloadavg()[0]:.2f})")
            print(f"initializer, library side        {lib_only * 1e3:9.1f} ms {lm:8.1f} MiB peak | "
                  f"/ floor {lib_only / decode[0]:5.2f}")
            print(f"Python version, library side     {base_only * 1e3:9.1f} ms {bm:8.1f} MiB peak | "
                  f"speed-up {base_only / lib_only:5.1f}x")


if __name__ == "__main__":
    main()
