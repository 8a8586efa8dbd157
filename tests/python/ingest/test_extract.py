import contextlib
import io
import os
import signal

import cv2
import numpy as np
import pandas as pd
import pytest

from mirelo_utils import VideoProcessor, list_all_files

from .conftest import read_code, write_video

COLUMNS = ["Camera Number", "Date", "Time", "File Path", "Video Name"]


def table(*paths, camera="64", date="20240115"):
    return pd.DataFrame(
        [[camera, date, "08:00:00", p, os.path.basename(p)[:-4]] for p in paths], columns=COLUMNS)


def jpgs(folder):
    return sorted(f for f in os.listdir(folder)) if os.path.isdir(folder) else []


def codes(folder):
    return [read_code(cv2.imread(os.path.join(folder, f))) for f in jpgs(folder)]


def test_windows_of_a_run_and_the_rerun(long_video, tmp_path, capsys):
    vp = VideoProcessor(output_dir_base=str(tmp_path), crop=False)
    vp.process_videos_to_frames(table(long_video, date="d"))
    root = os.path.join(str(tmp_path), "d", "Camera7_1_20240115080000")
    windows = ["0min_to_0.1min", "0.1min_to_0.2min", "0.2min_to_0.30000000000000004min",
               "0.30000000000000004min_to_0.4min", "0.4min_to_0.5min", f"0.5min_to_{760 / 25 / 60}min"]
    assert sorted(os.listdir(root)) == sorted(windows)
    counts = [len(jpgs(os.path.join(root, w, "right_cropped_frames"))) for w in windows]
    assert counts == [150, 150, 151, 88, 150, 9]
    # the image saved under index start_frame + k is the file's frame start_frame + 1 + k
    assert codes(os.path.join(root, windows[0], "right_cropped_frames"))[:3] == [1, 2, 3]
    assert codes(os.path.join(root, windows[3], "right_cropped_frames"))[:2] == [513, 514]
    out = capsys.readouterr().out.splitlines()
    assert out[:3] == ["Video FPS: 25.0", "Total frames: 760.0", "Video duration: 30.40 seconds"]
    assert out[3:5] == ["Processing frame 0 (saved as 0000.jpg)", "Processing frame 1 (saved as 0001.jpg)"]
    assert "Processing frame 450.00000000000006 (saved as 0150.jpg)" not in out
    assert "Processing frame 450.0 (saved as 0150.jpg)" in out
    assert "Processing frame 512.0 (saved as 0000.jpg)" in out
    first = os.path.join(root, windows[0], "right_cropped_frames")
    assert out[153:155] == [f"Cropped frames from 0 to 0.1 minutes saved to {first}.", "Dim: (48, 64, 3)"]
    assert not any("partial" in p for p in list_all_files(str(tmp_path)))

    vp.process_videos_to_frames(table(long_video, date="d"))
    out = capsys.readouterr().out.splitlines()
    assert out[3:] == [f"Skipping {os.path.join(root, w, 'right_cropped_frames')}, already exists." for w in windows]


def test_frame_skip_counts_absolute_indices(long_video, tmp_path, capsys):
    out_dir = str(tmp_path / "w")
    VideoProcessor(frame_skip=10).crop_video_to_frames(long_video, out_dir, 0.1, 0.2, crop=False)
    assert len(jpgs(out_dir)) == 16
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Processing frame 150.0 (saved as 0000.jpg)"
    assert lines[14:16] == ["Processing frame 290.0 (saved as 0014.jpg)", "Processing frame 299.0 (saved as 0015.jpg)"]
    assert lines[16:] == [f"Cropped frames from 0.1 to 0.2 minutes saved to {out_dir}.", "Dim: (48, 64, 3)"]
    assert codes(out_dir)[-1] == 300


@pytest.mark.parametrize(
    "left_crop, window, folder",
    [(False, (200, 0, 2300, 1440), "right_cropped_frames"), (True, (120, 0, 205, 1440), "left_cropped_frames")],
)
def test_detected_window_crops_and_is_cached(marker_video, tmp_path, capsys, left_crop, window, folder):
    vp = VideoProcessor(output_dir_base=str(tmp_path), left_crop=left_crop, time_step=0.01)
    vp.process_videos_to_frames(table(marker_video))
    assert vp.camera_crop_coords == {"64": window}
    out = capsys.readouterr().out.splitlines()
    assert out[3:5] == ["cv2 crop region for Camera 64: x1=250, y1=20, x2=270, y2=160",
                        "Detected crop region for Camera 64: x1={}, y1={}, x2={}, y2={}".format(*window)]
    detected = [line for line in out if "crop region" in line]
    assert len(detected) == 2 + 2  # three windows; detection only in the first
    first = os.path.join(str(tmp_path), "20240115", "Camera64_1_20240115063000", "0min_to_0.01min", folder)
    image = cv2.imread(os.path.join(first, "0000.jpg"))
    source = cv2.VideoCapture(marker_video)
    source.read()
    ok, frame = source.read()
    expected = frame[window[1]:window[3], window[0]:window[2]]
    assert image.shape == expected.shape
    assert np.abs(image.astype(int) - expected).mean() < 3


def test_prefilled_window_with_negative_bounds(marker_video, tmp_path, capsys):
    vp = VideoProcessor(resize_dim=(0, 24))
    vp.camera_crop_coords["64"] = (-100, 10, -20, 1000)
    vp.crop_video_to_frames(marker_video, str(tmp_path / "o"), 0, 0.01, camera_number="64")
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "Detected crop region for Camera 64: x1=-100, y1=10, x2=-20, y2=1000"
    assert cv2.imread(str(tmp_path / "o" / "0000.jpg")).shape == (24, 12, 3)  # ceil(24 * 80 / 170) = 12
    assert out[-1] == "Dim: (24, 12, 3)"
    assert vp.camera_crop_coords == {"64": (-100, 10, -20, 1000)}


def test_resize_keeps_aspect_ratio(long_video, tmp_path):
    VideoProcessor(resize_dim=(640, 480)).crop_video_to_frames(long_video, str(tmp_path), 0, 0.001, crop=False)
    assert cv2.imread(str(tmp_path / "0000.jpg")).shape == (480, 640, 3)
    VideoProcessor(resize_dim=(1, 31)).crop_video_to_frames(long_video, str(tmp_path), 0, 0.001, crop=False)
    assert cv2.imread(str(tmp_path / "0000.jpg")).shape == (31, 42, 3)  # ceil(31 * 64 / 48) = ceil(41.33)


def test_no_orange_region_leaves_no_window(long_video, tmp_path, capsys):
    vp = VideoProcessor(output_dir_base=str(tmp_path), time_step=0.2)
    vp.process_videos_to_frames(table(long_video))
    out = capsys.readouterr().out.splitlines()
    assert out.count("No orange region detected. Exiting.") == 3
    assert vp.camera_crop_coords == {}
    assert os.listdir(tmp_path / "20240115" / "Camera7_1_20240115080000") == []
    # filled later, the same windows are built on the next run
    vp.camera_crop_coords["64"] = (0, 0, 32, 32)
    vp.process_videos_to_frames(table(long_video))
    assert not any("Skipping" in line for line in capsys.readouterr().out.splitlines())
    assert len(list_all_files(str(tmp_path), ".jpg")) == 300 + 300 + 159


def test_unreadable_first_frame_and_empty_windows(long_video, tmp_path, capsys):
    vp = VideoProcessor(crop=False)
    vp.crop_video_to_frames(long_video, str(tmp_path / "late"), 1, 2, crop=False)
    assert capsys.readouterr().out == "Error: Could not read the first frame.\n"
    assert os.path.isdir(str(tmp_path / "late"))
    # the window's first frame is the file's last one: nothing left to save, and no error
    vp.crop_video_to_frames(long_video, str(tmp_path / "end"), 759 / 1500, 0.6, crop=False)
    assert capsys.readouterr().out == f"Cropped frames from {759 / 1500} to 0.6 minutes saved to {tmp_path / 'end'}.\n"
    vp.crop_video_to_frames(long_video, str(tmp_path / "same"), 0.1, 0.1, crop=False)
    assert jpgs(str(tmp_path / "same")) == []


def test_run_continues_after_unopenable_and_empty_recordings(long_video, tmp_path, capsys):
    broken = str(tmp_path / "in" / "broken.mp4")
    os.makedirs(os.path.dirname(broken))
    with open(long_video, "rb") as src, open(broken, "wb") as dst:
        dst.write(src.read()[:3000])  # truncated: the index at the end of the file is gone
    missing = str(tmp_path / "in" / "missing.mp4")
    fifo = str(tmp_path / "in" / "fifo.mp4")
    os.mkfifo(fifo)  # never opened: the decoder would wait for a writer
    vp = VideoProcessor(output_dir_base=str(tmp_path / "out"), crop=False, time_step=0.3)
    vp.process_videos_to_frames(table(missing, broken, fifo, long_video))
    out = capsys.readouterr().out.splitlines()
    assert out[:3] == [f"Error: Could not open video {missing}", f"Error: Could not open video {broken}",
                       f"Error: Could not open video: expected a regular file, got a FIFO: '{fifo}'"]
    produced = list_all_files(str(tmp_path / "out"), ".jpg")
    assert len(produced) == 450 + 309  # windows 0 to 0.3 and 0.3 to the end of the good recording


@pytest.mark.parametrize("date, name, outside", [
    ("../../x", "v", True),
    ("20240115", "../../y", True),
    ("", "../v", True),
    ("a/../..", "v", True),
    ("20240115/..", "../v", True),
    ("a/..", "v", False),  # stays inside: written exactly as before
    ("/abs", "v", False),  # joined below the base, as before
])
def test_rows_whose_folders_leave_the_base_are_refused(long_video, tmp_path, capsys, date, name, outside):
    base = tmp_path / "level" / "out"
    df = table(long_video, long_video)
    df.loc[0, "Date"], df.loc[0, "Video Name"] = date, name
    df.loc[1, "Date"] = "later"
    VideoProcessor(output_dir_base=str(base), crop=False, time_step=0.3, frame_skip=50).process_videos_to_frames(df)
    out = capsys.readouterr().out.splitlines()
    refusal = (f"Error: Skipping {long_video}: its \"Date\" {date!r} and \"Video Name\" {name!r} would put its "
               f"frames outside output_dir_base {str(base)!r}")
    assert (out[0] == refusal) is outside
    folders = {os.path.relpath(d, tmp_path) for d, _, files in os.walk(tmp_path) if any(f.endswith(".jpg") for f in files)}
    assert all(f.startswith(os.path.join("level", "out", "")) for f in folders)
    assert any(f.startswith(os.path.join("level", "out", "later", "")) for f in folders)
    assert any(os.path.join("out", os.path.normpath(f"{date.lstrip('/')}/{name}"), "") in f for f in folders) != outside


def test_crop_video_to_frames_of_unopenable_file(tmp_path, capsys):
    VideoProcessor().crop_video_to_frames(str(tmp_path / "nope.mp4"), str(tmp_path / "o"))
    assert capsys.readouterr().out == "Error: Could not open video.\n"
    VideoProcessor().crop_video_to_frames("/dev/zero", str(tmp_path / "o"))
    assert capsys.readouterr().out == "Error: Could not open video: expected a regular file, got a character device: " \
        "'/dev/zero'\n"


def test_unwritable_output(long_video, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(OSError, match="could not create the folder"):
        VideoProcessor(crop=False).crop_video_to_frames(long_video, str(blocker / "o"), 0, 0.01)
    vp = VideoProcessor(output_dir_base=str(blocker), crop=False)
    with pytest.raises(OSError):
        vp.process_videos_to_frames(table(long_video))


def interrupted(call, after=0.03):
    """Runs `call` with a KeyboardInterrupt arriving `after` seconds in; expects it to propagate."""

    def stop(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, stop)
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_interrupted_window_is_redone(long_video, tmp_path):
    vp = VideoProcessor(output_dir_base=str(tmp_path), crop=False, time_step=1)
    interrupted(lambda: vp.process_videos_to_frames(table(long_video, date="d")))
    assert list_all_files(str(tmp_path)) == []
    vp.process_videos_to_frames(table(long_video, date="d"))
    assert len(list_all_files(str(tmp_path), ".jpg")) == 759


def test_interrupted_extraction_leaves_whole_images(long_video, tmp_path):
    out_dir = str(tmp_path / "o")
    interrupted(lambda: VideoProcessor().crop_video_to_frames(long_video, out_dir, 0, 1, crop=False))
    names = jpgs(out_dir)
    assert len(names) < 759
    assert names == [f"{k:04d}.jpg" for k in range(len(names))]
    assert codes(out_dir) == list(range(1, len(names) + 1))


@pytest.mark.parametrize(
    "field, value, error, message",
    [
        ("frame_skip", 0, ZeroDivisionError, "modulo by zero"),
        ("frame_skip", "2", TypeError, "frame_skip"),
        ("time_step", 0, ValueError, "time_step of more than 0"),
        ("time_step", float("nan"), ValueError, "time_step"),
        ("resize_dim", (640,), IndexError, "resize_dim"),
        ("resize_dim", (640, 0), ValueError, "target height"),
        ("camera_crop_coords", {"64": (1, 2, 3)}, ValueError, "four integers"),
        ("camera_crop_coords", {"64": (1.0, 2, 3, 4)}, TypeError, "integer"),
    ],
)
def test_bad_settings(long_video, tmp_path, field, value, error, message):
    vp = VideoProcessor(output_dir_base=str(tmp_path), crop=field == "camera_crop_coords")
    setattr(vp, field, value)
    with pytest.raises(error, match=message):
        vp.process_videos_to_frames(table(long_video))
    assert list_all_files(str(tmp_path), ".jpg") == []


def test_window_without_pixels(long_video, tmp_path):
    vp = VideoProcessor(camera_crop_coords={"64": (100, 0, 200, 48)})
    with pytest.raises(ValueError, match="keeps no pixels"):
        vp.crop_video_to_frames(long_video, str(tmp_path), 0, 0.01, camera_number="64")


def test_failed_write_stops_in_order(long_video, tmp_path, capsys):
    out_dir = tmp_path / "o"
    (out_dir / "0003.jpg").mkdir(parents=True)  # the fourth image cannot take its name
    with pytest.raises(OSError, match="could not write.*0003.jpg"):
        VideoProcessor().crop_video_to_frames(long_video, str(out_dir), 0, 0.1, crop=False)
    assert capsys.readouterr().out.splitlines() == [f"Processing frame {k} (saved as {k:04d}.jpg)" for k in range(4)]
    assert sorted(os.listdir(out_dir)) == ["0000.jpg", "0001.jpg", "0002.jpg", "0003.jpg"]
    assert [read_code(cv2.imread(str(out_dir / f"{k:04d}.jpg"))) for k in range(3)] == [1, 2, 3]


def test_names_that_are_not_utf8(long_video, tmp_path):
    # A folder name the file system holds as bytes that are not UTF-8 arrives
    # as text with escaped bytes; messages and errors show those bytes escaped.
    base = os.fsdecode(os.fsencode(str(tmp_path)) + b"/out\xff")
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        VideoProcessor(output_dir_base=base, crop=False, time_step=0.002).process_videos_to_frames(
            table(long_video, date="d\udcfe"))
    folder = f"{base}/d\udcfe/Camera7_1_20240115080000/0min_to_0.002min/right_cropped_frames"
    shown = os.fsencode(folder).decode("utf-8", "backslashreplace")
    assert f"Cropped frames from 0 to 0.002 minutes saved to {shown}." in printed.getvalue().splitlines()
    assert jpgs(folder) == ["0000.jpg", "0001.jpg", "0002.jpg"]
    blocker = os.path.join(base, "file")
    open(blocker, "w").close()
    with pytest.raises(OSError, match="could not create the folder") as info:
        VideoProcessor(crop=False).crop_video_to_frames(long_video, os.path.join(blocker, "x"), 0, 0.002)
    assert os.fsencode(blocker).decode("utf-8", "backslashreplace") in str(info.value)


@pytest.mark.parametrize(
    "call",
    [
        lambda v, d: list_all_files(d + "\0/x"),
        lambda v, d: VideoProcessor().crop_video_to_frames(v + "\0.mp4", d, 0, 0.002, crop=False),
        lambda v, d: VideoProcessor().crop_video_to_frames(v, d + "\0x", 0, 0.002, crop=False),
        lambda v, d: VideoProcessor().get_video_duration(v + "\0.mp4"),
        lambda v, d: VideoProcessor(output_dir_base=d, crop=False).process_videos_to_frames(table(v, date="a\0b")),
        lambda v, d: VideoProcessor(output_dir_base=d + "\0", crop=False).process_videos_to_frames(table(v)),
    ],
)
def test_paths_with_nul_characters_are_refused(long_video, tmp_path, call):
    # The operating system would take such a path only up to the NUL, which
    # names another file or folder (the folder itself, for the walk).
    with pytest.raises(ValueError, match="null character"):
        call(long_video, str(tmp_path))
    assert list_all_files(str(tmp_path), ".jpg") == []



def test_an_infinite_time_step_gives_one_window(long_video, tmp_path):
    vp = VideoProcessor(output_dir_base=str(tmp_path), crop=False, frame_skip=100, time_step=float("inf"))
    vp.process_videos_to_frames(table(long_video, date="d"))
    assert os.listdir(tmp_path / "d" / "Camera7_1_20240115080000") == [f"0min_to_{760 / 25 / 60}min"]


def test_rows_before_a_bad_row_are_processed(long_video, tmp_path, capsys):
    rows = pd.concat([table(long_video, date="d"), table(long_video, date="e")], ignore_index=True)
    rows.loc[1, "File Path"] = None  # a gap left by joining tables
    vp = VideoProcessor(output_dir_base=str(tmp_path), crop=False, frame_skip=100, time_step=1)
    with pytest.raises(TypeError, match="File Path"):
        vp.process_videos_to_frames(rows)
    assert os.listdir(tmp_path) == ["d"]
    assert capsys.readouterr().out.splitlines()[:3] == [
        "Video FPS: 25.0", "Total frames: 760.0", "Video duration: 30.40 seconds"]
