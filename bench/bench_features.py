"""Appearance vectors of ten animal masks, and the overlap-episode analysis of
a 600-frame clip, against the straightforward Pillow + torch versions, with an
image encoder double that answers at once.

    python bench/bench_features.py [--sizes 720x1090,1440x2180] [--clip-size 720x1090]
"""
import argparse
import os
import tempfile
import time

import cv2
import numpy as np
import pandas as pd
import torch
import torch.nn.functional as F
from PIL import Image

import mirelo_utils as mu
from _args import size, sizes
from _harness import animal_masks, measure, row


class Encoder:
    device = torch.device("cpu")

    def __init__(self, delay=0.0):
        self.delay = delay
        self.calls = 0

    def image_encoder(self, x):
        self.calls += 1
        if self.delay:
            time.sleep(self.delay)
        return {"vision_features": x[:, :1, :4, :4].expand(1, 256, 4, 4)}


class Predictor:
    def __init__(self, delay=0.0):
        self.model = Encoder(delay)

    def set_image(self, image):
        self.image = image


def enhance_dark_text(image_pil, gamma):
    image = cv2.cvtColor(np.array(image_pil), cv2.COLOR_RGB2BGR)
    gray = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    table = np.array([((i / 255.0) ** (1.0 / gamma)) * 255 for i in np.arange(0, 256)]).astype("uint8")
    return Image.fromarray(cv2.equalizeHist(cv2.LUT(gray, table)))


def straightforward_features(image, masks, predictor):
    image_np = np.array(image.convert("RGB"))
    predictor.set_image(image_np)
    features = []
    for mask in masks:
        y_indices, x_indices = np.where(mask > 0)
        if len(y_indices) == 0 or len(x_indices) == 0 or np.count_nonzero(mask) < 10:
            features.append(None)
            continue
        x1, x2, y1, y2 = x_indices.min(), x_indices.max(), y_indices.min(), y_indices.max()
        pig_crop = image.crop((x1, y1, x2, y2))
        mask_cropped = Image.fromarray((mask[y1:y2, x1:x2] * 255).astype(np.uint8))
        pig_crop = enhance_dark_text(pig_crop.convert("RGB"), gamma=10)
        mask_cropped = mask_cropped.resize(pig_crop.size)
        black = Image.new("RGB", pig_crop.size, (0, 0, 0))
        overlay = Image.composite(pig_crop, black, mask_cropped.convert("1"))
        t = torch.from_numpy(np.array(overlay)).permute(2, 0, 1).float().div(255).unsqueeze(0)
        t = F.interpolate(t, size=(256, 256), mode="bilinear", align_corners=False, antialias=True)
        with torch.no_grad():
            emb = predictor.model.image_encoder(t)["vision_features"]
            features.append(emb.mean(dim=[2, 3]).squeeze(0))
    return features


def straightforward_overlap_frames(df, data, predictor):
    """The overlap analysis written the straightforward way (features per
    comparison, images opened per comparison)."""
    groups = {}
    for pair, g in df.groupby("Box Pair"):
        frames = sorted(g["Frame ID"])
        runs, cur = [], [frames[0]]
        for a, b in zip(frames, frames[1:]):
            if b == a + 1:
                cur.append(b)
            else:
                runs.append(cur)
                cur = [b]
        runs.append(cur)
        runs = [r for r in runs if len(r) >= 2]
        if runs:
            groups[pair] = runs
    counts = df.groupby("Frame ID").size()
    test_frame = min(min(counts[[f for r in v for f in r]].index) for v in groups.values())
    boxes = sorted({b for k in groups for b in k.split("-")})
    worst = []
    for m in range(test_frame - 5, test_frame):
        n = m + 1
        if n < 0 or n >= len(data) or m < 0:
            continue
        old = np.stack([data[m]["masks_dict"][k] for k in boxes]).astype(np.float32)
        new = np.stack([data[n]["masks_dict"][k] for k in boxes]).astype(np.float32)
        f_old = straightforward_features(Image.open(data[m]["image_path"]), old, predictor)
        f_new = straightforward_features(Image.open(data[n]["image_path"]), new, predictor)
        scores = []
        for i in range(len(boxes)):
            a, b = old[i] > 0, new[i] > 0
            iou = np.logical_and(a, b).sum() / (np.logical_or(a, b).sum() + 1e-6)
            cos = float(torch.nn.functional.cosine_similarity(f_old[i], f_new[i], dim=0))
            scores.append((1 - cos) + (1 - iou))
        worst.append(boxes[int(np.argmax(scores))])
    return test_frame, worst


def clip_on_disk(folder, h, w, frames=600):
    rng = np.random.default_rng(3)
    image = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    masks = animal_masks(h, w, seed=4)
    moving = [np.roll(masks[3], 2 * s, axis=1) for s in range(3)]  # Box3 jitters
    data = {}
    for f in range(frames):
        path = os.path.join(folder, f"{f:05d}.jpg")
        if 280 <= f <= 310:  # only the frames the analysis reads need a file
            Image.fromarray(np.roll(image, f, axis=1)).save(path, quality=90)
        data[f] = {"masks_dict": {f"Box{k}": moving[f % 3] if k == 3 else m for k, m in enumerate(masks)},
                   "image_path": path}
    rows = [(f, "Box3-Box5") for f in range(300, 320)]
    return pd.DataFrame(rows, columns=["Frame ID", "Box Pair"]), data


def main():
    # One thread for torch on both sides: its thread pool makes the resize
    # timings erratic on a busy machine.
    torch.set_num_threads(1)
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=sizes, default="720x1090,1440x2180")
    ap.add_argument("--clip-size", type=size, default="720x1090")
    args = ap.parse_args()
    for h, w in args.sizes:
        image = Image.fromarray(np.random.default_rng(0).integers(0, 256, (h, w, 3), dtype=np.uint8))
        masks = animal_masks(h, w)
        print(f"== {h} x {w}, 10 animal masks, encoder double answering at once")
        lib = measure(lambda: mu.generate_sam2_image_features(image, masks, Predictor()))
        base = measure(lambda: straightforward_features(image, masks, Predictor()), repeat=3)
        for a, b in zip(lib[2], base[2]):
            torch.testing.assert_close(a, b, rtol=0, atol=1e-6)
        row("generate_sam2_image_features", lib, base)

        def one_pass_and_crops():
            rgb = np.asarray(image)
            out = []
            for m in masks:
                ys = np.flatnonzero(m.any(axis=1))
                xs = np.flatnonzero(m.any(axis=0))
                out.append(np.ascontiguousarray(rgb[ys[0]:ys[-1], xs[0]:xs[-1]]))
            return out

        floor = measure(one_pass_and_crops)
        print(f"{'':<34} lib / (one pass over the masks + the crops): {lib[0] / floor[0]:.2f}")

    h, w = args.clip_size
    with tempfile.TemporaryDirectory() as folder:
        df, data = clip_on_disk(folder, h, w)
        print(f"== process_overlap_frames: 600-frame clip of {h} x {w}, one episode of Box3-Box5, 10 masks a frame")
        import contextlib
        import io

        for delay in (0.0, 0.02):
            pred = Predictor(delay)
            with contextlib.redirect_stdout(io.StringIO()):
                lib = measure(lambda: mu.process_overlap_frames(df, data, pred), repeat=2)
                base = measure(lambda: straightforward_overlap_frames(df, data, Predictor(delay)), repeat=1)
            assert lib[2][0] == base[2][0] and lib[2][3] == base[2][1], (lib[2], base[2])
            calls = pred.model.calls // 3
            encoder = calls * delay
            label = f"encoder {delay * 1e3:.0f} ms a call"
            row(label, lib, base)
            if delay:
                print(f"{'':<34} {calls} encoder calls, {encoder * 1e3:.0f} ms in the encoder: library share "
                      f"{(lib[0] - encoder) / lib[0]:.0%} of the call")


if __name__ == "__main__":
    main()
