"""python -m mirelo_utils evaluate: the CSVs, the page and its drawings, and
bad input."""
import csv
import re

import numpy as np
import pytest

import mirelo_utils as mu
from mirelo_utils.__main__ import main

pytest.importorskip("matplotlib", reason="matplotlib is not installed (scripts/setup.sh installs it)")
pytest.importorskip("jinja2", reason="jinja2 is not installed (scripts/setup.sh installs it)")

B = "0,0,10,10"
GT = [f"{f},1,{B},1,1,1" for f in range(1, 7)] + [f"{f},2,50,50,10,10,1,1,1" for f in range(1, 7)]
# Prediction 5 follows animal 1, then jumps to animal 2 at frame 4.
PRED = ([f"{f},5,{B},1" for f in (1, 2, 3)] + [f"{f},5,50,50,10,10,1" for f in (4, 5, 6)]
        + [f"{f},6,50,50,10,10,1" for f in (1, 2, 3)] + [f"{f},6,{B},1" for f in (4, 5, 6)])


def write_rows(path, rows):
    path.write_text("".join(r + "\n" for r in rows))
    return str(path)


def test_writes_csvs_and_a_page_listing_every_switch(tmp_path, capsys):
    gt, pred = write_rows(tmp_path / "gt.txt", GT), write_rows(tmp_path / "pred.txt", PRED)
    out = tmp_path / "out"
    assert main(["evaluate", pred, gt, str(out)]) == 0  # box IoU chosen for box files
    want = mu.evaluate_tracking(pred, gt, iou="box")
    with open(out / "summary.csv", newline="") as fh:
        summary = {row["Metric"]: float(row["Value"]) for row in csv.DictReader(fh)}
    assert summary == pytest.approx(want.summary)
    with open(out / "per_animal.csv", newline="") as fh:
        animals = list(csv.DictReader(fh))
    assert [(r["Identity"], r["Switches"]) for r in animals] == [("1", "1"), ("2", "1")]
    page = (out / "index.html").read_text()
    assert page.count("<tr><td>4</td>") == 2  # both switches of frame 4 listed
    assert "pass --images DIR" in page and "<script" not in page
    printed = capsys.readouterr().out
    assert "IDSW  2" in printed and str(out / "index.html") in printed


def test_switch_frames_are_drawn_where_the_frames_are_at_hand(tmp_path):
    from PIL import Image

    gt, pred = write_rows(tmp_path / "gt.txt", GT), write_rows(tmp_path / "pred.txt", PRED)
    images = tmp_path / "img1"
    images.mkdir()
    for f in range(1, 7):
        Image.new("RGB", (80, 80), (90, 90, 90)).save(images / f"{f:06d}.jpg")
    out = tmp_path / "out"
    assert main(["evaluate", pred, gt, str(out), "--images", str(images)]) == 0
    page = (out / "index.html").read_text()
    assert '<a href="drawings/frame_4.png">frame 4</a>' in page
    drawing = np.asarray(Image.open(out / "drawings" / "frame_4.png"))
    assert drawing.shape == (80, 80, 3) and (drawing != 90).any()
    assert sorted(p.name for p in (out / "drawings").iterdir()) == ["frame_4.png"]


def test_names_of_the_caller_are_escaped(tmp_path):
    gt = write_rows(tmp_path / "<b>gt.txt", GT)
    pred = write_rows(tmp_path / "pred.txt", PRED)
    assert main(["evaluate", pred, gt, str(tmp_path / "out")]) == 0
    page = (tmp_path / "out" / "index.html").read_text()
    assert "&lt;b&gt;gt.txt" in page and "<b>gt.txt" not in page


def run(argv):
    """The command's exit code, also when argparse exits."""
    try:
        return main(argv)
    except SystemExit as e:
        return e.code


@pytest.mark.parametrize("rows, extra, match", [
    (["1,1,0,0,10"], [], r"gt.txt, line 1: expected 7 to 10 values"),
    (GT, ["--iou", "mask"], "holds boxes"),
    (GT, ["--threshold", "2"], "from 0 to 1"),
])
def test_bad_input_gives_one_line_and_exit_code_2(tmp_path, capsys, rows, extra, match):
    gt, pred = write_rows(tmp_path / "gt.txt", rows), write_rows(tmp_path / "pred.txt", PRED)
    assert run(["evaluate", pred, gt, str(tmp_path / "out"), *extra]) == 2
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1
    assert err.startswith("python -m mirelo_utils evaluate: error") and re.search(match, err)


def test_a_clip_folder_draws_its_own_frames(tmp_path):
    from test_scores import write_clip

    frames = [{1: (2, 2, 20, 20), 2: (30, 10, 60, 40)} for _ in range(4)]
    clip = write_clip(tmp_path / "clip", frames)
    opened = mu.open_clip(clip)
    rows = [(opened[k]["frame_index"], int(key[3:]) + 1, mask) for k in opened for key, mask in opened.animals(k).items()]
    # The ground truth swaps the two animals' identities from frame 2 on.
    mu.write_mots(tmp_path / "gt.txt", {"frame": [r[0] for r in rows],
                                        "id": [r[1] if r[0] < 2 else 3 - r[1] for r in rows],
                                        "class": [2] * len(rows), "mask": [r[2] for r in rows]})
    out = tmp_path / "out"
    assert main(["evaluate", str(clip), str(tmp_path / "gt.txt"), str(out)]) == 0
    page = (out / "index.html").read_text()
    assert '<a href="drawings/frame_2.png">frame 2</a>' in page
    assert (out / "drawings" / "frame_2.png").is_file()
