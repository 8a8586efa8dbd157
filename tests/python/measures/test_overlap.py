import numpy as np
import pandas as pd
import pytest

import mirelo_utils as mu
from conftest import rect_mask


@pytest.mark.parametrize(
    "box1, box2, expected, is_int",
    [
        ([0, 0, 10, 10], [10, 0, 20, 10], 0.0, False),  # shared edge
        ([0, 0, 10, 10], [0, 0, 10, 10], 1.0, False),
        ([0, 0, 10, 10], [5, 5, 15, 15], 25 / 175, False),
        ([5, 5, 5, 5], [5, 5, 5, 5], 0, True),  # zero union: integer 0
        ([0.0, 0.0, 2.5, 2.0], [0.5, 0.0, 2.5, 2.0], 4.0 / 5.0, False),
        (np.array([0, 0, 4, 4], np.int32), (2, 2, 6, 6), 4 / 28, False),
        ([0, 0, 10, 10, 99], [0, 0, 5, 10], 0.5, False),  # extra items are ignored
        ([10, 10, 0, 0], [10, 10, 0, 0], 0.0, False),  # inverted boxes: literal arithmetic, no overlap
    ],
)
def test_calculate_iou(box1, box2, expected, is_int):
    got = mu.calculate_iou(box1, box2)
    assert got == pytest.approx(expected)
    assert isinstance(got, int) is is_int


def test_box_iou_scores_are_calculate_iou_in_one_call():
    boxes = np.array([[0, 0, 10, 10], [10, 0, 20, 10], [5, 5, 15, 15], [5, 5, 5, 5], [10, 10, 0, 0],
                      [0, 0, 1 << 40, 1 << 40]])
    scores = mu._core._box_iou_scores(boxes, boxes[::-1])
    assert scores.dtype == np.float64 and scores.shape == (6, 6)
    assert scores.tolist() == [[float(mu.calculate_iou(a, b)) for b in boxes[::-1]] for a in boxes]
    assert mu._core._box_iou_scores(np.zeros((0, 4)), boxes).shape == (0, 6)


def test_mask_percentages():
    a = rect_mask((50, 60), 0, 0, 10, 10)
    inside = rect_mask((50, 60), 0, 0, 20, 20)
    empty = np.zeros((50, 60), bool)
    assert mu.calculate_masks_intersection(a, inside) == 100.0
    assert mu.calculate_masks_intersection(inside, a) == 25.0
    got = mu.calculate_masks_intersection(empty, inside)
    assert got == 0 and isinstance(got, int)
    # the given areas are not checked: a small area gives more than 100 %
    assert mu.calculate_masks_intersection_new(a, inside, 50, 400) == (200.0, 25.0)
    r = mu.calculate_masks_intersection_new(a, inside, 0, -3)
    assert r == (0, 0) and all(isinstance(x, int) for x in r)


@pytest.mark.parametrize(
    "dtype", [bool, np.uint8, np.int8, np.int16, np.uint32, np.int64, np.float16, np.float32, np.float64]
)
def test_any_numeric_dtype_and_layout(dtype):
    a = rect_mask((40, 50), 5, 5, 25, 25).astype(dtype)
    b = rect_mask((40, 50), 15, 15, 35, 35).astype(dtype)
    assert mu.calculate_masks_intersection(a, b) == 25.0
    # non-contiguous views and 1 x H x W masks read the same pixels
    big = np.zeros((80, 100), dtype)
    big[::2, ::2] = a
    assert mu.calculate_masks_intersection(big[::2, ::2], b[None]) == 25.0
    assert mu.calculate_masks_intersection(np.asfortranarray(a), b) == 25.0
    flipped = a[::-1, ::-1]
    assert mu.calculate_masks_intersection(flipped, b[::-1, ::-1]) == 25.0


def test_nonbinary_values_count_as_set():
    a = np.zeros((4, 4), np.uint8)
    b = np.zeros((4, 4), np.uint8)
    a[0, :2] = [2, 128]
    b[0, :2] = [1, 2]  # 2 & 1 == 0 and 128 * 2 overflows uint8: still both set
    assert mu.calculate_masks_intersection(a, b) == 100.0
    f = np.zeros((4, 4))
    f[0, 0] = np.nan
    assert mu.calculate_masks_intersection(f, f) == 100.0


def test_intersection_table_percentages_and_labels():
    m0 = rect_mask((60, 60), 0, 0, 10, 10)
    m1 = rect_mask((60, 60), 5, 5, 15, 15)
    m2 = rect_mask((60, 60), 40, 40, 50, 50)
    df = mu.intersection_between_masks({"Box0": m0, "Box1": m1, "Box2": m2},
                                       {"Box0": 100, "Box1": 50, "Box2": 100})
    assert isinstance(df, pd.DataFrame)
    assert list(df.index) == ["Box0", "Box1", "Box2"] == list(df.columns)
    assert (df.dtypes == np.float64).all()
    assert df.loc["Box0", "Box1"] == 25.0 and df.loc["Box1", "Box0"] == 50.0
    assert np.all(np.diag(df.to_numpy()) == 0.0)
    assert df.loc["Box2"].sum() == 0.0


@pytest.mark.parametrize(
    "areas, cell01, cell10",
    [
        ({"Box0": 1, "Box1": 400}, 2500.0, 6.25),  # the later key's area decides the skip
        ({"Box0": 400, "Box1": 1}, 0.0, 0.0),
        ({"Box0": 400, "Box1": 0}, 0.0, 0.0),
        (None, 25.0, 25.0),  # no areas: pixel counts
        ({}, 25.0, 25.0),
    ],
)
def test_intersection_table_skip_rule(areas, cell01, cell10):
    m0 = rect_mask((40, 40), 0, 0, 10, 10)
    m1 = rect_mask((40, 40), 5, 5, 15, 15)
    df = mu.intersection_between_masks({"Box0": m0, "Box1": m1}, areas)
    assert df.loc["Box0", "Box1"] == pytest.approx(cell01)
    assert df.loc["Box1", "Box0"] == pytest.approx(cell10)


def test_intersection_table_small_and_key_order():
    assert mu.intersection_between_masks({}).shape == (0, 0)
    one = mu.intersection_between_masks({"Box0": np.ones((3, 3), bool)})
    assert one.shape == (1, 1) and one.iloc[0, 0] == 0.0
    m = {k: rect_mask((20, 20), i, i, i + 5, i + 5) for i, k in enumerate(["Box3", "Box1", "Box2"])}
    df = mu.intersection_between_masks(m, {k: 25 for k in m})
    assert list(df.columns) == ["Box3", "Box1", "Box2"]


def test_iou_matrix():
    a = rect_mask((30, 30), 0, 0, 10, 10)
    b = rect_mask((30, 30), 5, 0, 15, 10)
    empty = np.zeros((30, 30), bool)
    got = mu.cal_masks_iou_scores([a, b, empty], np.stack([a, empty]))
    assert got.shape == (3, 2) and got.dtype == np.float64
    assert got[0, 0] == pytest.approx(1.0) and got[0, 0] < 1.0
    assert got[1, 0] == pytest.approx(50 / 150)
    assert got[2, 1] == 0.0
    assert mu.cal_masks_iou_scores([a], []).shape == (1, 0)
    assert mu.cal_masks_iou_scores(np.zeros((0, 30, 30)), [a]).shape == (0, 1)


def test_iou_matrix_matches_numpy(rng):
    masks = rng.random((6, 64, 48)) > 0.7
    new, old = masks[:4], masks[2:]
    expect = np.array([[np.logical_and(n, o).sum() / (np.logical_or(n, o).sum() + 1e-6) for o in old]
                       for n in new])
    np.testing.assert_allclose(mu.cal_masks_iou_scores(new, old), expect, rtol=1e-12)


def test_table_matches_numpy(rng):
    masks = {f"Box{i}": rng.random((50, 70)) > 0.6 for i in range(5)}
    areas = {k: int(v.sum()) for k, v in masks.items()}
    keys = list(masks)
    expect = np.zeros((5, 5))
    for i in range(5):
        for j in range(i):
            inter = np.count_nonzero(masks[keys[i]] * masks[keys[j]])
            expect[i, j] = inter / areas[keys[i]] * 100
            expect[j, i] = inter / areas[keys[j]] * 100
    np.testing.assert_array_equal(mu.intersection_between_masks(masks, areas).to_numpy(), expect)


def test_results_own_their_memory():
    a = rect_mask((10, 10), 0, 0, 5, 5)
    got = mu.cal_masks_iou_scores([a], [a])
    again = mu.cal_masks_iou_scores([a], [a])
    assert not np.shares_memory(got, again)
    assert got.flags.writeable and got.base is not None
    del again
    got[0, 0] = 7.0  # the array stays valid and writable after the call
    assert got[0, 0] == 7.0
