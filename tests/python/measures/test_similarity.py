"""Centroid similarity and cosine scores of new versus old masks and features."""
import cv2
import numpy as np
import pytest
import torch

import mirelo_utils as mu


def dot(h, w, y, x, value=1, dtype=np.uint8):
    m = np.zeros((h, w), dtype)
    m[y, x] = value
    return m


def straightforward_centroids(new, old):
    """The per-pair computation with OpenCV moments."""
    def centroid(m):
        m = np.asarray(m)
        mo = cv2.moments(m.reshape(m.shape[-2:]).astype(np.uint8))
        return np.array([np.nan, np.nan]) if mo["m00"] == 0 else np.array([mo["m01"] / mo["m00"], mo["m10"] / mo["m00"]])

    d = np.zeros((len(new), len(old)))
    for i, a in enumerate(new):
        for j, b in enumerate(old):
            ca, cb = centroid(a), centroid(b)
            d[i, j] = np.nan if np.isnan(ca).any() or np.isnan(cb).any() else np.linalg.norm(ca - cb)
    d[np.isnan(d)] = np.nanmax(d) + 1.0
    return 1 - d / (np.max(d) + 1e-6)


def test_one_pair_is_also_the_farthest_pair():
    a, b = dot(20, 20, 2, 3), dot(20, 20, 5, 7)  # distance 5
    np.testing.assert_allclose(mu.cal_centroid_distance([a], [b]), [[1 - 5 / (5 + 1e-6)]], rtol=1e-12)
    assert mu.cal_centroid_distance([a], [a]).tolist() == [[1.0]]


def test_two_new_masks_against_one_old():
    old = dot(50, 50, 0, 0)
    out = mu.cal_centroid_distance([dot(50, 50, 0, 10), dot(50, 50, 0, 30)], [old])
    assert out.dtype == np.float64 and out.shape == (2, 1)
    np.testing.assert_allclose(out[:, 0], [1 - 10 / (30 + 1e-6), 1 - 30 / (30 + 1e-6)], rtol=1e-12)


def test_empty_new_mask_gets_the_lowest_similarities():
    old = [dot(50, 50, 0, 0), dot(50, 50, 40, 0)]
    out = mu.cal_centroid_distance([dot(50, 50, 0, 10), np.zeros((50, 50), bool)], old)
    far = np.hypot(40, 10)
    np.testing.assert_allclose(out[1], 1 - (far + 1) / (far + 1 + 1e-6), rtol=1e-9)
    assert out[1].max() < out[0].min()


def test_pixel_values_are_weights_after_conversion_to_uint8():
    rng = np.random.default_rng(5)
    new = [rng.integers(0, 4, (30, 40)).astype(np.uint8) * (rng.random((30, 40)) < 0.1) for _ in range(3)]
    old = np.stack([(rng.random((30, 40)) < 0.05) for _ in range(2)])
    wide = [m.astype(np.int32) * 300 for m in new]  # 300 -> 44 as uint8, like astype would
    for masks_new in (new, np.stack(new), wide, [m.astype(np.float64) for m in new], [m[None] for m in new]):
        np.testing.assert_allclose(mu.cal_centroid_distance(masks_new, old),
                                   straightforward_centroids(masks_new, old), rtol=1e-12)
    # 0/1 and 0/255 masks of one shape have one centroid.
    m = (rng.random((30, 40)) < 0.2).astype(np.uint8)
    np.testing.assert_array_equal(mu.cal_centroid_distance([m, m * 255], [m]), [[1.0], [1.0]])


def test_masks_of_different_sizes_and_strided_masks():
    a = dot(10, 10, 3, 7)
    b = np.zeros((40, 90), np.uint8)[::2, ::3]
    b[3, 7] = 1
    assert mu.cal_centroid_distance([a], [b, dot(25, 30, 3, 7, 9)]).tolist() == [[1.0, 1.0]]


def test_all_pairs_empty_warns_and_gives_nan():
    with pytest.warns(RuntimeWarning, match="All-NaN slice encountered"):
        out = mu.cal_centroid_distance([np.zeros((5, 5))], [np.zeros((5, 5)), np.zeros((4, 4))])
    assert out.shape == (1, 2) and np.isnan(out).all()


@pytest.mark.parametrize("new, old, exc, match", [
    ([], [np.ones((3, 3))], ValueError, "at least one new and one old mask"),
    ([np.ones((3, 3))], np.zeros((0, 3, 3)), ValueError, "at least one new and one old mask"),
    ([np.ones(3)], [np.ones((3, 3))], ValueError, "2-D mask"),
    (np.ones((3, 3)), [np.ones((3, 3))], ValueError, "2-D masks"),
    ("masks", [np.ones((3, 3))], TypeError, "list of masks"),
    ([np.array([["a"]])], [np.ones((3, 3))], TypeError, "numeric or bool"),
])
def test_centroid_bad_input(new, old, exc, match):
    with pytest.raises(exc, match=match):
        mu.cal_centroid_distance(new, old)


def test_cosine_missing_features_score_minus_infinity():
    a, b = torch.tensor([1.0, 2.0, 2.0]), torch.tensor([2.0, 0.0, 0.0])
    out = mu.cosine_scores_cal([a, None], [b])
    assert out.dtype == np.float64 and out.shape == (2, 1)
    np.testing.assert_allclose(out[0, 0], 2 / (3 * 2), rtol=1e-12)
    assert out[1, 0] == -np.inf


@pytest.mark.parametrize("new, old, expected", [
    ([[1.0, 2.0]], [None, None], [[-np.inf, -np.inf]]),
    ([[1.0, 2.0], None], [], np.zeros((2, 0))),
    ([], [[1.0]], np.zeros((0, 1))),
    ([[3.0, 4.0]], [[3.0, 4.0], [-3.0, -4.0], [0.0, 0.0], [-4.0, 3.0]], [[1.0, -1.0, 0.0, 0.0]]),
    # Squares beyond the range of float64: the direction still decides.
    ([[1e200, 1e200], [1e-200, 1e-200], [5e-324, 0.0]], [[1.0, 1.0], [1.0, 0.0]],
     [[1.0, 0.5 ** 0.5], [1.0, 0.5 ** 0.5], [0.5 ** 0.5, 1.0]]),
])
def test_cosine_shapes_and_values(new, old, expected):
    out = mu.cosine_scores_cal([None if v is None else np.array(v) for v in new],
                               [None if v is None else np.array(v) for v in old])
    assert out.shape == np.shape(expected)
    np.testing.assert_allclose(out, expected, rtol=1e-12, atol=1e-15)


def test_cosine_of_tensors_arrays_and_lists_alike():
    rng = np.random.default_rng(2)
    vecs = rng.normal(size=(4, 16))
    norm = vecs / np.linalg.norm(vecs, axis=1, keepdims=True)
    forms = [torch.from_numpy(vecs[0]).float(), vecs[1], list(vecs[2]), torch.from_numpy(vecs[3]).requires_grad_()]
    np.testing.assert_allclose(mu.cosine_scores_cal(forms, forms), norm @ norm.T, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("new, old, exc, match", [
    ([np.ones(3)], [np.ones(4)], ValueError, "one length, 3"),
    ([np.ones(3), np.ones(2)], [None], ValueError, "one length, 3"),
    ([np.ones((1, 3))], [np.ones(3)], ValueError, "1-D vector"),
    ([np.array(["a", "b"])], [np.ones(2)], TypeError, "real numbers"),
    ([np.ones(2, complex)], [np.ones(2)], TypeError, "real numbers"),
    ([torch.ones(2, dtype=torch.complex64)], [np.ones(2)], TypeError, "real numbers"),
    ("ab", [np.ones(2)], TypeError, "list of feature vectors"),
    (5, [np.ones(2)], TypeError, "list of feature vectors"),
])
def test_cosine_bad_input(new, old, exc, match):
    with pytest.raises(exc, match=match):
        mu.cosine_scores_cal(new, old)
