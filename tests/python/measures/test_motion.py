import os

import numpy as np
import pytest

import mirelo_utils as mu
from reference.measures import opencv_motion_scores

cv2 = pytest.importorskip("cv2", reason="opencv-python-headless is not installed (scripts/setup.sh installs it)")

H, W = 96, 128


def texture(seed):
    noise = np.random.default_rng(seed).integers(0, 256, (H, W)).astype(np.uint8)
    return cv2.normalize(cv2.GaussianBlur(noise, (9, 9), 3), None, 0, 255, cv2.NORM_MINMAX)


def shifted(image, dx, dy):
    m = np.float32([[1, 0, dx], [0, 1, dy]])
    return cv2.warpAffine(image, m, (image.shape[1], image.shape[0]), borderMode=cv2.BORDER_REFLECT)


@pytest.fixture
def clip(tmp_path):
    """Six frame paths: a texture, four missing frames, the texture moved 2.5 px right."""
    first = texture(0)

    def write(name, gray):
        path = str(tmp_path / name)
        assert cv2.imwrite(path, cv2.cvtColor(gray, cv2.COLOR_GRAY2BGR))
        return path

    frames = [write("0000.jpg", first)] + [str(tmp_path / f"{k:04d}.jpg") for k in range(1, 5)]
    frames.append(write("0005.jpg", shifted(first, 2.5, 0)))
    return frames


def centre_mask(dtype=bool, value=1):
    m = np.zeros((H, W), dtype)
    m[24:72, 32:96] = value
    return m


def test_scores_match_opencv_and_keep_key_order(clip):
    rng = np.random.default_rng(2)
    masks = {
        "Box3": centre_mask(),
        "Box0": rng.random((H, W)) < 0.2,
        "empty": np.zeros((H, W), np.uint8),
        ("t", 1): centre_mask(np.float32)[None],
        "signed": np.where(centre_mask(), 3, -1).astype(np.int16),  # only the elements above zero count
        "real": np.where(centre_mask(), 0.5, np.nan),
    }
    result = mu.compute_motion_score_in_polygon(clip, masks)
    assert list(result) == list(masks)
    expected = opencv_motion_scores(clip, {k: np.squeeze(m) for k, m in masks.items()})
    for key in masks:
        assert result[key] == pytest.approx(expected[key], rel=1e-5, abs=1e-6)
    assert result["Box3"] == pytest.approx(2.5, abs=0.5)
    assert result["signed"] == result["real"] == result["Box3"]
    assert type(result["Box3"]) is float
    assert result["empty"] == 0 and type(result["empty"]) is int


def test_identical_frames_and_mask_values(clip):
    frames = [clip[0]] * 6
    result = mu.compute_motion_score_in_polygon(
        tuple(frames), {"a": centre_mask(), "b": centre_mask(np.uint8, 255), "c": np.zeros((H, W), bool)}
    )
    assert result["a"] == pytest.approx(0.0, abs=1e-3)
    assert result["b"] == result["a"]  # 0/255 counts like 0/1
    assert result["c"] == 0 and type(result["c"]) is int
    assert mu.compute_motion_score_in_polygon(np.array(frames), {}) == {}


def write_file(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def fifo(folder):
    path = folder / "fifo.jpg"
    os.mkfifo(path)
    return str(path)


@pytest.mark.parametrize(
    "frames, masks, exc, match",
    [
        (lambda c, t: c[:5], {}, IndexError, "at least 6 frame paths in video_frames, got 5"),
        (lambda c, t: [], {}, IndexError, "got 0"),
        (lambda c, t: c[0], {}, TypeError, "sequence of frame paths"),
        (lambda c, t: 7, {}, TypeError, "sequence of frame paths"),
        (lambda c, t: [None] * 6, {}, TypeError, r"video_frames\[0\]"),
        (lambda c, t: [c[0]] * 5 + [c[1]], {}, FileNotFoundError, "0001.jpg"),
        (lambda c, t: [c[0]] * 5 + [str(t)], {}, IsADirectoryError, "Is a directory"),
        (lambda c, t: [write_file(t, "x.jpg", b"not an image")] * 6, {}, OSError, "as an image"),
        (lambda c, t: [c[0]] * 5 + [fifo(t)], {}, OSError, r"^expected a regular file, got a FIFO: '.*fifo\.jpg'$"),
        (lambda c, t: [c[0]] * 5 + ["/dev/zero"], {}, OSError, "got a character device: '/dev/zero'"),
        (lambda c, t: [c[0]] * 5 + [c[0] + "\0.png"], {}, ValueError, "null"),
        (lambda c, t: [c[0]] * 5 + [write_file(t, "small.png", cv2.imencode(".png", np.zeros((8, 8), np.uint8))[1])],
         {}, ValueError, "same size"),
        (lambda c, t: c, {"a": np.ones((H, W + 1), bool)}, ValueError, r"masks_dict\['a'\].*96 x 129"),
        (lambda c, t: c, {"a": np.ones((2, H, W), bool)}, ValueError, r"masks_dict\['a'\]"),
        (lambda c, t: c, [centre_mask()], TypeError, "mapping"),
    ],
)
def test_bad_input(clip, tmp_path, capfd, frames, masks, exc, match):
    with pytest.raises(exc, match=match):
        mu.compute_motion_score_in_polygon(frames(clip, tmp_path), masks)
    # The error is the only report: nothing from the image decoder on stderr.
    assert capfd.readouterr().err == ""


def test_path_like_frames(clip):
    import pathlib

    result = mu.compute_motion_score_in_polygon([pathlib.Path(p) for p in clip], {"a": centre_mask()})
    assert result["a"] > 1.0
    assert os.path.exists(clip[0])
