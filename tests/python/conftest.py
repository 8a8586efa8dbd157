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


class DetectorBatch(dict):
    """Stands in for the detector processor's batch of named model inputs;
    records its move to a device in the processor's `log`."""

    def __init__(self, log, **kw):
        super().__init__(**kw)
        self.log = log

    @property
    def input_ids(self):
        return self["input_ids"]

    def to(self, device):
        self.log.append(("to", device))
        return self


class DetectorModel:
    """Stands in for the detector model: records the names of its keyword
    arguments and whether gradients were on, and can fail."""

    def __init__(self, fail=False):
        self.log = []
        self.fail = fail

    def __call__(self, **kwargs):
        import torch

        self.log.append((sorted(kwargs), torch.is_grad_enabled()))
        if self.fail:
            raise RuntimeError("detector failed")
        return {"pred_boxes": "raw"}
