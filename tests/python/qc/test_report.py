import collections.abc
import os
import stat

import numpy as np
import pandas as pd
import pytest

import mirelo_utils as mu
from reference.qc import COLUMNS, tracking_report

HEADER = ",".join(COLUMNS) + "\n"
START = "Generating tracking question report...\n\n"


def record(areas, cells, keys=None):
    keys = list(areas) if keys is None else keys
    return {"masks_dict": None, "mask_areas": dict(areas),
            "intersections_df": pd.DataFrame(np.asarray(cells, dtype=float), index=keys, columns=keys)}


def quiet(n=2):
    return np.zeros((n, n))


def read_report(folder):
    with open(os.path.join(folder, "tracking_question_report.csv"), "rb") as f:
        return f.read().decode()


@pytest.fixture
def clip():
    """Frame 3: overlap both ways and a vanished mask; frame 5: nothing;
    frame 7: a single overlap."""
    return {
        3: record({"Box0": 1200, "Box1": 0, "Box2": 900}, [[0, 0, 85.3349], [0, 0, 0], [81.0, 0, 0]]),
        5: record({"Box0": 1100, "Box1": 40}, quiet()),
        7: record({"Box0": 1000, "Box2": 950}, [[0, 99.999], [12.5, 0]]),
    }


def test_report_rows_file_and_messages(tmp_path, capsys, clip):
    overlap, zero, frames, last = mu.generate_tracking_report(clip, str(tmp_path))
    path = os.path.join(str(tmp_path), "tracking_question_report.csv")
    assert capsys.readouterr().out == START + f"Tracking question report saved to {path}\n"
    assert read_report(tmp_path) == HEADER + (
        "3,Box0-Box2,85.33,1200,900,High overlap mask detected,,\n"
        "3,Box2-Box0,81.0,900,1200,High overlap mask detected,,\n"
        "7,Box0-Box2,100.0,1000,950,High overlap mask detected,,\n"
        "3,,,,,Zero area detected,Box1,0\n")
    assert frames == [3, 7]
    assert zero == [dict(zip(COLUMNS, [3, None, None, None, None, "Zero area detected", "Box1", 0]))]
    assert list(overlap.columns) == COLUMNS and list(overlap.index) == [0, 1, 2]
    assert overlap["Intersection Value"].tolist() == [85.33, 81.0, 100.0]
    assert overlap["Box ID"].tolist() == [None] * 3
    # box_keys_df: only the last overlap frame, labelled from 0.
    assert last.to_dict("list") == overlap.iloc[2:].reset_index(drop=True).to_dict("list")
    ref = tracking_report(clip)
    pd.testing.assert_frame_equal(overlap, ref[0], check_dtype=False)
    pd.testing.assert_frame_equal(last, ref[3], check_dtype=False)
    assert (zero, frames) == (ref[1], ref[2])


@pytest.mark.parametrize(
    "area, cell, thr, zero_rows, overlap_rows",
    [
        (0.1, 0, 80, 1, 0),      # an area of exactly 0.1 has vanished
        (0.11, 0, 80, 0, 0),
        (-3, 0, 80, 1, 0),
        (5, 80, 80, 0, 0),       # a cell equal to the threshold is no overlap
        (5, 80.01, 80, 0, 1),
        (5, 50, 49.5, 0, 1),
        (5, 0, -1, 0, 1),        # below-zero threshold: every cell, the diagonal too
        (float("nan"), float("nan"), 80, 0, 0),
    ],
)
def test_thresholds(tmp_path, area, cell, thr, zero_rows, overlap_rows):
    overlap, zero, frames, _ = mu.generate_tracking_report({0: record({"Box0": area}, [[cell]])}, tmp_path,
                                                           intersection_thrr=thr)
    assert (len(zero), len(overlap)) == (zero_rows, overlap_rows)
    assert frames == ([0] if overlap_rows else [])


def test_nothing_to_report_writes_and_prints_nothing(tmp_path, capsys):
    data = {0: record({"Box0": 10, "Box1": 5}, [[0, 80], [3, 0]]), 1: record({}, np.zeros((0, 0)))}
    overlap, zero, frames, last = mu.generate_tracking_report(data, str(tmp_path / "missing"))
    assert capsys.readouterr().out == ""
    assert os.listdir(tmp_path) == []
    assert zero == [] and frames == []
    for table in (overlap, last):
        assert list(table.columns) == COLUMNS and len(table) == 0 and isinstance(table.index, pd.RangeIndex)


def test_zero_area_only_report(tmp_path, clip):
    data = {5: clip[5], 6: record({"Box0": 0.0, "Box1": 0.05, "Box, 2": 2}, quiet(3))}
    overlap, zero, frames, last = mu.generate_tracking_report(data, tmp_path)
    assert len(overlap) == 0 and len(last) == 0 and frames == []
    assert read_report(tmp_path) == HEADER + "6,,,,,Zero area detected,Box0,0.0\n6,,,,,Zero area detected,Box1,0.05\n"


@pytest.mark.parametrize(
    "key, area, field, area_text",
    [
        ("Box,1", 7, '"Box0-Box,1"', "7"),
        ('say "x"', 7.5, '"Box0-say ""x"""', "7.5"),
        ("line\nbreak", np.int64(9), '"Box0-line\nbreak"', "9"),
        (4, np.float32(0.5), "Box0-4", "0.5"),
        ("Bóx1", 1e16, "Box0-Bóx1", "10000000000000000.0"),
    ],
)
def test_csv_text_fields_and_numbers(tmp_path, key, area, field, area_text):
    data = {"clip 1": record({"Box0": 3, key: area}, [[0, 90], [0, 0]])}
    mu.generate_tracking_report(data, tmp_path)
    assert read_report(tmp_path) == HEADER + f"clip 1,{field},90.0,3,{area_text},High overlap mask detected,,\n"


def test_integer_tables_keep_integers(tmp_path):
    table = pd.DataFrame([[0, 95], [0, 0]], index=["Box0", "Box1"], columns=["Box0", "Box1"])
    overlap, *_ = mu.generate_tracking_report({0: {"mask_areas": {"Box0": 1, "Box1": 2}, "intersections_df": table}},
                                              tmp_path)
    assert overlap["Intersection Value"].tolist() == [95]
    assert ",95,1,2," in read_report(tmp_path)


def test_existing_report_is_replaced_whole(tmp_path, clip):
    target = tmp_path / "tracking_question_report.csv"
    target.write_text("x" * 100000)
    os.chmod(target, 0o640)
    mu.generate_tracking_report(clip, tmp_path)
    assert read_report(tmp_path).startswith(HEADER) and len(read_report(tmp_path)) < 1000
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["tracking_question_report.csv"]


def test_folder_that_is_a_file_keeps_it(tmp_path, capsys, clip):
    blocker = tmp_path / "file"
    blocker.write_text("old")
    with pytest.raises(NotADirectoryError, match="Not a directory"):
        mu.generate_tracking_report(clip, blocker)
    assert capsys.readouterr().out == START
    assert blocker.read_text() == "old" and os.listdir(tmp_path) == ["file"]


def test_folder_in_place_of_the_report_is_left_alone(tmp_path, capsys, clip):
    (tmp_path / "tracking_question_report.csv").mkdir()
    with pytest.raises(IsADirectoryError):
        mu.generate_tracking_report(clip, tmp_path)
    assert os.listdir(tmp_path) == ["tracking_question_report.csv"]


def test_missing_folder_fails_after_the_start_message(tmp_path, capsys, clip):
    with pytest.raises(FileNotFoundError):
        mu.generate_tracking_report(clip, tmp_path / "nope")
    assert capsys.readouterr().out == START


@pytest.mark.parametrize(
    "call, match",
    [
        (lambda: mu.generate_tracking_report(None, "x"), "gsam_annotation_data, got NoneType"),
        (lambda: mu.generate_tracking_report({}, "x", None), "intersection_thrr, got NoneType"),
        (lambda: mu.find_boxes_with_small_area_from_last_video(None), "laste_frame, got NoneType"),
        (lambda: mu.find_boxes_with_small_area_from_last_video({}, None), "min_frame_id, got NoneType"),
    ],
)
def test_none_arguments_are_named(call, match):
    with pytest.raises(TypeError, match=match):
        call()


def test_none_folder_only_matters_when_there_is_a_report(capsys, clip):
    assert mu.generate_tracking_report({5: clip[5]}, None)[2] == []
    with pytest.raises(TypeError, match="save_dir_base, got NoneType"):
        mu.generate_tracking_report(clip, None)
    assert capsys.readouterr().out == START


class FrameRecords(collections.abc.Mapping):
    """A read-only clip whose masks must not be touched by the report."""

    def __init__(self, records):
        self._records = records

    def __getitem__(self, key):
        return Record(self._records[key])

    def __iter__(self):
        return iter(self._records)

    def __len__(self):
        return len(self._records)


class Record(collections.abc.Mapping):
    def __init__(self, fields):
        self._fields = fields

    def __getitem__(self, key):
        if key == "masks_dict":
            raise AssertionError("the report read the masks")
        return self._fields[key]

    def __iter__(self):
        return iter(self._fields)

    def __len__(self):
        return len(self._fields)


def test_clip_read_through_the_mapping_protocol_only(tmp_path, clip):
    overlap, zero, frames, _ = mu.generate_tracking_report(FrameRecords(clip), tmp_path)
    assert frames == [3, 7] and len(zero) == 1 and len(overlap) == 3


@pytest.mark.parametrize(
    "data, exc, match",
    [
        ({0: {"intersections_df": pd.DataFrame()}}, KeyError, "mask_areas"),
        ({0: {"mask_areas": {}}}, KeyError, "intersections_df"),
        ({0: record({"Box0": 5}, [[0, 90], [0, 0]], keys=["Box0", "Box9"])}, KeyError, "Box9"),
        ({0: record({"Box0": "5"}, quiet(1))}, TypeError, r"mask_areas.*Box0"),
        ({0: {"mask_areas": [5], "intersections_df": pd.DataFrame()}}, TypeError, "mapping"),
        ({0: {"mask_areas": {}, "intersections_df": [[90]]}}, TypeError, "DataFrame"),
        ({0: {"mask_areas": {}, "intersections_df": pd.DataFrame([["x"]])}}, TypeError, "dtype"),
        ([1, 2], TypeError, "gsam_annotation_data"),
    ],
)
def test_bad_records(tmp_path, data, exc, match):
    with pytest.raises(exc, match=match):
        mu.generate_tracking_report(data, tmp_path)
    assert not os.path.exists(tmp_path / "tracking_question_report.csv")


def test_random_clips_match_the_pandas_version(tmp_path, rng):
    for trial in range(20):
        n = int(rng.integers(1, 5))
        keys = [f"Box{k}" for k in range(n)]
        data = {}
        for f in range(int(rng.integers(1, 8))):
            areas = {k: int(rng.choice([0, 50, 900])) for k in keys}
            cells = rng.choice([0.0, 42.5, 79.995, 80.0, 85.3349, 100.0], size=(n, n))
            data[f * 3] = record(areas, cells)
        ours = mu.generate_tracking_report(data, tmp_path)
        ref = tracking_report(data)
        if ref[4] is None:
            assert ours[2] == [] and ours[1] == []
            continue
        pd.testing.assert_frame_equal(ours[0], ref[0], check_dtype=False)
        pd.testing.assert_frame_equal(ours[3], ref[3], check_dtype=False)
        assert ours[1] == ref[1] and ours[2] == ref[2]
        rows = read_report(tmp_path).splitlines()[1:]
        assert len(rows) == len(ref[4])
        assert [r.split(",")[2] for r in rows] == ["" if pd.isna(v) else repr(float(v))
                                                   for v in ref[4]["Intersection Value"]]


def table_of_rows(rows):
    """The table as DataFrame(columns) makes it from these rows' values."""
    return pd.DataFrame({c: [r[i] for r in rows] for i, c in enumerate(COLUMNS)}, columns=COLUMNS)


@pytest.mark.parametrize(
    "first, last, area, key",
    [
        (3, 8, 1200, int),  # one kind per column: the last frame's table is cut from all rows
        (3, 8, 1200.5, int),  # areas real in one frame and whole in the other
        (3, 8, 1200, np.int64),  # frame keys of numpy's own type
        ("a", "b", 1200, str),
        (3, None, 1200, int),  # a single overlap frame
    ],
)
def test_tables_as_made_from_their_rows(tmp_path, first, last, area, key):
    h = "High overlap mask detected"
    data = {key(first): record({"Box0": area, "Box1": 5}, [[0, 90], [0, 0]])}
    rows = [[key(first), "Box0-Box1", 90.0, area, 5, h, None, None]]
    if last is not None:
        data[key(last)] = record({"Box0": 900, "Box1": 6}, [[0, 0], [95.5, 0]])
        rows.append([key(last), "Box1-Box0", 95.5, 6, 900, h, None, None])
    overlap, _, _, last_rows = mu.generate_tracking_report(data, tmp_path)
    pd.testing.assert_frame_equal(overlap, table_of_rows(rows), check_index_type=True)
    pd.testing.assert_frame_equal(last_rows, table_of_rows(rows[-1:]), check_index_type=True)
    assert isinstance(last_rows.index, pd.RangeIndex)
    last_rows.loc[0, "Box Pair"] = "changed"
    assert overlap["Box Pair"].iloc[-1] == rows[-1][1]


@pytest.mark.parametrize(
    "make",
    [
        lambda c: c.copy(order="F"),
        lambda c: c.T.copy().T,
        lambda c: c.astype(np.float32),
        lambda c: c.astype(">f8"),
        lambda c: c.astype(np.float16),
        lambda c: np.rint(c).astype(np.int32),
        lambda c: np.rint(c).astype(np.uint64),
    ],
)
def test_any_layout_and_type_of_table_reads_alike(tmp_path, make):
    cells = np.array([[0, 90, 5], [81, 0, 0], [0, 95, 0]], dtype=float)
    keys = ["Box0", "Box1", "Box2"]
    areas = {k: 100 for k in keys}
    plain = {0: record(areas, cells)}
    other = {0: {"mask_areas": areas, "intersections_df": pd.DataFrame(make(cells), index=keys, columns=keys)}}
    ours, ref = mu.generate_tracking_report(other, tmp_path), mu.generate_tracking_report(plain, tmp_path)
    assert ours[0][["Box Pair", "Mask Area1"]].equals(ref[0][["Box Pair", "Mask Area1"]])
    assert ours[0]["Intersection Value"].tolist() == ref[0]["Intersection Value"].tolist()


# ----------------------------------------------- find_boxes_with_small_area


def frames_with(small_counts, start=501, area=100):
    """Frames from `start` on; key k is small in the first small_counts[k] of them."""
    n = max(small_counts.values(), default=0)
    return {start + i: {"mask_areas": {k: (area if i < c else area + 1) for k, c in small_counts.items()}}
            for i in range(n)}


@pytest.mark.parametrize(
    "counts, kwargs, expected",
    [
        ({"Box0": 100, "Box1": 101}, {}, ["Box1"]),
        ({"Box3": 101, "Box0": 150}, {}, ["Box3", "Box0"]),
        ({"Box0": 3}, {"min_count": 2}, ["Box0"]),
        ({"Box0": 3}, {"min_count": 2.5}, ["Box0"]),
        ({"Box0": 3}, {"min_count": 3}, []),
        ({"Box0": 3}, {"area_threshold": 99}, []),
        ({}, {}, []),
    ],
)
def test_small_area_keys(counts, kwargs, expected):
    assert mu.find_boxes_with_small_area_from_last_video(frames_with(counts), **kwargs) == expected


def test_frames_up_to_min_frame_id_are_not_read():
    data = frames_with({"Box0": 101}, start=500)  # frame 500 is not examined: 100 counted
    data[3] = {"no areas": True}
    assert mu.find_boxes_with_small_area_from_last_video(data) == []
    assert mu.find_boxes_with_small_area_from_last_video(data, min_frame_id=499.5) == ["Box0"]


@pytest.mark.parametrize(
    "data, kwargs, exc",
    [
        ({501: {}}, {}, KeyError),
        ({"501": {"mask_areas": {}}}, {}, TypeError),
        ({501: {"mask_areas": {"Box0": None}}}, {}, TypeError),
        ({}, {"min_count": "5"}, TypeError),
        ((1, 2), {}, TypeError),
    ],
)
def test_small_area_bad_input(data, kwargs, exc):
    with pytest.raises(exc):
        mu.find_boxes_with_small_area_from_last_video(data, **kwargs)


def test_report_of_a_loaded_clip(tmp_path, capsys):
    from PIL import Image

    from conftest import polygon_text, write_annotation

    w, h = 40, 30
    frame = tmp_path / "frame.jpg"
    Image.new("RGB", (w, h)).save(frame)

    def square(x0, y0, side):
        return polygon_text([(x0, y0), (x0 + side, y0), (x0 + side, y0 + side), (x0, y0 + side)], w, h)

    clip = tmp_path / "clip"
    clip.mkdir()
    apart = [{"object_id": 1, "formatted_polygon": [square(2, 2, 8)]},
             {"object_id": 2, "formatted_polygon": [square(20, 10, 8)]}]
    nested = [{"object_id": 1, "formatted_polygon": [square(2, 2, 12)]},
              {"object_id": 2, "formatted_polygon": [square(4, 4, 6)]}]  # Box1 lies inside Box0
    vanished = [{"object_id": 1, "formatted_polygon": [square(2, 2, 8)]},
                {"object_id": 2, "formatted_polygon": ["0 2.0 2.0 2.5 2.0 2.5 2.5"]}]  # outside the frame
    for k, dets in enumerate([apart, nested, vanished]):
        write_annotation(clip / f"output_pp_{k}.json", frame, dets)
    with capsys.disabled():
        _, data = mu.get_gsam_annotation_data(str(clip), save_dir_base=str(clip))
    overlap, zero, frames, _ = mu.generate_tracking_report(data, tmp_path)
    area1 = data[1]["mask_areas"]["Box1"]
    assert frames == [1] and overlap["Box Pair"].tolist() == ["Box1-Box0"]
    assert overlap["Mask Area1"].tolist() == [area1] and overlap["Intersection Value"].tolist() == [100.0]
    assert [(r["Frame ID"], r["Box ID"], r["Mask Areas"]) for r in zero] == [(2, "Box1", 0)]
    small = mu.find_boxes_with_small_area_from_last_video(data, min_frame_id=0, area_threshold=0, min_count=0)
    assert small == ["Box1"]
