"""evaluate_tracking against the two reference evaluations (TrackEval, and
py-motmetrics where the two agree), the awkward cases, the track files and
their bad input, and the RLE conversions against pycocotools."""
import os

import numpy as np
import pytest

import mirelo_utils as mu
from conftest import polygon_text, write_annotation
from scores_reference import motmetrics_scores, trackeval_scores

KEYS = ["HOTA", "DetA", "AssA", "LocA", "IDF1", "IDP", "IDR", "MOTA", "MOTP", "IDSW", "Frag", "MT", "PT", "ML"]


def needs(name):
    return pytest.importorskip(name, reason=f"{name} is not installed (scripts/setup.sh installs it from requirements-dev.txt)")


def write_rows(path, rows):
    path.write_text("".join(r + "\n" for r in rows))
    return str(path)


def box_rows(rng, frames, ids, *, gt, presence=0.8, noise=8.0):
    """MOTChallenge rows of animals moving right and down with noise; an id
    present in a frame with probability `presence` (so identities leave and
    return)."""
    rows = []
    for f in range(1, frames + 1):
        present = [i for i in ids if rng.random() < presence]
        for i in present:
            x, y, w, h = np.array([45.0 * i, 20 + 3 * f, 40, 60]) + rng.normal(0, noise, 4) * [1, 1, 0.3, 0.3]
            tail = "1,1,1" if gt else f"{rng.random():.3f},-1,-1,-1"
            rows.append(f"{f},{i},{x:.2f},{y:.2f},{w:.2f},{h:.2f},{tail}")
    return rows


def assert_scores(got, want, keys=KEYS):
    for k in keys:
        assert got[k] == pytest.approx(want[k], abs=1e-9, rel=0), k


def separated_rows(rng, frames, *, gt):
    """Rows of five animals far enough apart that a box overlaps only its
    own animal's boxes, so no frame has two candidate matches for one
    animal: ground truth present throughout; predictions that drop out,
    swap identities between two animals at a random frame, and a false
    track of its own."""
    rows, swap = [], int(rng.integers(2, frames))
    for f in range(1, frames + 1):
        for k in range(5):
            if not gt and rng.random() < 0.15:
                continue
            ident = k + 1 if gt else [3, 1, 2, 7, 5][k]
            if not gt and f >= swap and k in (0, 1):
                ident = [3, 1][1 - k]
            x, y, w, h = np.array([100.0 * k, 20 + 3 * f, 40, 60]) + rng.normal(0, 6 if not gt else 1, 4) * [1, 1, 0.2, 0.2]
            rows.append(f"{f},{ident},{x:.2f},{y:.2f},{w:.2f},{h:.2f},1,1,1")
        if not gt and rng.random() < 0.5:
            rows.append(f"{f},9,{700 + rng.normal(0, 5):.2f},50,30,30,1,1,1")
    return rows


@pytest.mark.parametrize("seed", range(6))
def test_random_box_sequences_match_both_references(tmp_path, seed):
    needs("trackeval")
    needs("motmetrics")
    rng = np.random.default_rng(seed)
    frames = int(rng.integers(10, 60))
    gt = write_rows(tmp_path / "gt.txt", separated_rows(rng, frames, gt=True))
    pred = write_rows(tmp_path / "pred.txt", separated_rows(rng, frames, gt=False))
    got = mu.evaluate_tracking(pred, gt, iou="box")
    assert list(got.summary) == KEYS
    assert_scores(got.summary, trackeval_scores(gt, pred, frames, str(tmp_path / "te"), masks=False))
    # Frag (predictions drop out) and MT at exactly 80 % are where the two
    # references part (see test_where_the_references_disagree).
    ratios = got.per_animal["Frames tracked"] / got.per_animal["Frames"]
    agree = ["IDF1", "IDP", "IDR", "MOTA", "MOTP", "IDSW"] + ([] if (ratios == 0.8).any() else ["MT", "PT", "ML"])
    assert_scores(got.summary, motmetrics_scores(gt, pred), agree)
    assert got.summary["IDSW"] >= 1


@pytest.mark.parametrize("seed", range(8))
def test_random_crowded_box_sequences_match_trackeval(tmp_path, seed):
    needs("trackeval")
    rng = np.random.default_rng(50 + seed)
    frames = int(rng.integers(10, 60))
    gt = write_rows(tmp_path / "gt.txt", box_rows(rng, frames, [1, 2, 3, 4, 5], gt=True))
    ids = [int(i) for i in rng.permutation(np.arange(1, 9))[:6]]  # some reused, some false tracks
    pred = write_rows(tmp_path / "pred.txt", box_rows(rng, frames, ids, gt=False, noise=8 + 4 * (seed % 3)))
    got = mu.evaluate_tracking(pred, gt, iou="box")
    te = trackeval_scores(gt, pred, frames, str(tmp_path / "te"), masks=False)
    assert_scores(got.summary, te)
    for name in ("HOTA", "DetA", "AssA", "LocA"):
        assert np.allclose(got.per_alpha[name], te["alpha_" + name], atol=1e-9, rtol=0)
    assert (got.counts["IDTP"], got.counts["IDFN"], got.counts["IDFP"]) == (te["IDTP"], te["IDFN"], te["IDFP"])


@pytest.mark.parametrize("threshold", [0.3, 0.7])
def test_thresholds_match_trackeval(tmp_path, threshold):
    needs("trackeval")
    rng = np.random.default_rng(11)
    gt = write_rows(tmp_path / "gt.txt", box_rows(rng, 30, [1, 2, 3, 4], gt=True))
    pred = write_rows(tmp_path / "pred.txt", box_rows(rng, 30, [3, 1, 2, 7], gt=False, noise=12))
    te = trackeval_scores(gt, pred, 30, str(tmp_path / "te"), masks=False, threshold=threshold)
    assert_scores(mu.evaluate_tracking(pred, gt, iou="box", threshold=threshold).summary, te)


# Each case: ground-truth rows, predicted rows, frames of the sequence.
B = "0,0,10,10"  # a box, and the same box shifted far away
FAR = "100,100,10,10"
AWKWARD = {
    "empty frames": (["1,1," + B + ",1,1,1", "2,1," + B + ",1,1,1", "5,1," + B + ",1,1,1"],
                     ["1,4," + B + ",1", "5,4," + B + ",1"], 6),
    "leaves and returns, same prediction": ([f"{f},1,{B},1,1,1" for f in (1, 2, 3, 6, 7)],
                                            [f"{f},9,{B},1" for f in (1, 2, 3, 6, 7)], 7),
    "leaves and returns as another prediction": ([f"{f},1,{B},1,1,1" for f in (1, 2, 3, 6, 7)],
                                                 [f"{f},9,{B},1" for f in (1, 2, 3)] + [f"{f},8,{B},1" for f in (6, 7)], 7),
    "prediction reused for another animal": ([f"{f},1,{B},1,1,1" for f in range(1, 7)] + [f"{f},2,{FAR},1,1,1" for f in range(1, 7)],
                                             [f"{f},5,{B},1" for f in (1, 2, 3)] + [f"{f},5,{FAR},1" for f in (4, 5, 6)]
                                             + [f"{f},6,{FAR},1" for f in (1, 2, 3)], 6),
    "ties: two animals on one box": (["1,1," + B + ",1,1,1", "1,2," + B + ",1,1,1", "2,1," + B + ",1,1,1", "2,2," + B + ",1,1,1"],
                                     ["1,3," + B + ",1", "1,4," + B + ",1", "2,4," + B + ",1", "2,3," + B + ",1"], 2),
    "ties: equal overlaps crosswise": (["1,1,0,0,10,10,1,1,1", "1,2,10,0,10,10,1,1,1"],
                                       ["1,3,5,0,10,10,1", "1,4,5,0,10,10,1"], 1),
    "a frame with no ground truth": (["1,1," + B + ",1,1,1", "3,1," + B + ",1,1,1"],
                                     ["1,2," + B + ",1", "2,2," + B + ",1", "3,2," + B + ",1"], 3),
    "rows marked 0 are left out": (["1,1," + B + ",1,1,1", "1,2," + FAR + ",0,1,1", "2,1," + B + ",1,1,1"],
                                   ["1,4," + B + ",1", "1,5," + FAR + ",1", "2,4," + B + ",1"], 2),
    "empty ground truth": ([], ["1,2," + B + ",1", "2,3," + FAR + ",1"], 2),
    "empty predictions": (["1,1," + B + ",1,1,1", "2,2," + FAR + ",1,1,1"], [], 2),
}


@pytest.mark.parametrize("case", list(AWKWARD))
def test_awkward_cases_match_trackeval(tmp_path, case):
    needs("trackeval")
    gt_rows, pred_rows, frames = AWKWARD[case]
    gt = write_rows(tmp_path / "gt.txt", gt_rows)
    pred = write_rows(tmp_path / "pred.txt", pred_rows)
    te = trackeval_scores(gt, pred, frames, str(tmp_path / "te"), masks=False)
    assert_scores(mu.evaluate_tracking(pred, gt, iou="box").summary, te)


def test_awkward_cases_in_detail(tmp_path):
    def run(case):
        gt_rows, pred_rows, _ = AWKWARD[case]
        return mu.evaluate_tracking(write_rows(tmp_path / "p.txt", pred_rows), write_rows(tmp_path / "g.txt", gt_rows),
                                    iou="box")

    back = run("leaves and returns as another prediction")
    assert back.switches.values.tolist() == [[6, 1, 9, 8]]
    assert back.per_animal[["Identity", "Switches", "Frames", "Frames tracked", "Predicted identity"]].values.tolist() \
        == [[1, 1, 5, 5, 9]]
    assert back.per_frame["Frame"].tolist() == list(range(1, 8))
    assert back.per_frame["Switches"].tolist() == [0, 0, 0, 0, 0, 1, 0]
    assert back.per_frame["Mean IoU"].isna().tolist() == [False, False, False, True, True, False, False]
    reused = run("prediction reused for another animal")
    assert reused.switches.values.tolist() == [[4, 2, 6, 5]]
    empty = run("empty ground truth")
    assert empty.summary["LocA"] == 1.0 and empty.summary["MOTA"] == 0.0 and len(empty.per_animal) == 0
    assert empty.per_frame["False positives"].tolist() == [1, 1]


# Where py-motmetrics and TrackEval part: the values are TrackEval's.
DISAGREE = {
    "Frag: a gap without predictions": ([f"{f},1,{B},1,1,1" for f in range(1, 7)], [f"{f},5,{B},1" for f in (1, 2, 4, 5)],
                                        6, "Frag", 0, 1),
    "MT at exactly 80 %": ([f"{f},1,{B},1,1,1" for f in range(1, 6)], [f"{f},5,{B},1" for f in range(1, 5)], 5, "MT", 0, 1),
    "IDF1 at one ulp below the threshold": (["1,1,0,0,0.1,1,1,1,1"], ["1,5,0,0,0.2,1,1"], 1, "IDF1", 0, 1),
    "IDSW when a match is carried over": (["1,1," + B + ",1,1,1", "2,2," + FAR + ",1,1,1", "3,1," + B + ",1,1,1"],
                                          ["1,7," + B + ",1", "2,9," + FAR + ",1", "3,7,0,0,10,8,1", "3,8," + B + ",1"],
                                          3, "IDSW", 1, 0),
    "MOTP without matches": (["1,1," + B + ",1,1,1"], ["1,5," + FAR + ",1"], 1, "MOTP", 0, float("nan")),
}


@pytest.mark.parametrize("case", list(DISAGREE))
def test_where_the_references_disagree(tmp_path, case):
    needs("trackeval")
    needs("motmetrics")
    gt_rows, pred_rows, frames, key, ours, theirs = DISAGREE[case]
    gt = write_rows(tmp_path / "gt.txt", gt_rows)
    pred = write_rows(tmp_path / "pred.txt", pred_rows)
    got = mu.evaluate_tracking(pred, gt, iou="box").summary
    assert got[key] == ours == trackeval_scores(gt, pred, frames, str(tmp_path / "te"), masks=False)[key]
    mm = motmetrics_scores(gt, pred)[key]
    assert np.isnan(mm) if np.isnan(theirs) else mm == theirs


# ------------------------------------------------------------------ masks

H, W = 60, 80


def mots_rows(rng, frames, ids, jitter, *, ignore=False):
    """MOTS rows (written with pycocotools) of ellipses kept in separate
    bands, so that no two masks of a frame overlap (TrackEval refuses
    overlaps); optionally an ignore region down the right edge."""
    from pycocotools import mask as coco

    yy, xx = np.mgrid[0:H, 0:W]
    rows = []
    for f in range(1, frames + 1):
        for k, i in enumerate(ids):
            if rng.random() < 0.85:
                band = k % 4
                cy, cx = 7 + 15 * band + rng.normal(0, jitter), 8 + (2 * f) % 60 + rng.normal(0, jitter)
                m = ((yy - cy) / (5 + 2 * rng.random())) ** 2 + ((xx - cx) / (6 + 3 * rng.random())) ** 2 <= 1
                m[:15 * band] = 0
                m[15 * band + 14:] = 0
                m[:, 74:] = 0
                if m.any():
                    counts = coco.encode(np.asfortranarray(m.astype(np.uint8)))["counts"].decode()
                    rows.append(f"{f} {i} 2 {H} {W} {counts}")
        if ignore and rng.random() < 0.6:
            region = np.zeros((H, W), np.uint8)
            region[:, 74:] = 1
            rows.append(f"{f} 10000 10 {H} {W} {coco.encode(np.asfortranarray(region))['counts'].decode()}")
    return rows


def with_hidden(rng, rows, frames):
    """Predictions inside the ignore region, which TrackEval leaves out."""
    from pycocotools import mask as coco

    for f in range(1, frames + 1):
        m = np.zeros((H, W), np.uint8)
        m[10:20, 75:79] = 1
        rows.append(f"{f} 77 2 {H} {W} {coco.encode(np.asfortranarray(m))['counts'].decode()}")
    return rows


@pytest.mark.parametrize("seed", range(6))
def test_random_mask_sequences_match_trackeval_mots(tmp_path, seed):
    needs("trackeval")
    rng = np.random.default_rng(100 + seed)
    frames = int(rng.integers(5, 30))
    ignore = seed % 2 == 0
    gt = write_rows(tmp_path / "gt.txt", mots_rows(rng, frames, [1, 2, 3, 4], 0.5, ignore=ignore))
    pred_rows = mots_rows(rng, frames, [int(i) for i in rng.permutation(np.arange(1, 6))[:4]], 1.5)
    if ignore:
        pred_rows = with_hidden(rng, list(pred_rows), frames)
    pred = write_rows(tmp_path / "pred.txt", pred_rows)
    te = trackeval_scores(gt, pred, frames, str(tmp_path / "te"), masks=True)
    got = mu.evaluate_tracking(pred, gt)
    assert_scores(got.summary, te)
    if ignore:  # hidden predictions were left out, not counted as false positives
        assert got.per_frame["Predicted"].sum() < len(pred_rows)


def test_overlapping_masks_are_scored(tmp_path):
    a, b = np.zeros((H, W), bool), np.zeros((H, W), bool)
    a[10:30, 10:40] = True
    b[20:40, 20:50] = True  # one animal lying on the other
    table = {"frame": [1, 1], "id": [1, 2], "class": [2, 2], "mask": [a, b]}
    mu.write_mots(tmp_path / "gt.txt", table)
    mu.write_mots(tmp_path / "pred.txt", {**table, "id": [5, 6]})
    got = mu.evaluate_tracking(tmp_path / "pred.txt", tmp_path / "gt.txt").summary
    assert got["HOTA"] == pytest.approx(1.0) and got["IDF1"] == 1.0 and got["MOTA"] == 1.0


def write_clip(folder, frames):
    """Annotation files output_pp_<k>.json of rectangles (object id -> x0, y0,
    x1, y1), one per entry of `frames`, on one 64 x 48 frame image."""
    from PIL import Image

    folder.mkdir()
    image = folder / "frame.png"
    Image.new("RGB", (64, 48)).save(image)
    for k, boxes in enumerate(frames):
        write_annotation(folder / f"output_pp_{k}.json", image, [
            {"object_id": i, "formatted_polygon": [polygon_text([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], 64, 48)]}
            for i, (x0, y0, x1, y1) in boxes.items()])
    return folder


def test_a_clip_against_its_own_mots_export(tmp_path):
    frames = [{1: (2, 2, 12, 12), 2: (8, 8, 30, 20), 4: (40, 30, 60, 44)} for _ in range(5)]
    del frames[3][4]
    folder = write_clip(tmp_path / "clip", frames)
    clip = mu.open_clip(folder)
    rows = [(clip[k]["frame_index"], key, mask) for k in clip for key, mask in clip.animals(k).items()]
    mu.write_mots(tmp_path / "gt.txt", {"frame": [r[0] for r in rows], "id": [int(r[1][3:]) + 1 for r in rows],
                                        "class": [1] * len(rows), "mask": [r[2] for r in rows]})
    for side in (clip, str(folder), mu.get_gsam_annotation_data(None, save_dir_base=str(folder))[1]):
        got = mu.evaluate_tracking(side, tmp_path / "gt.txt")
        assert got.summary["HOTA"] == pytest.approx(1.0) and got.summary["IDSW"] == 0
        assert got.per_animal["Identity"].tolist() == [1, 2, 4]
        assert got.per_animal["Frames"].tolist() == [5, 5, 4]
    boxes = mu.evaluate_tracking(clip, tmp_path / "gt.txt", iou="box").summary
    assert boxes["MOTA"] == 1.0


@pytest.mark.parametrize("call, error, match", [
    (lambda g, p, m: mu.evaluate_tracking(p, g), ValueError, r"holds boxes: pass iou=\"box\""),
    (lambda g, p, m: mu.evaluate_tracking(p, g, iou="pixels"), ValueError, "iou \"mask\" or \"box\""),
    (lambda g, p, m: mu.evaluate_tracking(p, g, iou="box", threshold=1.5), ValueError, "threshold from 0 to 1"),
    (lambda g, p, m: mu.evaluate_tracking(p, g, iou="box", threshold="0.5"), TypeError, "number for threshold"),
    (lambda g, p, m: mu.evaluate_tracking(p, m), ValueError, "share a frame size"),
    (lambda g, p, m: mu.evaluate_tracking(42, g), TypeError, "clip, a mapping"),
    (lambda g, p, m: mu.evaluate_tracking(p, os.path.dirname(g) + "/missing.txt", iou="box"), FileNotFoundError, "missing"),
    (lambda g, p, m: mu.evaluate_tracking(p, os.path.dirname(g) + "/empty_dir", iou="box"), FileNotFoundError,
     "no annotation files"),
])
def test_bad_arguments(tmp_path, call, error, match):
    g = write_rows(tmp_path / "gt.txt", ["1,1," + B + ",1,1,1"])
    p = write_rows(tmp_path / "pred.txt", ["1,2," + B + ",1"])
    (tmp_path / "empty_dir").mkdir()
    m1 = np.zeros((4, 4), bool)
    mu.write_mots(tmp_path / "m1.txt", {"frame": [1], "id": [1], "class": [2], "mask": [m1]})
    mu.write_mots(tmp_path / "m2.txt", {"frame": [1], "id": [1], "class": [2], "mask": [np.zeros((5, 4), bool)]})
    with pytest.raises(error, match=match):
        call(str(tmp_path / "m1.txt") if error is ValueError and "frame size" in match else g,
             str(tmp_path / "m2.txt") if "frame size" in match else p, str(tmp_path / "m1.txt"))


# ------------------------------------------------------------- track files

BAD_MOT = [
    ("1,1,0,0,10\n", 1, "7 to 10 values"),
    ("1,1,0,0,10,10,1\n1,1,a,0,10,10,1\n", 2, "number for the box left, got 'a'"),
    ("1.5,1,0,0,10,10,1\n", 1, "whole number for the frame"),
    ("1,1,0,0,-1,10,1\n", 1, "width and height of at least 0"),
    ("1,1,0,0,nan,10,1\n", 1, "finite number"),
    ("\n1,1,0,0,10,10,1\n1,1,5,5,10,10,1\n", 3, "identity 1 appears twice in frame 1 \\(first on line 2\\)"),
    ("1,,0,0,10,10,1\n", 1, "value 2 is empty"),
    ("1,1,0,0,10,10,1,1,1,1,1\n", 1, "7 to 10 values"),
]
BAD_MOTS = [
    ("1 1 2 4 4\n", 1, "6 values"),
    ("1 1 2 4 4 0\x7f\n", 1, "RLE characters '0' to 'o'"),
    ("1 1 2 4 4 P\n", 1, "ends inside the count"),
    ("1 1 2 4 4 50\n", 1, "cover 5 pixels, expected 4 x 4 = 16"),
    ("1 1 2 4 4 `0\n1 2 2 5 4 d0\n", 2, "frame size 4 x 4 of line 1"),
    ("1 1 2 4 4 `0\n1 1 2 4 4 `0\n", 2, "identity 1 appears twice"),
    ("1 1 2 -4 4 `0\n", 1, "height and width of at least 0"),
]


@pytest.mark.parametrize("reader, text, line, match", [(mu.read_mot, *case) for case in BAD_MOT]
                         + [(mu.read_mots, *case) for case in BAD_MOTS])
def test_bad_track_files_name_the_file_and_line(tmp_path, reader, text, line, match):
    path = tmp_path / "tracks.txt"
    path.write_text(text)
    with pytest.raises(ValueError, match=match) as info:
        reader(path)
    assert str(info.value).startswith(f"{path}, line {line}: ")
    with pytest.raises(ValueError) as info:
        mu.evaluate_tracking(path, path, iou="box")
    assert str(info.value).startswith(f"{path}, line {line}: ")


def test_a_file_of_neither_kind(tmp_path):
    path = write_rows(tmp_path / "tracks.txt", ["", "1 1 2 4 4 4"])
    with pytest.raises(ValueError, match=r"line 2: expected a MOTChallenge row .* or a MOTS row"):
        mu.evaluate_tracking(path, path, iou="box")


def test_mot_files_round_trip(tmp_path):
    path = write_rows(tmp_path / "in.txt", ["1, 3, 0.1, 2, 30.25, 40, 0.3, -1, -1, -1", "2,3,1e-3,2,3,4,1,", "",
                                            "2 4 5 6 7 8 1 0.5"])
    table = mu.read_mot(path)
    assert table.columns.tolist() == ["frame", "id", "x", "y", "w", "h", "conf", "col8", "col9", "col10"]
    assert table["id"].tolist() == [3, 3, 4] and table["x"].tolist() == [0.1, 1e-3, 5.0]
    assert np.isnan(table["col8"][1]) and table["col8"][2] == 0.5 and np.isnan(table["col9"][2])
    mu.write_mot(tmp_path / "out.txt", table)
    assert (tmp_path / "out.txt").read_text() == "1,3,0.1,2,30.25,40,0.3,-1,-1,-1\n2,3,0.001,2,3,4,1\n2,4,5,6,7,8,1,0.5\n"
    again = mu.read_mot(tmp_path / "out.txt")
    assert again.equals(table)
    mu.write_mot(tmp_path / "plain.txt", {"frame": [1], "id": [2], "x": [0.5], "y": [1], "w": [2], "h": [3]})
    assert (tmp_path / "plain.txt").read_text() == "1,2,0.5,1,2,3,1\n"


def test_mots_files_round_trip(tmp_path, rng):
    masks = [rng.random((H, W)) < p for p in (0.0, 0.3, 1.0)] + [np.eye(H, W, dtype=bool)]
    mu.write_mots(tmp_path / "a.txt", {"frame": [1, 1, 2, 3], "id": [1, 2, 1, 10000], "class": [2, 2, 2, 10],
                                       "mask": masks})
    table = mu.read_mots(tmp_path / "a.txt")
    assert table.attrs["frame_size"] == (H, W)
    assert table[["frame", "id", "class"]].values.tolist() == [[1, 1, 2], [1, 2, 2], [2, 1, 2], [3, 10000, 10]]
    for got, want in zip(table["mask"], masks):
        assert np.array_equal(np.asarray(got), want)
    mu.write_mots(tmp_path / "b.txt", table)
    assert (tmp_path / "b.txt").read_bytes() == (tmp_path / "a.txt").read_bytes()


def random_masks(rng):
    yield np.zeros((0, 0), np.uint8)
    yield np.zeros((5, 7), np.uint8)
    yield np.ones((5, 7), np.uint8)
    full_columns = np.zeros((6, 9), np.uint8)
    full_columns[:, 2:5] = 1  # runs that cross from one column into the next
    yield full_columns
    for _ in range(40):
        h, w = rng.integers(1, 40, 2)
        yield (rng.random((h, w)) < rng.random()).astype(np.uint8)


def test_rle_matches_pycocotools(rng):
    coco = needs("pycocotools.mask")
    for m in random_masks(rng):
        mine = mu.rle_encode(m)
        if m.size:
            want = coco.encode(np.asfortranarray(m))
            assert mine["counts"] == want["counts"].decode() and mine["size"] == list(want["size"])
        assert np.array_equal(np.asarray(mu.rle_decode(mine)), m)
        assert np.array_equal(np.asarray(mu.rle_decode({**mine, "counts": mine["counts"].encode()})), m)
        assert np.array_equal(np.asarray(mu.rle_encode(mu.CompactMask.from_array(m))["counts"]), mine["counts"])


@pytest.mark.parametrize("rle, error, match", [
    ({"size": [2, 2], "counts": [1, 2]}, ValueError, "cover 3 pixels, expected 2 x 2 = 4"),
    ({"size": [2, 2], "counts": [1, 2, 1]}, None, None),
    ({"size": [2, 2], "counts": [-1, 5]}, ValueError, "counts from 0"),
    ({"size": [2, 2], "counts": "4P"}, ValueError, "ends inside the count that starts at character 2"),
    ({"size": [2, 2], "counts": "o" * 14}, ValueError, "more than 64 bits"),
    ({"size": [2], "counts": "4"}, ValueError, "two numbers"),
    ({"counts": "4"}, KeyError, "size"),
    ([2, 2], TypeError, "mapping"),
])
def test_rle_decode_bad_input(rle, error, match):
    if error is None:
        assert np.asarray(mu.rle_decode(rle)).tolist() == [[0, 1], [1, 0]]
        return
    with pytest.raises(error, match=match):
        mu.rle_decode(rle)


def test_frames_spanning_too_far_are_refused(tmp_path):
    gt = write_rows(tmp_path / "gt.txt", ["1,1," + B + ",1,1,1"])
    pred = write_rows(tmp_path / "pred.txt", ["20000001,1," + B + ",1"])
    with pytest.raises(ValueError, match="spanning fewer than 10\\^7 frames, got 1 to 20000001"):
        mu.evaluate_tracking(pred, gt, iou="box")
