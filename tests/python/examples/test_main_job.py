"""The README's main job (examples/pen_pipeline.py) on its reduced scene: the
generated pen tracked by one run of the recording runner with the stand-in
models, so that the example cannot fall behind the library."""
import contextlib
import io
import json
import os
import re
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest
import torch

import mirelo_utils as mu

sys.path.insert(0, str(Path(__file__).resolve().parents[3] / "examples"))
import pen_pipeline  # noqa: E402
import stand_in_models  # noqa: E402

STAGES = ["ingest", "initialisation", "propagation", "refinement", "annotation files", "loading", "checks", "drawings",
          "hand-over", "bookkeeping", "recording page"]
RECORDING = Path("tracking") / "Camera64_1_20240115063000"


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("main_job")
    threads = torch.get_num_threads()
    try:
        with contextlib.redirect_stdout(io.StringIO()) as text, contextlib.redirect_stderr(io.StringIO()) as log:
            code = pen_pipeline.main(["--quick", "--out", str(out)])
    finally:
        torch.set_num_threads(threads)  # the stand-ins' factory sets one thread
    return code, text.getvalue(), out, log.getvalue()


def test_the_report_and_the_hand_over_catch_the_swap_and_the_vanishing(run):
    code, text, out, _ = run
    checks = text.split("Checks against the scene:")[1].split("Timings")[0]
    assert code == 0, checks
    assert "FAILED" not in checks and checks.count("ok ") == 12
    log = (out / RECORDING / "window_000" / "logs" / "checks.log").read_text(encoding="utf-8")
    assert "Most frequent box with errors:" in log


def test_summary_names_the_files_and_times_every_stage(run):
    _, text, out, log = run
    summary = text.split(f"== Summary (paths below {out}) ==")[1].split("Checks against the scene")[0]
    reports = re.findall(r"report:\s+(\S+\.csv)", summary)
    assert reports == [str(RECORDING / w / "health" / "tracking_question_report.csv")
                       for w in ("window_000", "window_001")]
    assert all((out / r).is_file() for r in reports)
    assert "nothing to report" in summary.split("clip2:")[1]  # the second clip is clean
    drawings = [p for line in re.findall(r"drawings: (.*)", summary) for p in line.split(", ")]
    assert [os.path.basename(p) for p in drawings] == ["first_frame.png", "hand_over.png"]
    assert all((out / p).is_file() for p in drawings)
    pages = re.findall(r"^  page:\s+(\S+)", summary, re.M)
    assert pages == [str(RECORDING / w / "health" / "index.html") for w in ("window_000", "window_001")]
    assert all((out / p).is_file() for p in pages) and (out / RECORDING / "index.html").is_file()
    timings = dict(re.findall(r"^  ([a-z -]+?)\s+(\d+\.\d+)$", text.split("Timings (s):")[1], re.M))
    assert set(STAGES) <= set(timings) and "total" in timings
    # Not a terminal: one progress line per window.
    assert re.findall(r"^\[(\d)/2\] ", log, re.M) == ["1", "2"]


def test_the_pages_advise_the_hand_over_the_run_makes(run):
    _, text, out, _ = run
    manifest = json.loads((out / RECORDING / "manifest.json").read_text(encoding="utf-8"))
    dropped = manifest["windows"][0]["hand_over"]["removed"]
    advice = (out / RECORDING / "window_000" / "health" / "index.html").read_text(
        encoding="utf-8").split("Hand-over to the next clip")[1]
    assert f"): <b>{dropped[0]}</b>" in advice and "Last-frame choice: frame key" in advice, advice
    # The second clip carries nine tracks, and its last frame holds all nine.
    advice = (out / RECORDING / "window_001" / "health" / "index.html").read_text(
        encoding="utf-8").split("Hand-over to the next clip")[1]
    assert "): <b>none</b>" in advice and "at least 9 non-empty masks" in advice
    assert "Last-frame choice: frame key" in advice


def test_annotation_files_in_the_documented_format(run):
    _, _, out, _ = run
    ann = out / RECORDING / "window_000" / "annotations"
    names = sorted(os.listdir(ann), key=lambda n: int(n[len("output_pp_"):-len(".json")]))
    assert names == [f"output_pp_{k}.json" for k in range(len(names))] and len(names) > 30
    for name in names[:: len(names) // 6]:
        doc = json.loads((ann / name).read_text(encoding="utf-8"))
        h, w = cv2.imread(doc["image_path"]).shape[:2]
        _, masks, numbers = mu.process_json_and_generate_masks(str(ann / name), h, w)
        assert [d["object_id"] for d in doc["detections"]] == [n + 1 for n in numbers] == list(range(1, 11))
        for det, mask in zip(doc["detections"], masks):
            for polygon in det["formatted_polygon"]:
                identifier, *values = polygon.split()
                assert identifier == "0" and len(values) >= 4 and len(values) % 2 == 0
                assert all(0 <= float(v) <= 1 and re.fullmatch(r"\d\.\d{6}", v) for v in values)
            ys, xs = np.nonzero(mask)
            assert det["xyxy"] == ([[xs.min(), ys.min(), xs.max(), ys.max()]] if xs.size else [])


def shapes(h, w):
    ellipse = np.zeros((h, w), np.uint8)
    cv2.ellipse(ellipse, (20, 15), (18, 9), 30, 0, 360, 1, -1)
    pieces = np.zeros((h, w), bool)
    pieces[0:5, 0:4] = pieces[30:h, 45:w] = pieces[20, 20] = pieces[10, 30:40] = True
    return {"ellipse": ellipse > 0, "corners, a pixel and a line": pieces,
            "empty": np.zeros((h, w), bool), "whole frame": np.ones((h, w), bool)}


def test_annotation_outlines_read_back_as_the_same_masks(tmp_path):
    h, w = 37, 53
    masks = shapes(h, w)
    frame = tmp_path / "0000.jpg"
    cv2.imwrite(str(frame), np.zeros((h, w, 3), np.uint8))
    path = str(tmp_path / "output_pp_4.json")
    mu.write_annotation_file(path, str(frame), {k + 1: m[None] for k, m in enumerate(masks.values())})
    _, stack, numbers = mu.process_json_and_generate_masks(path, h, w)
    assert numbers == [0, 1, 2, 3]
    for (name, mask), got in zip(masks.items(), stack):
        np.testing.assert_array_equal(got, mask, err_msg=name)
    assert mu.retrieve_annotation(path, box_drawing=True).size == (w, h)  # drawable, one-pixel pieces too


@pytest.mark.parametrize("boxes, masks, scores, logits", [
    ([[2, 2, 30, 20]], (1, 40, 60), (1,), (1, 256, 256)),
    ([[2, 2, 30, 20], [35, 10, 58, 38], [0, 0, 1, 1]], (3, 1, 40, 60), (3, 1), (3, 1, 256, 256)),
])
def test_stand_in_predictor_answers_in_the_real_predictor_forms(boxes, masks, scores, logits):
    image = np.full((40, 60, 3), 90, np.uint8)
    image[5:18, 5:28] = image[15:35, 40:55] = (222, 175, 160)
    predictor = stand_in_models.BoxPromptedSegmenter()
    predictor.set_image(image)
    got = predictor.predict(point_coords=None, point_labels=None, box=np.array(boxes, np.float32),
                            multimask_output=False)
    assert [a.shape for a in got] == [masks, scores, logits] and got[0].dtype == np.float32
    flat = got[0].reshape(len(boxes), 40, 60)
    assert flat[0, 5:18, 5:28].all() and flat[0].sum() == 13 * 23
    if len(boxes) > 1:
        assert flat[1].sum() == 20 * 15 and not flat[2].any()


PINK = (222, 175, 160)


def pen_frame(blobs, h=60, w=120):
    """A floor with pink rectangles (x0, y0, x1, y1), maxima exclusive."""
    image = np.full((h, w, 3), (120, 110, 90), np.uint8)
    for x0, y0, x1, y1 in blobs:
        image[y0:y1, x0:x1] = PINK
    return image


def test_stand_in_detector_answers_boxes_in_pixels_with_label_texts():
    from PIL import Image

    image = pen_frame([(10, 10, 40, 30), (60, 20, 100, 50), (2, 50, 4, 52)])  # the last one is a speck
    processor, model = stand_in_models.ColourDetectorProcessor(), stand_in_models.ColourDetector()
    inputs = processor(images=Image.fromarray(image), text="pig.", return_tensors="pt").to("cpu")
    assert inputs.input_ids.tolist() == [[101, 10369, 1012, 102]]
    with torch.no_grad():
        outputs = model(**inputs)
    (result,) = processor.post_process_grounded_object_detection(outputs, inputs.input_ids, text_threshold=0.3,
                                                                 target_sizes=[(60, 120)])
    np.testing.assert_allclose(result["boxes"].numpy(), [[10, 10, 40, 30], [60, 20, 100, 50]])
    assert result["text_labels"] == ["pig", "pig"] and (result["scores"] > 0.9).all()
    (none,) = processor.post_process_grounded_object_detection(outputs, inputs.input_ids, threshold=0.999,
                                                               target_sizes=[(60, 120)])
    assert none["boxes"].shape == (0, 4) and none["text_labels"] == []


def track(frames, first_masks, tmp_path):
    """Runs the stand-in video predictor over frames (RGB arrays); returns per
    frame the boxes (x0, y0, x1, y1) of each track's mask, None when empty."""
    for k, frame in enumerate(frames):
        cv2.imwrite(str(tmp_path / f"{k:04d}.jpg"), frame[..., ::-1], [cv2.IMWRITE_JPEG_QUALITY, 100])
    video = stand_in_models.RepromptingVideoPredictor(stand_in_models.BoxPromptedSegmenter(), margin=4)
    state = video.init_state(video_path=str(tmp_path))
    for obj_id, mask in enumerate(first_masks, 1):
        video.add_new_mask(state, frame_idx=0, obj_id=obj_id, mask=mask)
    boxes = []
    for frame_idx, ids, logits in video.propagate_in_video(state):
        assert ids == list(range(1, len(first_masks) + 1)) and logits.shape == (len(ids), 1, 60, 120)
        found = []
        for m in (logits[:, 0] > 0).numpy():
            ys, xs = np.nonzero(m)
            found.append((xs.min(), ys.min(), xs.max() + 1, ys.max() + 1) if xs.size else None)
        boxes.append(found)
    return boxes


def test_stand_in_tracks_hand_a_split_blob_out_left_to_right(tmp_path):
    # Two animals walk past each other: apart, touching for two frames, apart
    # on each other's side.
    xs = [(10, 80), (30, 60), (45, 45), (45, 45), (60, 30), (80, 10)]
    frames = [pen_frame([(a, 10, a + 25, 28), (b, 26, b + 25, 44)]) for a, b in xs]
    first = [np.zeros((60, 120), bool) for _ in range(2)]
    first[0][10:28, 10:35] = first[1][26:44, 80:105] = True
    boxes = track(frames, first, tmp_path)
    assert boxes[0] == [(10, 10, 35, 28), (80, 26, 105, 44)]
    assert boxes[2][0] == boxes[2][1] == boxes[3][0]  # one blob for both tracks while they touch
    # Apart again: track 1, which started on the left, takes the left blob: the other animal.
    assert boxes[4] == [(30, 26, 55, 44), (60, 10, 85, 28)]
    assert boxes[5] == [(10, 26, 35, 44), (80, 10, 105, 28)]


def test_stand_in_state_is_reset_as_sam2_resets_it(tmp_path):
    frames = [pen_frame([(10, 10, 35, 28)]), pen_frame([(12, 10, 37, 28)])]
    for k, frame in enumerate(frames):
        cv2.imwrite(str(tmp_path / f"{k:04d}.jpg"), frame[..., ::-1], [cv2.IMWRITE_JPEG_QUALITY, 100])
    video = stand_in_models.RepromptingVideoPredictor(stand_in_models.BoxPromptedSegmenter())
    state = video.init_state(video_path=str(tmp_path), offload_video_to_cpu=True, offload_state_to_cpu=True)
    mask = np.zeros((60, 120), bool)
    mask[10:28, 10:35] = True
    video.add_new_mask(state, frame_idx=0, obj_id=4, mask=mask)
    assert [f for f, _, _ in video.propagate_in_video(state)] == [0, 1]
    video.reset_state(state)
    assert state["obj_ids"] == [] and state["mask_inputs"] == {} and state["offload_state_to_cpu"] is True
    video.add_new_mask(state, frame_idx=1, obj_id=7, mask=mask)  # the same state serves the next prompts
    assert [(f, ids) for f, ids, _ in video.propagate_in_video(state)] == [(1, [7])]


def test_stand_in_factory_gives_the_models_record():
    threads = torch.get_num_threads()
    try:
        models = stand_in_models.make_models()
        assert torch.get_num_threads() == 1
    finally:
        torch.set_num_threads(threads)
    assert isinstance(models, mu.Models) and models.video_predictor.predictor is models.image_predictor


def test_stand_in_track_of_a_hidden_animal_stays_empty(tmp_path):
    frames = [pen_frame([(10, 10, 35, 28), (70, 30, 95, 48)]), pen_frame([(12, 10, 37, 28)]),
              pen_frame([(14, 10, 39, 28)]), pen_frame([(16, 10, 41, 28), (72, 30, 97, 48)])]
    first = [np.zeros((60, 120), bool) for _ in range(2)]
    first[0][10:28, 10:35] = first[1][30:48, 70:95] = True
    boxes = track(frames, first, tmp_path)
    assert [b[1] for b in boxes] == [(70, 30, 95, 48), None, None, (72, 30, 97, 48)]  # found where it was lost
    assert [b[0] for b in boxes] == [(10 + 2 * k, 10, 35 + 2 * k, 28) for k in range(4)]
