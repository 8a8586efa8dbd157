"""A clip opened compactly (open_clip) against the dense load of the same
files: records, the operations on frame records, the views, and the
mapping behaviour."""
import json
from collections.abc import Mapping, MutableMapping

import numpy as np
import pandas as pd
import pytest
import torch
from PIL import Image

import mirelo_utils as mu
from conftest import polygon_text

H, W = 48, 64


def rect(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def det(object_id, *polygons):
    d = {"formatted_polygon": [polygon_text(p, W, H) for p in polygons]}
    if object_id is not None:
        d["object_id"] = object_id
    return d


def write_clip(folder, frames, image_size=(W, H)):
    """One annotation file per entry of `frames` (a list of detection
    lists), named output_pp_<k>.json, all naming one frame image."""
    folder.mkdir(parents=True, exist_ok=True)
    image = folder / "frame.png"
    Image.new("RGB", image_size, (120, 90, 60)).save(image)
    for k, detections in enumerate(frames):
        (folder / f"output_pp_{k}.json").write_text(
            json.dumps({"image_path": str(image), "detections": detections}), encoding="utf-8")
    return folder


def rich_frames():
    """Frames with the awkward cases: polygons past the frame border, an
    animal of two polygons, an empty outline, repeated keys (an object id
    twice, two detections without one), a frame without detections, and
    one animal sliding over another (overlap rows in the report)."""
    frames = []
    for f in range(9):
        x = 20 + 3 * f
        frames.append([
            det(1, [(-5, -4), (18, -2), (14, 15), (-3, 12)]),  # past the top-left corner
            det(2, rect(30, 2, 40, 12), rect(36, 8, 50, 16)),  # two overlapping polygons
            det(3, rect(x, 4, x + 10, 14)),  # slides over Box1
            det(5) if f % 3 == 0 else det(5, rect(50, 30, 70, 52)),  # empty, or past the bottom-right
            det(None, rect(2, 30, 8, 36)), det(None, rect(10, 30, 16, 40)),  # both "Box-1": the later one stays
            det(2, rect(31, 3, 39, 11)) if f == 4 else det(7, [(0, 47), (63, 47), (63, 47)]),  # Box1 again; a line
        ])
    frames[6] = []
    return frames


@pytest.fixture
def rich(tmp_path):
    return write_clip(tmp_path / "rich", rich_frames())


def loaded(folder):
    """The dense load and the opened clip of the same folder."""
    last, dense = mu.get_gsam_annotation_data(None, save_dir_base=str(folder))
    return last, dense, mu.open_clip(folder)


def assert_same_record(got, want):
    assert list(got) == list(want)
    for name in ("frame_index", "json_path", "image_path"):
        assert got[name] == want[name] and type(got[name]) is type(want[name])
    assert list(got["masks_dict"]) == list(want["masks_dict"])
    for key, mask in want["masks_dict"].items():
        m = got["masks_dict"][key]
        assert m.dtype == np.uint8 and m.shape == mask.shape
        np.testing.assert_array_equal(m, mask)
    assert got["mask_areas"] == want["mask_areas"]
    assert all(type(a) is int for a in got["mask_areas"].values())
    pd.testing.assert_frame_equal(got["intersections_df"], want["intersections_df"])


# ------------------------------------------------------------ records and views


def test_records_equal_the_dense_load(rich):
    last, dense, clip = loaded(rich)
    assert isinstance(clip, Mapping) and list(clip) == list(dense) and len(clip) == 9
    assert (clip.height, clip.width) == (H, W)
    for k in dense:
        assert_same_record(clip[k], dense[k])
    assert_same_record(clip.last_frame, last)
    assert list(clip[6]["masks_dict"]) == [] and clip[6]["intersections_df"].shape == (0, 0)
    assert clip[4]["mask_areas"]["Box1"] == dense[4]["mask_areas"]["Box1"]  # the repeated key's last mask


def test_dense_views_equal_the_dense_load(rich):
    _, dense, clip = loaded(rich)
    whole = clip.to_dict()
    assert list(whole) == list(dense)
    for k in dense:
        assert_same_record(whole[k], dense[k])
        assert all(type(v) is dict for v in (whole[k]["masks_dict"], whole[k]["mask_areas"]))
    subset = clip.to_dict([7, 2.0])
    assert list(subset) == [7, 2]
    one = clip.dense_record(3)
    masks = list(one["masks_dict"].values())
    assert all(m.flags.writeable and m.base is masks[0].base for m in masks)  # views of one stack
    masks[0][0, 0] = 7  # the copy is the caller's
    assert clip[3]["masks_dict"]["Box0"][0, 0] == 1
    with pytest.raises(KeyError):
        clip.to_dict([0, 9])


def test_per_animal_view(rich):
    _, dense, clip = loaded(rich)
    for k in (0, 4):
        animals = clip.animals(k)
        assert list(animals) == list(dense[k]["masks_dict"])
        for key, a in animals.items():
            mask = dense[k]["masks_dict"][key]
            assert a.area == np.count_nonzero(mask) and a.shape == (H, W)
            painted = np.zeros((H, W), np.uint8)
            for y, x0, x1 in a.runs:
                painted[y, x0:x1] = 1
            np.testing.assert_array_equal(painted, mask)
            np.testing.assert_array_equal(np.asarray(a), mask)
            if a.area:
                ys, xs = np.nonzero(mask)
                assert a.box == (xs.min(), ys.min(), xs.max(), ys.max())
            else:
                assert a.box is None and a.runs.shape == (0, 3)
    masks = clip[0]["masks_dict"]
    del masks["Box0"]
    masks["Box9"] = np.eye(H, W)
    view = clip.animals(0)
    assert list(view)[-1] == "Box9" and "Box0" not in view and view["Box9"].area == H


def test_compact_masks_stand_for_their_dense_masks(rich):
    _, dense, clip = loaded(rich)
    animals, masks = clip.animals(2), dense[2]["masks_dict"]
    areas = dense[2]["mask_areas"]
    pd.testing.assert_frame_equal(mu.intersection_between_masks(animals, areas), dense[2]["intersections_df"])
    assert mu.calculate_masks_intersection(animals["Box1"], animals["Box2"]) == \
        mu.calculate_masks_intersection(masks["Box1"], masks["Box2"])
    again = mu.CompactMask.from_array(masks["Box1"].astype(np.float32)[None])
    np.testing.assert_array_equal(again.runs, animals["Box1"].runs)
    with pytest.raises(ValueError, match="2-D"):
        mu.CompactMask.from_array(np.ones((2, 3, 4)))


# -------------------------------------------------------- the mapping behaviour


def test_read_only_clip_and_records_with_a_mutable_masks_dict(rich):
    clip = mu.open_clip(rich)
    record = clip[2]
    assert clip[2] is record and clip[np.int64(2)] is record and clip[2.0] is record and 2.0 in clip
    assert 9 not in clip and "2" not in clip
    for bad in (9, -1, "2"):
        with pytest.raises(KeyError):
            clip[bad]
    with pytest.raises(TypeError):
        clip[0] = record
    with pytest.raises(TypeError):
        record["extra"] = 1
    with pytest.raises(KeyError):
        record["extra"]
    assert isinstance(record, Mapping) and len(record) == 6 and "intersections_df" in record and "x" not in record
    masks = record["masks_dict"]
    assert isinstance(masks, MutableMapping) and record["masks_dict"] is masks
    a = masks["Box0"]
    assert masks["Box0"] is a and not a.flags.writeable
    with pytest.raises(ValueError, match="read-only"):
        a[0, 0] = 0
    masks["Box0"] = np.zeros((H, W), np.uint8)
    assert not masks["Box0"].any()
    assert masks.pop("Box1").sum() > 0 and "Box1" not in masks
    copy = masks.copy()
    copy.clear()
    assert len(copy) == 0 and len(masks) == 5
    assert record["mask_areas"] is record["mask_areas"]


def test_no_files_and_bad_files_as_the_dense_load(tmp_path, capsys):
    assert mu.open_clip(tmp_path / "missing") is None
    assert capsys.readouterr().out == (
        f"No JSON files found in {tmp_path / 'missing'}. Please check the directory and try again.\n")
    cases = {
        "bad_json": {"output_pp_0.json": "{broken"},
        "bad_name": {"data_7.json": json.dumps({"image_path": "x", "detections": []})},
        "no_image": {"output_pp_0.json": json.dumps({"image_path": str(tmp_path / "none.png"), "detections": []})},
        "odd_polygon": {"output_pp_0.json": None, "output_pp_1.json": json.dumps(
            {"image_path": str(tmp_path / "f.png"), "detections": [{"formatted_polygon": ["0 0.5 0.5 0.1"]}]})},
    }
    Image.new("RGB", (8, 8)).save(tmp_path / "f.png")
    for name, files in cases.items():
        folder = tmp_path / name
        folder.mkdir()
        for file_name, text in files.items():
            (folder / file_name).write_text(
                text or json.dumps({"image_path": str(tmp_path / "f.png"), "detections": []}), encoding="utf-8")
        with pytest.raises(Exception) as dense_error:
            mu.get_gsam_annotation_data(None, save_dir_base=str(folder))
        with pytest.raises(type(dense_error.value)) as clip_error:
            mu.open_clip(folder)
        assert str(clip_error.value) == str(dense_error.value)
    for threads, exc in ((0, ValueError), (1.5, TypeError), ("2", TypeError)):
        with pytest.raises(exc, match="threads"):
            mu.open_clip(tmp_path, threads=threads)


# ------------------------------------------------------- operations on records


def test_report_and_small_area_search_equal_and_read_no_value(rich, tmp_path, capsys):
    _, dense, clip = loaded(rich)
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    capsys.readouterr()
    for thr in (80, 30):
        got = mu.generate_tracking_report(clip, tmp_path / "a", thr)
        out_clip = capsys.readouterr().out
        want = mu.generate_tracking_report(dense, tmp_path / "b", thr)
        assert out_clip.replace(str(tmp_path / "a"), "D") == capsys.readouterr().out.replace(str(tmp_path / "b"), "D")
        assert (tmp_path / "a/tracking_question_report.csv").read_bytes() == \
            (tmp_path / "b/tracking_question_report.csv").read_bytes()
        pd.testing.assert_frame_equal(got[0], want[0])
        assert got[1:3] == want[1:3] and got[2] and got[1]
        pd.testing.assert_frame_equal(got[3], want[3])
    for args in ((2, 0, 1), (0, 100, 2), (5, 1000, 0)):
        assert mu.find_boxes_with_small_area_from_last_video(clip, *args) == \
            mu.find_boxes_with_small_area_from_last_video(dense, *args)
    assert all(not clip[k]._values for k in clip)  # nothing was read through the records


def test_values_the_caller_changed_are_read_as_changed(rich, tmp_path, capsys):
    _, dense, clip = loaded(rich)
    for records in (dense, clip):
        records[1]["mask_areas"]["Box0"] = 0
        records[2]["intersections_df"].iloc[0, 1] = 99.5
        records[8]["masks_dict"]["Box0"] = np.zeros((H, W), np.uint8)
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    mu.generate_tracking_report(clip, tmp_path / "a")
    mu.generate_tracking_report(dense, tmp_path / "b")
    text = (tmp_path / "a/tracking_question_report.csv").read_text()
    assert text == (tmp_path / "b/tracking_question_report.csv").read_text()
    assert "\n2,Box0-Box1,99.5," in text and "\n1,,,,,Zero area detected,Box0,0\n" in text
    assert mu.find_boxes_with_small_area_from_last_video(clip, 0, 0, 0) == ["Box0", "Box4"]
    keep = ["Box0", "Box1"]
    remove = [k for k in dense[0]["masks_dict"] if k not in keep] + ["Box3", "Box5", "Box7", "Box8", "Box9", "Box10"]
    best, _ = mu.find_best_laste_frame(dense, remove_stack_obs=remove, max_attempts=3)
    assert best is dense[7]  # frame 8 lost its Box0
    assert mu.find_best_laste_frame(clip, remove_stack_obs=remove, max_attempts=3)[0] is clip[7]


def outcome(call):
    """A call's result, or the type and text of its error."""
    try:
        return call()
    except Exception as e:  # noqa: BLE001 - compared with the other load's
        return type(e), str(e)


def test_last_frame_and_removals_equal(rich, capsys):
    _, dense, clip = loaded(rich)
    removed = ["Box4", "Box5", "Box6", "Box7", "Box8", "Box9", "Box-1"]
    for kwargs in ({"max_attempts": 9, "remove_stack_obs": removed}, {"max_attempts": 4}, {"min_area": 0}):
        want = outcome(lambda: mu.find_best_laste_frame(dense, **kwargs))
        out = capsys.readouterr().out
        got = outcome(lambda: mu.find_best_laste_frame(clip, **kwargs))
        assert capsys.readouterr().out == out
        if want[0] is None or isinstance(want[0], type):
            assert got == want
        else:
            key = next(k for k in dense if dense[k] is want[0])
            assert got[0] is clip[key] and got[1] is want[1] is False
    assert want[0] is IndexError
    assert [list(clip[k]["masks_dict"]) for k in clip] == [list(dense[k]["masks_dict"]) for k in dense]
    assert all(not clip[k]["masks_dict"]._views for k in clip)  # counted on runs, never painted
    assert clip[0]["mask_areas"] == dense[0]["mask_areas"]  # left as they were


class BoxPredictor:
    """Answers each box with a mask filling it; records the boxes."""

    def __init__(self):
        self.boxes = []

    def set_image(self, image):
        self.h, self.w = image.shape[:2]

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        self.boxes.append(np.asarray(box).tolist())
        masks = np.zeros((len(box), 1, self.h, self.w), np.float32)
        for i, (x0, y0, x1, y1) in enumerate(box):
            masks[i, 0, y0:y1 + 1, x0:x1 + 1] = 1
        return masks, np.ones(len(box)), np.zeros((len(box), 1, 4, 4))


@pytest.fixture
def pen(tmp_path):
    """Ten animals apart, moving right; the last frame loses Box3."""
    frames = [[det(k + 1, rect(6 * k + f % 2, 10 + 3 * (k % 2), 6 * k + 4 + f % 2, 20)) for k in range(10)]
              for f in range(8)]
    frames[-1][3] = det(4)
    return write_clip(tmp_path / "pen", frames)


def test_matcher_equal(pen, capsys):
    _, dense, clip = loaded(pen)
    frame = str(pen / "frame.png")
    for remove in ([], ["Box7"]):
        shown = {}
        results = {}
        for name, records in (("dense", dense), ("clip", clip)):
            pred = BoxPredictor()
            results[name] = mu.matcher(records, [frame], 0, pred, remove, display_func=lambda im, n=name: shown.update({n: im}),
                                       max_attempts=3) + (pred.boxes, capsys.readouterr().out)
        (m1, o1, k1, best1, f1, boxes1, out1), (m2, o2, k2, best2, f2, boxes2, out2) = results.values()
        np.testing.assert_array_equal(m1, m2)
        assert (o1, k1, f1, boxes1, out1) == (o2, k2, f2, boxes2, out2) and not f1
        assert best1 is dense[6] and best2 is clip[6]
        assert "Switched to frame key 6" in out1
        np.testing.assert_array_equal(np.asarray(shown["dense"]), np.asarray(shown["clip"]))
    assert list(clip[7]["masks_dict"]) == list(dense[7]["masks_dict"]) and "Box7" not in clip[0]["masks_dict"]


class Encoder:
    device = torch.device("cpu")

    def image_encoder(self, x):
        return {"vision_features": x.mean(dim=(2, 3), keepdim=True).repeat(1, 4, 2, 2)}


class FeaturePredictor:
    def __init__(self):
        self.model = Encoder()

    def set_image(self, image):
        pass


def test_overlap_analysis_equal(pen, capsys):
    _, dense, clip = loaded(pen)
    rows = pd.DataFrame({"Frame ID": [5, 6, 7, 5, 6, 7], "Box Pair": ["Box1-Box2"] * 3 + ["Box3-Box4"] * 3})
    got = mu.process_overlap_frames(rows.iloc[:3], clip, FeaturePredictor())
    want = mu.process_overlap_frames(rows.iloc[:3], dense, FeaturePredictor())
    assert got == want and got[0] == 5
    assert all(not clip[k]["masks_dict"]._views for k in clip)  # painted for the comparison only
