"""The identity-health page: its data (the page object) on a generated clip
with a known swap, vanishing and merge; the page's files; the hand-over
advice; bad input; the command line."""
import json
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from PIL import Image

import mirelo_utils as mu
from mirelo_utils.__main__ import ProgressBar, main
from mirelo_utils._health import HandOverSettings, PageOptions, build_page
from conftest import polygon_text, write_annotation

H, W = 64, 96
FRAMES = 40
KEYS = ["Box0", "Box1", "Box2", "Box3", "Box4"]


def _boxes(f):
    """Each key's rectangle (x0, y0) in frame f, None for a vanished mask.

    Box0 walks right over the resting Box1; both masks cover both animals in
    frames 16-19, and from frame 20 on the identities are swapped. Box2
    vanishes in frames 25-29. From frame 32 to the end Box3's mask sits on
    Box4 (a merge)."""
    walker = (4 + 2 * f, 10)
    rest = (40, 10)
    boxes = {"Box0": walker, "Box1": rest, "Box2": (70, 40), "Box3": (10, 40), "Box4": (34, 40)}
    if 16 <= f <= 19:
        boxes["Box0"] = boxes["Box1"] = "union"
    elif f >= 20:
        boxes["Box0"], boxes["Box1"] = rest, walker
    if 25 <= f <= 29:
        boxes["Box2"] = None
    if f >= 32:
        boxes["Box3"] = boxes["Box4"]
    return boxes, walker, rest


def _rect(x, y, w=12, h=10):
    return [(x, y), (x + w, y), (x + w, y + h), (x, y + h)]


def write_clip(folder, frames=FRAMES):
    """Annotation files and frame images of the generated clip."""
    folder.mkdir(parents=True, exist_ok=True)
    for f in range(frames):
        boxes, walker, rest = _boxes(f)
        image = Image.new("RGB", (W, H), (90, 80, 70))
        for x, y in (walker, rest, (70, 40), (10, 40), (34, 40)):
            image.paste((200, 170, 150), (x, y, x + 13, y + 11))
        image_path = folder / f"frame_{f:04d}.png"
        image.save(image_path)
        detections = []
        for k, key in enumerate(KEYS):
            place = boxes[key]
            if place is None:
                polygons = []
            elif place == "union":
                polygons = [polygon_text([(min(walker[0], rest[0]), 10), (max(walker[0], rest[0]) + 12, 10),
                                          (max(walker[0], rest[0]) + 12, 20), (min(walker[0], rest[0]), 20)], W, H)]
            else:
                polygons = [polygon_text(_rect(*place), W, H)]
            detections.append({"object_id": k + 1, "formatted_polygon": polygons, "xyxy": [[0, 0, 1, 1]]})
        write_annotation(folder / f"output_pp_{f}.json", image_path, detections)
    return str(folder)


@pytest.fixture(scope="module")
def clip_dir(tmp_path_factory):
    return write_clip(tmp_path_factory.mktemp("clip") / "GSAM2_output")


@pytest.fixture(scope="module")
def records(clip_dir):
    import contextlib
    import io

    with contextlib.redirect_stdout(io.StringIO()):
        _, data = mu.get_gsam_annotation_data(None, save_dir_base=clip_dir)
    return data


def page_of(clip, folder, predictor=None, **options):
    """The page object and the table of a clip, with clip_health_report's
    keyword options (the tracking question report lands in `folder`)."""
    hand_over = {k: options.pop(k) for k in ("min_frame_id", "area_threshold", "min_count", "min_area",
                                               "max_attempts") if k in options}
    return build_page(clip, str(folder), predictor, PageOptions(hand_over=HandOverSettings(**hand_over), **options))


EXPECTED = pd.DataFrame(
    [
        [40, 0, 4, 1, 1, 16, 36 / 40 * 0.5],  # swapped: both named
        [40, 0, 4, 1, 1, 16, 36 / 40 * 0.5],
        [35, 5, 0, 0, 0, 25, 35 / 40],  # vanished in frames 25-29
        [40, 0, 8, 1, 1, 32, 32 / 40 * 0.5],  # its mask jumped onto Box4
        [40, 0, 8, 1, 0, pd.NA, 32 / 40],  # kept its own animal
    ],
    columns=mu._health.ANIMAL_COLUMNS,
    index=pd.Index(KEYS, name="Animal", dtype=object),
).astype({"First suspect frame": "Int64"})


def test_summary_of_a_clip_with_a_swap_a_vanishing_and_a_merge(records, tmp_path, capsys):
    keys_before = {f: list(r["masks_dict"]) for f, r in records.items()}
    page, table = page_of(records, tmp_path, expected_animals=5)
    pd.testing.assert_frame_equal(table, EXPECTED)
    assert {f: list(r["masks_dict"]) for f, r in records.items()} == keys_before  # the caller's records
    out = capsys.readouterr().out
    assert "Tracking question report saved to" in out
    assert "No valid frame found with all masks area > 10 in the last 10 frames for 10 tracks." in out

    assert (page.frame_count, page.first_frame, page.last_frame, page.expected_animals) == (FRAMES, 0, FRAMES - 1, 5)
    assert [(r.animal, r.times_named, r.level) for r in page.animals] == [
        ("Box0", 1, "bad"), ("Box1", 1, "bad"), ("Box2", 0, "warn"), ("Box3", 1, "bad"), ("Box4", 0, "warn")]
    assert page.animals[4].first_suspect_frame is None and page.animals[2].first_suspect_frame == 25
    swap, merge = page.episodes
    assert (swap.first_frame, swap.last_frame, swap.frames, swap.pair) == (16, 19, 4, ("Box0", "Box1"))
    assert swap.suspects == ("Box0", "Box1") and swap.swapped
    assert swap.compared == ((15, 16), (19, 20))
    assert (merge.first_frame, merge.last_frame, merge.suspects, merge.swapped) == (32, 39, ("Box3",), False)
    assert merge.compared == ((31, 32),)  # the clip ends with the episode
    assert merge.shape_mismatch == pytest.approx((1.0, 0.0), abs=0.005)  # Box3's mask jumped onto Box4
    assert merge.box_mismatch == pytest.approx((1.0, 0.0), abs=0.005) and merge.appearance_mismatch is None
    assert [p.caption for p in swap.pictures] == ["frame 16", "frame 19"] and page.pictured_episodes == 2
    # Two masks on one animal in frames 16-19 and 32-39, Box2 vanished in 25-29.
    assert page.frames_short == 4 + 8 + 5 and page.frames_over == 0
    advice = page.hand_over
    assert (advice.removed, advice.best_frame, advice.attempts, advice.tracks_needed) == ((), None, 10, 10)


def test_folder_and_records_give_the_same_summary_and_files(clip_dir, records, tmp_path, capsys):
    from_folder = mu.clip_health_report(clip_dir, tmp_path / "a")
    from_records = mu.clip_health_report(records, tmp_path / "b")
    pd.testing.assert_frame_equal(from_folder, from_records)
    for name in ("index.html", "tracking_question_report.csv"):
        a, b = (tmp_path / d / name for d in "ab")
        assert a.read_bytes().replace(clip_dir.encode(), b"T") == b.read_bytes().replace(clip_dir.encode(), b"T")
    mu.generate_tracking_report(records, str(tmp_path))
    assert (tmp_path / "a" / "tracking_question_report.csv").read_bytes() == (
        tmp_path / "tracking_question_report.csv").read_bytes()


def test_page_is_one_self_contained_file(records, tmp_path):
    (tmp_path / "index.html").write_text("old page")
    mu.clip_health_report(records, tmp_path, title="pen <7> & friends")
    assert sorted(os.listdir(tmp_path)) == ["index.html", "tracking_question_report.csv"]  # no temporaries left
    page = (tmp_path / "index.html").read_text(encoding="utf-8")
    assert "<title>Identity health: pen &lt;7&gt; &amp; friends</title>" in page
    sources = re.findall(r'<img [^>]*src="([^"]*)"', page)
    assert len(sources) == 2 + 4  # counts, the area grid, first and last frame of 2 episodes
    assert all(s.startswith(("data:image/png;base64,", "data:image/jpeg;base64,")) for s in sources)
    assert not re.search(r"<script|https?://|src=\"(?!data:)|url\(", page)
    import base64
    import io

    thumb = Image.open(io.BytesIO(base64.b64decode(sources[-1].split(",", 1)[1])))
    assert thumb.format == "JPEG" and max(thumb.size) <= 280


def test_no_episode_and_nothing_to_report(tmp_path, capsys):
    mask = np.zeros((8, 8), np.uint8)
    mask[2:5, 2:5] = 1
    frame = tmp_path / "f.png"
    Image.new("RGB", (8, 8)).save(frame)
    rec = {"masks_dict": {"Box0": mask}, "mask_areas": {"Box0": 9}, "image_path": str(frame),
           "intersections_df": mu.intersection_between_masks({"Box0": mask}, {"Box0": 9})}
    out = tmp_path / "out"
    table = mu.clip_health_report({0: rec, 1: rec}, out, expected_animals=1, min_episode_frames=1)
    expected = pd.DataFrame([[2, 0, 0, 0, 0, pd.NA, 1.0]], columns=mu._health.ANIMAL_COLUMNS,
                            index=pd.Index(["Box0"], name="Animal", dtype=object))
    pd.testing.assert_frame_equal(table, expected.astype({"First suspect frame": "Int64"}))
    assert (out / "tracking_question_report.csv").read_text() == (
        "Frame ID,Box Pair,Intersection Value,Mask Area1,Mask Area2,Report type,Box ID,Mask Areas\n")
    assert "No overlap episode" in (out / "index.html").read_text(encoding="utf-8")
    assert "Tracking question report" not in capsys.readouterr().out
    page, _ = page_of({0: rec, 1: rec}, out, expected_animals=1, min_episode_frames=1)
    assert page.episodes == () and page.frames_short == page.frames_over == 0


def _late_records(first=480, last=620, tiny="Box1"):
    """Frame keys first..last of 14 x 140 frames, ten animals of 144 pixels
    in a row; `tiny` has a one-pixel mask after frame 500 and the last
    frame's Box9 is empty."""
    out = {}
    for f in range(first, last + 1):
        masks = {}
        for k in range(10):
            m = np.zeros((14, 140), np.uint8)
            m[1:13, 14 * k:14 * k + 12] = 1
            if f"Box{k}" == tiny and f > 500:
                m[:] = 0
                m[0, 14 * k] = 1
            if k == 9 and f == last:
                m[:] = 0
            masks[f"Box{k}"] = m
        areas = {k: int(m.sum()) for k, m in masks.items()}
        out[f] = {"masks_dict": masks, "mask_areas": areas,
                  "intersections_df": mu.intersection_between_masks(masks, areas)}
    return out


def test_hand_over_advice_leaves_the_callers_records_alone(tmp_path, capsys):
    records = _late_records()
    page, table = page_of(records, tmp_path, expected_animals=5)
    for f, rec in records.items():
        assert list(rec["masks_dict"]) == [f"Box{k}" for k in range(10)]
    assert "Switched to frame key 619 due to small mask area in later frames." in capsys.readouterr().out
    advice = page.hand_over
    assert (advice.removed, advice.best_frame, advice.settings) == (("Box1",), "619", HandOverSettings())
    # The choice counts on the pen of ten of find_best_laste_frame, whatever the page expects.
    assert (advice.pen_animals, advice.expected_animals, advice.tracks_needed) == (10, 5, 9)
    assert table.loc["Box9", "Frames with zero area"] == 1 and table.loc["Box9", "First suspect frame"] == 620


@pytest.mark.parametrize("settings, removed, best, attempts", [
    # Box1 is tiny in the 20 frames after 600: too few for the default count, enough for 19.
    ({"min_frame_id": 600}, (), None, 10),
    ({"min_frame_id": 600, "min_count": 19}, ("Box1",), "619", 10),
    # A one-pixel Box1 passes a last-frame check that asks for no more than that.
    ({"min_frame_id": 600.5, "min_area": 0.5}, (), "619", 10),
    # Only the last frame examined: its Box9 is empty.
    ({"max_attempts": 1}, ("Box1",), None, 1),
])
def test_hand_over_advice_with_the_callers_settings(tmp_path, settings, removed, best, attempts):
    advice = page_of(_late_records(), tmp_path, **settings)[0].hand_over
    assert (advice.removed, advice.best_frame, advice.attempts) == (removed, best, attempts)
    assert advice.settings == HandOverSettings(**settings)


def test_hand_over_settings_as_one_record_or_by_keyword(tmp_path, monkeypatch):
    given = []
    monkeypatch.setattr(mu._health, "write_report", lambda clip, out, predictor, options, progress: given.append(
        options.hand_over))
    record = HandOverSettings(min_frame_id=20, min_count=2)
    mu.clip_health_report({}, tmp_path, hand_over=record)
    mu.clip_health_report({}, tmp_path, hand_over=record, min_count=3, max_attempts=4)
    mu.clip_health_report({}, tmp_path, min_area=0.5)
    assert given == [record, HandOverSettings(min_frame_id=20, min_count=3, max_attempts=4),
                     HandOverSettings(min_area=0.5)]
    assert HandOverSettings(600.5).text("min_frame_id") == "600.5" and record.text("min_count") == "2"
    with pytest.raises(TypeError, match="expected a HandOverSettings or None for hand_over, got dict"):
        mu.clip_health_report({}, tmp_path, hand_over={"min_count": 2})


class _Encoder:
    def __init__(self, looks):
        import torch

        self.device = torch.device("cpu")
        self.looks = looks  # one feature map per call, in turn

    def image_encoder(self, x):
        import torch

        assert x.shape == (1, 3, 256, 256) and not torch.is_grad_enabled()
        return {"vision_features": self.looks.pop(0)}


class _Predictor:
    def __init__(self, looks):
        self.model = _Encoder(looks)

    def set_image(self, image):
        assert image.shape[2] == 3


def test_appearance_evidence_with_a_predictor(records, tmp_path):
    import torch

    a, b = torch.zeros(1, 4, 2, 2), torch.zeros(1, 4, 2, 2)
    a[0, 0], b[0, 1] = 1.0, 1.0
    # One look per mask, frame by frame: episode 1 (Box0, Box1) frames 15, 16, 19, 20, the looks
    # exchanged on leaving it; episode 2 (Box3, Box4), at the clip's end: frames 31 and 32, unchanged looks.
    looks = [a, b, a, b, a, b, b, a] + [a, b] * 2
    page, table = page_of(records, tmp_path, _Predictor(looks))
    assert looks == []
    pd.testing.assert_frame_equal(table, EXPECTED)
    assert page.with_predictor
    assert page.episodes[0].appearance_mismatch == pytest.approx((1.0, 1.0))  # orthogonal looks across the episode
    assert page.episodes[1].appearance_mismatch == pytest.approx((0.0, 0.0))


@pytest.mark.parametrize("clip, out, kwargs, exc, match", [
    (5, None, {}, TypeError, "expected a clip"),
    ({}, None, {}, ValueError, "at least one frame record"),
    ({"a": {}}, None, {}, TypeError, "whole-number frame keys"),
    ({0: {"intersections_df": None}}, None, {}, KeyError, "mask_areas"),
    ({0: {"mask_areas": {"Box0": 3}}}, None, {}, KeyError, "intersections_df"),
    ({0: {"mask_areas": {"Box0": "3"}, "intersections_df": None}}, None, {}, TypeError, "expected a number"),
    ({0: {"mask_areas": {}, "intersections_df": [[0]]}}, None, {}, TypeError, "pandas DataFrame"),
    ({0: []}, None, {}, TypeError, "frame record"),
    ({2**64: {}}, None, {}, ValueError, r"got the key 18446744073709551616 of a frame record"),
    ({0: {"mask_areas": {"Box0": float("inf")}, "intersections_df": None}}, None, {}, ValueError,
     r"expected a finite number for the \"mask_areas\" of 'Box0' in frame 0, got inf"),
    ({0: {}}, None, {"expected_animals": -1}, ValueError, "expected_animals"),
    ({0: {}}, None, {"intersection_thrr": "80"}, TypeError, "intersection_thrr"),
    ({0: {}}, None, {"min_episode_frames": 0}, ValueError, "min_episode_frames"),
    ({0: {}}, None, {"min_frame_id": "500"}, TypeError, "min_frame_id"),
    ({0: {}}, None, {"area_threshold": float("nan")}, ValueError, "area_threshold, got nan"),
    ({0: {}}, None, {"min_area": True}, TypeError, "min_area"),
    ({0: {}}, None, {"max_attempts": 0}, ValueError, "max_attempts"),
    ({0: {}}, None, {"max_attempts": 2.0}, ValueError, "max_attempts"),
    ({0: {}}, None, {"min_count": -1}, ValueError, "expected a number >= 0 for min_count, got -1"),
    ({0: {}}, 3, {}, TypeError, "out_dir"),
    ({0: {}}, "file", {}, NotADirectoryError, "cannot write the health report into out_dir"),
    ({0: {}}, "file/sub", {}, NotADirectoryError, "cannot write the health report into out_dir"),
])
def test_bad_input(tmp_path, clip, out, kwargs, exc, match):
    (tmp_path / "file").write_text("x")
    out = tmp_path / "out" if out is None else tmp_path / out if isinstance(out, str) else out
    with pytest.raises(exc, match=match):
        mu.clip_health_report(clip, out, **kwargs)
    assert not os.path.exists(tmp_path / "out" / "index.html")


def test_image_path_that_names_no_file(records, tmp_path):
    broken = {f: dict(r, image_path="frame\ud800.png") for f, r in records.items()}
    with pytest.raises(ValueError, match=r"for \"image_path\" of frame 16, got 'frame\\ud800.png'"):
        mu.clip_health_report(broken, tmp_path)


def test_image_path_that_names_a_fifo_is_never_read(records, tmp_path):
    os.mkfifo(tmp_path / "fifo.png")  # a read would wait for a writer
    broken = {f: dict(r, image_path=str(tmp_path / "fifo.png")) for f, r in records.items()}
    with pytest.raises(OSError, match=r"^expected a regular file, got a FIFO: '.*fifo\.png'$"):
        mu.clip_health_report(broken, tmp_path / "out")


def test_a_refused_run_takes_back_the_folders_it_made(tmp_path, capsys):
    out = tmp_path / "made" / "/".join(["d" * 200] * 25)  # longer than the system's path limit
    assert main(["report", str(tmp_path), str(out)]) == 2
    assert capsys.readouterr().err.count("\n") == 1
    assert os.listdir(tmp_path) == []
    kept = tmp_path / "kept"
    kept.mkdir()
    assert mu.clip_health_report(tmp_path / "none", kept / "new") is None  # no annotation files
    assert os.listdir(kept) == []


def test_a_killed_write_probe_leaves_nothing_for_good(records, tmp_path):
    # The probe is the core's atomic write of ".index.html.probe": a child
    # killed in it (by the file-size limit) leaves the writer's temporary.
    child = ("import resource, signal, sys, mirelo_utils as mu; signal.signal(signal.SIGXFSZ, signal.SIG_DFL); "
             "resource.setrlimit(resource.RLIMIT_FSIZE, (1, 1)); mu._core._io.write_file(sys.argv[1], b'xx')")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(mu.__file__)))
    done = subprocess.run([sys.executable, "-c", child, str(tmp_path / ".index.html.probe")], env=env, timeout=60)
    assert done.returncode < 0
    assert [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]
    (tmp_path / ".index.html.probe").write_bytes(b"")  # killed between the probe's write and its removal
    mu.clip_health_report(records, tmp_path)
    assert sorted(os.listdir(tmp_path)) == ["index.html", "tracking_question_report.csv"]


def test_names_that_are_not_utf8(tmp_path, capsys):
    """A clip folder and an out folder whose names are not UTF-8: the files
    are read and written under their own bytes, and the texts show the
    replacement character (page) or the escaped byte (console)."""
    clip = os.fsdecode(bytes(tmp_path) + b"/clip\xff")
    write_clip(pathlib.Path(clip), frames=20)  # the frame images lie in that folder too
    out = os.fsdecode(bytes(tmp_path) + b"/out\xfe")
    assert main(["report", clip, out]) == 0
    printed = capsys.readouterr().out
    assert printed.endswith(f"Health page written to {tmp_path}/out\\xfe/index.html\n")
    assert f"Tracking question report saved to {tmp_path}/out\\xfe/tracking_question_report.csv" in printed
    assert sorted(os.listdir(bytes(tmp_path) + b"/out\xfe")) == [b"index.html", b"tracking_question_report.csv"]
    page = (pathlib.Path(out) / "index.html").read_text(encoding="utf-8")
    assert f"<title>Identity health: {tmp_path}/clip\ufffd</title>" in page


def test_unwritable_out_dir_fails_before_the_clip_is_read(tmp_path):
    class Untouchable(dict):
        def __getitem__(self, key):
            raise AssertionError("the clip was read")

    (tmp_path / "file").write_text("x")
    with pytest.raises(NotADirectoryError):
        mu.clip_health_report(Untouchable({0: {}}), tmp_path / "file")


def test_folder_without_annotation_files(tmp_path, capsys):
    assert mu.clip_health_report(tmp_path / "empty", tmp_path / "out") is None
    assert capsys.readouterr().out == (
        f"No JSON files found in {tmp_path / 'empty'}. Please check the directory and try again.\n")
    assert not os.path.exists(tmp_path / "out" / "index.html")


# ------------------------------------------------------------ command line


def test_command_line_report(clip_dir, tmp_path, capsys):
    assert main(["report", clip_dir, str(tmp_path / "out")]) == 0
    captured = capsys.readouterr()
    assert captured.out.rstrip().endswith(f"Health page written to {tmp_path / 'out' / 'index.html'}")
    assert "Box3" in captured.out
    assert captured.err == "" or captured.err.endswith("Writing the page\n") or "Writing the page " in captured.err
    assert (tmp_path / "out" / "tracking_question_report.csv").exists()
    assert "find_best_laste_frame(min_area=10, max_attempts=10)" in (tmp_path / "out" / "index.html").read_text()


def test_command_line_options(clip_dir, tmp_path, monkeypatch, capsys):
    given = []
    monkeypatch.setattr(mu._health, "write_report", lambda clip, out, predictor, options, progress: given.append(
        options) or pd.DataFrame())
    argv = ["--min-frame-id", "20", "--area-threshold", "50", "--min-count", "2", "--min-area", "0.5",
            "--max-attempts", "3", "--expected-animals", "7", "--intersection-threshold", "60"]
    assert main(["report", clip_dir, str(tmp_path / "out"), *argv]) == 0
    assert main(["report", clip_dir, str(tmp_path / "out")]) == 0
    assert given == [PageOptions(expected_animals=7, intersection_thrr=60.0,
                                 hand_over=HandOverSettings(20.0, 50.0, 2.0, 0.5, 3)), PageOptions()]


@pytest.mark.parametrize("argv, code, stream, text", [
    (["report", "{tmp}/empty", "{tmp}/out"], 2, "out",
     "No JSON files found in {tmp}/empty. Please check the directory and try again.\n"),
    (["report", "{clip}", "{tmp}/file"], 2, "err",
     "python -m mirelo_utils report: error: cannot write the health report into out_dir '{tmp}/file': "
     "not a folder\n"),
    (["report", "{clip}"], 2, "err", None),
    (["report", "{clip}", "{tmp}/out", "--expected-animals", "x"], 2, "err", None),
    (["report", "{clip}", "{tmp}/out", "--max-attempts", "0"], 2, "err",
     "python -m mirelo_utils report: error: expected a whole number >= 1 for max_attempts, got 0\n"),
    (["report", "{clip}", "{tmp}/out", "--min-count", "-1"], 2, "err",
     "python -m mirelo_utils report: error: expected a number >= 0 for min_count, got -1.0\n"),
    (["report", "{clip}", "{tmp}/out", "--min-frame-id", "1e400"], 2, "err",
     "python -m mirelo_utils report: error: argument --min-frame-id: expected a finite number, got '1e400' "
     "(see --help)\n"),
    (["report", "{clip}", "{tmp}/out", "--expected-animals", "1e30"], 2, "err", None),
    (["nothing"], 2, "err", None),
])
def test_command_line_bad_input(clip_dir, tmp_path, capsys, argv, code, stream, text):
    (tmp_path / "file").write_text("x")
    argv = [a.format(tmp=tmp_path, clip=clip_dir) for a in argv]
    try:
        status = main(argv)
    except SystemExit as e:  # refused by the argument parser
        status = e.code
    assert status == code
    captured = capsys.readouterr()
    shown = getattr(captured, stream)
    assert shown.count("\n") == 1  # one line
    if text is not None:
        assert shown == text.format(tmp=tmp_path)


def test_command_line_runs_as_a_module(clip_dir, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(mu.__file__)))
    done = subprocess.run([sys.executable, "-m", "mirelo_utils", "report", clip_dir, str(tmp_path / "empty")],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "empty" / "index.html").exists()
    bad = subprocess.run([sys.executable, "-m", "mirelo_utils", "report", str(tmp_path / "none"), str(tmp_path)],
                         capture_output=True, text=True, env=env, timeout=120)
    assert bad.returncode == 2 and bad.stdout.startswith("No JSON files found in")


def test_progress_bar_shows_only_after_the_delay():
    import io
    import time

    quiet = io.StringIO()
    bar = ProgressBar(quiet, delay=5.0, interval=0.01)
    bar("Reading frame records", 3, 10)
    time.sleep(0.05)
    bar.close()
    assert quiet.getvalue() == ""
    shown = io.StringIO()
    bar = ProgressBar(shown, delay=0.0, interval=0.01)
    bar("Reading frame records", 5, 10)
    time.sleep(0.05)
    bar.close()
    last = shown.getvalue().rsplit("\r", 1)[-1]
    assert last.startswith("[" + "#" * 15 + "-" * 15 + "] Reading frame records 5/10") and last.endswith("\n")
    closed = io.StringIO()
    bar = ProgressBar(closed, delay=0.0, interval=0.01)
    closed.close()  # the bar stops drawing; the work goes on
    time.sleep(0.05)
    bar.close()
