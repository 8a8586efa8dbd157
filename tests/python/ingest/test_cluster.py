"""Frame extraction on a LocalCluster of two worker processes, against the serial run."""
import contextlib
import io
import os
import signal
import sys
import threading
import time

import pandas as pd
import pytest

import mirelo_utils as mu

from .conftest import write_video

distributed = pytest.importorskip("distributed", reason="distributed is not installed (scripts/setup.sh installs it)")

COLUMNS = ["Camera Number", "Date", "Time", "File Path", "Video Name"]


@pytest.fixture
def client(cluster_client):
    return cluster_client


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    """Two recordings of camera 64, and one of camera 65 whose marker shows from frame 120 on only."""
    d = tmp_path_factory.mktemp("cluster_videos")
    return {
        "a": ("64", write_video(str(d / "Camera64_1_20240115080000.mp4"), 200, marker=(120, 10, 130, 80))),
        "b": ("64", write_video(str(d / "Camera64_1_20240115090000.mp4"), 130, marker=(120, 10, 130, 80))),
        "c": ("65", write_video(str(d / "Camera65_1_20240115080000.mp4"), 200, marker=(60, 10, 70, 80),
                                marker_from=120)),
    }


def table(rows):
    return pd.DataFrame([[cam, "20240115", "08:00:00", path, os.path.basename(str(path))[:-4]] for cam, path in rows],
                        columns=COLUMNS)


def tree(root):
    """Every file under root: relative path -> bytes."""
    out = {}
    for folder, _, files in os.walk(root):
        for f in files:
            path = os.path.join(folder, f)
            with open(path, "rb") as fh:
                out[os.path.relpath(path, root)] = fh.read()
    return out


def partial_folders(root):
    return [folder for folder, _, _ in os.walk(root) if folder.endswith(".partial")]


def run(call, root):
    """Runs call(), returning its result and what it printed with `root` written as ROOT."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = call()
    return result, out.getvalue().replace(root, "ROOT")


@pytest.mark.parametrize(
    "rows, fields",
    [
        # a camera found on its first window; one whose first two windows show no marker
        ("abc", {}),
        # cached windows (one with negative bounds), left crop, resize
        ("abc", {"camera_crop_coords": {"64": (0, 0, -40, 1440), "65": (20, 0, 150, 1440)}, "left_crop": True,
                 "resize_dim": (0, 40)}),
        ("abc", {"crop": False, "frame_skip": 7}),
        # a row listed twice: the second run of each window finds it done
        ("acab", {}),
    ],
    ids=["detected", "cached", "uncropped", "repeated-row"],
)
def test_same_files_messages_and_cache_as_the_serial_run(client, recordings, tmp_path, rows, fields):
    df = table([recordings[k] for k in rows])
    serial_root, cluster_root = str(tmp_path / "serial" / "frames"), str(tmp_path / "cluster" / "frames")
    serial = mu.VideoProcessor(output_dir_base=serial_root, time_step=0.05, **fields)
    cluster = mu.VideoProcessor(output_dir_base=cluster_root, time_step=0.05, **fields)
    _, serial_out = run(lambda: serial.process_videos_to_frames(df), serial_root)
    result, cluster_out = run(lambda: mu.process_videos_on_cluster(df, cluster, client), cluster_root)

    assert tree(cluster_root) == tree(serial_root) != {}
    assert cluster_out == serial_out
    assert list(cluster.camera_crop_coords.items()) == list(serial.camera_crop_coords.items())
    saved = sorted(os.path.relpath(w, cluster_root) for w in result.loc[result["Status"] == "saved", "Window"])
    assert saved == sorted({os.path.dirname(p) for p in tree(serial_root)})
    assert list(result.columns) == ["Video Name", "File Path", "Window", "Status", "Images", "Error"]


def test_rows_leading_outside_the_base_are_refused_as_in_the_serial_run(client, recordings, tmp_path):
    df = table([recordings["a"], recordings["b"], recordings["c"]])
    df.loc[0, "Date"] = "../../x"
    df.loc[1, "Video Name"] = "../../y"
    serial_root, cluster_root = str(tmp_path / "serial" / "frames"), str(tmp_path / "cluster" / "frames")
    _, serial_out = run(lambda: mu.VideoProcessor(output_dir_base=serial_root, time_step=0.05)
                        .process_videos_to_frames(df), serial_root)
    result, cluster_out = run(lambda: mu.process_videos_on_cluster(
        df, mu.VideoProcessor(output_dir_base=cluster_root, time_step=0.05), client), cluster_root)
    assert cluster_out == serial_out
    assert tree(cluster_root) == tree(serial_root) != {}
    assert sorted(os.listdir(tmp_path)) == ["cluster", "serial"] and os.listdir(tmp_path / "cluster") == ["frames"]
    lines = serial_out.splitlines()
    assert lines[0] == (f"Error: Skipping {recordings['a'][1]}: its \"Date\" '../../x' and \"Video Name\" "
                        "'Camera64_1_20240115080000' would put its frames outside output_dir_base 'ROOT'")
    assert lines[1].startswith(f"Error: Skipping {recordings['b'][1]}: its \"Date\" '20240115' and \"Video Name\" "
                               "'../../y'")
    assert list(result["Status"]) == ["no windows", "no windows", "no orange region", "no orange region", "saved"]


def test_a_detection_chain_matches_the_serial_messages(client, recordings, tmp_path):
    df = table([recordings["c"]])
    vp = mu.VideoProcessor(output_dir_base=str(tmp_path), time_step=0.05)
    result, out = run(lambda: mu.process_videos_on_cluster(df, vp, client), str(tmp_path))
    assert list(result["Status"]) == ["no orange region", "no orange region", "saved"]
    assert list(result["Images"]) == [0, 0, 49]
    lines = out.splitlines()
    assert lines.count("No orange region detected. Exiting.") == 2
    assert lines[5:7] == ["cv2 crop region for Camera 65: x1=60, y1=10, x2=70, y2=80",
                          "Detected crop region for Camera 65: x1=10, y1=0, x2=2300, y2=1440"]
    assert vp.camera_crop_coords == {"65": (10, 0, 2300, 1440)}


def test_bad_recordings_are_reported_and_the_others_finish(client, recordings, tmp_path):
    garbage = tmp_path / "Camera64_1_20240115100000.mp4"
    garbage.write_bytes(b"not a video" * 100)
    good = [recordings["a"], recordings["c"]]
    rows = [recordings["a"], ("64", str(garbage)), ("66", recordings["b"][1]), recordings["c"], ("64", 5)]
    df = table(rows)
    df.loc[4, "Video Name"] = "no_path"
    serial_root, cluster_root = str(tmp_path / "serial"), str(tmp_path / "cluster")
    serial = mu.VideoProcessor(output_dir_base=serial_root, time_step=0.05)
    serial.process_videos_to_frames(table(good))

    # camera 66's cached window keeps no pixel of its frames: each of its windows fails
    vp = mu.VideoProcessor(output_dir_base=cluster_root, time_step=0.05,
                           camera_crop_coords={"66": (500, 0, 600, 1440)})
    result, out = run(lambda: mu.process_videos_on_cluster(df, vp, client, messages="summary", errors="report"),
                      cluster_root)
    assert tree(cluster_root) == tree(serial_root)
    assert not partial_folders(cluster_root)
    by_video = result.groupby("Video Name", sort=False)["Status"].apply(list).to_dict()
    assert by_video == {
        "Camera64_1_20240115080000": ["saved"] * 3,
        "Camera64_1_20240115100000": ["no windows"],
        "Camera64_1_20240115090000": ["failed"] * 2,
        "Camera65_1_20240115080000": ["no orange region", "no orange region", "saved"],
        "no_path": ["failed"],
    }
    assert result["Error"].iloc[5].startswith("ValueError: the crop window")
    assert result["Error"].iloc[-1].startswith("TypeError")
    lines = out.splitlines()
    assert f"Error: Could not open video {garbage}" in lines
    assert sum(": failed: ValueError: the crop window" in line for line in lines) == 2
    assert lines[-1] == "8 windows: 4 saved, 0 skipped, 2 without images, 2 failed"

    # Run again: the finished windows are skipped, camera 65's cached window
    # now serves the two windows that had no marker, and the first failure is
    # raised once the others are done.
    serial.process_videos_to_frames(table(good))
    with pytest.raises(ValueError, match="keeps no pixels") as failure:
        run(lambda: mu.process_videos_on_cluster(df, vp, client), cluster_root)
    assert failure.value.__notes__[0].startswith("failures: 3; everything else finished")
    assert tree(cluster_root) == tree(serial_root)


def test_a_killed_worker_leaves_every_window_whole(client, tmp_path):
    videos = tmp_path / "videos"
    rows = [("64", write_video(str(videos / f"Camera64_1_2024011508000{k}.mp4"), 300, 480, 270,
                               marker=(400, 10, 410, 200))) for k in range(3)]
    df = table(rows)
    serial_root, cluster_root = str(tmp_path / "serial"), str(tmp_path / "cluster")
    mu.VideoProcessor(output_dir_base=serial_root, time_step=0.2).process_videos_to_frames(table(rows))

    pids = client.run(os.getpid)
    vp = mu.VideoProcessor(output_dir_base=cluster_root, time_step=0.2)
    outcome = {}

    def extract():
        try:
            outcome["table"] = mu.process_videos_on_cluster(df, vp, client, messages="summary")
        except BaseException as e:  # handed to the test's thread
            outcome["error"] = e

    with contextlib.redirect_stdout(io.StringIO()):
        worker = threading.Thread(target=extract)
        worker.start()
        killed = None
        deadline = time.monotonic() + 60
        while killed is None and worker.is_alive() and time.monotonic() < deadline:
            busy = [w for w, keys in client.processing().items() if any("_window_task" in str(k) for k in keys)]
            if busy and partial_folders(cluster_root):
                killed = busy[0]
                os.kill(pids[killed], signal.SIGKILL)
            time.sleep(0.005)
        worker.join(120)
    assert killed is not None, "no window was in progress to interrupt"
    assert "error" not in outcome, outcome.get("error")
    assert set(outcome["table"]["Status"]) == {"saved"}
    assert tree(cluster_root) == tree(serial_root)
    assert not partial_folders(cluster_root)


@pytest.mark.parametrize(
    "kwargs, hide_distributed, error, message",
    [
        ({"client": None}, False, TypeError, "expected a distributed.Client for client, got NoneType"),
        ({"messages": "some"}, False, ValueError, "expected messages 'all' or 'summary', got 'some'"),
        ({"errors": "ignore"}, False, ValueError, "expected errors 'raise' or 'report', got 'ignore'"),
        ({}, True, ImportError, r"pip install 'mirelo_utils\[dask\]'"),
    ],
)
def test_bad_calls(client, monkeypatch, kwargs, hide_distributed, error, message):
    if hide_distributed:
        monkeypatch.setitem(sys.modules, "distributed", None)
    args = {"client": client, **kwargs}
    with pytest.raises(error, match=message):
        mu.process_videos_on_cluster(table([]), mu.VideoProcessor(), **args)
