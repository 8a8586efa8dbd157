"""The library driven with the model classes users really pass in (tiny
random weights, see real_models): the real call forms must be accepted and
the real result forms read, and the results must be what the library has to
make of the models' answers."""
import json
import re

import numpy as np
import pytest
from PIL import Image

import mirelo_utils as mu
import real_models
from mirelo_utils import _core
from test_features import ellipse, reference_input

torch = real_models.torch
W, H = 96, 64
# The adapters' own entry points (_core._models) exist only in builds with the tests.
needs_hooks = pytest.mark.skipif(not hasattr(_core, "_models"),
                                 reason="module built without the tests' entry points (MIRELO_BUILD_TESTS=OFF)")


@pytest.fixture(scope="module", autouse=True)
def one_thread():
    """Tiny models gain nothing from threads, and on a busy machine torch's
    spinning worker threads make them many times slower."""
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """Two noisy JPEG frames and a pen covering the whole frame."""
    folder = tmp_path_factory.mktemp("clip")
    names = []
    for seed in range(2):
        pixels = np.random.default_rng(seed).integers(0, 256, (H, W, 3), dtype=np.uint8)
        names.append(str(folder / f"{seed:04d}.jpg"))
        Image.fromarray(pixels).save(names[-1])
    pen = folder / "pen.json"
    pen.write_text(json.dumps({"shapes": [{"points": [[0, 0], [W, 0], [W, H], [0, H]]}]}))
    return names, str(pen)


def detector_answer(processor, model, image, text_threshold=0.25):
    """The detector run by hand, as its users run it."""
    inputs = processor(images=image, text="pig.", return_tensors="pt").to("cpu")
    with torch.no_grad():
        outputs = model(**inputs)
    return processor.post_process_grounded_object_detection(
        outputs, inputs.input_ids, text_threshold=text_threshold, target_sizes=[(image.height, image.width)])


def entry(result, key):
    # Reads around the processor's warning on "labels".
    return dict.__getitem__(result[0], key)


@needs_hooks
def test_detector_call_forms_and_label_texts(clip):
    processor, model = real_models.detector(5)
    image = Image.open(clip[0][0])
    scores, labels, boxes = _core._models.detect(processor, model, "cpu", image, "pig.", 0.3)
    expected = detector_answer(processor, model, image, text_threshold=0.3)
    assert len(labels) > 0, "the tiny detector is expected to answer boxes on this frame"
    assert labels == entry(expected, "text_labels")
    np.testing.assert_allclose(scores, entry(expected, "scores").numpy(), rtol=1e-6)
    np.testing.assert_allclose(boxes, entry(expected, "boxes").numpy(), rtol=1e-6)
    assert boxes.shape == (len(labels), 4) and torch.is_grad_enabled()


@pytest.mark.parametrize("num_queries", [1, 5])
def test_process_gdino_results_on_the_processors_result(clip, num_queries):
    result = detector_answer(*real_models.detector(num_queries), Image.open(clip[0][1]))
    boxes, scores, labels = mu.process_gdino_results(result)
    b, s = entry(result, "boxes").numpy(), entry(result, "scores").numpy()
    texts = np.array(entry(result, "text_labels"))
    order = np.lexsort((b[:, 0], b[:, 1]))
    keep = texts[order] == "pig" if (texts == "pig").any() else np.ones(len(order), bool)
    np.testing.assert_array_equal(boxes, b[order][keep])
    np.testing.assert_array_equal(scores, s[order][keep])
    assert labels.tolist() == texts[order][keep].tolist()


def kept_boxes(out):
    m = re.search(r"Boxes will be kept: \[([\d ]*)\], totally (\d+) keys", out)
    return [int(k) for k in m.group(1).split()]


@pytest.mark.parametrize("num_queries", [5, 1])
def test_initializer(clip, capsys, num_queries):
    names, pen = clip
    processor, model = real_models.detector(num_queries)
    predictor = real_models.image_predictor()
    # First with more animals than there can be, to learn which boxes survive.
    assert mu.initializer("clip", names[:1], processor, model, "cpu", predictor, close_set_num=99,
                          custom_pen_json_path=pen) == (None,) * 4
    kept = kept_boxes(capsys.readouterr().out)
    masks, objects, idx, drawing = mu.initializer("clip", names[:1], processor, model, "cpu", predictor,
                                                  close_set_num=len(kept), custom_pen_json_path=pen)
    assert "ann_frame_idx [0] works!!!" in capsys.readouterr().out

    # What the library must make of the models' answers: the boxes in
    # reading order (all inside the pen and small), one mask per box.
    image = Image.open(names[0])
    boxes, _, labels = mu.process_gdino_results(detector_answer(processor, model, image))
    predictor.set_image(np.asarray(image.convert("RGB")))
    answer, _, _ = predictor.predict(point_coords=None, point_labels=None, box=boxes, multimask_output=False)
    if len(boxes) == 1:
        assert answer.shape == (1, H, W)
        expected = answer[None]
    else:
        assert answer.shape == (len(boxes), 1, H, W)
        expected = answer[kept, 0]
    assert idx == 0 and masks.dtype == answer.dtype
    np.testing.assert_array_equal(masks, expected)
    assert objects.tolist() == labels[kept].tolist()
    assert drawing.mode == "RGBA" and drawing.size == (W, H)


@needs_hooks
@pytest.mark.parametrize("boxes, shape", [([[10, 5, 40, 30]], (1, H, W)),
                                          ([[10, 5, 40, 30], [50, 20, 90, 60]], (2, 1, H, W))])
def test_predictor_answers_through_the_adapter(clip, boxes, shape):
    predictor = real_models.image_predictor()
    image = Image.open(clip[0][0])
    masks, scores, logits = _core._models.segment(predictor, image, np.array(boxes, np.float32))
    assert masks.shape == shape and masks.dtype == np.float32
    assert scores.shape == logits.shape[:-2] == shape[:-2]
    predictor.set_image(np.asarray(image.convert("RGB")))
    direct = predictor.predict(point_coords=None, point_labels=None, box=np.array(boxes, np.float32),
                               multimask_output=False)
    np.testing.assert_array_equal(masks, direct[0])


@needs_hooks
def test_image_encoder_through_the_adapter():
    predictor = real_models.image_predictor()
    crop = np.random.default_rng(3).random((1, 3, 256, 256), dtype=np.float32)
    features = _core._models.encode(predictor, crop)
    with torch.no_grad():
        expected = predictor.model.image_encoder(torch.from_numpy(crop))["vision_features"]
    assert expected.shape == (1, 32, 16, 16)
    torch.testing.assert_close(features, expected.mean(dim=[2, 3]).squeeze(0), rtol=1e-5, atol=1e-6)


def test_appearance_vectors_from_the_real_encoder(clip):
    predictor = real_models.image_predictor()
    image = Image.open(clip[0][1])
    few = np.zeros((H, W), bool)
    few[3, 3:12] = True  # 9 pixels: too few to describe
    masks = [ellipse(H, W, (30, 30), (20, 10)), few, ellipse(H, W, (70, 40), (15, 12), dtype=bool)]
    features = mu.generate_sam2_image_features(image, masks, predictor)
    # The predictor holds the whole frame, as set_image(rgb) leaves it.
    held = predictor.get_image_embedding().clone()
    predictor.set_image(np.asarray(image.convert("RGB")))
    torch.testing.assert_close(held, predictor.get_image_embedding(), rtol=0, atol=0)

    assert len(features) == 3 and features[1] is None
    for mask, feature in zip(masks[::2], features[::2]):
        with torch.no_grad():
            fmap = predictor.model.image_encoder(reference_input(image, mask).float())["vision_features"]
        assert feature.shape == (32,) and feature.dtype == torch.float32 and not feature.requires_grad
        torch.testing.assert_close(feature, fmap.mean(dim=[2, 3])[0], rtol=1e-4, atol=1e-5)
    scores = mu.cosine_scores_cal(features, features)
    assert scores[1].tolist() == [-np.inf] * 3 and np.isclose(scores[0, 0], 1.0)



@pytest.mark.parametrize("tracks", [1, 3])
def test_matcher(clip, capsys, tracks):
    predictor = real_models.image_predictor()
    old = {f"Box{i}": ellipse(H, W, (15 + 30 * i, 20 + 10 * i), (10, 6)) for i in range(tracks)}
    record = {"masks_dict": old}
    removed = [f"Box{i}" for i in range(tracks, 10)]
    shown = []
    masks, objects, keep_box, best, failed = mu.matcher({599: record}, clip[0], ann_frame_idx=1,
                                                        image_predictor=predictor, remove_stack_box=removed,
                                                        display_func=shown.append)
    # What the library must make of the predictor's answer for the old masks' boxes.
    boxes = np.array([[xs.min(), ys.min(), xs.max(), ys.max()]
                      for ys, xs in (np.nonzero(m) for m in old.values())], np.float32)
    image = Image.open(clip[0][1])
    predictor.set_image(np.asarray(image.convert("RGB")))
    answer, _, _ = predictor.predict(point_coords=None, point_labels=None, box=boxes, multimask_output=False)
    assert answer.shape == ((1, H, W) if tracks == 1 else (tracks, 1, H, W))
    answer = answer.reshape(tracks, H, W)
    table = mu.intersection_between_masks({f"Box{i}": m for i, m in enumerate(answer)},
                                          {f"Box{i}": int(np.count_nonzero(m)) for i, m in enumerate(answer)})
    accepted = (table.to_numpy() <= 10).all() and (np.count_nonzero(answer, axis=(1, 2)) >= 10).all()
    assert len(shown) == 1 and shown[0].size == (W, H)
    out = capsys.readouterr().out
    if accepted:
        assert "ann_frame_idx [1] works for mask finding!!!" in out and failed is False
        np.testing.assert_array_equal(masks, answer)
        assert masks.dtype == np.float32 and objects == ["pig"] * tracks
        assert keep_box == [f"Box{i}" for i in range(tracks)] and best is record
    else:
        assert "ann_frame_idx [1] cannot work.." in out
        assert (masks, objects, keep_box, best, failed) == (None, None, None, None, True)
