"""Mask overlays with boxes and labels on a frame with ten animal-shaped masks,
against the straightforward NumPy + Pillow version, side by side.

The baseline follows the drawing step by step: per mask a reseeded colour,
np.argwhere of its pixels, a vectorised set into an RGBA overlay,
Image.alpha_composite, then ImageDraw rectangles and text. When DejaVu Sans
is installed, both sides run in a scratch folder holding it as "arial.ttf",
so that the two results can be checked pixel for pixel.

    python bench/bench_drawing.py [--sizes 720x1090,1440x2180,2160x3270]
"""
import argparse
import os
import shutil
import tempfile

import cv2
import numpy as np
from PIL import Image, ImageDraw, ImageFont

import mirelo_utils as mu
from _harness import measure, row

DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"


def animal_masks(h, w, n=10, seed=0):
    """Filled ellipses of about 200 x 350 pixels (scaled with the frame)."""
    rng = np.random.default_rng(seed)
    s = h / 1440.0
    masks = []
    for _ in range(n):
        m = np.zeros((h, w), np.uint8)
        cx, cy = int(rng.integers(200 * s, w - 200 * s)), int(rng.integers(200 * s, h - 200 * s))
        cv2.ellipse(m, (cx, cy), (int(175 * s), int(100 * s)), float(rng.integers(0, 180)), 0, 360, 1, -1)
        masks.append(m.astype(bool))
    return masks


def baseline_draw_masks(image, masks):
    overlay = Image.new("RGBA", image.size, (255, 255, 255, 0))
    pixels = np.array(overlay)
    for index, mask in enumerate(masks):
        np.random.seed(index + 42)
        colour = tuple(np.random.randint(0, 256, 3)) + (128,)
        coords = np.argwhere(mask > 0)[:, [1, 0]]
        if len(coords):
            pixels[coords[:, 1], coords[:, 0]] = colour
    return Image.alpha_composite(image.convert("RGBA"), Image.fromarray(pixels, "RGBA"))


def baseline_img_bbx_drawing(image, mask_dict, layout):
    image = baseline_draw_masks(image, list(mask_dict.values()))
    draw = ImageDraw.Draw(image)
    for ii, (index, mask) in enumerate(mask_dict.items()):
        rows, cols = np.nonzero(mask)
        box = (int(cols.min()), int(rows.min()), int(cols.max()), int(rows.max())) if len(rows) else (0, 0, 0, 0)
        np.random.seed(ii + 42)
        colour = tuple(int(v) for v in np.random.randint(0, 256, 3))
        draw.rectangle(box, outline=colour, width=3)
        try:
            font = ImageFont.truetype("arial.ttf", 11, layout_engine=layout)
        except OSError:
            font = ImageFont.load_default()
        x1, y1, x2, y2 = draw.textbbox((box[0], box[1]), str(index), font=font)
        w, h = x2 - x1, y2 - y1
        draw.rectangle([box[0], box[1] - h - 4, box[0] + w + 4, box[1]], fill=colour)
        draw.text((box[0] + 2, box[1] - h - 4), str(index), fill="white", font=font)
    return image


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="720x1090,1440x2180,2160x3270")
    args = ap.parse_args()
    here = os.getcwd()
    scratch = tempfile.mkdtemp()
    same_font = os.path.exists(DEJAVU)
    if same_font:
        shutil.copy(DEJAVU, os.path.join(scratch, "arial.ttf"))
    os.chdir(scratch)
    layout = ImageFont.Layout.BASIC
    try:
        for size in args.sizes.split(","):
            h, w = map(int, size.split("x"))
            rng = np.random.default_rng(1)
            frame = Image.fromarray(rng.integers(0, 256, (h, w, 3), dtype=np.uint8))
            masks = animal_masks(h, w)
            md = {f"Box{i}": m for i, m in enumerate(masks)}
            print(f"== {h} x {w} RGB frame, 10 masks")

            lib = measure(lambda: mu.draw_masks_on_image(frame, masks))
            base = measure(lambda: baseline_draw_masks(frame, masks))
            assert np.array_equal(np.asarray(lib[2]), np.asarray(base[2]))
            row("draw_masks_on_image", lib, base)

            lib = measure(lambda: mu.img_bbx_drawing(frame, md))
            base = measure(lambda: baseline_img_bbx_drawing(frame, md, layout))
            if same_font:
                assert np.array_equal(np.asarray(lib[2]), np.asarray(base[2]))
            row("img_bbx_drawing", lib, base)

            floor = measure(lambda: frame.convert("RGBA"))
            print(f"{'':<34} lib / one frame.convert('RGBA'): {lib[0] / floor[0]:.2f}")

            crop = frame.crop((0, 0, min(w, 400), min(h, 300)))
            lib = measure(lambda: mu.enhance_dark_text(crop, 10))
            base = measure(lambda: baseline_enhance(crop, 10))
            assert np.array_equal(np.asarray(lib[2]), np.asarray(base[2]))
            row("enhance_dark_text (400 x 300 crop)", lib, base)
    finally:
        os.chdir(here)
        shutil.rmtree(scratch, ignore_errors=True)


def baseline_enhance(image_pil, gamma):
    image = cv2.cvtColor(np.array(image_pil), cv2.COLOR_RGB2BGR)
    gray = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    inv = 1.0 / gamma
    table = np.array([((i / 255.0) ** inv) * 255 for i in np.arange(0, 256)]).astype("uint8")
    return Image.fromarray(cv2.equalizeHist(cv2.LUT(gray, table)))


if __name__ == "__main__":
    main()
