"""Loading a tracked clip's annotation files into frame records."""
import os

import numpy as np
import pandas as pd
import pytest
from PIL import Image

import mirelo_utils as mu
from reference.annotation import python_masks_of_file as reference_masks
from conftest import polygon_text, write_annotation

H, W = 30, 40
RECORD_KEYS = ["frame_index", "masks_dict", "mask_areas", "json_path", "image_path", "intersections_df"]


def square(x0, y0, side):
    return polygon_text([(x0, y0), (x0 + side, y0), (x0 + side, y0 + side), (x0, y0 + side)], W, H)


@pytest.fixture
def frame(tmp_path):
    path = tmp_path / "frame.jpg"
    Image.new("RGB", (W, H), (90, 90, 90)).save(path)
    return path


def clip_file(folder, name, frame, detections=None):
    folder.mkdir(parents=True, exist_ok=True)
    if detections is None:
        detections = [{"object_id": 1, "formatted_polygon": [square(2, 2, 8)]},
                      {"object_id": 3, "formatted_polygon": [square(6, 6, 10), square(30, 20, 5)]}]
    return write_annotation(folder / name, frame, detections)


def reference_record(path):
    """The record of one file built the straightforward way."""
    image_path, masks, keys = reference_masks(path, H, W)
    masks_dict = {f"Box{k}": m for k, m in zip(keys, masks)}
    areas = {k: int(np.count_nonzero(m)) for k, m in masks_dict.items()}
    return image_path, masks_dict, areas


def test_walk_order_name_filter_and_numeric_sort(tmp_path, frame):
    root = tmp_path / "out"
    for name in ["output_pp_10.json", "output_pp_2.json", "output_pp_1.json", "notes.json", "output_pp_3.json.bak",
                 "output_pp_5.JSON"]:
        clip_file(root, name, frame)
    clip_file(root / "b", "output_pp_0.json", frame)
    clip_file(root / "a", "output_pp_7.json", frame)
    last, data = mu.get_gsam_annotation_data("ignored", save_dir_base=str(root))
    assert list(data) == [0, 1, 2, 3, 4]
    assert [data[k]["frame_index"] for k in data] == [1, 2, 10, 7, 0]
    assert [os.path.relpath(data[k]["json_path"], root) for k in data] == [
        "output_pp_1.json", "output_pp_2.json", "output_pp_10.json", "a/output_pp_7.json", "b/output_pp_0.json"]
    assert last is data[4]


def test_records_hold_the_masks_areas_and_table_of_each_file(tmp_path, frame):
    root = tmp_path / "out"
    paths = [clip_file(root, f"output_pp_{k}.json", frame) for k in range(3)]
    paths.append(clip_file(root, "output_pp_3.json", frame, [
        {"formatted_polygon": [square(1, 1, 4)]}, {"formatted_polygon": [square(20, 5, 6)]},
        {"object_id": 4, "formatted_polygon": [square(0, 0, 39)]}]))
    paths.append(clip_file(root, "output_pp_4.json", frame, []))
    last, data = mu.get_gsam_annotation_data(None, save_dir_base=root)
    for k, path in enumerate(paths):
        record = data[k]
        assert list(record) == RECORD_KEYS
        image_path, masks_dict, areas = reference_record(path)
        assert record["json_path"] == path and record["image_path"] == image_path == str(frame)
        assert list(record["masks_dict"]) == list(masks_dict)
        for key, mask in masks_dict.items():
            got = record["masks_dict"][key]
            assert isinstance(got, np.ndarray) and got.dtype == np.uint8 and got.shape == (H, W)
            np.testing.assert_array_equal(got, mask)
        assert record["mask_areas"] == areas and all(type(a) is int for a in areas.values())
        expected = mu.intersection_between_masks(masks_dict, areas)
        assert isinstance(record["intersections_df"], pd.DataFrame)
        pd.testing.assert_frame_equal(record["intersections_df"], expected)
    # Two detections without an id share "Box-1": the later one wins.
    assert list(data[3]["masks_dict"]) == ["Box-1", "Box3"]
    assert data[3]["mask_areas"]["Box-1"] == 49
    assert data[4]["masks_dict"] == {} and data[4]["intersections_df"].shape == (0, 0)
    assert last is data[4]


def test_masks_own_their_memory(tmp_path, frame):
    clip_file(tmp_path, "output_pp_0.json", frame)
    _, data = mu.get_gsam_annotation_data(None, save_dir_base=tmp_path)
    mask = data[0]["masks_dict"]["Box0"]
    del data
    assert mask.sum() == 81 and mask.flags.writeable


def test_single_frame_load(tmp_path, frame):
    for k in range(5):
        clip_file(tmp_path, f"output_pp_{k}.json", frame)
    for flag in (False, True):
        last, data = mu.get_gsam_annotation_data(None, flag, 3, tmp_path)
        assert last is data and list(data) == [3]
        assert list(data[3]) == RECORD_KEYS[:-1] and data[3]["frame_index"] == 3
    last, data = mu.get_gsam_annotation_data(None, ixx=5, save_dir_base=tmp_path)
    assert last == {} and data == {}


def test_no_files_prints_and_returns_none(tmp_path, capsys):
    (tmp_path / "notes.json").write_text("{}")
    assert mu.get_gsam_annotation_data(None, save_dir_base=str(tmp_path)) == (None, None)
    assert mu.get_gsam_annotation_data(None, save_dir_base=str(tmp_path / "missing")) == (None, None)
    out = capsys.readouterr().out.splitlines()
    assert out == [f"No JSON files found in {tmp_path}. Please check the directory and try again.",
                   f"No JSON files found in {tmp_path / 'missing'}. Please check the directory and try again."]


def test_frame_size_comes_from_the_first_image_with_its_orientation(tmp_path):
    # A 40 x 30 picture stored sideways with an EXIF rotation: read as 30 wide.
    image = Image.new("RGB", (W, H), (1, 2, 3))
    exif = Image.Exif()
    exif[0x0112] = 6  # rotate 90 degrees for display
    image.save(tmp_path / "frame.jpg", exif=exif)
    write_annotation(tmp_path / "output_pp_0.json", tmp_path / "frame.jpg", [
        {"object_id": 1, "formatted_polygon": [polygon_text([(0, 0), (5, 0), (5, 5)], 30, 40)]}])
    _, data = mu.get_gsam_annotation_data(None, save_dir_base=tmp_path)
    assert data[0]["masks_dict"]["Box0"].shape == (40, 30)


@pytest.mark.parametrize("make, error, match", [
    (lambda d, f: (d / "output_pp_0.json").write_text("[]"), TypeError, "JSON object"),
    (lambda d, f: (d / "output_pp_0.json").write_text('{"detections": []}'), KeyError, "image_path"),
    (lambda d, f: write_annotation(d / "output_pp_0.json", d / "none.jpg", []), FileNotFoundError, "none.jpg"),
    (lambda d, f: write_annotation(d / "output_pp_0.json", d / "output_pp_0.json", []), OSError, "cannot read"),
    (lambda d, f: (clip_file(d, "output_pp_0.json", f), (d / "output_pp_1.json").write_text("{x")), ValueError,
     "invalid JSON"),
    (lambda d, f: clip_file(d, "data_7.json", f), ValueError, "invalid literal for int"),
    (lambda d, f: clip_file(d, "output_pp_0.json", f, [{"object_id": None, "formatted_polygon": []}]), TypeError,
     "integer"),
    # Never opened for reading: a FIFO would block and a device never end.
    (lambda d, f: (clip_file(d, "output_pp_0.json", f), os.mkfifo(d / "output_pp_4.json")), OSError,
     r"^expected a regular file, got a FIFO: '.*output_pp_4\.json'$"),
    (lambda d, f: (clip_file(d, "output_pp_0.json", f), os.symlink("/dev/zero", d / "output_pp_8.json")), OSError,
     r"^expected a regular file, got a character device: '.*output_pp_8\.json'$"),
    (lambda d, f: (os.mkfifo(d / "fifo.png"), write_annotation(d / "output_pp_0.json", d / "fifo.png", [])),
     OSError, r"^expected a regular file, got a FIFO: '.*fifo\.png'$"),
])
def test_bad_clips_raise_without_printing(tmp_path, frame, capsys, make, error, match):
    make(tmp_path, frame)
    with pytest.raises(error, match=match):
        mu.get_gsam_annotation_data(None, save_dir_base=tmp_path)
    assert capsys.readouterr().out == ""


def test_the_first_failing_file_in_load_order_is_reported(tmp_path, frame):
    for k in range(8):
        clip_file(tmp_path, f"output_pp_{k}.json", frame)
    (tmp_path / "output_pp_6.json").write_text("{x")
    (tmp_path / "output_pp_3.json").write_text('{"image_path": "f", "detections": 1}')
    with pytest.raises(TypeError, match="output_pp_3"):
        mu.get_gsam_annotation_data(None, save_dir_base=tmp_path)
