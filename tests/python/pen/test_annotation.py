"""Annotation files: masks rasterised from their polygons, and drawings."""
import json

import numpy as np
import pytest
from PIL import Image, ImageDraw

import mirelo_utils as mu
from reference.annotation import python_annotation_text as reference_text
from reference.annotation import python_masks_of_file as reference_masks
from conftest import polygon_text, write_annotation

WHITE = (255, 255, 255)  # colours are drawn from 0..254: every painted pixel changes


def random_polygon(rng, width, height, n, inside=True):
    """n vertices around a random centre, inside the frame or reaching past
    its sides; most are star-shaped outlines, some cross themselves."""
    lo, hi = (0.0, 1.0) if inside else (-0.1, 1.1)
    cx, cy = rng.uniform(lo, hi) * width, rng.uniform(lo, hi) * height
    r = rng.uniform(0.5, max(1.0, 0.4 * min(width, height)))
    t = np.sort(rng.uniform(0, 2 * np.pi, n)) if rng.random() < 0.7 else rng.uniform(0, 2 * np.pi, n)
    radius = r * rng.uniform(0.3, 1.2, n)
    xs, ys = cx + radius * np.cos(t), cy + radius * np.sin(t)
    if inside:
        xs, ys = np.clip(xs, 0, width - 1), np.clip(ys, 0, height - 1)
    return list(zip(xs, ys))


@pytest.fixture
def frame(tmp_path):
    path = tmp_path / "frame.png"
    Image.new("RGB", (64, 48), WHITE).save(path)
    return path


# ------------------------------------------------- process_json_and_generate_masks


# Polygons inside the frame and crossing its sides alike: the core fills as
# opencv-python's 5.1 does (older releases clip at the sides differently).
@pytest.mark.parametrize("height, width", [(48, 64), (37, 101), (1, 1)])
def test_masks_are_those_of_opencv_fill(tmp_path, frame, height, width):
    rng = np.random.default_rng(height * width)
    for trial in range(15):
        detections = []
        for k in range(int(rng.integers(1, 5))):
            polys = [random_polygon(rng, width, height, int(rng.integers(1, 12)), inside=trial % 2 == 0)
                     for _ in range(int(rng.integers(1, 4)))]
            det = {"formatted_polygon": [polygon_text(p, width, height) for p in polys]}
            if k != 2:
                det["object_id"] = int(rng.integers(1, 40))
            detections.append(det)
        path = write_annotation(tmp_path / f"output_pp_{trial}.json", frame, detections)
        image_path, masks, keys = mu.process_json_and_generate_masks(path, height, width)
        ref_path, ref_masks, ref_keys = reference_masks(path, height, width)
        assert image_path == ref_path and keys == ref_keys
        assert masks.dtype == np.uint8 and masks.shape == ref_masks.shape
        np.testing.assert_array_equal(masks, ref_masks)


def test_described_triangle_and_missing_object_id(tmp_path, frame):
    path = write_annotation(tmp_path / "a.json", frame, [
        {"object_id": 1, "formatted_polygon": ["7 0.5 0.5 0.75 0.5 0.75 0.75"]},
        {"formatted_polygon": ["x 0.1 0.1"]},
    ])
    _, masks, keys = mu.process_json_and_generate_masks(path, 1080, 1920)
    assert masks.shape == (2, 1080, 1920) and keys == [0, -1]
    ys, xs = np.nonzero(masks[0])
    assert (xs.min(), xs.max(), ys.min(), ys.max()) == (960, 1440, 540, 810)
    assert masks[0][540, 960] == masks[0][810, 1440] == 1
    assert np.count_nonzero(masks[1]) == 1 and masks[1][108, 192] == 1


def test_file_without_detections_gives_the_empty_flat_array(tmp_path, frame):
    image_path, masks, keys = mu.process_json_and_generate_masks(write_annotation(tmp_path / "a.json", frame, []), 5, 5)
    assert masks.shape == (0,) and masks.dtype == np.uint8 and keys == []


def test_files_are_read_as_utf8(tmp_path, monkeypatch):
    monkeypatch.setenv("LC_ALL", "C")
    path = tmp_path / "a.json"
    path.write_bytes(json.dumps({"image_path": "caf\u00e9/\u732a.jpg", "detections": []}, ensure_ascii=False).encode())
    assert mu.process_json_and_generate_masks(str(path), 4, 4)[0] == "caf\u00e9/\u732a.jpg"


BAD_FILES = [
    ("{not json", 4, 4, ValueError, "invalid JSON"),
    ("[1, 2]", 4, 4, TypeError, "JSON object"),
    ('{"detections": []}', 4, 4, KeyError, "image_path"),
    ('{"image_path": "x", "detections": {}}', 4, 4, TypeError, "list"),
    ('{"image_path": "x", "detections": [{}]}', 4, 4, KeyError, "formatted_polygon"),
    ('{"image_path": "x", "detections": [{"object_id": "2", "formatted_polygon": []}]}', 4, 4, TypeError, "integer"),
    ('{"image_path": "x", "detections": [{"object_id": [1], "formatted_polygon": []}]}', 4, 4, TypeError, "integer"),
    ('{"image_path": "x", "detections": [{"object_id": null, "formatted_polygon": []}]}', 4, 4, TypeError, "integer"),
    ('{"image_path": "x", "detections": [{"formatted_polygon": [5]}]}', 4, 4, TypeError, "polygon text"),
    ('{"image_path": "x", "detections": [{"formatted_polygon": ["0 0.1 0.2 0.3"]}]}', 4, 4, ValueError, "even"),
    ('{"image_path": "x", "detections": [{"formatted_polygon": ["0 0.1 abc"]}]}', 4, 4, ValueError, "float"),
    ('{"image_path": "x", "detections": [{"formatted_polygon": ["0 nan 0.5"]}]}', 4, 4, ValueError, "32-bit"),
    ('{"image_path": "x", "detections": [{"formatted_polygon": ["0 0.5 -inf"]}]}', 4, 4, ValueError, "32-bit"),
    ('{"image_path": "x", "detections": [{"formatted_polygon": ["0 1e9 0.5"]}]}', 4, 4, ValueError, "32-bit"),
    ('{"image_path": "x", "detections": [{"formatted_polygon": ["0"]}]}', 4, 4, ValueError, "x y pair"),
    ('{"image_path": "x", "detections": []}', 0, 4, ValueError, "height"),
    ('{"image_path": "x", "detections": []}', 4, -1, ValueError, "width"),
    ('{"image_path": "x", "detections": []}', 4, 2**31, ValueError, "width"),
    ('{"image_path": "x", "detections": [{"formatted_polygon": ["0 0 0 1 0 1 1 0 1"]}]}', 2**31 - 1, 2**31 - 1,
     MemoryError, "allocate"),
]


@pytest.mark.parametrize("text, height, width, error, match", BAD_FILES)
def test_bad_files_and_sizes_raise(tmp_path, text, height, width, error, match):
    path = tmp_path / "a.json"
    path.write_text(text)
    with pytest.raises(error, match=match):
        mu.process_json_and_generate_masks(str(path), height, width)


# ------------------------------------------------------------ retrieve_annotation


def painted(result, image):
    """Pixels the drawing changed."""
    return np.any(np.asarray(result) != np.asarray(image.convert("RGBA")), axis=2)


@pytest.mark.parametrize("long_walks", [False, True])
def test_polygons_fill_the_pixels_pillow_fills(tmp_path, frame, long_walks):
    rng = np.random.default_rng(5)
    image = Image.new("RGB", (64, 48), WHITE)
    for trial in range(20):
        if long_walks:  # self-crossing, hundreds of crossings a row, vertices shared
            n = int(rng.integers(200, 2000))
            points = list(zip(rng.integers(-8, 72, n).astype(float), rng.integers(-6, 54, n).astype(float)))
        else:
            points = random_polygon(rng, 64, 48, int(rng.integers(2, 15)), inside=trial % 2 == 0)
        path = write_annotation(tmp_path / "a.json", frame, [
            {"object_id": 1, "xyxy": [], "formatted_polygon": [polygon_text(points, 64, 48)]}])
        overlay = Image.new("RGBA", (64, 48), (255, 255, 255, 0))
        norm = [(float(x) / 64 * 64, float(y) / 48 * 48) for x, y in points]  # as the text stores them
        ImageDraw.Draw(overlay).polygon(norm, fill=(1, 2, 3, 100))
        expected = np.asarray(overlay)[..., 3] == 100
        np.testing.assert_array_equal(painted(mu.retrieve_annotation(path), image), expected, err_msg=str(points))


def test_later_animal_covers_earlier_and_filters_by_object_id(tmp_path, frame):
    left = polygon_text([(5, 5), (40, 5), (40, 40), (5, 40)], 64, 48)
    right = polygon_text([(25, 5), (60, 5), (60, 40), (25, 40)], 64, 48)
    path = write_annotation(tmp_path / "a.json", frame, [
        {"object_id": 1, "xyxy": [[5, 5, 40, 40]], "formatted_polygon": [left]},
        {"object_id": 2, "xyxy": [[25, 5, 60, 40]], "formatted_polygon": [right]}])
    image = Image.new("RGB", (64, 48), WHITE)
    out = np.asarray(mu.retrieve_annotation(path))
    assert out.dtype == np.uint8 and out.shape == (48, 64, 4)
    # The overlap shows only the later colour, blended once with the image.
    assert (out[20, 30] == out[20, 50]).all() and not (out[20, 30] == out[20, 10]).all()
    only_second = painted(mu.retrieve_annotation(path, object_ids=[2]), image)
    assert only_second[20, 50] and only_second[20, 30] and not only_second[20, 10]
    assert not painted(mu.retrieve_annotation(path, object_ids=[]), image).any()
    assert not painted(mu.retrieve_annotation(write_annotation(tmp_path / "b.json", frame, [])), image).any()


def test_boxes_use_the_last_entry_and_an_empty_box_list_draws_no_box(tmp_path, frame):
    tiny = polygon_text([(30, 30), (31, 30)], 64, 48)
    path = write_annotation(tmp_path / "a.json", frame, [
        {"object_id": 1, "xyxy": [[0, 0, 63, 47], [10, 20, 20, 30]], "formatted_polygon": [tiny]},
        {"object_id": 2, "xyxy": [], "formatted_polygon": [tiny]}])
    image = Image.new("RGB", (64, 48), WHITE)
    with_boxes = painted(mu.retrieve_annotation(path, box_drawing=True), image)
    without = painted(mu.retrieve_annotation(path), image)
    # Outline rows and columns (the top row also carries the white label text).
    assert with_boxes[30, 10:21].all() and with_boxes[21:31, 10].all() and with_boxes[21:31, 20].all()
    assert not with_boxes[47, :].any()  # the first box is not drawn
    assert with_boxes[15, 11]  # the label tab above the box
    # Only the one box and its label were added.
    added = with_boxes & ~without
    ys, xs = np.nonzero(added)
    assert xs.min() >= 10 and ys.max() <= 30


def test_saving_follows_the_extension_and_never_half_writes(tmp_path, frame):
    path = write_annotation(tmp_path / "a.json", frame, [
        {"object_id": 1, "xyxy": [[1, 1, 5, 5]], "formatted_polygon": ["0 0.1 0.1 0.5 0.1 0.5 0.5"]}])
    out = mu.retrieve_annotation(path, save_path=str(tmp_path / "drawn.png"))
    assert out.mode == "RGBA"
    np.testing.assert_array_equal(np.asarray(Image.open(tmp_path / "drawn.png")), np.asarray(out))
    target = tmp_path / "old.jpg"
    target.write_bytes(b"previous")
    with pytest.raises(OSError):
        mu.retrieve_annotation(path, save_path=str(target))  # JPEG cannot hold alpha
    assert target.read_bytes() == b"previous"
    with pytest.raises(ValueError, match="extension"):
        mu.retrieve_annotation(path, save_path=str(tmp_path / "drawn.nothing"))
    assert mu.retrieve_annotation(path, save_path="").size == (64, 48)


@pytest.mark.parametrize("detection, box_drawing, error, match", [
    ({"xyxy": [], "formatted_polygon": []}, False, KeyError, "object_id"),
    ({"object_id": 1, "formatted_polygon": []}, False, KeyError, "xyxy"),
    ({"object_id": 1, "xyxy": []}, False, KeyError, "formatted_polygon"),
    ({"object_id": 1, "xyxy": [[1, 2, 3]], "formatted_polygon": []}, False, ValueError, "4 values"),
    ({"object_id": 1, "xyxy": ["abcd"], "formatted_polygon": []}, False, TypeError, "four numbers"),
    ({"object_id": 1, "xyxy": [[9, 1, 3, 5]], "formatted_polygon": []}, True, ValueError, "x1 must be"),
    ({"object_id": 1, "xyxy": [[1, 1, 3, float("nan")]], "formatted_polygon": []}, True, ValueError, "32-bit"),
    ({"object_id": 1, "xyxy": [], "formatted_polygon": ["0 0.5 0.5"]}, False, ValueError, "at least 2"),
    ({"object_id": "1", "xyxy": [], "formatted_polygon": []}, False, TypeError, "integer"),
])
def test_bad_detections_for_drawing_raise(tmp_path, frame, detection, box_drawing, error, match):
    path = write_annotation(tmp_path / "a.json", frame, [detection])
    with pytest.raises(error, match=match):
        mu.retrieve_annotation(path, box_drawing=box_drawing)


def test_missing_image_raises(tmp_path):
    path = write_annotation(tmp_path / "a.json", tmp_path / "none.jpg", [])
    with pytest.raises(FileNotFoundError):
        mu.retrieve_annotation(path)


# ---------------------------------------------------------- write_annotation_file


def tracked_masks(rng, h, w):
    """Masks of the shapes tracking gives: blobs with holes, pieces touching
    the frame's sides, single pixels and lines, and an empty one."""
    import cv2

    blob = np.zeros((h, w), np.uint8)
    cv2.ellipse(blob, (w // 3, h // 2), (w // 5, h // 4), 30, 0, 360, 1, -1)
    blob[h // 2, w // 3] = 0  # a hole
    sides = np.zeros((h, w), bool)
    sides[0, :] = sides[:, -1] = True
    sides[h - 1, 0] = True
    specks = rng.random((h, w)) > 0.995
    line = np.zeros((h, w), np.float32)
    line[h // 3, 2:w - 2] = 0.5
    return {1: blob, 2: sides, 3: specks, 7: line, 12: np.zeros((h, w), bool), 4: np.ones((h, w), np.uint16)}


@pytest.mark.parametrize("height, width", [(48, 64), (37, 101), (1, 1)])
def test_written_files_are_those_of_the_straightforward_writer(tmp_path, height, width):
    rng = np.random.default_rng(height + width)
    masks = tracked_masks(rng, height, width)
    # A frame folder whose name is not UTF-8 is stored as the host's JSON writer stores it.
    image = f"/frames/\udcff{height}/0007.jpg"
    path = tmp_path / "output_pp_7.json"
    mu.write_annotation_file(path, image, masks)
    assert path.read_bytes() == reference_text(image, masks).encode("ascii")
    # Read back, every piece is where the mask was (holes filled).
    _, stack, keys = mu.process_json_and_generate_masks(str(path), height, width)
    assert keys == [k - 1 for k in masks]
    for got, mask in zip(stack, masks.values()):
        assert not (np.asarray(mask) != 0)[got == 0].any()


def test_compact_masks_and_a_leading_axis_are_written_as_their_pixels(tmp_path):
    rng = np.random.default_rng(5)
    masks = tracked_masks(rng, 30, 40)
    mu.write_annotation_file(tmp_path / "dense.json", "f.jpg", masks)
    given = {k: (mu.CompactMask.from_array(m) if k % 2 else np.asarray(m)[None]) for k, m in masks.items()}
    mu.write_annotation_file(tmp_path / "given.json", "f.jpg", given, class_name="pig")
    assert (tmp_path / "given.json").read_bytes() == (tmp_path / "dense.json").read_bytes()
    mu.write_annotation_file(tmp_path / "none.json", "f.jpg", {}, class_name="sow")
    assert json.loads((tmp_path / "none.json").read_text()) == {"image_path": "f.jpg", "detections": []}


@pytest.mark.parametrize("masks, image, error, match", [
    ({"Box0": np.ones((4, 4))}, "f.jpg", TypeError, "whole-number object ids"),
    ({True: np.ones((4, 4))}, "f.jpg", TypeError, "whole-number object ids"),
    ({1: np.ones((4, 4)), 2: np.ones((4, 5))}, "f.jpg", ValueError, "masks of one frame size"),
    ({1: np.ones((2, 4, 4))}, "f.jpg", ValueError, "2-D|leading axis"),
    ({1: "mask"}, "f.jpg", TypeError, "array"),
    ([np.ones((4, 4))], "f.jpg", TypeError, "mapping"),
    ({1: np.ones((4, 4))}, "f\x00.jpg", ValueError, "null character"),
    ({1: np.ones((4, 4))}, 7, TypeError, "path"),
])
def test_bad_masks_and_paths_write_nothing(tmp_path, masks, image, error, match):
    with pytest.raises(error, match=match):
        mu.write_annotation_file(tmp_path / "output_pp_0.json", image, masks)
    assert list(tmp_path.iterdir()) == []
