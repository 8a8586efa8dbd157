import warnings

import numpy as np
import pytest
import torch

import mirelo_utils as mu


def result(boxes, scores, labels, as_tensor=True, dtype=torch.float32):
    if as_tensor:
        return [{"scores": torch.tensor(scores, dtype=dtype),
                 "labels": list(labels),
                 "boxes": torch.tensor(boxes, dtype=dtype).reshape(-1, 4)}]
    return [{"scores": np.asarray(scores, np.float64), "labels": list(labels),
             "boxes": np.asarray(boxes, np.float64).reshape(-1, 4)}]


@pytest.mark.parametrize("as_tensor", [True, False])
def test_reading_order_and_alignment(as_tensor):
    boxes = [[50, 10, 60, 20], [30, 5, 40, 15], [10, 10, 20, 20], [0, 30, 5, 40]]
    scores = [0.1, 0.2, 0.3, 0.4]
    boxes_out, scores_out, labels_out = mu.process_gdino_results(
        result(boxes, scores, ["pig", "pig", "pig", "pig"], as_tensor))
    np.testing.assert_array_equal(boxes_out[:, :2], [[30, 5], [10, 10], [50, 10], [0, 30]])
    np.testing.assert_allclose(scores_out, [0.2, 0.3, 0.1, 0.4])
    assert list(labels_out) == ["pig"] * 4
    assert boxes_out.dtype == (np.float32 if as_tensor else np.float64)
    assert isinstance(boxes_out, np.ndarray) and isinstance(labels_out, np.ndarray)


@pytest.mark.parametrize(
    "labels, target, kept_scores",
    [
        (["pig", "", "pig"], "pig", [0.1, 0.3]),
        (["", ""], "pig", [0.1, 0.2]),  # no exact match anywhere: all pass
        (["pigpig", "pig"], "pig", [0.2]),  # no substring match
        (["Pig", "pig"], "Pig", [0.1]),  # case-sensitive
        (["cow", "sheep"], "pig", [0.1, 0.2]),
    ],
)
def test_label_selection(labels, target, kept_scores):
    boxes = [[0, i, 1, i + 1] for i in range(len(labels))]
    scores = [0.1 * (i + 1) for i in range(len(labels))]
    _, s, lab = mu.process_gdino_results(result(boxes, scores, labels, False), target_label=target)
    np.testing.assert_allclose(s, kept_scores)
    assert len(lab) == len(kept_scores)


def test_ties_keep_detector_order():
    boxes = [[5, 5, 9, 9], [5, 5, 7, 7], [1, 5, 2, 6]]
    b, s, _ = mu.process_gdino_results(result(boxes, [0.9, 0.8, 0.7], ["pig"] * 3, False))
    np.testing.assert_allclose(s, [0.7, 0.9, 0.8])


def test_no_detections():
    b, s, lab = mu.process_gdino_results([{"scores": torch.zeros(0), "labels": [],
                                           "boxes": torch.zeros((0, 4))}, "ignored"])
    assert b.shape == (0, 4) and s.shape == (0,) and lab.shape == (0,)


class NoMemory:
    """An array-like whose conversion runs out of memory without a message."""

    def __array__(self, dtype=None, copy=None):
        raise MemoryError


@pytest.mark.parametrize(
    "bad, exc, match",
    [
        ([], IndexError, None),
        ([{"scores": np.zeros(1), "labels": ["pig"]}], KeyError, "boxes"),
        ([{"scores": np.zeros(2), "labels": ["pig"], "boxes": np.zeros((2, 4))}], ValueError, None),
        ([{"scores": np.zeros(1), "labels": ["pig"], "boxes": np.zeros((1, 3))}], ValueError, None),
        ([{"scores": np.zeros(1), "labels": [3], "boxes": np.zeros((1, 4))}], TypeError, None),
        ([{"scores": np.array(["x"]), "labels": ["pig"], "boxes": np.zeros((1, 4))}], TypeError, None),
        (None, TypeError, None),
        # The error says what was being converted when memory ran out.
        ([{"scores": NoMemory(), "labels": ["pig"], "boxes": np.zeros((1, 4))}], MemoryError,
         "out of memory converting a NoMemory to an array"),
    ],
)
def test_bad_results(bad, exc, match):
    with pytest.raises(exc, match=match):
        mu.process_gdino_results(bad)


def test_nan_boxes_sort_last():
    boxes = [[0, np.nan, 1, 1], [0, 3, 1, 4], [0, 1, 1, 2]]
    b, s, _ = mu.process_gdino_results(result(boxes, [1.0, 2.0, 3.0], ["pig"] * 3, False))
    np.testing.assert_allclose(s, [3.0, 2.0, 1.0])


def test_labels_come_back_as_given():
    labels = ["sow \udcff", "pig", "\x00pig", "é😀"]
    _, _, lab = mu.process_gdino_results(result([[0, i, 1, i + 1] for i in range(4)], [0.1] * 4, labels, False),
                                         target_label="nothing")
    assert lab.tolist() == labels and lab.dtype == np.array(labels).dtype


@pytest.mark.parametrize("order", [">", "<"])
def test_values_in_either_byte_order(order):
    boxes = np.array([[50, 10, 60, 20], [30, 5, 40, 15]], order + "f8")
    res = [{"scores": np.array([0.1, 0.2], order + "f4"), "labels": ["pig", "pig"], "boxes": boxes}]
    boxes_out, scores_out, _ = mu.process_gdino_results(res)
    assert boxes_out.tolist() == [[30, 5, 40, 15], [50, 10, 60, 20]]
    np.testing.assert_allclose(scores_out, [0.2, 0.1])



class WarnsOnLabels(dict):
    """Like newer detector processors' results: reading "labels" warns."""

    def __getitem__(self, key):
        if key == "labels":
            warnings.warn("labels will hold integer ids", FutureWarning)
        return super().__getitem__(key)


@pytest.mark.parametrize(
    "entries, expected",
    [
        ({"text_labels": ["cow", "pig"], "labels": [7, 3]}, ["pig"]),  # ids under "labels" are not read
        ({"text_labels": ["cow", "sheep"]}, ["cow", "sheep"]),
        ({"labels": ["cow", "pig"]}, ["pig"]),
        (WarnsOnLabels(text_labels=["pig", "pig"], labels=["pig", "pig"]), ["pig", "pig"]),
        ({"text_labels": ["cow", 3], "labels": ["cow", "pig"]}, TypeError),
    ],
)
def test_label_texts_source(entries, expected):
    res = dict(scores=np.array([0.5, 0.6]), boxes=np.array([[0, 0, 1, 1], [0, 2, 1, 3]], np.float64))
    entries.update(res)
    if expected is TypeError:
        with pytest.raises(TypeError, match='"text_labels"'):
            mu.process_gdino_results([entries])
        return
    _, _, labels = mu.process_gdino_results([entries])
    assert labels.tolist() == expected
