import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def rect_mask(shape, x0, y0, x1, y1, dtype=bool):
    """A mask with the pixels of rows y0..y1-1 and columns x0..x1-1 set."""
    m = np.zeros(shape, dtype=dtype)
    m[y0:y1, x0:x1] = 1
    return m
