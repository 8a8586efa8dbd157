import json
import os
import signal
import stat
import subprocess
import sys

import cv2
import numpy as np
import pytest
from PIL import Image, ImageDraw

import mirelo_utils as mu

SQUARE = [[0, 0], [100, 0], [100, 100], [0, 100]]
CLIP = r"D:\frames\20240115\Camera61_2_20240115101500\0min_to_0.1min\left_cropped_frames"


def write_json(path, obj):
    path.write_text(json.dumps(obj))
    return str(path)


@pytest.fixture
def pen_file(tmp_path):
    return write_json(tmp_path / "pen.json", {"version": "5", "shapes": [{"label": "pen", "points": SQUARE}]})


# ------------------------------------------------------------ get_pen_json_path


@pytest.mark.parametrize(
    "video_dir, custom, expected",
    [
        (CLIP, None, "D:\\pig_tracking\\GSAM2_output\\Cam61.json"),
        (r"E:\x\Camera70_1_20240115063000\left", None, "D:\\pig_tracking\\GSAM2_output\\Cam70.json"),
        ("D:/frames/20240115/Camera61_2_20240115101500/left", None, None),
        (r"D:\frames\Camera63_1_20240115063000\left", None, None),
        (r"D:\frames\no_camera_here", None, None),
        (r"D:\frames\Camera63_1\left", "pen_polygon.json", "pen_polygon.json"),
        (CLIP, "mine.json", "mine.json"),
    ],
)
def test_get_pen_json_path_table(video_dir, custom, expected):
    assert mu.get_pen_json_path(video_dir, custom) == expected


def test_pen_json_root_is_read_at_call_time(monkeypatch):
    monkeypatch.setattr(mu, "PEN_JSON_ROOT", "/srv/pens")
    assert mu.get_pen_json_path(CLIP) == "/srv/pens/GSAM2_output/Cam61.json"
    monkeypatch.setattr(mu, "PEN_JSON_ROOT", "E:\\pens\\")
    assert mu.get_pen_json_path(CLIP) == "E:\\pens\\GSAM2_output\\Cam61.json"
    monkeypatch.setattr(mu, "PEN_JSON_ROOT", 5)
    with pytest.raises(TypeError, match="PEN_JSON_ROOT"):
        mu.get_pen_json_path(CLIP)


# --------------------------------------------------------------------- draw_pen


def test_draw_pen_keeps_numbers_as_stored(tmp_path):
    path = write_json(tmp_path / "p.json", {"shapes": [{"points": [[0, 1.5], [10, 0], [10.25, 8]]}, {"points": []}]})
    pts = mu.draw_pen("not_opened.jpg", path)
    assert pts == [(0, 1.5), (10, 0), (10.25, 8)]
    assert [type(v) for v in pts[0]] == [int, float]


@pytest.mark.parametrize("mode", ["L", "RGBA", "P", "RGB"])
def test_draw_pen_outline_matches_imaging_library(tmp_path, pen_file, mode):
    src = tmp_path / "frame.png"
    Image.new(mode, (140, 120), 60).save(src)
    image, pts = mu.draw_pen(str(src), pen_file, drawout=True)
    ref = Image.open(src).convert("RGB")
    ImageDraw.Draw(ref).line(pts + [pts[0]], fill="red", width=3, joint="curve")
    assert image.mode == "RGB"
    np.testing.assert_array_equal(np.asarray(image), np.asarray(ref))


@pytest.mark.parametrize(
    "content, exc, match",
    [
        ({"imageData": None}, KeyError, "shapes"),
        ({"shapes": []}, ValueError, "^No shapes found in the JSON file.$"),
        ({"shapes": None}, ValueError, "^No shapes found in the JSON file.$"),
        ({"shapes": [{"label": "pen"}]}, KeyError, "points"),
        ({"shapes": [{"points": [[0, 0], [1]]}]}, ValueError, r"pair of numbers.*\[1\]"),
        ({"shapes": [{"points": [[0, 0], ["1", 2]]}]}, ValueError, "pair of numbers"),
        ({"shapes": [{"points": [[0, 0], [1, 2, 3]]}]}, ValueError, "pair of numbers"),
        ({"shapes": [{"points": [[0, 0], [True, 2]]}]}, ValueError, "pair of numbers"),
        ({"shapes": [{"points": "0 0 1 1"}]}, TypeError, "list"),
        ([1, 2], TypeError, "JSON object"),
    ],
)
def test_draw_pen_rejects_bad_files(tmp_path, content, exc, match):
    path = write_json(tmp_path / "bad.json", content)
    with pytest.raises(exc, match=match):
        mu.draw_pen("x.jpg", path)


def test_draw_pen_unreadable_files(tmp_path):
    with pytest.raises(FileNotFoundError, match="No such file"):
        mu.draw_pen("x.jpg", str(tmp_path / "missing.json"))
    os.mkfifo(tmp_path / "fifo.json")
    with pytest.raises(OSError, match=r"^expected a regular file, got a FIFO: '.*fifo\.json'$"):
        mu.draw_pen("x.jpg", str(tmp_path / "fifo.json"))
    os.mkfifo(tmp_path / "fifo.jpg")
    with pytest.raises(OSError, match=r"^expected a regular file, got a FIFO: '.*fifo\.jpg'$"):
        mu.draw_pen(str(tmp_path / "fifo.jpg"), write_json(tmp_path / "pen.json", {"shapes": [{"points": SQUARE}]}), True)
    (tmp_path / "broken.json").write_text('{"shapes": [')
    with pytest.raises(ValueError, match="invalid JSON.*line 1 column 13"):
        mu.draw_pen("x.jpg", str(tmp_path / "broken.json"))


@pytest.mark.parametrize(
    "call, exc, match",
    [
        # The system would open the file named by the text before the null byte.
        (lambda pen: mu.draw_pen("x.jpg", pen + "\x00.txt"), ValueError, "embedded null character in json_path"),
        (lambda pen: mu.get_in_pen_mask(0, np.ones((4, 4)), pen + "\x00", ["f"]), ValueError, "pen_json_path"),
        (lambda pen: mu.fix_polygon_scaling(pen, pen + "\x00.bak"), ValueError, "embedded null character in save_path"),
    ],
)
def test_paths_the_system_cannot_take(pen_file, call, exc, match):
    with open(pen_file) as f:
        before = f.read()
    with pytest.raises(exc, match=match):
        call(pen_file)
    with open(pen_file) as f:
        assert f.read() == before


# ------------------------------------------------------ pen intersection ratio


@pytest.mark.parametrize(
    "boxes, threshold, ratios, flags",
    [
        ([[50, 50, 150, 150], [10, 10, 20, 20]], 30, [25.0, 100.0], [False, True]),
        ([[70, 0, 170, 10]], 30, [30.0], [True]),  # exactly at the threshold counts as in
        ([[-10, -10, -1, -1]], 0.0, [0.0], [True]),
        (np.array([[50, 50, 150, 150, 0.9]], np.float32), 25, [25.0], [True]),
        ([], 40, [], []),
        (np.zeros((0, 4)), 40, [], []),
        (np.array([[50, 50, 150, 150]], ">f8"), 25, [25.0], [True]),  # foreign byte order
    ],
)
def test_pen_intersection_ratio(boxes, threshold, ratios, flags):
    got = mu.calculate_pen_intersection_ratio([tuple(p) for p in SQUARE], boxes, threshold)
    assert got == (ratios, flags)
    assert all(type(f) is bool for f in got[1])


@pytest.mark.parametrize(
    "points, boxes, exc, match",
    [
        ([(0, 0), (10, 0), (0, 10), (10, 10)], [[1, 1, 2, 2]], ValueError, "Self-intersection"),
        ([(0, 0), (10, 0)], [[1, 1, 2, 2]], ValueError, "at least 3 corners"),
        ([(0, 0), (10, 0), (0, 0)], [[1, 1, 2, 2]], ValueError, "at least 3 corners"),
        ([(0, 0), (10, 0), (5, float("inf"))], [[1, 1, 2, 2]], ValueError, "finite pen coordinates"),
        ([(0, 0), (10,), (5, 5)], [[1, 1, 2, 2]], ValueError, r"\(x, y\) pair"),
        (SQUARE, [[5, 5, 5, 9]], ZeroDivisionError, "zero area"),
        (SQUARE, [[5, float("nan"), 6, 9]], ValueError, "finite box"),
        (SQUARE, [[5, 5, 6]], ValueError, "x_max"),
        (SQUARE, [[5, "a", 6, 9]], TypeError, "number"),
    ],
)
def test_pen_intersection_ratio_bad_input(points, boxes, exc, match):
    with pytest.raises(exc, match=match):
        mu.calculate_pen_intersection_ratio(points, boxes, 40)


# -------------------------------------------------------------- get_in_pen_mask


def reference_pen(points, h, w):
    m = np.zeros((h, w), np.uint8)
    cv2.fillPoly(m, [np.array(points, np.int32)], 1)
    return m


@pytest.mark.parametrize("dtype", [bool, np.uint8, np.int64, np.float32, np.float16, np.complex64])
def test_in_pen_mask_keeps_dtype_and_values(tmp_path, dtype):
    points = [[2.9, 1.2], [40.7, 3], [35, 30.99], [-0.5, 25]]
    path = write_json(tmp_path / "pen.json", {"shapes": [{"points": points}]})
    mask = np.ones((2, 3, 32, 48), dtype)
    if dtype is not bool:
        mask *= 5
    before = mask.copy()
    out = mu.get_in_pen_mask(0, mask, path, ["frame.jpg"])
    pen = reference_pen(points, 32, 48).astype(bool)
    assert out.dtype == mask.dtype and out.shape == mask.shape
    np.testing.assert_array_equal(out, np.where(pen, mask, 0).astype(mask.dtype))
    np.testing.assert_array_equal(mask, before)


_STACK = np.arange(2 * 3 * 32 * 48).reshape(2, 3, 32, 48)


@pytest.mark.parametrize("mask", [
    np.asfortranarray(_STACK),
    _STACK[::-1, :, ::-1, ::-1],
    _STACK.astype(">i8"),
    np.broadcast_to(_STACK[0, 0], _STACK.shape),
    np.repeat(_STACK, 2, axis=3)[..., ::2],
    np.frombuffer(b"\0" + _STACK.tobytes(), np.int64, offset=1).reshape(_STACK.shape),
    np.ones((0, 32, 48)),
    np.ones((3, 0, 48)),
], ids=["fortran", "reversed", "big-endian", "broadcast", "every-other-column", "unaligned", "no-planes", "no-rows"])
def test_in_pen_mask_reads_any_layout(tmp_path, mask):
    points = [[2, 1], [40, 3], [35, 30], [0, 25]]
    path = write_json(tmp_path / "pen.json", {"shapes": [{"points": points}]})
    out = mu.get_in_pen_mask(0, mask, path, ["frame.jpg"])
    assert out.dtype == mask.dtype and out.shape == mask.shape and out.flags.c_contiguous
    if mask.size:  # (cv2 cannot fill an empty image)
        pen = reference_pen(points, *mask.shape[-2:]).astype(bool)
        np.testing.assert_array_equal(out, np.where(pen, mask, 0).astype(mask.dtype))


def test_in_pen_mask_all_ones_is_the_filled_pen(pen_file):
    out = mu.get_in_pen_mask(-1, np.ones((1, 150, 130), np.uint8)[:, ::1, ::-1], pen_file, ["a", "b"])
    np.testing.assert_array_equal(out[0], reference_pen(SQUARE, 150, 130))


@pytest.mark.parametrize(
    "frame_idx, mask, exc",
    [
        (3, np.ones((4, 4), bool), IndexError),
        (0, np.ones(4, bool), ValueError),
        (0, np.array([["a"]]), TypeError),
    ],
)
def test_in_pen_mask_bad_input(pen_file, frame_idx, mask, exc):
    with pytest.raises(exc):
        mu.get_in_pen_mask(frame_idx, mask, pen_file, ["a"])


def test_in_pen_mask_rejects_out_of_range_vertices(tmp_path):
    path = write_json(tmp_path / "pen.json", {"shapes": [{"points": [[0, 0], [1e12, 0], [0, 5]]}]})
    with pytest.raises(ValueError, match="32-bit"):
        mu.get_in_pen_mask(0, np.ones((4, 4), bool), path, ["a"])


# Files that once made the library misbehave, kept as they were found.
REPRO = os.path.join(os.path.dirname(__file__), "data")


def repro(name):
    return os.path.join(REPRO, name)


# Rows 0 to 30 (first and last pixel) of cv2.fillPoly of opencv-python 5.1
# for [[1, 2], [50, -2**31], [40, 30]] on 64 x 40, which takes it a minute.
FAR_VERTEX_ROWS = [(2, 41), (1, 41), (1, 41), (2, 41), (4, 41), (5, 41), (6, 41), (8, 41), (9, 41), (11, 41),
                   (12, 41), (13, 41), (15, 41), (16, 41), (18, 41), (19, 40), (20, 40), (22, 40), (23, 40),
                   (24, 40), (26, 40), (27, 40), (29, 40), (30, 40), (31, 40), (33, 40), (34, 40), (36, 40),
                   (37, 40), (38, 40), (40, 40)]


def test_in_pen_mask_vertex_far_outside_the_frame():
    # y = -2**31 made the fill walk two billion rows; only the frame's rows
    # are walked now.
    out = mu.get_in_pen_mask(0, np.ones((40, 64), bool), repro("pen_int_min_point.json"), ["f.png"])
    expected = np.zeros((40, 64), bool)
    for y, (x0, x1) in enumerate(FAR_VERTEX_ROWS):
        expected[y, x0:x1 + 1] = True
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("seed", range(3))
def test_in_pen_mask_equals_fill_poly_on_random_polygons(tmp_path, seed):
    # Outlines leaving the frame too: the core fills as opencv-python's 5.1.
    rng = np.random.default_rng(seed)
    for k in range(40):
        h, w = (int(v) for v in rng.integers(1, 80, 2))
        points = np.stack([rng.uniform(-w / 2, 1.5 * w, 7), rng.uniform(-h / 2, 1.5 * h, 7)], 1)[: rng.integers(3, 8)]
        path = write_json(tmp_path / f"pen{k}.json", {"shapes": [{"points": points.tolist()}]})
        out = mu.get_in_pen_mask(0, np.ones((h, w), np.uint8), path, ["f"])
        np.testing.assert_array_equal(out, reference_pen(points, h, w), err_msg=str(points.tolist()))


# ---------------------------------------------------------- fix_polygon_scaling


@pytest.fixture
def annotation(tmp_path):
    img = tmp_path / "frame.jpg"
    Image.new("RGB", (1920, 1080)).save(img)
    doc = {
        "image_path": str(img),
        "détails": {"score": 0.1 + 0.2, "big": 2**70, "nan": float("nan"), "list": [], "obj": {}},
        "detections": [
            {"class_id": 0, "formatted_polygon": ["0 0.5 0.25", "1\t0.1  0.2 0.3 0.4 "]},
            {"class_id": 1, "formatted_polygon": []},
        ],
    }
    path = tmp_path / "output_pp_0.json"
    path.write_text(json.dumps(doc, indent=2))
    return path


def test_fix_polygon_scaling_rewrites_like_json_dump(annotation):
    expected = json.loads(annotation.read_text())
    expected["detections"][0]["formatted_polygon"] = ["0 0.281250 0.444444", "1 0.056250 0.355556 0.168750 0.711111"]
    mode = stat.S_IMODE(os.stat(annotation).st_mode)
    assert mu.fix_polygon_scaling(str(annotation)) is None
    assert annotation.read_text() == json.dumps(expected, indent=4)
    assert stat.S_IMODE(os.stat(annotation).st_mode) == mode
    mu.fix_polygon_scaling(annotation)  # not idempotent: scales again
    assert json.loads(annotation.read_text())["detections"][0]["formatted_polygon"][0] == "0 0.158203 0.790123"
    assert sorted(os.listdir(annotation.parent)) == ["frame.jpg", "output_pp_0.json"]


def test_fix_polygon_scaling_to_save_path(annotation, tmp_path):
    original = annotation.read_text()
    out = tmp_path / "fixed.json"
    mu.fix_polygon_scaling(str(annotation), str(out))
    assert annotation.read_text() == original
    assert json.loads(out.read_text())["detections"][0]["formatted_polygon"][0] == "0 0.281250 0.444444"


@pytest.mark.parametrize(
    "polygon, exc, match",
    [
        ("0 0.5 0.25 0.1", ValueError, "even number of coordinates"),
        ("0 0.5 abc", ValueError, "could not convert string to float: 'abc'"),
        ("   ", ValueError, "identifier"),
        (7, TypeError, "polygon text"),
    ],
)
def test_fix_polygon_scaling_bad_texts_change_nothing(annotation, polygon, exc, match):
    doc = json.loads(annotation.read_text())
    doc["detections"][1]["formatted_polygon"] = [polygon]
    annotation.write_text(json.dumps(doc))
    before = annotation.read_text()
    with pytest.raises(exc, match=match):
        mu.fix_polygon_scaling(str(annotation))
    assert annotation.read_text() == before
    assert len(os.listdir(annotation.parent)) == 2


def test_fix_polygon_scaling_missing_keys(annotation):
    doc = json.loads(annotation.read_text())
    del doc["detections"][1]["formatted_polygon"]
    annotation.write_text(json.dumps(doc))
    with pytest.raises(KeyError, match="formatted_polygon"):
        mu.fix_polygon_scaling(str(annotation))


def test_fix_polygon_scaling_unloadable_image(annotation, tmp_path, capsys):
    doc = json.loads(annotation.read_text())
    doc["image_path"] = str(tmp_path / "gone.jpg")
    annotation.write_text(json.dumps(doc))
    before = annotation.read_text()
    mu.fix_polygon_scaling(str(annotation))
    assert capsys.readouterr().out == f"Error loading image: [Errno 2] No such file or directory: '{tmp_path / 'gone.jpg'}'\n"
    assert annotation.read_text() == before
    (tmp_path / "gone.jpg").write_bytes(b"not an image")
    mu.fix_polygon_scaling(str(annotation))
    assert capsys.readouterr().out.startswith("Error loading image: cannot identify image file")
    (tmp_path / "gone.jpg").unlink()
    os.mkfifo(tmp_path / "gone.jpg")  # never opened: reading its size would wait for a writer
    mu.fix_polygon_scaling(str(annotation))
    assert capsys.readouterr().out == f"Error loading image: expected a regular file, got a FIFO: '{tmp_path / 'gone.jpg'}'\n"
    assert annotation.read_text() == before


def test_fix_polygon_scaling_unwritable_target(annotation, tmp_path):
    with pytest.raises(FileNotFoundError):
        mu.fix_polygon_scaling(str(annotation), str(tmp_path / "missing" / "out.json"))


@pytest.mark.parametrize("name", ["fix_surrogate_key.json", "fix_surrogate_in_list.json"])
def test_fix_polygon_scaling_lone_surrogates_in_image_path(tmp_path, capsys, name):
    # {"\ud800": 1} or ["\ud800"] as image_path: an image path that cannot be
    # opened, reported like any other.
    path = tmp_path / name
    with open(repro(name), "rb") as source:
        path.write_bytes(source.read())
    before = path.read_bytes()
    mu.fix_polygon_scaling(str(path))
    assert capsys.readouterr().out.startswith("Error loading image: ")
    assert path.read_bytes() == before


def test_fix_polygon_scaling_removes_what_a_killed_run_left(annotation):
    # A run killed while writing (here by the file-size limit) leaves its
    # temporary beside the file; the next run of the repair removes it.
    script = (
        "import resource, signal, sys, mirelo_utils as mu\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_DFL)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))\n"
        "mu.fix_polygon_scaling(sys.argv[1])\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", script, str(annotation)], env=env)
    assert run.returncode == -signal.SIGXFSZ
    left = [n for n in os.listdir(annotation.parent) if n.startswith(".output_pp_0.json.")]
    assert len(left) == 1
    unrelated = annotation.parent / ".output_pp_0.json.old.tmp"
    unrelated.write_text("not ours")
    before = annotation.read_text()
    mu.fix_polygon_scaling(str(annotation))
    assert annotation.read_text() != before
    assert sorted(os.listdir(annotation.parent)) == [unrelated.name, "frame.jpg", "output_pp_0.json"]


def random_json_value(rnd, depth=0):
    kind = rnd.randrange(8 if depth < 4 else 5)
    if kind == 0:
        return rnd.choice([None, True, False])
    if kind == 1:
        return rnd.choice([0, -1, 7, 2**63, -(2**63) - 1, 2**90, 10**30])
    if kind == 2:
        return rnd.choice([0.1 + 0.2, 1e16, 1e-5, -0.0, 5e-324, 1.7976931348623157e308, float("nan"),
                           float("inf"), -float("inf"), rnd.random() * 10 ** rnd.randint(-30, 30)])
    if kind in (3, 4):
        return "".join(rnd.choice(['a', '"', "\\", "\n", "\x00", "\x7f", "é", "€", "😀", "\u2028", "/", "\ud800"])
                       for _ in range(rnd.randrange(6)))
    if kind == 5:
        return [random_json_value(rnd, depth + 1) for _ in range(rnd.randrange(4))]
    return {str(random_json_value(rnd, 4)): random_json_value(rnd, depth + 1) for _ in range(rnd.randrange(4))}


@pytest.mark.parametrize("seed", range(4))
def test_fix_polygon_scaling_writes_what_json_dump_writes(annotation, tmp_path, seed):
    import random

    rnd = random.Random(seed)
    out = tmp_path / "out.json"
    for _ in range(50):
        doc = json.loads(annotation.read_text())
        doc["detections"][1]["extra"] = {str(k): random_json_value(rnd) for k in range(3)}
        doc["detections"][0]["formatted_polygon"] = []
        text = json.dumps(doc, indent=rnd.choice([None, 2]), ensure_ascii=rnd.random() < 0.5)
        try:
            annotation.write_text(text, encoding="utf-8")
        except UnicodeEncodeError:  # a lone surrogate has no UTF-8 form: escaped then
            text = json.dumps(doc)
            annotation.write_text(text, encoding="utf-8")
        mu.fix_polygon_scaling(str(annotation), str(out))
        assert out.read_text() == json.dumps(json.loads(text), indent=4)


# ------------------------------------------------- file names that are not UTF-8

needs_bytes_names = pytest.mark.skipif(
    os.fsencode("\udcff") != b"\xff", reason="file names are not decoded with surrogateescape here")


@needs_bytes_names
def test_file_names_that_are_not_utf8(tmp_path):
    # os.listdir gives such names with surrogate escapes; they must open as the
    # host's open() opens them, and failures must stay FileNotFoundError.
    pen = write_json(tmp_path / "pen_\udcff.json", {"shapes": [{"points": SQUARE}]})
    assert mu.draw_pen("x.jpg", pen) == [tuple(p) for p in SQUARE]
    out = mu.get_in_pen_mask(0, np.ones((4, 4), bool), pen, ["frame_\udcff.jpg"])
    assert out.all()
    with pytest.raises(FileNotFoundError, match="No such file"):
        mu.draw_pen("x.jpg", str(tmp_path / "gone_\udcff.json"))
    img = tmp_path / "frame_\udcfe.jpg"
    Image.new("RGB", (20, 10)).save(img)
    ann = write_json(tmp_path / "output_pp_\udcff.json",
                     {"image_path": str(img), "detections": [{"formatted_polygon": ["0 0.5 0.25"]}]})
    mu.fix_polygon_scaling(ann, str(tmp_path / "fixed_\udcfd.json"))
    fixed = json.loads((tmp_path / "fixed_\udcfd.json").read_text())
    assert fixed["detections"][0]["formatted_polygon"] == ["0 0.250000 0.500000"]
    assert mu.get_pen_json_path("D:\\x\\Camera61_1_\udcff\\left").endswith("Cam61.json")


@pytest.mark.parametrize(
    "points, match",
    [
        ([], "at least 3 corners, got 0 "),
        ([(1, 1)], "at least 3 corners, got 1 "),
    ],
)
def test_pen_polygon_too_small_messages(points, match):
    with pytest.raises(ValueError, match=match):
        mu.calculate_pen_intersection_ratio(points, [[1, 1, 2, 2]], 40)


def test_bad_pen_point_is_shown_on_one_line(tmp_path):
    path = write_json(tmp_path / "bad.json", {"shapes": [{"points": [[0, 0], [1, 2, 3]]}]})
    with pytest.raises(ValueError, match=r"got 3-item list \[1, 2, 3\]$"):
        mu.draw_pen("x.jpg", path)
