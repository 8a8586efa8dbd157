"""The core's polygon fill against cv2.fillPoly of the pinned opencv-python
(5.1): the same pixels for every polygon, on the whole frame and on any
window of it, and a refusal instead of minutes of work."""
import signal
import time

import numpy as np
import pytest

from mirelo_utils import _core

if not hasattr(_core, "_fill"):
    pytest.skip("module built without the tests' entry points (MIRELO_BUILD_TESTS=OFF)", allow_module_level=True)
cv2 = pytest.importorskip("cv2", reason="opencv-python-headless is not installed (scripts/setup.sh installs it)")
fill = _core._fill.fill_polygon_window

BIG = 2**31 - 1


def reference(points, h, w):
    m = np.zeros((h, w), np.uint8)
    cv2.fillPoly(m, [np.asarray(points, np.int32)], 1)
    return m


def zigzag(n, w, h):
    return [[i % w, (i * 7) % h] for i in range(n)]


# Far vertices keep |y| within 2**20: cv2.fillPoly walks every row from the
# polygon's top, which at 2**31 takes it minutes.
@pytest.mark.parametrize("points, h, w", [
    ([[3, 2], [30, 5], [12, 25]], 30, 40),
    ([[0, 0], [39, 29], [39, 0], [0, 29]], 30, 40),  # a bow tie crossing itself
    ([[-10, -10], [80, 5], [70, 50], [-5, 45]], 30, 40),  # past every side
    ([[-BIG, 5], [BIG, 12], [20, 25]], 30, 40),
    ([[1, 2], [50, -2**20], [40, 30]], 40, 64),
    ([[-2**20, -2**20], [2**20, 3], [5, 2**20]], 30, 40),
    ([[5, 5]], 10, 10),
    ([[2, 3], [8, 3]], 10, 10),
    ([[1, 1], [4, 4], [8, 8]], 10, 10),  # collinear
    ([[4, 4]] * 5, 10, 10),
    ([[0, 5], [9, 5], [3, 5]], 10, 10),  # horizontal only
    ([[0, 0], [9, 0], [9, 9], [0, 9]] * 2, 10, 10),  # traced twice
    (zigzag(2000, 90, 60), 64, 96),
    (zigzag(3000, 130, 70), 64, 96),  # the zigzag leaving the frame
])
def test_table_equals_opencv(points, h, w):
    np.testing.assert_array_equal(fill(np.array(points, np.int64), h, w, 0, 0, h, w), reference(points, h, w))


def random_points(rng, kind, h, w):
    n = int(rng.integers(1, 30))
    if kind == "near":
        return np.stack([rng.integers(-20, w + 20, n), rng.integers(-20, h + 20, n)], 1)
    if kind == "far":
        return np.stack([rng.integers(-BIG, BIG, n, dtype=np.int64), rng.integers(-2**18, 2**18, n)], 1)
    if kind == "walk":  # long and self-crossing: hundreds of crossings a row
        n = int(rng.integers(200, 1500))
        return np.stack([rng.integers(-w // 4, w + w // 4, n), rng.integers(-h // 4, h + h // 4, n)], 1)
    return np.cumsum(rng.integers(-15, 16, (5 * n, 2)), 0) + [w // 2, h // 2]  # "steps"


@pytest.mark.parametrize("kind", ["near", "far", "walk", "steps"])
def test_random_polygons_equal_opencv_on_the_frame_and_its_windows(kind):
    rng = np.random.default_rng(sum(map(ord, kind)))
    for trial in range(150 if kind != "walk" else 40):
        h, w = (int(v) for v in rng.integers(1, 90, 2))
        points = random_points(rng, kind, h, w)
        ref = reference(points, h, w)
        np.testing.assert_array_equal(fill(points, h, w, 0, 0, h, w), ref, err_msg=f"{trial}: {points.tolist()}")
        # A window, partly outside the frame, holds the frame's pixels there.
        x0, y0 = int(rng.integers(-5, w)), int(rng.integers(-5, h))
        rows, cols = int(rng.integers(1, h + 10)), int(rng.integers(1, w + 10))
        padded = np.zeros((h + rows + 10, w + cols + 10), np.uint8)
        padded[5:5 + h, 5:5 + w] = ref
        np.testing.assert_array_equal(fill(points, h, w, x0, y0, rows, cols),
                                      padded[y0 + 5:y0 + 5 + rows, x0 + 5:x0 + 5 + cols], err_msg=str(trial))


def test_work_beyond_the_limit_is_refused():
    points = np.random.default_rng(1).integers(0, [1920, 1080], (10**6, 2))
    with pytest.raises(ValueError, match=r"^cannot fill a polygon of 1000000 vertices: it needs more than "
                                         r"268435456 steps \(crossings"):
        fill(points, 1080, 1920, 0, 0, 1080, 1920)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs POSIX timers")
def test_ctrl_c_stops_a_long_fill():
    # Near the work limit: seconds of filling, stopped within milliseconds
    # of the signal (the bound here is loose for a busy machine).
    points = np.random.default_rng(2).integers(0, [1920, 1080], (200_000, 2))

    def on_alarm(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, on_alarm)
    try:
        start = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            fill(points, 1080, 1920, 0, 0, 1080, 1920)
        assert time.monotonic() - start - 0.05 < 0.5
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
