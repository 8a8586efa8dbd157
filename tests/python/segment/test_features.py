"""Appearance vectors of masked animals, with a predictor double whose image
encoder follows the real call form and records what it is given."""
import cv2
import numpy as np
import pytest
import torch
import torch.nn.functional as F
from PIL import Image

import mirelo_utils as mu


class Encoder:
    """The predictor's model: image_encoder(x)["vision_features"] is 1 x 4 x 2 x 2,
    channel c holding (c + 1) * mean(x)."""

    def __init__(self, device="cpu", result=None):
        self.device = torch.device(device)
        self.inputs = []
        self.result = result

    def image_encoder(self, x):
        self.inputs.append({"x": x.clone(), "grad": torch.is_grad_enabled(), "device": x.device})
        if self.result is not None:
            return self.result(x)
        scale = torch.arange(1, 5, dtype=torch.float32).reshape(1, 4, 1, 1)
        return {"vision_features": x.mean() * scale * torch.ones(1, 4, 2, 2)}


class Predictor:
    def __init__(self, **kw):
        self.model = Encoder(**kw)
        self.log = []

    def set_image(self, image):
        self.log.append(("set_image", image.shape, image.dtype, image.copy()))


def frame(h=60, w=80, seed=0):
    return Image.fromarray(np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8))


def ellipse(h, w, centre, axes, angle=20, dtype=np.uint8, value=1):
    m = np.zeros((h, w), np.uint8)
    cv2.ellipse(m, centre, axes, angle, 0, 360, 1, -1)
    return (m * value).astype(dtype)


# The steps the feature call stands for, written with Pillow, OpenCV and torch:
# crop to the mask's box (right and bottom exclusive), contrast enhancement,
# composite through the mask on black, to a [0, 1] tensor, and an
# antialiased bilinear resize written out as two weight matrices.
def enhance(crop, gamma):
    gray = cv2.cvtColor(cv2.cvtColor(np.array(crop), cv2.COLOR_RGB2BGR), cv2.COLOR_BGR2GRAY)
    table = np.array([((i / 255.0) ** (1.0 / gamma)) * 255 for i in range(256)]).astype("uint8")
    return Image.fromarray(cv2.equalizeHist(cv2.LUT(gray, table)))


def resize_weights(n_in, n_out):
    """Rows of triangle-filter weights (stretched by the scale when shrinking)
    around the half-pixel centres, normalised, as antialiased bilinear resizing
    defines them."""
    scale = n_in / n_out
    support = max(scale, 1.0)
    centre = (torch.arange(n_out, dtype=torch.float64) + 0.5) * scale
    j = torch.arange(n_in, dtype=torch.float64)
    w = (1 - ((j[None, :] - centre[:, None] + 0.5) / support).abs()).clamp(min=0)
    return w / w.sum(dim=1, keepdim=True)


def reference_input(image, mask):
    ys, xs = np.nonzero(mask)
    x1, x2, y1, y2 = xs.min(), xs.max(), ys.min(), ys.max()
    crop = enhance(image.crop((x1, y1, x2, y2)).convert("RGB"), 10)
    cut = Image.fromarray(((mask[y1:y2, x1:x2] != 0) * 255).astype(np.uint8)).resize(crop.size)
    overlay = Image.composite(crop, Image.new("RGB", crop.size, (0, 0, 0)), cut.convert("1"))
    t = torch.from_numpy(np.array(overlay)).permute(2, 0, 1).float().div(255).double()
    h, w = t.shape[1:]
    return (resize_weights(h, 256) @ t @ resize_weights(w, 256).T).unsqueeze(0)


@pytest.mark.parametrize("h, w, centre, axes, dtype, value", [
    (60, 80, (40, 30), (25, 12), bool, 1),              # enlarged along both axes
    (400, 500, (250, 200), (200, 90), bool, 1),          # shrunk in width, enlarged in height
    (500, 600, (300, 250), (280, 200), bool, 1),         # shrunk along both axes
    (300, 40, (20, 150), (15, 140), bool, 1),            # tall and narrow
    (400, 500, (250, 200), (200, 90), np.uint8, 1),
    (400, 500, (250, 200), (200, 90), np.uint8, 255),   # 0/255 masks are masks too
    (400, 500, (250, 200), (200, 90), np.float32, 1.0),
])
def test_encoder_input_is_the_enhanced_masked_crop_resized(h, w, centre, axes, dtype, value):
    image = frame(h, w)
    mask = ellipse(h, w, centre, axes, dtype=dtype, value=value)
    pred = Predictor()
    (feat,) = mu.generate_sam2_image_features(image, [mask], pred)
    (call,) = pred.model.inputs
    x = call["x"]
    assert x.shape == (1, 3, 256, 256) and x.dtype == torch.float32 and not call["grad"]
    assert 0.0 <= x.min() and x.max() <= 1.0
    torch.testing.assert_close(x.double(), reference_input(image, mask), rtol=0, atol=2e-6)
    # The pooled vector: the feature map averaged over its two spatial axes.
    assert feat.shape == (4,) and feat.dtype == torch.float32 and not feat.requires_grad
    torch.testing.assert_close(feat, x.mean() * torch.arange(1, 5, dtype=torch.float32))


def test_crop_already_256_is_not_resized():
    image = frame(300, 300)
    mask = np.zeros((300, 300), bool)
    mask[10:267, 20:277] = True  # box 257 x 257: crop 256 x 256
    pred = Predictor()
    mu.generate_sam2_image_features(image, [mask], pred)
    x = pred.model.inputs[0]["x"]
    torch.testing.assert_close(x.double(), reference_input(image, mask), rtol=0, atol=0)


def test_set_image_once_with_the_whole_rgb_frame_before_encoding():
    image = frame(50, 70).convert("L")  # any mode is converted to RGB
    masks = np.stack([ellipse(50, 70, (20, 20), (10, 6)), ellipse(50, 70, (50, 30), (12, 8))])
    pred = Predictor()
    feats = mu.generate_sam2_image_features(image, masks, pred)
    (call,) = pred.log
    assert call[1:3] == ((50, 70, 3), np.uint8)
    np.testing.assert_array_equal(call[3], np.array(image.convert("RGB")))
    assert len(pred.model.inputs) == 2 and len(feats) == 2


@pytest.mark.parametrize("pixels, usable", [
    (9, False), (10, True),
])
def test_size_threshold(pixels, usable):
    mask = np.zeros((20, 20), np.uint8)
    mask.flat[[i * 21 for i in range(pixels)]] = 1  # a diagonal: no single row or column
    (feat,) = mu.generate_sam2_image_features(frame(20, 20), [mask], Predictor())
    assert (feat is not None) == usable


@pytest.mark.parametrize("make", [
    lambda m: m.__setitem__((5, slice(2, 14)), 1),   # twelve pixels in one row
    lambda m: m.__setitem__((slice(1, 19), 7), 1),   # eighteen pixels in one column
    lambda m: None,                                  # empty
])
def test_masks_without_a_crop_give_none_and_no_encoder_call(make):
    mask = np.zeros((20, 20), bool)
    make(mask)
    pred = Predictor()
    assert mu.generate_sam2_image_features(frame(20, 20), [mask], pred) == [None]
    assert pred.model.inputs == [] and len(pred.log) == 1


def test_one_entry_per_mask_in_mask_order():
    image = frame()
    small = ellipse(60, 80, (20, 20), (8, 5))
    big = ellipse(60, 80, (50, 35), (25, 15))
    feats = mu.generate_sam2_image_features(image, [small, np.zeros((60, 80), bool), big], Predictor())
    assert feats[1] is None and feats[0] is not None and feats[2] is not None
    swapped = mu.generate_sam2_image_features(image, [big, np.zeros((60, 80), bool), small], Predictor())
    torch.testing.assert_close(swapped[0], feats[2])
    torch.testing.assert_close(swapped[2], feats[0])
    assert mu.generate_sam2_image_features(image, [], Predictor()) == []


def test_vectors_stay_on_the_model_device_and_grad_mode_is_restored():
    pred = Predictor()
    feats = mu.generate_sam2_image_features(frame(), [ellipse(60, 80, (40, 30), (20, 10))], pred)
    assert pred.model.inputs[0]["device"] == torch.device("cpu") and feats[0].device.type == "cpu"
    assert torch.is_grad_enabled()


def test_model_without_device_uses_its_parameters_device():
    class Model(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.w = torch.nn.Parameter(torch.ones(1))
            self.seen = []

        def image_encoder(self, x):
            self.seen.append(torch.is_grad_enabled())
            return {"vision_features": (x * self.w).mean().reshape(1, 1, 1, 1)}

    pred = Predictor()
    pred.model = Model()
    (feat,) = mu.generate_sam2_image_features(frame(), [ellipse(60, 80, (40, 30), (20, 10))], pred)
    assert pred.model.seen == [False] and not feat.requires_grad and feat.shape == (1,)


@pytest.mark.parametrize("image, masks, result, exc, match", [
    ("frame", np.zeros((1, 30, 80), bool), None, ValueError, "image's size"),
    ("frame", np.zeros((2, 2, 60, 80), bool), None, ValueError, "2-D mask"),
    ("frame", np.zeros((60, 80), bool), None, ValueError, "2-D masks"),
    ("frame", [np.zeros(80, bool)], None, ValueError, "2-D mask"),
    ("frame", "masks", None, TypeError, "list of masks"),
    ("not an image", [], None, TypeError, "PIL image"),
    (np.zeros((60, 80, 3), np.float32), [], None, TypeError, "uint8"),
    ("frame", "ellipse", lambda x: {"features": x}, KeyError, "vision_features"),
    ("frame", "ellipse", lambda x: x, TypeError, "mapping"),
    ("frame", "ellipse", lambda x: {"vision_features": x.mean(dim=[2, 3])}, ValueError, "1 x C x h x w"),
    ("frame", "ellipse", lambda x: {"vision_features": torch.ones(2, 4, 2, 2)}, ValueError, "1 x C x h x w"),
    ("frame", "ellipse", lambda x: {"vision_features": np.ones((1, 4, 2, 2))}, TypeError, "tensor"),
])
def test_bad_input(image, masks, result, exc, match):
    image = frame() if isinstance(image, str) and image == "frame" else image
    masks = [ellipse(60, 80, (40, 30), (20, 10))] if isinstance(masks, str) and masks == "ellipse" else masks
    pred = Predictor(result=result)
    with pytest.raises(exc, match=match):
        mu.generate_sam2_image_features(image, masks, pred)
    assert torch.is_grad_enabled()


def test_bad_mask_is_refused_before_the_predictor_is_called():
    pred = Predictor()
    masks = [ellipse(60, 80, (40, 30), (20, 10)), np.zeros((61, 80), bool)]
    with pytest.raises(ValueError, match=r"mask 1 of shape \(61, 80\)"):
        mu.generate_sam2_image_features(frame(), masks, pred)
    assert pred.log == [] and pred.model.inputs == []


def test_bfloat16_features_are_compared_like_any_other():
    pred = Predictor(result=lambda x: {"vision_features": torch.ones(1, 3, 2, 2, dtype=torch.bfloat16) * x.mean()})
    feats = mu.generate_sam2_image_features(frame(), [ellipse(60, 80, (40, 30), (20, 10))] * 2, pred)
    assert feats[0].dtype == torch.bfloat16
    np.testing.assert_allclose(mu.cosine_scores_cal(feats, feats), 1.0, rtol=1e-12)
