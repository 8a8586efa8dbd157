"""Mask overlays with boxes and labels on a frame with ten animal-shaped masks,
against the straightforward NumPy + Pillow version, side by side.

The baseline follows the drawing step by step: per mask a reseeded colour,
np.argwhere of its pixels, a vectorised set into an RGBA overlay,
Image.alpha_composite, then ImageDraw rectangles and text. When DejaVu Sans
is installed, both sides run in a scratch folder holding it as "arial.ttf",
so that the two results can be checked pixel for pixel.

Times come from this process. Peak memory comes from one call in a fresh
child process whose allocator maps every large block anew
(MALLOC_MMAP_THRESHOLD_), so blocks freed by earlier calls cannot hide it.

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
from _args import size, sizes
from _harness import animal_masks, child_peak, measure, row

DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
SCRIPT = os.path.abspath(__file__)


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


def inputs(h, w):
    rng = np.random.default_rng(1)
    frame = Image.fromarray(rng.integers(0, 256, (h, w, 3), dtype=np.uint8))
    masks = animal_masks(h, w)
    return frame, masks, {f"Box{i}": m for i, m in enumerate(masks)}


CALLS = {
    "lib draw": lambda f, m, d: mu.draw_masks_on_image(f, m),
    "base draw": lambda f, m, d: baseline_draw_masks(f, m),
    "lib bbx": lambda f, m, d: mu.img_bbx_drawing(f, d),
    "base bbx": lambda f, m, d: baseline_img_bbx_drawing(f, d, ImageFont.Layout.BASIC),
}


def with_peak(result, hw, name):
    return result[0], child_peak(SCRIPT, hw, name), result[2]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=sizes, default="720x1090,1440x2180,2160x3270")
    ap.add_argument("--peak", nargs=2, metavar=("SIZE", "CALL"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peak:
        h, w = size(args.peak[0])
        data = inputs(h, w)
        print(measure(lambda: CALLS[args.peak[1]](*data), repeat=1)[1])
        return
    here = os.getcwd()
    scratch = tempfile.mkdtemp()
    same_font = os.path.exists(DEJAVU)
    if same_font:
        shutil.copy(DEJAVU, os.path.join(scratch, "arial.ttf"))
    os.chdir(scratch)
    layout = ImageFont.Layout.BASIC
    try:
        for h, w in args.sizes:
            hw = f"{h}x{w}"
            frame, masks, md = inputs(h, w)
            print(f"== {h} x {w} RGB frame, 10 masks")

            lib = measure(lambda: mu.draw_masks_on_image(frame, masks))
            base = measure(lambda: baseline_draw_masks(frame, masks))
            assert np.array_equal(np.asarray(lib[2]), np.asarray(base[2]))
            row("draw_masks_on_image", with_peak(lib, hw, "lib draw"), with_peak(base, hw, "base draw"))

            lib = measure(lambda: mu.img_bbx_drawing(frame, md))
            base = measure(lambda: baseline_img_bbx_drawing(frame, md, layout))
            if same_font:
                assert np.array_equal(np.asarray(lib[2]), np.asarray(base[2]))
            row("img_bbx_drawing", with_peak(lib, hw, "lib bbx"), with_peak(base, hw, "base bbx"))

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
