import math

import numpy as np
import pytest

import mirelo_utils as mu
from reference.measures import opencv_cluster_masks

cv2 = pytest.importorskip("cv2", reason="opencv-python-headless is not installed (scripts/setup.sh installs it)")

SHAPE = (120, 420)


def square_at(cx, cy, half=1, shape=SHAPE, value=1, dtype=np.uint8):
    """A filled square whose outline has its centroid exactly at (cx, cy)."""
    m = np.zeros(shape, dtype)
    m[cy - half : cy + half + 1, cx - half : cx + half + 1] = value
    return m


# Centroids (50, 50), (140, 50) and (350, 50): 90 and 210 pixels apart.
THREE = {"Box0": square_at(50, 50, 4), "Box1": square_at(140, 50, 3), "Box2": square_at(350, 50, 6)}


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, {"Noise": [], "Cluster 0": ["Box0", "Box1"], "Cluster 1": ["Box2"]}),
        ({"eps": 50}, {"Noise": [], "Cluster 0": ["Box0"], "Cluster 1": ["Box1"], "Cluster 2": ["Box2"]}),
        ({"eps": 100, "min_samples": 2}, {"Noise": ["Box2"], "Cluster 0": ["Box0", "Box1"]}),
        ({"eps": 90, "min_samples": 2}, {"Noise": ["Box2"], "Cluster 0": ["Box0", "Box1"]}),  # radius inclusive
        ({"eps": 89.999, "min_samples": 2}, {"Noise": ["Box0", "Box1", "Box2"]}),
        ({"eps": math.inf, "min_samples": 3}, {"Noise": [], "Cluster 0": ["Box0", "Box1", "Box2"]}),
        ({"eps": 1, "min_samples": 2**70}, {"Noise": ["Box0", "Box1", "Box2"]}),
    ],
)
def test_clusters_of_three_masks(kwargs, expected):
    result = mu.cluster_masks_and_print(THREE, **kwargs)
    assert result == expected
    assert list(result) == list(expected)  # "Noise" first, clusters in order


def test_masks_without_a_centroid_are_left_out_and_keys_keep_their_order():
    line = np.zeros(SHAPE, bool)
    line[10, 5:60] = True
    dot = np.zeros(SHAPE, np.float32)
    dot[3, 3] = 0.5
    masks = {
        7: square_at(300, 60, 2, value=255),  # keys of any kind come back as given
        "empty": np.zeros(SHAPE, bool),
        "line": line,
        "dot": dot,
        ("t", 1): square_at(20, 20)[None],  # 1 x H x W
        "Box1": square_at(60, 20, dtype=bool),
    }
    assert mu.cluster_masks_and_print(masks) == {"Noise": [], "Cluster 0": [7], "Cluster 1": [("t", 1), "Box1"]}


def test_two_blobs_count_by_the_larger_one():
    m = square_at(300, 60, 10) | square_at(30, 60, 2)  # centroid (300, 60)
    result = mu.cluster_masks_and_print({"two": m, "near_large": square_at(390, 60)}, eps=90)
    assert result == {"Noise": [], "Cluster 0": ["two", "near_large"]}
    result = mu.cluster_masks_and_print({"two": m, "near_small": square_at(30, 60)}, eps=90)
    assert result == {"Noise": [], "Cluster 0": ["two"], "Cluster 1": ["near_small"]}


def test_matches_opencv_and_scikit_learn_on_random_blobs():
    pytest.importorskip("sklearn", reason="scikit-learn is not installed (scripts/setup.sh installs it)")
    rng = np.random.default_rng(11)
    for trial in range(40):
        masks = {}
        for k in range(int(rng.integers(1, 30))):
            m = np.zeros((90, 160), np.uint8)
            for _ in range(int(rng.integers(0, 3))):
                centre = (int(rng.integers(0, 160)), int(rng.integers(0, 90)))
                axes = (int(rng.integers(0, 12)), int(rng.integers(0, 12)))
                cv2.ellipse(m, centre, axes, float(rng.integers(0, 180)), 0, 360, 1, -1)
            masks[f"Box{k}"] = m
        if not any(m.any() for m in masks.values()):
            masks["Box99"] = square_at(5, 5, shape=(90, 160))
        eps = float(rng.choice([5, 10, 20.5, 35, 60]))
        min_samples = int(rng.integers(1, 5))
        assert mu.cluster_masks_and_print(masks, eps, min_samples) == opencv_cluster_masks(masks, eps, min_samples), trial


def test_matches_scikit_learn_on_random_point_sets():
    """Centroids placed exactly, many ties at distance eps (integer grid)."""
    pytest.importorskip("sklearn", reason="scikit-learn is not installed (scripts/setup.sh installs it)")
    rng = np.random.default_rng(5)
    for trial in range(60):
        n = int(rng.integers(1, 40))
        points = rng.integers(2, [98, 58], size=(n, 2))
        masks = {f"Box{k}": square_at(int(x), int(y), shape=(60, 100)) for k, (x, y) in enumerate(points)}
        eps = float(rng.choice([1, 2, 3, 5, 8.5, 13]))
        min_samples = int(rng.integers(1, 6))
        assert mu.cluster_masks_and_print(masks, eps, min_samples) == opencv_cluster_masks(masks, eps, min_samples), trial


M = square_at(5, 5)


@pytest.mark.parametrize(
    "args, kwargs, exc, match",
    [
        (({},), {}, ValueError, "centroid"),
        (({"a": np.zeros(SHAPE, bool), "b": np.zeros((3, 3))},), {}, ValueError, "centroid"),
        (({"a": M},), {"eps": math.nan}, ValueError, "positive eps"),
        (({"a": M},), {"eps": -1}, ValueError, "positive eps"),
        (({"a": M},), {"eps": 0}, ValueError, "positive eps"),
        (({},), {"eps": -1}, ValueError, "positive eps"),  # parameters are checked first
        (({"a": M},), {"min_samples": 0}, ValueError, "min_samples of at least 1"),
        (({"a": M},), {"min_samples": -(2**70)}, ValueError, "min_samples of at least 1"),
        (({"a": M},), {"min_samples": 1.0}, TypeError, "integer for min_samples"),
        (({"a": M},), {"eps": "100"}, TypeError, "number for eps"),
        (([M],), {}, TypeError, "mapping"),
        (({"a": "mask"},), {}, TypeError, r"masks_dict\['a'\]"),
        (({"a": np.zeros((2, 4, 4))},), {}, ValueError, r"masks_dict\['a'\]"),
    ],
)
def test_bad_input(args, kwargs, exc, match):
    with pytest.raises(exc, match=match):
        mu.cluster_masks_and_print(*args, **kwargs)
