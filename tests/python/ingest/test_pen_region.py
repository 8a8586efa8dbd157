import os

import cv2
import numpy as np
import pytest

from reference.ingest import opencv_orange_region
from mirelo_utils import VideoProcessor

from .conftest import write_video


def hsv_pixel(h, s, v):
    return cv2.cvtColor(np.uint8([[[h, s, v]]]), cv2.COLOR_HSV2BGR)[0, 0]


def blobs(*rects, shape=(120, 200)):
    frame = np.zeros(shape + (3,), np.uint8)
    for x1, y1, x2, y2 in rects:
        frame[y1:y2, x1:x2] = (0, 128, 255)
    return frame


@pytest.mark.parametrize(
    "frame, expected",
    [
        (np.zeros((50, 60, 3), np.uint8), None),
        (blobs((10, 20, 30, 40)), (10, 20, 30, 40)),
        # areas about 500, 400 and 300: the rightmost (300) is not among the two largest
        (blobs((5, 5, 30, 26), (60, 5, 80, 26), (150, 5, 165, 26)), (60, 5, 80, 26)),
        (blobs((100, 5, 130, 26), (10, 5, 30, 26), (150, 5, 165, 26)), (100, 5, 130, 26)),
        # a one-pixel line has zero area and centroid x 0: the other blob wins
        (blobs((150, 0, 151, 100), (10, 5, 30, 26)), (10, 5, 30, 26)),
        (blobs((150, 0, 151, 100)), (150, 0, 151, 100)),
    ],
)
def test_orange_region(frame, expected):
    got = VideoProcessor().find_orange_region(frame)
    assert got == expected
    assert got == opencv_orange_region(frame)
    if got is not None:
        assert all(type(v) is int for v in got)


def test_random_scenes_match_reference(rng):
    for _ in range(20):
        frame = rng.integers(0, 256, (60, 90, 3), dtype=np.uint8)
        frame[rng.random((60, 90)) < 0.1] = (0, 140, 250)
        assert VideoProcessor().find_orange_region(frame) == opencv_orange_region(frame)


@pytest.mark.parametrize(
    "hsv, orange",
    [((10, 150, 150), True), ((25, 150, 150), True), ((17, 255, 255), True), ((9, 200, 200), False),
     ((26, 200, 200), False), ((17, 149, 200), False), ((17, 200, 149), False)],
)
def test_threshold_bounds(hsv, orange):
    bgr = hsv_pixel(*hsv)
    assert tuple(cv2.cvtColor(np.uint8([[bgr]]), cv2.COLOR_BGR2HSV)[0, 0]) == hsv  # the colour round-trips
    frame = np.zeros((10, 10, 3), np.uint8)
    frame[3:6, 4:7] = bgr
    assert (VideoProcessor().find_orange_region(frame) == (4, 3, 7, 6)) is orange


@pytest.mark.parametrize(
    "frame, error",
    [(np.zeros((10, 10), np.uint8), ValueError), (np.zeros((10, 10, 4), np.uint8), ValueError),
     (np.zeros((10, 10, 3), np.float32), TypeError), ("frame", TypeError)],
)
def test_orange_region_rejects_other_images(frame, error):
    with pytest.raises(error):
        VideoProcessor().find_orange_region(frame)


def test_strided_frame_is_read_in_place():
    frame = blobs((10, 20, 30, 40))
    assert VideoProcessor().find_orange_region(frame[:, ::-1]) == (170, 20, 190, 40)


def test_video_duration(tmp_path, capsys):
    path = write_video(str(tmp_path / "v.mp4"), 50, 64, 48)
    minutes = VideoProcessor().get_video_duration(path)
    assert minutes == pytest.approx(2 / 60) and type(minutes) is float
    assert capsys.readouterr().out == "Video FPS: 25.0\nTotal frames: 50.0\nVideo duration: 2.00 seconds\n"


def test_video_duration_of_missing_file(tmp_path, capsys):
    path = str(tmp_path / "missing.mp4")
    result = VideoProcessor().get_video_duration(path)
    assert result == 0 and type(result) is int
    assert capsys.readouterr().out == f"Error: Could not open video {path}\n"
    os.mkfifo(tmp_path / "fifo.mp4")  # never handed to the decoder, which would wait for a writer
    assert VideoProcessor().get_video_duration(str(tmp_path / "fifo.mp4")) == 0
    assert capsys.readouterr().out == f"Error: Could not open video: expected a regular file, got a FIFO: " \
        f"'{tmp_path / 'fifo.mp4'}'\n"
