"""First-frame search with doubles of the detector's processor and model and of
the image predictor that follow the real call forms and record every call."""
import json
import os
from pathlib import Path

import numpy as np
import pytest
import torch
from PIL import Image

import mirelo_utils as mu
from conftest import DetectorBatch as Batch, DetectorModel as Model

W, H = 80, 60


class Processor:
    """Answers frame number f (from the image's file name) with boxes[f]:
    rows of (x0, y0, x1, y1, score[, label])."""

    def __init__(self, boxes):
        self.boxes = boxes
        self.log = []

    def __call__(self, images, text, return_tensors):
        self.log.append(("call", images, text, return_tensors))
        self.frame = int(images.filename.rsplit("_", 1)[1].split(".")[0])
        return Batch(self.log, input_ids=torch.tensor([[101, 102]]), pixel_values=torch.zeros(1, 3, 2, 2))

    def post_process_grounded_object_detection(self, outputs, input_ids, text_threshold, target_sizes):
        self.log.append(("post", outputs, input_ids.tolist(), text_threshold, target_sizes))
        rows = self.boxes.get(self.frame, [])
        return [{
            "scores": torch.tensor([r[4] for r in rows], dtype=torch.float32),
            "labels": [r[5] if len(r) > 5 else "pig" for r in rows],
            "boxes": torch.tensor([r[:4] for r in rows], dtype=torch.float32).reshape(len(rows), 4),
        }]


class Predictor:
    """One mask per box: the box's pixels, in `dtype`; K x 1 x H x W, or
    1 x H x W for a single box (as the real predictor answers)."""

    def __init__(self, dtype=np.float32, shape=None):
        self.log = []
        self.dtype = dtype
        self.shape = shape

    def set_image(self, image):
        self.log.append(("set_image", image.shape, image.dtype, image.flags.writeable))
        self.h, self.w = image.shape[:2]

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        box = np.asarray(box)
        self.log.append(("predict", point_coords, point_labels, box.tolist(), box.dtype, multimask_output))
        masks = np.zeros((len(box), 1, self.h, self.w), self.dtype)
        for i, (x0, y0, x1, y1) in enumerate(box.astype(int)):
            masks[i, 0, max(y0, 0):max(y1, 0), max(x0, 0):max(x1, 0)] = 1
        if len(box) == 1:
            masks = masks[0]
        if self.shape is not None:
            masks = np.zeros(self.shape, self.dtype)
        return masks, np.ones((len(box), 1), np.float32), np.zeros((len(box), 1, 8, 8), np.float32)


@pytest.fixture
def clip(tmp_path):
    """25 JPEG frames and a pen covering the whole frame."""
    names = []
    for f in range(25):
        p = tmp_path / f"frame_{f}.jpg"
        Image.new("RGB", (W, H), (f * 8, 100, 50)).save(p)
        names.append(str(p))
    pen = tmp_path / "pen.json"
    pen.write_text(json.dumps({"shapes": [{"points": [[0, 0], [W, 0], [W, H], [0, H]]}]}))
    return names, str(pen)


def run(clip, boxes, predictor=None, model=None, **kw):
    names, pen = clip
    proc, model, pred = Processor(boxes), model or Model(), predictor or Predictor()
    kw.setdefault("custom_pen_json_path", pen)
    result = mu.initializer("clip", names, proc, model, "cpu", pred, **kw)
    return result, proc, model, pred


FIVE = [(5, 5, 15, 15, 0.9), (20, 5, 30, 15, 0.8), (22, 5, 31, 15, 0.7), (40, 5, 50, 15, 0.6), (60, 5, 70, 15, 0.5)]


def test_accepted_frame_call_forms_and_result(clip, capsys):
    (masks, objects, idx, drawing), proc, model, pred = run(clip, {10: FIVE}, close_set_num=4, gdino_thr=0.3)
    out = capsys.readouterr().out
    assert out == (
        f"Using pen JSON path: {clip[1]}\n"
        "No boxes found in frame 0. Skipping to next frame.\n"
        "Boxes will be kept: [0 1 3 4], totally 4 keys\n"
        "ann_frame_idx [10] works!!!\n"
        "[0.9 0.8 0.6 0.5]\n"
    )
    # processor: the opened image object, prompt, batch moved to the device
    call = proc.log[3]
    assert call[0] == "call" and isinstance(call[1], Image.Image) and call[1].filename == clip[0][10]
    assert call[2:] == ("pig.", "pt") and proc.log[4] == ("to", "cpu")
    assert proc.log[5] == ("post", {"pred_boxes": "raw"}, [[101, 102]], 0.3, [(H, W)])
    assert model.log == [(["input_ids", "pixel_values"], False)] * 2 and torch.is_grad_enabled()
    assert pred.log[0] == ("set_image", (H, W, 3), np.dtype(np.uint8), True)
    assert pred.log[1] == ("predict", None, None, [list(map(float, b[:4])) for b in FIVE], np.float32, False)
    assert idx == 10 and masks.dtype == np.float32 and masks.shape == (4, H, W)
    np.testing.assert_array_equal(masks.sum(axis=(1, 2)), [100, 100, 100, 100])
    assert masks[2, 5:15, 40:50].all()  # renumbered: the fourth box is now the third mask
    assert objects.tolist() == ["pig"] * 4 and objects.dtype.kind == "U"
    assert drawing.mode == "RGBA" and drawing.size == (W, H)


def test_annotated_frame_is_the_box_drawing(clip):
    if not hasattr(mu, "img_bbx_drawing"):
        pytest.skip("drawing operations not built")
    # float masks of a rejected frame elsewhere first: nothing of them may remain
    boxes = {0: [(40, 30, 79, 59, 0.9), (0, 30, 30, 59, 0.8), (45, 0, 79, 20, 0.7)], 10: FIVE[:2]}
    (masks, _, idx, drawing), *_ = run(clip, boxes, close_set_num=2)
    assert idx == 10
    expected = mu.img_bbx_drawing(Image.open(clip[0][10]), {f"Box{k}": m for k, m in enumerate(masks)})
    np.testing.assert_array_equal(np.asarray(drawing), np.asarray(expected))


def test_default_candidates_and_nothing_found(clip, capsys):
    result, proc, _, pred = run(clip, {})
    assert result == (None, None, None, None)
    opened = [c[1].filename for c in proc.log if c[0] == "call"]
    assert opened == [clip[0][0], clip[0][10], clip[0][20]] and pred.log == []
    assert capsys.readouterr().out.count("Skipping to next frame.") == 3


@pytest.mark.parametrize("start, n, expected", [(0, 0, []), (25, 25, []), (3, 25, [3, 13, 23])])
def test_candidate_range(clip, start, n, expected):
    names, pen = clip
    proc = Processor({})
    assert mu.initializer("c", names[:n], proc, Model(), "cpu", Predictor(), start_index=start,
                          custom_pen_json_path=pen) == (None,) * 4
    assert [c[1].filename for c in proc.log if c[0] == "call"] == [names[i] for i in expected]


# A covers 10 % of itself with B's first column; B (500 px) is covered 2 % by A.
A = (0, 0, 10, 10)
B = (9, 0, 59, 10)
B8 = (9, 0, 59, 8)  # 8 px of A: exactly 8 %


@pytest.mark.parametrize(
    "boxes, kept",
    [
        ([A + (0.5,), B + (0.9,)], "[1]"),  # B scores higher: A goes
        ([A + (0.7,), B + (0.7,)], "[1]"),  # tie: the row box of the cell above 8 goes
        ([A + (0.9,), B + (0.5,)], "[0]"),  # A scores higher: B goes
        ([A + (0.5,), B8 + (0.9,)], "[0 1]"),  # exactly 8: both stay
        ([(0, 0, 10, 10, 0.7), (0, 0, 10, 10, 0.7)], "[]"),  # identical tie: both go
    ],
)
def test_duplicate_removal(clip, capsys, boxes, kept):
    run(clip, {0: boxes}, close_set_num=5)
    assert f"Boxes will be kept: {kept}, totally {kept.count(' ') + 1 if kept != '[]' else 0} keys" in capsys.readouterr().out


def test_filters_before_segmentation(clip, tmp_path):
    pen = tmp_path / "half_pen.json"
    pen.write_text(json.dumps({"shapes": [{"points": [[0, 0], [40, 0], [40, 1e6], [0, 1e6]]}]}))
    boxes = [
        (0, 10, 10, 20, 0.9),          # inside the pen
        (34, 10, 44, 20, 0.9),         # 60 % inside: kept
        (36, 21, 46, 31, 0.9),         # 40 % inside: kept (at the threshold)
        (37, 40, 47, 50, 0.9),         # 30 % inside: dropped
        (0, 29.9, 30, 50030, 0.9),     # above mid-height (30), 1 500 600 px^2: dropped
        (0, 30, 30, 100030, 0.9),      # at mid-height: lower limit, 3 000 000 px^2: kept
        (0, 30, 40, 100030, 0.9),      # at mid-height, exactly 4 000 000 px^2: dropped
        (5, 50, 15, 55, 0.9, "pig pig"),  # not the target label: dropped
    ]
    (_, _, _, _), proc, _, pred = run(clip, {0: boxes}, close_set_num=9, custom_pen_json_path=str(pen))
    sent = pred.log[1][3]
    assert sent == [[0, 10, 10, 20], [34, 10, 44, 20], [36, 21, 46, 31], [0, 30, 30, 100030]]


def test_frame_with_every_box_filtered_is_too_few(clip, capsys):
    boxes = {0: [(100, 100, 120, 120, 0.9)], 10: FIVE[:1]}
    result, _, _, pred = run(clip, boxes, close_set_num=1)
    out = capsys.readouterr().out.splitlines()
    assert out[1:3] == ["ann_frame_idx [0] cannot work, too few bbx found..", ""]
    assert result[2] == 10 and [c[0] for c in pred.log] == ["set_image", "predict"]


def test_rejected_frames_then_accepted(clip, capsys):
    boxes = {0: FIVE, 10: FIVE[:2], 20: [FIVE[0], FIVE[1], FIVE[3]]}
    (masks, objects, idx, _), *_ = run(clip, boxes, close_set_num=3)
    out = capsys.readouterr().out
    assert "ann_frame_idx [0] cannot work, too many bbx found..\n\n" in out
    assert "ann_frame_idx [10] cannot work, too few bbx found..\n\n" in out
    assert "ann_frame_idx [20] works!!!\n" in out and idx == 20 and masks.shape == (3, H, W)


@pytest.mark.parametrize("dtype", [bool, np.uint8, np.float64, np.int32])
def test_single_box_keeps_dtype_and_leading_axes(clip, dtype):
    (masks, objects, idx, _), *_ = run(clip, {0: FIVE[:1]}, predictor=Predictor(dtype), close_set_num=1)
    assert masks.shape == (1, 1, H, W) and masks.dtype == np.dtype(dtype)
    assert int(np.count_nonzero(masks)) == 100 and objects.tolist() == ["pig"]


def test_masks_in_foreign_byte_order_keep_their_values(clip):
    (masks, *_), *_ = run(clip, {0: FIVE[:2]}, predictor=Predictor(">f4"), close_set_num=2)
    assert masks.dtype == np.float32 and masks.shape == (2, H, W)
    assert set(np.unique(masks).tolist()) == {0.0, 1.0} and int(masks.sum()) == 200


def test_label_array_keeps_the_detector_text_width(clip):
    boxes = [b + ("pig",) for b in FIVE[:2]] + [(60, 40, 70, 50, 0.4, "pig snout")]
    (_, objects, _, _), *_ = run(clip, {0: boxes}, close_set_num=2)
    assert objects.dtype == np.dtype("<U9") and objects.tolist() == ["pig", "pig"]


def test_errors_reach_the_caller(clip):
    names, pen = clip
    with pytest.raises(TypeError, match="no pen polygon file"):
        mu.initializer(r"D:\x\Camera63_1_2\left", names, Processor({10: FIVE}), Model(), "cpu", Predictor())
    with pytest.raises(RuntimeError, match="detector failed"):
        run(clip, {0: FIVE}, model=Model(fail=True))
    assert torch.is_grad_enabled()
    with pytest.raises(ValueError, match=r"\(5, 1, H, W\).*got shape \(5, 2, 60, 80\)"):
        run(clip, {0: FIVE}, predictor=Predictor(shape=(5, 2, H, W)))
    with pytest.raises(ValueError, match="positive step"):
        run(clip, {}, step=0)
    with pytest.raises(ValueError, match="start_index >= 0"):
        run(clip, {}, start_index=-1)
    with pytest.raises(FileNotFoundError):
        mu.initializer("c", [names[0] + ".missing"], Processor({}), Model(), "cpu", Predictor(),
                       custom_pen_json_path=pen)


def test_frames_are_read_when_reached(clip, tmp_path):
    names, pen = clip
    missing = str(tmp_path / "frame_99.jpg")
    # read ahead but never reached: the accepted frame comes first
    (masks, *_), *_ = run((names[:1] + [missing], pen), {0: FIVE[:1]}, close_set_num=1, step=1)
    assert masks.shape == (1, 1, H, W)
    with pytest.raises(FileNotFoundError):
        run((names[:1] + [missing], pen), {}, step=1)
    result, proc, _, _ = run(clip, {}, start_index=1, step=2**62)
    assert result == (None,) * 4 and [c[1].filename for c in proc.log if c[0] == "call"] == [names[1]]


def test_grayscale_frames_reach_the_predictor_as_rgb(clip, tmp_path):
    names, pen = clip
    gray = str(tmp_path / "frame_0.png")
    Image.new("L", (W, H), 77).save(gray)
    proc, pred = Processor({0: FIVE[:1]}), Predictor()
    pred.set_image = lambda image: (pred.log.append(image[0, 0].tolist()), setattr(pred, "h", H), setattr(pred, "w", W))
    mu.initializer("c", [gray], proc, Model(), "cpu", pred, close_set_num=1, custom_pen_json_path=pen)
    assert proc.log[0][1].mode == "L" and pred.log[0] == [77, 77, 77]


@pytest.mark.parametrize("size", [(W, H), (2400, 1900)])  # the larger one spans several memory blocks
def test_predictor_gets_the_decoded_pixels_in_a_fresh_array(tmp_path, size):
    frame = tmp_path / "frame_0.jpg"
    rng = np.random.default_rng(1)
    Image.fromarray(rng.integers(0, 255, (size[1], size[0], 3), dtype=np.uint8)).save(frame)
    pen = tmp_path / "pen.json"
    pen.write_text(json.dumps({"shapes": [{"points": [[0, 0], [9000, 0], [9000, 9000], [0, 9000]]}]}))
    seen = []

    class Keep(Predictor):
        def set_image(self, image):
            seen.append(image)
            super().set_image(image)

    mu.initializer("c", [str(frame)], Processor({0: FIVE[:1]}), Model(), "cpu", Keep(np.uint8),
                   close_set_num=1, custom_pen_json_path=str(pen))
    expected = np.asarray(Image.open(frame).convert("RGB"))
    assert seen[0].flags.writeable and seen[0].flags.c_contiguous and seen[0].dtype == np.uint8
    np.testing.assert_array_equal(seen[0], expected)


def test_drawing_paints_only_mask_values_above_zero(clip):
    # The returned masks drawn as the drawing function draws them: negative
    # and NaN pixels count for the box and the overlaps but are not painted.
    class Signed(Predictor):
        def predict(self, **kw):
            masks, scores, logits = super().predict(**kw)
            masks[..., 45, 70] = 1.0
            masks[..., 30, 40] = -1.0
            masks[..., 32, 42] = np.nan
            return masks, scores, logits

    (masks, _, _, drawing), *_ = run(clip, {0: FIVE[:2]}, predictor=Signed(), close_set_num=2)
    expected = mu.img_bbx_drawing(Image.open(clip[0][0]), {f"Box{k}": m for k, m in enumerate(masks)})
    np.testing.assert_array_equal(np.asarray(drawing), np.asarray(expected))


@pytest.mark.skipif(os.fsencode("\udcff") != b"\xff", reason="file names are not decoded with surrogateescape here")
def test_file_names_that_are_not_utf8(clip, tmp_path, capsys):
    names, pen = clip
    odd_pen = tmp_path / "pen_\udcff.json"
    odd_pen.write_text(Path(pen).read_text())
    odd_frame = tmp_path / "odd\udcfe_0.jpg"
    os.replace(names[0], odd_frame)
    (masks, _, idx, _), *_ = run(([str(odd_frame)], str(odd_pen)), {0: FIVE[:1]}, close_set_num=1)
    assert idx == 0 and masks.shape == (1, 1, H, W)
    assert capsys.readouterr().out.splitlines()[0] == f"Using pen JSON path: {tmp_path}/pen_\\xff.json"
    with pytest.raises(FileNotFoundError):
        mu.initializer("c", names[10:11], Processor({10: FIVE}), Model(), "cpu", Predictor(),
                       custom_pen_json_path=str(tmp_path / "gone_\udcff.json"))
