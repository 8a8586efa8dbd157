"""Wrong types, shapes and empty inputs end in exceptions, never in a crash."""
import numpy as np
import pytest

import mirelo_utils as mu

M = np.zeros((8, 8), bool)


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: mu.calculate_iou([0, 0, 1], [0, 0, 1, 1]), IndexError),
        (lambda: mu.calculate_iou(5, [0, 0, 1, 1]), TypeError),
        (lambda: mu.calculate_iou(["a", 0, 1, 1], [0, 0, 1, 1]), TypeError),
        (lambda: mu.calculate_iou(None, None), TypeError),
        (lambda: mu.calculate_iou([0, 0, 1]), TypeError),  # missing argument
        (lambda: mu.calculate_masks_intersection([[1, 0]], M), TypeError),
        (lambda: mu.calculate_masks_intersection(M, np.zeros((8, 9), bool)), ValueError),
        (lambda: mu.calculate_masks_intersection(np.zeros(8), M), ValueError),
        (lambda: mu.calculate_masks_intersection(np.zeros((2, 8, 8)), M), ValueError),
        (lambda: mu.calculate_masks_intersection(np.array([["a"]]), M), TypeError),
        (lambda: mu.calculate_masks_intersection(np.zeros((8, 8), object), M), TypeError),
        (lambda: mu.calculate_masks_intersection_new(M, M, "big", 1), TypeError),
        (lambda: mu.calculate_masks_intersection_new(M, M, 1), TypeError),
        (lambda: mu.intersection_between_masks([M, M]), TypeError),
        (lambda: mu.intersection_between_masks({"Box0": M, "Box1": "x"}), TypeError),
        (lambda: mu.intersection_between_masks({"Box0": M, "Box1": M}, {"Box0": 4}), KeyError),
        (lambda: mu.intersection_between_masks({"Box0": M, "Box1": M}, {"Box0": 4, "Box1": None}), TypeError),
        (lambda: mu.intersection_between_masks({"Box0": M, "Box1": np.zeros((4, 4))}, {"Box0": 4, "Box1": 4}),
         ValueError),
        (lambda: mu.cal_masks_iou_scores(M, [M]), ValueError),  # one 2-D mask is not a sequence of masks
        (lambda: mu.cal_masks_iou_scores("masks", [M]), TypeError),
        (lambda: mu.cal_masks_iou_scores([M], [np.zeros((9, 8))]), ValueError),
        (lambda: mu.cal_masks_iou_scores([M, None], [M]), TypeError),
    ],
)
def test_bad_input_raises(call, exc):
    with pytest.raises(exc):
        call()


def test_missing_area_key_names_the_key():
    with pytest.raises(KeyError) as info:
        mu.intersection_between_masks({"Box0": M, "Box1": M}, {"Box0": 4, "Box9": 4})
    assert info.value.args == ("Box1",)


def test_shape_message_is_explicit():
    with pytest.raises(ValueError, match=r"expected .*got .*\(8, 9\)"):
        mu.calculate_masks_intersection(M, np.zeros((8, 9), bool))


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 10**30, -(10**30)])
def test_extreme_box_numbers_do_not_crash(value):
    got = mu.calculate_iou([0, 0, value, 10], [0, 0, 10, 10])
    assert isinstance(got, (int, float))


def test_empty_and_zero_sized_masks():
    z = np.zeros((0, 5), bool)
    assert mu.calculate_masks_intersection(z, z) == 0
    assert mu.cal_masks_iou_scores([z], [z]).tolist() == [[0.0]]
    assert mu.intersection_between_masks({"Box0": z, "Box1": z}).to_numpy().tolist() == [[0, 0], [0, 0]]


@pytest.mark.parametrize(
    "call, expected",
    [
        # Masks without columns: no pixels, whatever number of rows they claim.
        (lambda z: mu.calculate_masks_intersection(z, z), 0),
        (lambda z: mu.calculate_masks_intersection_new(z, z, 5, 0), (0.0, 0)),
        (lambda z: mu.cal_masks_iou_scores([z, z], [z]).tolist(), [[0.0], [0.0]]),
        (lambda z: mu.intersection_between_masks({"a": z, "b": z}).to_numpy().tolist(), [[0, 0], [0, 0]]),
    ],
)
def test_masks_without_columns_are_not_walked_row_by_row(call, expected):
    assert call(np.empty((2**40, 0), np.uint8)) == expected


@pytest.mark.parametrize(
    "stack",
    [np.empty((2**40, 0, 3), bool), np.broadcast_to(np.ones((8, 8), np.uint8), (2**40, 8, 8))],
    ids=["zero-size", "broadcast"],
)
def test_stack_of_more_masks_than_memory_holds(stack):
    with pytest.raises(MemoryError, match=r"1099511627776 masks of masks_new \(an array of shape \(1099511627776,"):
        mu.cal_masks_iou_scores(stack, [M])


def test_stack_read_once_whatever_its_layout(rng):
    masks = rng.random((3, 16, 16)) > 0.5
    expected = mu.cal_masks_iou_scores(list(masks), list(masks))
    for stack in (masks[:, ::-1, ::-1].copy()[:, ::-1, ::-1], masks.astype(np.float32), np.asfortranarray(masks)):
        np.testing.assert_array_equal(mu.cal_masks_iou_scores(stack, masks), expected)


def test_stack_far_beyond_memory_is_refused_in_one_conversion(address_space_limit):
    # 3 TiB of masks: one conversion, refused at once, not mask by mask.
    with pytest.raises(MemoryError, match="Unable to allocate"):
        mu.cal_masks_iou_scores(np.broadcast_to(np.uint8(1), (2**20, 2**20, 3)), [np.ones((2**20, 3))])
