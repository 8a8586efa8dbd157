"""A recording tracked by the runner with the model classes users pass in:
transformers' Grounding DINO processor and detector, sam2's image predictor
and its video predictor as sam2 builds it, all at tiny random weights (see
tests/python/segment/real_models.py), loaded by the configuration's model
factory. Random weights answer arbitrary masks: the run must make the real
calls, read the real answers and record what came of them."""
import json
from pathlib import Path

import numpy as np
import pytest

import mirelo_utils as mu

SEGMENT = Path(__file__).resolve().parents[1] / "segment"
W, H, FPS, FRAMES = 96, 64, 8, 4


@pytest.fixture
def noisy_recording(tmp_path):
    cv2 = pytest.importorskip("cv2")
    folder = tmp_path / "recordings"
    folder.mkdir()
    path = folder / "Camera7_1_20240115063000.mp4"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), FPS, (W, H))
    rng = np.random.default_rng(0)
    for _ in range(2 * FRAMES):
        writer.write(rng.integers(0, 256, (H, W, 3), dtype=np.uint8))
    writer.release()
    (tmp_path / "pen.json").write_text(json.dumps({"shapes": [{"points": [[0, 0], [W, 0], [W, H], [0, H]]}]}))
    return tmp_path


@pytest.mark.filterwarnings("ignore:cannot import name '_C':UserWarning")  # sam2 without its CUDA extension
def test_windows_driven_by_the_real_classes(noisy_recording, monkeypatch):
    pytest.importorskip("torch", reason="torch is not installed (scripts/setup.sh installs it)")
    import sys

    sys.path.insert(0, str(SEGMENT))
    real_models = pytest.importorskip("real_models")
    torch = real_models.torch
    video = real_models.video_predictor()
    calls = []
    for name in ("init_state", "add_new_mask", "propagate_in_video", "reset_state"):
        real = getattr(type(video), name)

        def spy(self, *args, _real=real, _name=name, **kwargs):
            calls.append((_name, sorted(kwargs)))
            return _real(self, *args, **kwargs)

        monkeypatch.setattr(type(video), name, spy)
    config = noisy_recording / "track.toml"
    config.write_text(f"""output = "out"
[recordings]
folder = "recordings"
[pen]
file = "pen.json"
animals = 1
[models]
factory = "real_models:make_models"
paths = [{json.dumps(str(SEGMENT))}]
options = {{queries = 1}}
offload_video_to_cpu = true
offload_state_to_cpu = true
[windows]
minutes = {FRAMES / FPS / 60!r}
crop = false
[initialisation]
step = 1
[hand_over]
min_frame_id = 0
min_count = 0
max_attempts = 2
""")
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        table = mu.track_recordings(config, progress=False)
    finally:
        torch.set_num_threads(threads)
    folder = noisy_recording / "out" / "Camera7_1_20240115063000"
    manifest = json.loads((folder / "manifest.json").read_text())
    windows = manifest["windows"]
    assert len(windows) == 2 and [w["state"] for w in windows] == ["handed over"] * 2
    classes = manifest["made_with"]["models"]["classes"]
    assert classes["grounding_model"].endswith("GroundingDinoForObjectDetection")
    assert classes["image_predictor"].endswith("SAM2ImagePredictor")
    assert classes["video_predictor"].endswith("SAM2VideoPredictor")
    assert len(manifest["made_with"]["models"]["weights"]) == 64  # a digest of the parameters
    # The video predictor's real calls, the memory options passed through,
    # and its state reset after each window it tracked.
    tracked = [w for w in windows if (w["start"] or {}).get("objects")]
    assert tracked, [w["start"] for w in windows]
    assert ("init_state", ["offload_state_to_cpu", "offload_video_to_cpu", "video_path"]) in calls
    assert ("add_new_mask", ["frame_idx", "mask", "obj_id"]) in calls
    assert [c[0] for c in calls].count("reset_state") == [c[0] for c in calls].count("init_state") == len(tracked)
    for k, w in enumerate(windows):
        if w not in tracked:
            continue
        names = sorted((folder / f"window_{k:03d}" / "annotations").iterdir())
        assert len(names) == w["frames"] - w["start"]["frame"]
        doc = json.loads(names[0].read_text())
        assert [d["object_id"] for d in doc["detections"]] == w["start"]["objects"]
        assert (folder / f"window_{k:03d}" / "health" / "index.html").is_file()
    # Whatever the random models made of the hand-over, the run says what happened.
    second = windows[1]["start"]
    assert second["from"] in ("hand-over", "detector", None)
    if second["from"] != "hand-over":
        assert windows[0]["hand_over"] is None or windows[0]["hand_over"]["failed"] or second["from"] is None
    assert (folder / "index.html").is_file() and list(table["Recording"]) == ["Camera7_1_20240115063000"] * 2
