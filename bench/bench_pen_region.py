"""VideoProcessor.find_orange_region against the OpenCV-Python version
(cvtColor to HSV, inRange, findContours; reference.ingest.opencv_orange_region), side
by side on pen scenes: a textured floor with fence posts, ten pinkish animals,
sensor noise and an orange marker post near the right edge. In the "marker"
scene the post is the only orange; in the "spread" scene a smaller orange
patch far left and orange specks all over the frame make the box of the
orange pixels nearly the whole frame. Boxes are compared; peak memory is that
of one call, each side in a fresh process.

    python bench/bench_pen_region.py [--sizes 720x1280,1440x2560,2160x3840] [--repeat 30]
"""
import argparse

from _args import size, sizes
from _harness import child_peak, measure


def pen_scene(h, w, spread, seed=7):
    import cv2
    import numpy as np

    rng = np.random.default_rng(seed)
    s = h / 1440.0
    frame = np.full((h, w, 3), (90, 110, 120), np.uint8)
    texture = cv2.GaussianBlur(rng.integers(0, 60, (h // 4, w // 4, 3), dtype=np.uint8), (0, 0), 2)
    frame = cv2.add(frame, cv2.resize(texture, (w, h)))
    for x in range(0, w, int(320 * s)):
        cv2.line(frame, (x, 0), (x, h), (60, 60, 60), max(1, int(6 * s)))
    for k in range(10):
        cx, cy = int((300 + k * 190) * s), int((400 + (k % 3) * 300) * s)
        cv2.ellipse(frame, (cx, cy), (int(110 * s), int(55 * s)), k * 30, 0, 360, (150, 170, 215), -1)
    mx = int(w * 0.88)
    cv2.rectangle(frame, (mx, int(300 * s)), (mx + int(60 * s), int(900 * s)), (0, 128, 255), -1)
    if spread:
        cv2.circle(frame, (int(w * 0.1), int(h * 0.85)), int(25 * s), (10, 140, 250), -1)
        for _ in range(20):
            x, y = int(rng.integers(0, w - 4)), int(rng.integers(0, h - 4))
            frame[y:y + 3, x:x + 3] = (20, 150, 240)
    cv2.add(frame, rng.integers(0, 6, (h, w, 3), dtype=np.uint8), dst=frame)
    return frame


def calls(h, w, scene):
    import mirelo_utils as mu
    from reference.ingest import opencv_orange_region

    frame = pen_scene(h, w, scene == "spread")
    processor = mu.VideoProcessor()
    return {"lib": lambda: processor.find_orange_region(frame), "base": lambda: opencv_orange_region(frame)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=sizes, default="720x1280,1440x2560,2160x3840")
    ap.add_argument("--repeat", type=int, default=30)
    ap.add_argument("--peak", nargs=3, metavar=("SIZE", "SCENE", "SIDE"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peak:
        h, w = size(args.peak[0])
        print(measure(calls(h, w, args.peak[1])[args.peak[2]], repeat=1)[1])
        return
    for scene in ("marker", "spread"):
        for h, w in args.sizes:
            fns = calls(h, w, scene)
            lib, base = measure(fns["lib"], args.repeat), measure(fns["base"], args.repeat)
            assert lib[2] == base[2], (lib[2], base[2])
            lm, bm = (child_peak(__file__, f"{h}x{w}", scene, side) for side in ("lib", "base"))
            print(f"{f'find_orange_region {scene} {w} x {h}':<38} lib {lib[0] * 1e3:6.2f} ms {lm:5.1f} MiB | "
                  f"baseline {base[0] * 1e3:6.2f} ms {bm:5.1f} MiB | speed-up {base[0] / lib[0]:5.2f}x")


if __name__ == "__main__":
    main()
