"""Contrast enhancement against the OpenCV + NumPy steps it is made of."""
import math

import cv2
import numpy as np
import pytest
from PIL import Image

import mirelo_utils as mu


def reference(rgb, gamma):
    gray = cv2.cvtColor(cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR), cv2.COLOR_BGR2GRAY)
    inv = 1.0 / gamma
    table = np.array([((i / 255.0) ** inv) * 255 for i in np.arange(0, 256)]).astype("uint8")
    return cv2.equalizeHist(cv2.LUT(gray, table))


@pytest.mark.parametrize("gamma", [1.5, 10, 0.5, 1, 3, 1e-3, 1e6])
def test_matches_opencv_steps(gamma, rng):
    rgb = (rng.random((37, 53, 3)) ** 2 * 255).astype(np.uint8)
    out = mu.enhance_dark_text(Image.fromarray(rgb), gamma)
    assert out.mode == "L" and out.size == (53, 37)
    np.testing.assert_array_equal(np.asarray(out), reference(rgb, gamma))


def test_default_gamma_and_input_forms(rng):
    rgb = rng.integers(0, 256, (20, 30, 3), dtype=np.uint8)
    expected = reference(rgb, 1.5)
    alpha = np.dstack([rgb, rng.integers(0, 256, (20, 30), dtype=np.uint8)])
    for image in (Image.fromarray(rgb), rgb, Image.fromarray(alpha)):
        np.testing.assert_array_equal(np.asarray(mu.enhance_dark_text(image)), expected)


@pytest.mark.parametrize("gamma", [1.5, 10, 0.25])
@pytest.mark.parametrize("level", [0, 64, 200, 255])
def test_uniform_image_stays_uniform_at_its_table_value(level, gamma):
    out = np.asarray(mu.enhance_dark_text(Image.new("RGB", (9, 7), (level,) * 3), gamma))
    assert (out == int((level / 255.0) ** (1.0 / gamma) * 255)).all()
    if level in (0, 255):
        assert (out == level).all()


@pytest.mark.parametrize(
    "gamma, exc, message",
    [
        (0, ZeroDivisionError, "^float division by zero$"),
        (0.0, ZeroDivisionError, "^float division by zero$"),
        (-1.5, ValueError, "positive gamma"),
        (math.nan, ValueError, "positive gamma"),
        ("1.5", TypeError, "number for gamma"),
    ],
)
def test_bad_gamma(gamma, exc, message):
    with pytest.raises(exc, match=message):
        mu.enhance_dark_text(Image.new("RGB", (4, 4)), gamma)


def test_empty_image():
    assert mu.enhance_dark_text(Image.new("RGB", (0, 3))).size == (0, 3)
