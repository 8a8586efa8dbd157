"""Video ingest in one go: catalogue a pen recording and cut it into folders of cropped frames.

Usage:
    python examples/ingest_sample.py [RECORDING.mp4]

Without an argument a short sample recording is generated first: a pen floor
with an orange marker post and ten animal-like shapes moving about. The
recording is placed in examples/output/recordings/sub/ under a camera file
name (Camera64_1_20240115063000.mp4), listed with VideoMetadata, and cut by
VideoProcessor.process_videos_to_frames into windows of 1.2 seconds, keeping
every 5th frame of the pen left of the marker, resized to 360 pixels high.
The frames land in examples/output/frames/.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import time
from collections import Counter

from mirelo_utils import VideoMetadata, VideoProcessor, list_all_files

HERE = os.path.dirname(os.path.abspath(__file__))
OUTPUT = os.path.join(HERE, "output")

CAMERA_FILE = "Camera64_1_20240115063000.mp4"
CAMERA_NAME = re.compile(r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4")


def write_sample_recording(path, width=1280, height=720, fps=25, seconds=4):
    """A pen scene: floor texture, fence, an orange marker post and ten moving animals."""
    import cv2
    import numpy as np

    rng = np.random.default_rng(3)
    floor = np.full((height, width, 3), (95, 115, 125), np.uint8)
    texture = cv2.GaussianBlur(rng.integers(0, 40, (height // 4, width // 4, 3), dtype=np.uint8), (0, 0), 1.5)
    floor = cv2.add(floor, cv2.resize(texture, (width, height)))
    for x in range(0, width, 160):
        cv2.line(floor, (x, 0), (x, height), (70, 70, 70), 3)
    marker_x = int(width * 0.72)
    cv2.rectangle(floor, (marker_x, height // 6), (marker_x + 24, height * 5 // 6), (0, 128, 255), -1)

    animals = [(rng.uniform(140, marker_x - 120), rng.uniform(80, height - 80), rng.uniform(0, 6.28))
               for _ in range(10)]
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), fps, (width, height))
    if not writer.isOpened():
        raise RuntimeError(f"cannot write {path}")
    for i in range(fps * seconds):
        frame = floor.copy()
        for k, (x0, y0, phase) in enumerate(animals):
            t = i / fps
            x = int(x0 + 40 * np.sin(0.8 * t + phase))
            y = int(y0 + 25 * np.cos(0.6 * t + 2 * phase))
            angle = (np.degrees(phase) + 20 * np.sin(t + k)) % 180
            body = (int(60 + 4 * (k % 3)), 28)
            cv2.ellipse(frame, (x, y), body, angle, 0, 360, (160, 175, 220), -1)  # pink body
            head = (int(x + body[0] * np.cos(np.radians(angle))), int(y + body[0] * np.sin(np.radians(angle))))
            cv2.circle(frame, head, 18, (150, 165, 210), -1)
        writer.write(frame)
    writer.release()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("recording", nargs="?", help="an MP4 pen recording (a sample is generated when omitted)")
    args = ap.parse_args()

    start = time.perf_counter()
    if args.recording:
        args.recording = os.path.abspath(args.recording)
        if not os.path.isfile(args.recording):
            ap.error(f"no such file: {args.recording}")
        if args.recording.startswith(OUTPUT + os.sep):
            ap.error(f"give a recording outside {OUTPUT} (that folder is rebuilt on every run)")
    base_dir = os.path.join(OUTPUT, "recordings")
    frames_dir = os.path.join(OUTPUT, "frames")
    shutil.rmtree(base_dir, ignore_errors=True)
    shutil.rmtree(frames_dir, ignore_errors=True)
    os.makedirs(os.path.join(base_dir, "sub"))

    if args.recording:
        name = os.path.basename(args.recording)
        target = os.path.join(base_dir, "sub", name if CAMERA_NAME.match(name) else CAMERA_FILE)
        os.symlink(args.recording, target)
        print(f"Using {args.recording} as {target}")
    else:
        target = os.path.join(base_dir, "sub", CAMERA_FILE)
        write_sample_recording(target)
        print(f"Generated sample recording {target}")

    print("\n== Video table ==")
    metadata = VideoMetadata(base_dir=base_dir, sub_dirs=["sub"], sample_step=1)
    table = metadata.get_filtered_video_dataframe()
    print(table.to_string())

    print("\n== Frame extraction ==")
    processor = VideoProcessor(resize_dim=(640, 360), frame_skip=5, time_step=0.02, output_dir_base=frames_dir,
                               left_crop=True)
    processor.process_videos_to_frames(table)

    images = list_all_files(frames_dir, ".jpg")
    per_window = Counter(os.path.dirname(p) for p in images)
    print("\n== Result ==")
    print(f"Crop window cache: {processor.camera_crop_coords}")
    for folder, count in sorted(per_window.items()):
        print(f"  {count:3d} images in {os.path.relpath(folder, HERE)}")
    print(f"{len(images)} frames written under {frames_dir} in {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
