import os
import pathlib

import numpy as np
import pytest

# Set by scripts/sanitize.sh: the module under test is built with
# AddressSanitizer, which reserves terabytes of address space for itself.
SANITIZED = bool(os.environ.get("MIRELO_SANITIZED"))


def _bundled_build():
    """Whether the package under test is the self-contained wheel: its
    dist-info beside the package lists the libraries it bundles."""
    import importlib.util

    found = importlib.util.find_spec("mirelo_utils")
    site = pathlib.Path(found.origin).resolve().parents[1]
    return any(site.glob("mirelo_utils-*.dist-info/licenses/BUNDLED.txt"))


BUNDLED_BUILD = _bundled_build()


@pytest.fixture(scope="session")
def cluster_client():
    """A Dask client of a LocalCluster of two single-threaded worker processes."""
    distributed = pytest.importorskip("distributed", reason="distributed is not installed (scripts/setup.sh installs it)")
    # No dashboard; the scheduler's own HTTP endpoint on any free port, so a
    # dashboard already running on this machine (port 8787) does not matter.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, scheduler_kwargs={"dashboard_address": ":0"}
                                  ) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


@pytest.fixture
def address_space_limit():
    """Bounds the process's address space to what it maps now plus 16 GiB
    while the test runs, so that a request far beyond memory is refused as on
    a machine that does not overcommit, whatever the kernel's setting."""
    if SANITIZED:
        pytest.skip("address-space limit: AddressSanitizer needs terabytes of address space for its shadow memory")
    import resource

    with open("/proc/self/status") as f:
        mapped_kib = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = (mapped_kib << 10) + (16 << 30)
    if hard != resource.RLIM_INFINITY:
        limit = min(limit, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


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


def polygon_text(points, width, height, identifier="0"):
    """A polygon text of annotation files from pixel points (x, y)."""
    return identifier + " " + " ".join(f"{float(x) / width!r} {float(y) / height!r}" for x, y in points)


def write_annotation(path, image_path, detections):
    """Writes an annotation file; returns its path as a str."""
    import json

    path.write_text(json.dumps({"image_path": str(image_path), "detections": detections}), encoding="utf-8")
    return str(path)
