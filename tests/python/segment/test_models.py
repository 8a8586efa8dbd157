"""The adapters call the caller's model objects exactly in their real call forms."""
import numpy as np
import pytest
import torch
from PIL import Image

from conftest import DetectorBatch as Batch, DetectorModel as Model
from mirelo_utils import _core

if not hasattr(_core, "_models"):
    pytest.skip("module built without the tests' entry points (MIRELO_BUILD_TESTS=OFF)", allow_module_level=True)
models = _core._models


class Processor:
    def __init__(self, boxes):
        self.calls = []
        self.boxes = boxes

    def __call__(self, images, text, return_tensors):
        self.calls.append(("call", images, text, return_tensors))
        return Batch(self.calls, input_ids=torch.tensor([[1, 2]]), pixel_values=torch.zeros(1))

    def post_process_grounded_object_detection(self, outputs, input_ids, text_threshold, target_sizes):
        self.calls.append(("post", outputs, input_ids.tolist(), text_threshold, target_sizes))
        n = len(self.boxes)
        return [{"scores": torch.linspace(0.9, 0.5, n), "labels": ["pig"] * n,
                 "boxes": torch.tensor(self.boxes, dtype=torch.float32).reshape(n, 4)}]


class Predictor:
    def __init__(self, mask_dims=4):
        self.calls = []
        self.mask_dims = mask_dims
        self.model = self

    def set_image(self, image):
        self.calls.append(("set_image", image.shape, image.dtype, image[0, 0].tolist()))
        self.h, self.w = image.shape[:2]

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        self.calls.append(("predict", point_coords, point_labels, np.asarray(box).tolist(), multimask_output))
        k = len(box)
        masks = np.zeros((k, 1, self.h, self.w), np.float32)
        for i, (x0, y0, x1, y1) in enumerate(np.asarray(box, int)):
            masks[i, 0, y0:y1, x0:x1] = 1
        if self.mask_dims == 3:
            masks = masks[:, 0]
        return masks, np.ones(k, np.float32), np.zeros((k, 1, 4, 4), np.float32)

    # the predictor's model
    device = torch.device("cpu")

    def image_encoder(self, x):
        self.calls.append(("encode", tuple(x.shape), x.dtype, torch.is_grad_enabled()))
        return {"vision_features": torch.ones(1, 8, 4, 4) * x.mean()}


def test_detector_call_forms():
    proc, model = Processor([[1, 2, 3, 4]]), Model()
    image = Image.new("RGB", (32, 24), (10, 20, 30))
    scores, labels, boxes = models.detect(proc, model, "cpu", image, "pig.", 0.3)
    call = proc.calls[0]
    assert call[0] == "call" and call[1] is image and call[2:] == ("pig.", "pt")
    assert proc.calls[1] == ("to", "cpu")
    assert model.log == [(["input_ids", "pixel_values"], False)]
    post = proc.calls[2]
    assert post[1] == {"pred_boxes": "raw"} and post[2] == [[1, 2]]
    assert post[3] == 0.3 and post[4] == [(24, 32)]
    assert labels == ["pig"] and boxes.shape == (1, 4) and scores.dtype == np.float32
    assert torch.is_grad_enabled()


def test_grad_mode_restored_when_model_raises():
    with pytest.raises(RuntimeError, match="detector failed"):
        models.detect(Processor([]), Model(fail=True), "cpu", Image.new("RGB", (8, 8)))
    assert torch.is_grad_enabled()
    with torch.no_grad():  # an outer no_grad scope stays in force
        models.detect(Processor([]), Model(), "cpu", Image.new("RGB", (8, 8)))
        assert not torch.is_grad_enabled()


@pytest.mark.parametrize("dims", [3, 4])
def test_predictor_call_forms(dims):
    pred = Predictor(dims)
    image = Image.new("L", (40, 30), 77)  # converted to RGB for set_image
    boxes = np.array([[0, 0, 10, 10], [5, 5, 20, 25]], np.float32)
    masks, scores, logits = models.segment(pred, image, boxes)
    assert pred.calls[0] == ("set_image", (30, 40, 3), np.dtype(np.uint8), [77, 77, 77])
    assert pred.calls[1] == ("predict", None, None, boxes.tolist(), False)
    assert masks.dtype == np.float32 and masks.ndim == dims and masks.sum() == 100 + 300


@pytest.mark.parametrize("crop_shape", [(1, 3, 256, 256), (1, 1, 256, 256), (1, 1, 40, 70), (1, 3, 300, 20)])
def test_encoder_on_model_device_without_grad(crop_shape):
    pred = Predictor()
    feats = models.encode(pred, np.full(crop_shape, 0.5, np.float32))
    assert pred.calls == [("encode", (1, 3, 256, 256), torch.float32, False)]
    assert isinstance(feats, torch.Tensor) and feats.shape == (8,) and torch.allclose(feats, torch.tensor(0.5))
    assert not feats.requires_grad and torch.is_grad_enabled()


@pytest.mark.parametrize("size", [(0, 0), (0, 5), (7, 0)])
def test_predictor_gets_an_empty_image_with_its_size(size):
    class Seen(Predictor):
        def set_image(self, image):
            self.calls.append(("set_image", image.shape, image.dtype))
            self.h, self.w = image.shape[:2]

    pred = Seen(4)
    masks, _, _ = models.segment(pred, Image.new("RGB", size), np.zeros((1, 4), np.float32))
    assert pred.calls[0] == ("set_image", (size[1], size[0], 3), np.dtype(np.uint8))
    assert masks.shape == (1, 1, size[1], size[0])


def test_boxes_and_masks_in_foreign_byte_order():
    class Swapped(Predictor):
        def predict(self, **kw):
            masks, scores, logits = super().predict(**kw)
            return masks.astype(">f4"), scores, logits

    boxes = np.array([[0, 0, 10, 10]], ">f8")
    masks, _, _ = models.segment(Swapped(4), Image.new("RGB", (20, 20)), boxes)
    assert masks.dtype == np.float32 and masks.sum() == 100
    assert models.encode(Predictor(), np.full((1, 3, 4, 4), 0.5, ">f4")).shape == (8,)
