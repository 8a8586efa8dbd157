import json

import cv2
import numpy as np
import pytest

import mirelo_utils as mu
from reference.qc import Refinement, blob_shortest_distance

H, W = 120, 160
CLIP = r"D:\frames\20240115\Camera64_1_20240115063000\0min_to_0.1min\left_cropped_frames"


def write_pen(path, points):
    path.write_text(json.dumps({"shapes": [{"label": "pen", "points": points}]}))
    return str(path)


@pytest.fixture
def pen(tmp_path):
    """The pen covers columns 0..149 of the frame: columns 150.. are outside."""
    return write_pen(tmp_path / "pen.json", [[0, 0], [149, 0], [149, H - 1], [0, H - 1]])


@pytest.fixture
def refiner(pen):
    return mu.Mask_Refinement(custom_pen_json_path=pen)


def canvas(*rects, shape=(1, H, W), dtype=bool):
    """Rectangles (x0, y0, width, height) set on a clear mask."""
    m = np.zeros(shape, dtype)
    for x0, y0, w, h in rects:
        m[..., y0:y0 + h, x0:x0 + w] = 1
    return m


def refine(refiner, *masks, names=None):
    """Runs one call over frames 0, 1, ... holding object 1 each."""
    segments = {f: {1: m} for f, m in enumerate(masks)}
    refiner.process_video_segments(segments, CLIP, names or [f"{f:04d}.jpg" for f in range(len(masks))])
    return [segments[f][1] for f in range(len(masks))]


def test_single_piece_is_kept_and_remembered(refiner, capsys):
    m = canvas((10, 20, 30, 10), shape=(H, W), dtype=np.uint8)
    (out,) = refine(refiner, m)
    assert out.dtype == bool and out.shape == (1, H, W)
    np.testing.assert_array_equal(out[0], m != 0)
    np.testing.assert_array_equal(refiner.prev_centroids[1], [24.5, 24.5])
    assert capsys.readouterr().out == ""


# Main piece: 40 rows x 50 columns = 2000 pixels at columns 10..59; a second
# piece of 20 x 35 = 700 pixels starting `gap` columns right of it: their
# nearest contour points (corners) are `gap` apart. The limit is
# 0.5 * sqrt(2000 / pi) = 12.6.
@pytest.mark.parametrize(
    "main, second, kept",
    [
        ((10, 10, 50, 40), (69, 10, 35, 20), True),    # 10 apart
        ((10, 10, 50, 40), (71, 10, 35, 20), True),    # 12 apart
        ((10, 10, 50, 40), (72, 10, 35, 20), False),   # 13 apart
        ((10, 10, 50, 40), (74, 10, 35, 20), False),   # 15 apart
        ((10, 10, 50, 40), (61, 10, 25, 20), False),   # 500 < 0.3 x 2000, however close
        ((10, 10, 50, 40), (61, 10, 30, 20), True),    # exactly 600
        # A main piece of 900 pixels allows sqrt(900 / pi) * 1.5 = 25.4.
        ((10, 10, 30, 30), (64, 10, 14, 20), True),    # 25 apart
        ((10, 10, 30, 30), (65, 10, 14, 20), False),   # 26 apart
    ],
)
def test_keep_rule_boundaries(refiner, main, second, kept):
    (out,) = refine(refiner, canvas(main, second))
    expected = canvas(main, second) if kept else canvas(main)
    np.testing.assert_array_equal(out, expected)


def test_remembered_centroid_picks_the_main_piece(refiner):
    # Pieces of 1200, 1000, 900, 800, 700 and 600 pixels in a row, 2 apart;
    # the sixth largest sits on the remembered centroid.
    rects = [(2 + 22 * k, 30, 20, h) for k, h in enumerate([60, 50, 45, 40, 35, 30])]
    refiner.MAX_DISTANCE_RATIOS = [0.0, 0.0]  # keep the main piece alone
    refiner.MAX_PREV_DIST = 1000
    refiner.prev_centroids[1] = np.array([121.5, 40.0])
    (out,) = refine(refiner, canvas(*rects))
    np.testing.assert_array_equal(out, canvas(rects[4]))  # the nearest of the five largest
    refiner.prev_centroids[1] = (0, 0)  # a caller's edit, any pair of numbers
    (out,) = refine(refiner, canvas(*rects))
    np.testing.assert_array_equal(out, canvas(rects[0]))


def test_far_pieces_dropped_and_frame_emptied(refiner, capsys):
    refiner.MAX_PREV_DIST = 100
    near, far = (0, 0, 20, 20), (120, 90, 20, 20)  # centroids 150 apart
    out = refine(refiner, canvas(near), canvas(far), canvas(near, far))
    np.testing.assert_array_equal(out[0], canvas(near))
    assert not out[1].any() and out[1].shape == (1, H, W)
    np.testing.assert_array_equal(out[2], canvas(near))
    assert capsys.readouterr().out == "clean frame1--obj_id1\nframe 1--obj_id1-- no mask\n"
    np.testing.assert_array_equal(refiner.prev_centroids[1], [9.5, 9.5])


@pytest.mark.parametrize("distance, kept", [(200, True), (200.5, False)])
def test_previous_distance_limit_is_inclusive(refiner, distance, kept):
    refiner.prev_centroids[1] = np.array([9.5 + distance, 9.5])
    segments = {5: {1: np.zeros((1, H, W), bool)}, 6: {1: canvas((0, 0, 20, 20))}}
    refiner.process_video_segments(segments, CLIP, {6: "f"})
    assert segments[6][1].any() == kept


def test_first_frame_keeps_the_whole_mask_when_everything_is_dropped(refiner, capsys):
    # Carried over from the previous clip: the animal was far away.
    refiner.prev_centroids[1] = np.array([500.0, 500.0])
    m = canvas((140, 10, 20, 10), shape=(H, W), dtype=np.float32)  # half outside the pen
    segments = {30: {1: m}}
    refiner.process_video_segments(segments, CLIP, {30: "a"})
    np.testing.assert_array_equal(segments[30][1], (m != 0)[None])  # pen or not
    np.testing.assert_array_equal(refiner.prev_centroids[1], [149.5, 14.5])
    segments = {30: {1: np.zeros_like(m)}, 31: {1: m}}
    refiner.process_video_segments(segments, CLIP, {31: "b"})
    np.testing.assert_array_equal(segments[31][1], canvas((140, 10, 10, 10)))
    assert capsys.readouterr().out == ""


def test_outside_pen_and_empty_masks(refiner, capsys):
    outside = canvas((152, 5, 5, 5), shape=(H, W), dtype=np.uint16)
    empty = np.zeros((3, 4), np.int8)  # an empty mask is left alone, whatever its shape
    segments = {0: {1: outside, 2: empty}}
    refiner.process_video_segments(segments, CLIP, ["a"])
    out = segments[0][1]
    assert out.dtype == np.uint16 and out.shape == (H, W) and not out.any()
    assert segments[0][2] is empty
    assert refiner.prev_centroids == {} and capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "dtype, value",
    [(np.uint8, 1), (np.uint8, 255), (np.int16, 256), (np.float64, 0.001), (np.float32, np.nan), (np.int64, -1)],
)
def test_any_non_zero_value_is_set(refiner, dtype, value):
    m = np.where(canvas((10, 10, 30, 20), shape=(1, 1, H, W)), np.asarray(value, dtype), np.asarray(0, dtype))
    (out,) = refine(refiner, m)
    np.testing.assert_array_equal(out, canvas((10, 10, 30, 20)))


def test_changes_in_place_and_settings_read_at_each_call(refiner):
    main, small = (10, 10, 50, 40), (65, 10, 20, 10)  # 200 pixels, 5 apart: below 0.3 x 2000
    objects = {1: canvas(main, small)}
    segments = {0: objects}
    assert refiner.process_video_segments(segments, CLIP, ["a"]) is segments
    assert segments[0] is objects
    np.testing.assert_array_equal(objects[1], canvas(main))
    refiner.MIN_AREA_RATIO = 0.1
    refiner.prev_centroids = {}
    objects[1] = canvas(main, small)
    refiner.process_video_segments(segments, CLIP, ["a"])
    np.testing.assert_array_equal(objects[1], canvas(main, small))


def test_centroids_carry_over_between_calls(refiner):
    refine(refiner, canvas((0, 0, 20, 20)))
    # Next clip: the piece near the last centroid is the main piece, though
    # it is the smaller one.
    (out,) = refine(refiner, canvas((0, 0, 10, 10), (100, 100, 30, 20)))
    np.testing.assert_array_equal(out, canvas((0, 0, 10, 10)))


def test_failure_part_way_keeps_what_was_done(refiner):
    good = canvas((10, 10, 20, 20))
    segments = {0: {1: good, 2: good.copy()}, 1: {1: good.copy(), 2: np.ones((2, H, W), bool)}, 2: {1: good}}
    with pytest.raises(ValueError, match=r"video_segments\[1\]\[2\]"):
        refiner.process_video_segments(segments, CLIP, ["a", "b", "c"])
    assert segments[0][1] is not good and segments[1][1].dtype == bool
    assert segments[1][2].shape == (2, H, W) and segments[2][1] is good
    assert set(refiner.prev_centroids) == {1, 2}


@pytest.mark.parametrize(
    "setting, names, exc, match",
    [
        (None, ["a"], TypeError, "no pen polygon file"),
        ("missing.json", ["a"], FileNotFoundError, "missing.json"),
        ("bad", ["a"], ValueError, None),
        ("ok", [], IndexError, None),
        ("ok", {1: "a"}, KeyError, "0"),
    ],
)
def test_pen_and_frame_name_errors(tmp_path, pen, setting, names, exc, match):
    (tmp_path / "bad").write_text("{")
    paths = {"ok": pen, "bad": str(tmp_path / "bad"), "missing.json": str(tmp_path / "missing.json"), None: None}
    r = mu.Mask_Refinement(custom_pen_json_path=paths[setting])
    with pytest.raises(exc, match=match):
        r.process_video_segments({0: {1: canvas((1, 1, 3, 3))}}, r"D:\x\Camera63_1_2024\left", names)


def test_camera_pen_file_under_the_configured_root(tmp_path, monkeypatch):
    (tmp_path / "GSAM2_output").mkdir()
    write_pen(tmp_path / "GSAM2_output" / "Cam64.json", [[0, 0], [9, 0], [9, 9], [0, 9]])
    monkeypatch.setattr(mu, "PEN_JSON_ROOT", str(tmp_path))
    r = mu.Mask_Refinement(custom_pen_json_path=None)
    segments = {0: {1: canvas((5, 5, 20, 20))}}
    r.process_video_segments(segments, CLIP, ["a"])
    np.testing.assert_array_equal(segments[0][1], canvas((5, 5, 5, 5)))


def test_none_where_nothing_needs_it(refiner):
    # Empty masks need neither the clip folder nor the frame names, and None
    # is an object id like any other.
    segments = {0: {1: np.zeros((H, W), np.uint8)}}
    assert refiner.process_video_segments(segments, None, None) is segments
    assert refiner.get_main_blob(canvas((1, 1, 3, 3)), {None: (2.0, 2.0)}, None)[0] == 2
    with pytest.raises(TypeError, match="video_segments, got NoneType"):
        refiner.process_video_segments(None, CLIP, ["a"])


@pytest.mark.parametrize(
    "mask, exc",
    [
        (np.ones((2, H, W), bool), ValueError),
        (np.ones((H,), bool), ValueError),
        (np.array([[1, 0]], dtype=object), TypeError),
        ([[1, 0]], TypeError),
    ],
)
def test_bad_masks(refiner, mask, exc):
    with pytest.raises(exc, match=r"video_segments\[0\]\[1\]"):
        refiner.process_video_segments({0: {1: mask}}, CLIP, ["a"])


@pytest.mark.parametrize(
    "prev, exc, match",
    [
        ({1}, TypeError, "subscriptable"),  # says it holds the object, then cannot give its centroid
        ({1: "ab"}, TypeError, r"prev_centroids\[1\]"),
        ({1: (1, 2, 3)}, ValueError, r"\(x, y\) centroid"),
        ([(0, 0)], IndexError, None),  # a list cannot remember object 1
    ],
)
def test_bad_remembered_centroids(refiner, prev, exc, match):
    refiner.prev_centroids = prev
    with pytest.raises(exc, match=match):
        refine(refiner, canvas((1, 1, 3, 3)))


def random_animal(rng, shape=(H, W)):
    """An ellipse with stray fragments, some near, some far, some outside the pen."""
    m = np.zeros(shape, np.uint8)
    cx, cy = int(rng.integers(20, shape[1] - 20)), int(rng.integers(20, shape[0] - 20))
    cv2.ellipse(m, (cx, cy), (int(rng.integers(5, 25)), int(rng.integers(5, 15))), float(rng.integers(0, 180)),
                0, 360, 1, -1)
    for _ in range(int(rng.integers(0, 6))):
        x, y = int(rng.integers(0, shape[1] - 6)), int(rng.integers(0, shape[0] - 6))
        m[y:y + int(rng.integers(1, 7)), x:x + int(rng.integers(1, 7))] = 1
    return m.astype(bool)[None]


def test_random_clips_match_the_straightforward_version(pen, rng, capsys):
    ours = mu.Mask_Refinement(custom_pen_json_path=pen, max_prev_dist=40)
    ref = Refinement(pen, max_prev_dist=40)
    for clip in range(3):
        segments = {f: {o: random_animal(rng) for o in range(3)} for f in range(10 * clip, 10 * clip + 10)}
        expected = ref.process_video_segments({f: dict(objs) for f, objs in segments.items()})
        printed = capsys.readouterr().out
        ours.process_video_segments(segments, CLIP, {f: "x" for f in segments})
        assert capsys.readouterr().out == printed
        for f in segments:
            for o in segments[f]:
                np.testing.assert_array_equal(segments[f][o], expected[f][o], err_msg=f"frame {f} object {o}")
        assert ours.prev_centroids.keys() == ref.prev_centroids.keys()
        for o in ref.prev_centroids:
            np.testing.assert_array_equal(ours.prev_centroids[o], ref.prev_centroids[o])


# ------------------------------------------------------------ the methods


def test_get_main_blob_matches_opencv(refiner, rng):
    for _ in range(5):
        m = random_animal(rng)
        refiner.prev_centroids = {7: np.array([80.0, 60.0])}
        num, stats, cents, min_area, max_dist, best, labels = refiner.get_main_blob(m, refiner.prev_centroids, 7)
        ref = Refinement(None)
        ref.prev_centroids = refiner.prev_centroids
        r_num, r_labels, r_stats, r_cents, r_min, r_max, r_best = ref.main_blob(m, 7)
        assert (num, best, min_area, max_dist) == (r_num, r_best, r_min, r_max)
        np.testing.assert_array_equal(labels, r_labels)
        np.testing.assert_array_equal(stats, r_stats)
        np.testing.assert_array_equal(cents, r_cents)
        assert labels.dtype == np.int32 and stats.dtype == np.int32 and cents.dtype == np.float64

        kept = refiner.get_dis_to_main_and_prev_blob(num, labels, stats, cents, max_dist, min_area, best,
                                                     refiner.prev_centroids, 7, 3, m, {0: {}})
        np.testing.assert_array_equal(kept[0], ref.keep(num, labels, stats, cents, min_area, max_dist, best, 7))


def test_get_main_blob_of_an_empty_mask(refiner):
    with pytest.raises(ValueError, match="empty"):
        refiner.get_main_blob(np.zeros((4, 4)), {}, 0)


def test_get_dis_fallback_and_message(refiner, capsys):
    m = canvas((2, 2, 4, 4), shape=(10, 10))
    labels = m.astype(np.int64)
    stats = np.array([[0, 0, 10, 10, 84], [2, 2, 4, 4, 16]])
    cents = np.array([[5.0, 5.0], [3.5, 3.5]])
    far = {0: (500.0, 500.0)}
    out = refiner.get_dis_to_main_and_prev_blob(2, labels, stats, cents, 10, 5, 1, far, 0, 4, m, {9: {}, 4: {}})
    assert out.shape == (1, 10, 10) and not out.any()
    assert capsys.readouterr().out == "clean frame4--obj_id0\n"
    out = refiner.get_dis_to_main_and_prev_blob(2, labels, stats, cents, 10, 5, 1, far, 0, 9, m * 3, {9: {}, 4: {}})
    np.testing.assert_array_equal(out, m[None])
    with pytest.raises(IndexError):
        refiner.get_dis_to_main_and_prev_blob(5, labels, stats, cents, 10, 5, 1, {}, 0, 9, m, {9: {}})


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (canvas((0, 0, 3, 3), shape=(9, 9)), canvas((6, 4, 2, 2), shape=(9, 9)), np.sqrt(20)),
        (canvas((0, 0, 3, 3), shape=(9, 9)), canvas((0, 0, 3, 3), shape=(1, 9, 9)), 0.0),
        (canvas((0, 0, 3, 3), shape=(9, 9)), np.zeros((9, 9), np.uint8), np.inf),
        (canvas((4, 4, 1, 1), shape=(9, 9)), canvas((0, 0, 1, 1), shape=(5, 5)), np.sqrt(32)),
    ],
)
def test_blob_shortest_distance(refiner, a, b, expected):
    assert refiner.blob_shortest_distance(a, b) == expected
    if a.ndim == b.ndim == 2 and a.shape == b.shape:
        assert expected == blob_shortest_distance(a.astype(np.uint8), b.astype(np.uint8))


def test_default_ratios_are_not_shared():
    a, b = mu.Mask_Refinement(), mu.Mask_Refinement()
    a.MAX_DISTANCE_RATIOS[0] = 9
    assert b.MAX_DISTANCE_RATIOS == [0.5, 1.5]
    assert (a.MIN_AREA_RATIO, a.MAX_PREV_DIST, a.custom_pen_json_path, a.prev_centroids) == (
        0.3, 200, "pen_polygon.json", {})
