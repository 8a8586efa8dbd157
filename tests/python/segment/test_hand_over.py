"""The best last frame of a clip and the hand-over to the next clip."""
import numpy as np
import pytest
from PIL import Image

import mirelo_utils as mu
from conftest import rect_mask

H, W = 40, 120


def animals(n=10, small=(), dtype=np.uint8):
    """n separate 3 x 4 masks "Box0".. (12 pixels); those in `small` are
    3 x 2 (6 pixels)."""
    return {f"Box{k}": rect_mask((H, W), 10 * k, 2, 10 * k + (2 if k in small else 4), 5, dtype) for k in range(n)}


def clip(keys, make=animals):
    return {k: {"frame_index": k, "masks_dict": make(), "mask_areas": {}} for k in keys}


# ---------------------------------------------------------- find_best_laste_frame


def test_last_frame_used_when_usable(capsys):
    frames = clip(range(590, 600))
    best, failed = mu.find_best_laste_frame(frames)
    assert best is frames[599] and failed is False
    assert capsys.readouterr().out == ""


def test_switches_back_past_small_masks_and_says_so(capsys):
    frames = clip(range(590, 600))
    frames[599]["masks_dict"] = animals(small={4})
    best, failed = mu.find_best_laste_frame(frames)
    assert best is frames[598] and not failed
    assert capsys.readouterr().out == "Switched to frame key 598 due to small mask area in later frames.\n"


@pytest.mark.parametrize("masks, min_area, usable", [
    (animals(), 10, True),
    (animals(9), 10, False),  # ten tracks expected
    ({**animals(9), "Box9": np.zeros((H, W), bool)}, 10, False),
    ({**animals(9), "Box9": rect_mask((H, W), 100, 20, 110, 21)}, 10, False),  # exactly min_area pixels
    ({**animals(9), "Box9": rect_mask((H, W), 100, 20, 110, 21)}, 9, True),
    ({**animals(8), "Box8": rect_mask((H, W), 90, 20, 100, 30), "Box9": rect_mask((H, W), 95, 20, 105, 30)}, 10,
     False),  # half of each covered
    ({**animals(8), "Box8": rect_mask((H, W), 90, 20, 100, 30), "Box9": rect_mask((H, W), 96, 20, 106, 30)}, 10,
     True),
    ({**animals(), "Box0": rect_mask((H, W), 0, 2, 4, 5, np.float32) * -2.5}, 10, True),  # any dtype, non-zero
])
def test_usable_frame_rules(masks, min_area, usable, capsys):
    best, failed = mu.find_best_laste_frame({599: {"masks_dict": masks}}, min_area=min_area, max_attempts=1)
    assert (best is not None, failed) == (usable, not usable)


def test_removals_change_the_callers_records_but_not_the_list(capsys):
    frames = clip(range(3), lambda: animals(10))
    frames[2]["mask_areas"] = {"Box0": 12}
    removed = ["Box0", "Box7"]
    best, failed = mu.find_best_laste_frame(frames, remove_stack_obs=removed)
    assert best is frames[2] and not failed
    assert removed == ["Box0", "Box7"]
    for record in frames.values():
        assert list(record["masks_dict"]) == ["Box1", "Box2", "Box3", "Box4", "Box5", "Box6", "Box8", "Box9"]
    assert frames[2]["mask_areas"] == {"Box0": 12}


def test_an_empty_key_removes_nothing_but_lowers_the_track_count(capsys):
    frames = clip(range(2), lambda: animals(9))
    best, _ = mu.find_best_laste_frame(frames, remove_stack_obs=[""])
    assert best is frames[1] and len(best["masks_dict"]) == 9


def test_gives_up_after_max_attempts(capsys):
    frames = clip(range(600), lambda: animals(9))
    assert mu.find_best_laste_frame(frames) == (None, True)
    assert capsys.readouterr().out == (
        "No valid frame found with all masks area > 10 in the last 10 frames for 10 tracks.\n")
    assert mu.find_best_laste_frame(frames, min_area=2.5, max_attempts=0) == (None, True)
    assert capsys.readouterr().out == (
        "No valid frame found with all masks area > 2.5 in the last 0 frames for 10 tracks.\n")


@pytest.mark.parametrize("min_area, max_attempts, printed", [
    (np.float32(0.1), 0, "0.1 in the last 0"),
    (2**70, False, "1180591620717411303424 in the last False"),
    (np.int64(7), np.float64(0.5), "7 in the last 0.5"),
])
def test_numbers_in_the_give_up_message_print_as_given(capsys, min_area, max_attempts, printed):
    nine = clip([5], lambda: animals(9))
    assert mu.find_best_laste_frame(nine, min_area, max_attempts) == (None, True)
    assert capsys.readouterr().out == f"No valid frame found with all masks area > {printed} frames for 10 tracks.\n"
    assert mu.matcher(nine, [], 0, None, None, min_area, max_attempts)[4] is True
    assert f"> {printed} frames" in capsys.readouterr().out


@pytest.mark.parametrize("frames, kwargs, error, match", [
    (clip(range(3), lambda: animals(9)), {}, IndexError, "out of range"),
    ({}, {}, IndexError, "out of range"),
    ({599: {"mask_areas": {}}}, {}, KeyError, "masks_dict"),
    ({599: {"masks_dict": {}}, 598: {}}, {"remove_stack_obs": ["Box1"]}, KeyError, "masks_dict"),
    ([{"masks_dict": {}}], {}, TypeError, "mapping"),
    ({599: {"masks_dict": {"Box0": np.ones((3, 4, 5))}}}, {}, ValueError, "2-D"),
    ({599: {"masks_dict": {"Box0": np.ones((3, 4)), "Box1": np.ones((4, 3))}}}, {}, ValueError, "same shape"),
    ({599: {"masks_dict": {}}, "x": {"masks_dict": {}}}, {}, TypeError, "<"),
    ({599: {"masks_dict": {}}}, {"remove_stack_obs": 5}, TypeError, "len"),
])
def test_bad_records_raise(frames, kwargs, error, match):
    with pytest.raises(error, match=match):
        mu.find_best_laste_frame(frames, **kwargs)


# ------------------------------------------------------------------------ matcher


class BoxPredictor:
    """Answers each box with a mask filling it (inclusive corners), in the
    form `form` names; records its calls."""

    def __init__(self, form="4d", extra=0):
        self.form, self.extra = form, extra
        self.calls = []

    def set_image(self, image):
        self.calls.append(("set_image", image.shape, image.dtype, image[0, 0].tolist()))
        self.h, self.w = image.shape[:2]

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        self.calls.append(("predict", point_coords, point_labels, np.asarray(box).tolist(), multimask_output))
        box = np.asarray(box)
        masks = np.zeros((len(box) + self.extra, 1, self.h, self.w), np.float32)
        for i, (x0, y0, x1, y1) in enumerate(box):
            masks[i, 0, y0:y1 + 1, x0:x1 + 1] = 1
        scores, logits = np.ones(len(masks)), np.zeros((len(masks), 1, 4, 4))
        if self.form == "3d":
            return masks[:, 0], scores, logits
        if self.form == "2d":
            return masks[0, 0], scores[0], logits[0]
        return masks, scores, logits


@pytest.fixture
def frames_dir(tmp_path):
    names = []
    for k in range(2):
        path = tmp_path / f"{k:04d}.jpg"
        Image.new("RGB", (W, H), (200, 100 + k, 50)).save(path, quality=100)
        names.append(str(path))
    return names


@pytest.mark.parametrize("form", ["4d", "3d"])
def test_accepted_hand_over(frames_dir, capsys, form):
    frames = clip(range(598, 600))
    pred = BoxPredictor(form)
    shown = []
    masks, objects, keep_box, best, failed = mu.matcher(frames, frames_dir, 1, pred, display_func=shown.append)
    assert failed is False and best is frames[599]
    assert isinstance(masks, np.ndarray) and masks.shape == (10, H, W) and masks.dtype == np.float32
    assert objects == ["pig"] * 10 and keep_box == [f"Box{k}" for k in range(10)]
    assert pred.calls[0][:3] == ("set_image", (H, W, 3), np.uint8)
    assert pred.calls[0][3][0] >= 195  # the frame at ann_frame_idx, in RGB order
    assert pred.calls[1] == ("predict", None, None, [[10 * k, 2, 10 * k + 3, 4] for k in range(10)], False)
    assert len(shown) == 1 and shown[0].mode == "RGBA" and shown[0].size == (W, H)
    assert capsys.readouterr().out == "ann_frame_idx [1] works for mask finding!!!\n"


def test_one_remaining_track_answered_with_a_two_dimensional_mask(frames_dir, capsys):
    frames = clip([599], lambda: animals(1))
    masks, objects, keep_box, best, failed = mu.matcher(
        frames, frames_dir, image_predictor=BoxPredictor("2d"), remove_stack_box=[f"Box{k}" for k in range(1, 10)],
        max_attempts=1)
    assert not failed and masks.shape == (1, H, W) and objects == ["pig"] and keep_box == ["Box0"]


def test_removed_track_and_caller_records(frames_dir, capsys):
    frames = clip(range(2))
    masks, _, keep_box, best, failed = mu.matcher(frames, frames_dir, 0, BoxPredictor(), remove_stack_box=["Box3"])
    assert not failed and masks.shape[0] == 9
    assert keep_box == ["Box0", "Box1", "Box2", "Box4", "Box5", "Box6", "Box7", "Box8", "Box9"]
    assert all("Box3" not in r["masks_dict"] for r in frames.values())


class FixedPredictor:
    """Answers with the given masks whatever the boxes."""

    def __init__(self, masks):
        self.masks = np.stack(masks)[:, None]

    def set_image(self, image):
        pass

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        return self.masks, np.ones(len(self.masks)), np.zeros((len(self.masks), 1, 4, 4))


A = rect_mask((H, W), 0, 0, 20, 10)  # 200 pixels
B = rect_mask((H, W), 18, 0, 38, 10)  # 200 pixels, 20 of them shared with A: 10 % of each
B_MORE = B.copy()
B_MORE[0, 17] = 1  # 21 shared: 10.5 % of A


@pytest.mark.parametrize("new_masks, min_area, accepted", [
    ([A, B], 10, True),
    ([A, B_MORE], 10, False),
    ([A, B, rect_mask((H, W), 60, 20, 80, 30)], 10, False),  # more masks than tracks
    ([A], 10, False),
    ([A, B], 200, True),  # exactly min_area pixels passes here
    ([A, B], 201, False),
])
def test_acceptance_rules(frames_dir, capsys, new_masks, min_area, accepted):
    big = {"Box0": rect_mask((H, W), 0, 20, 20, 32), "Box1": rect_mask((H, W), 40, 20, 60, 32)}  # 240 pixels
    frames = {599: {"masks_dict": big}}
    shown = []
    result = mu.matcher(frames, frames_dir, 0, FixedPredictor(new_masks), [f"Box{k}" for k in range(2, 10)],
                        min_area=min_area, max_attempts=1, display_func=shown.append)
    out = capsys.readouterr().out
    assert len(shown) == 1
    if accepted:
        assert result[4] is False and out == "ann_frame_idx [0] works for mask finding!!!\n"
    else:
        assert result == (None, None, None, None, True)
        assert out == "ann_frame_idx [0] cannot work..\n\n"


def test_no_usable_last_frame(frames_dir, capsys):
    frames = clip([599], lambda: animals(9))
    shown = []
    pred = BoxPredictor()
    assert mu.matcher(frames, frames_dir, 0, pred, max_attempts=1, display_func=shown.append) == (
        None, None, None, None, True)
    assert shown == [] and pred.calls == []
    assert capsys.readouterr().out.endswith("Issue is from the laste frame, not enough masks found.\n")


@pytest.mark.parametrize("tracks, pen_animals, removed, usable", [
    (3, 3, [], True),
    (3, 4, [], False),  # a fourth animal is missing
    (3, 4, ["Box3"], True),  # ... unless its track is removed
    (1, 1, [], True),
    (12, 12, ["Box0"], True),
])
def test_pen_of_other_sizes(frames_dir, capsys, tracks, pen_animals, removed, usable):
    frames = clip([599], lambda: animals(tracks))
    best, failed = mu.find_best_laste_frame(frames, 10, 1, removed, pen_animals=pen_animals)
    assert failed is not usable and (best is frames[599] if usable else best is None)
    frames = clip([599], lambda: animals(tracks))
    masks, _, keep_box, best, failed = mu.matcher(frames, frames_dir, 0, BoxPredictor(), removed, max_attempts=1,
                                                  pen_animals=pen_animals)
    assert failed is not usable
    if usable:
        kept = [f"Box{k}" for k in range(tracks) if f"Box{k}" not in removed]
        assert masks.shape[0] == len(kept) and keep_box == [f"Box{k}" for k in range(pen_animals)
                                                            if f"Box{k}" not in removed]


@pytest.mark.parametrize("pen_animals, error", [(0, ValueError), (True, TypeError), (2.0, TypeError)])
def test_bad_pen_sizes_raise(frames_dir, pen_animals, error):
    with pytest.raises(error, match="pen_animals"):
        mu.find_best_laste_frame(clip([599]), pen_animals=pen_animals)
    with pytest.raises(error, match="pen_animals"):
        mu.matcher(clip([599]), frames_dir, 0, BoxPredictor(), pen_animals=pen_animals)


def test_display_comes_before_the_rejection_message(frames_dir, capsys):
    frames = clip([599])
    order = []
    mu.matcher(frames, frames_dir, 0, BoxPredictor(extra=1), max_attempts=1,
               display_func=lambda image: order.append(capsys.readouterr().out))
    assert order == [""] and "cannot work" in capsys.readouterr().out


@pytest.mark.parametrize("kwargs, error", [
    ({"image_predictor": None}, AttributeError),
    ({"ann_frame_idx": 5}, IndexError),
    ({"ann_frame_idx": 1.0}, TypeError),
    ({"image_predictor": BoxPredictor(form="5d")}, None),
])
def test_bad_calls_raise(frames_dir, kwargs, error, capsys):
    frames = clip([599])
    args = {"image_predictor": BoxPredictor(), "max_attempts": 1, **kwargs}
    if error is None:
        pred = args["image_predictor"]
        pred.predict = lambda **kw: (np.zeros((1, 1, 1, H, W)), None, None)
        with pytest.raises(ValueError, match="shape"):
            mu.matcher(frames, frames_dir, **args)
        return
    with pytest.raises(error):
        mu.matcher(frames, frames_dir, **args)


# ---------------------------------------------------------- the displayed drawing


def saved_frame(folder, mode):
    """A random frame saved in `mode` (JPEG for RGB and L, PNG otherwise)."""
    rgba = Image.fromarray(np.random.default_rng(3).integers(0, 256, (H, W, 4), dtype=np.uint8), "RGBA")
    path = folder / ("frame.jpg" if mode in ("RGB", "L") else "frame.png")
    (rgba if mode == "RGBA" else rgba.convert("RGB").convert(mode)).save(path)
    return str(path)


def two_tracks(form):
    """Box0 and Box1 of a frame size other than the new frame's (past its
    bottom, short of its right side), overlapping a little, in `form`."""
    shape = (H + 6, W - 20)
    masks = {"Box0": rect_mask(shape, 5, 30, 40, H + 4, np.uint8), "Box1": rect_mask(shape, 30, 2, 90, 33, np.uint8)}
    if form == "bool":
        return {k: m.astype(bool) for k, m in masks.items()}
    if form == "uint16":
        return {k: m.astype(np.uint16) * 300 for k, m in masks.items()}
    if form == "1 x H x W":
        return {k: m[None] for k, m in masks.items()}
    if form == "float32, negatives boxed but not painted":
        masks = {k: m.astype(np.float32) for k, m in masks.items()}
        masks["Box0"][35, 20] = masks["Box1"][H + 5, 0] = -2
    return masks


@pytest.mark.parametrize("form", ["uint8", "bool", "uint16", "1 x H x W", "float32, negatives boxed but not painted"])
@pytest.mark.parametrize("mode", ["RGB", "L", "RGBA", "P"])
def test_displayed_drawing_is_img_bbx_drawing_of_the_frame(tmp_path, capsys, mode, form):
    path = saved_frame(tmp_path, mode)
    frames = {599: {"masks_dict": two_tracks(form)}}
    shown = []
    mu.matcher(frames, [path], 0, BoxPredictor(), [f"Box{k}" for k in range(2, 10)], max_attempts=1,
               display_func=shown.append)
    expected = mu.img_bbx_drawing(Image.open(path), frames[599]["masks_dict"])
    assert len(shown) == 1 and shown[0].mode == "RGBA"
    np.testing.assert_array_equal(np.asarray(shown[0]), np.asarray(expected))
    shown[0].load()[0, 0] = (1, 2, 3, 4)  # an ordinary, writable image
    assert shown[0].getpixel((0, 0)) == (1, 2, 3, 4)


def test_displayed_drawing_shows_masks_replaced_during_the_prediction(tmp_path, capsys):
    path = saved_frame(tmp_path, "RGB")
    frames = {599: {"masks_dict": two_tracks("uint8")}}
    pred = BoxPredictor()
    predict = pred.predict

    def replacing(**kwargs):
        frames[599]["masks_dict"]["Box1"] = rect_mask((H + 6, W - 20), 60, 10, 99, 20, np.uint8)
        return predict(**kwargs)

    pred.predict = replacing
    shown = []
    mu.matcher(frames, [path], 0, pred, [f"Box{k}" for k in range(2, 10)], max_attempts=1, display_func=shown.append)
    np.testing.assert_array_equal(np.asarray(shown[0]),
                                  np.asarray(mu.img_bbx_drawing(Image.open(path), frames[599]["masks_dict"])))
