import os

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2", reason="opencv-python-headless is not installed (scripts/setup.sh installs it)")

ORANGE_BGR = (0, 128, 255)  # hue 15, full saturation and value


def frame_code_blocks(index, width, height):
    """A gray frame carrying `index` as 16 black/white 8 x 8 blocks in its top-left corner."""
    frame = np.full((height, width, 3), 100, np.uint8)
    for bit in range(16):
        x, y = (bit % 8) * 8, (bit // 8) * 8
        frame[y : y + 8, x : x + 8] = 255 if (index >> bit) & 1 else 0
    return frame


def read_code(image):
    """The frame index written by frame_code_blocks, read back from a (JPEG) image."""
    value = 0
    for bit in range(16):
        x, y = (bit % 8) * 8, (bit // 8) * 8
        if image[y + 2 : y + 6, x + 2 : x + 6].mean() > 128:
            value |= 1 << bit
    return value


def write_video(path, frames, width=160, height=90, fps=25, marker=None, marker_from=0):
    """An mp4v recording whose frame k carries k in code blocks; `marker` (x1, y1, x2, y2) is painted orange
    from frame `marker_from` on."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), fps, (width, height))
    assert writer.isOpened()
    for k in range(frames):
        frame = frame_code_blocks(k, width, height)
        if marker is not None and k >= marker_from:
            x1, y1, x2, y2 = marker
            frame[y1:y2, x1:x2] = ORANGE_BGR
        writer.write(frame)
    writer.release()
    return path


@pytest.fixture(scope="session")
def long_video(tmp_path_factory):
    """760 frames (0.5067 min) of 64 x 48 at 25 fps, no orange marker."""
    return write_video(str(tmp_path_factory.mktemp("videos") / "Camera7_1_20240115080000.mp4"), 760, 64, 48)


@pytest.fixture(scope="session")
def marker_video(tmp_path_factory):
    """40 frames of 320 x 180 with an orange marker at columns 250..269 (box (250, 20, 270, 160))."""
    return write_video(str(tmp_path_factory.mktemp("videos") / "Camera64_1_20240115063000.mp4"), 40, 320, 180,
                       marker=(250, 20, 270, 160))
