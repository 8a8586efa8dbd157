"""Stand-in models for the main job: NOT the real detector and segmenter.

No model weights can be downloaded for the main job, so it runs with these
small stand-ins, made for the generated pen of examples/pen_scene.py, where
every pink pixel belongs to an animal. They answer exactly the calls the real
models answer, with results of the same forms:

* ``ColourDetectorProcessor`` and ``ColourDetector`` stand in for
  transformers' ``GroundingDinoProcessor`` and
  ``GroundingDinoForObjectDetection``: ``processor(images=..., text=...,
  return_tensors="pt")``, ``.to(device)``, ``model(**inputs)`` and
  ``processor.post_process_grounded_object_detection(outputs, input_ids,
  text_threshold=..., target_sizes=...)``. The "model" finds pink blobs.
* ``BoxPromptedSegmenter`` stands in for sam2's ``SAM2ImagePredictor``:
  ``set_image(rgb)``, ``predict(point_coords=None, point_labels=None, box=...,
  multimask_output=False)`` and ``model.image_encoder(batch)["vision_features"]``.
  For each box it answers the pink blob that fills most of the box, plus any
  small pink specks inside the box (as a real segmenter now and then takes in
  a stray bit). Its image encoder describes where the dark markings lie on
  the animal: a hand-made descriptor, not a learned one.
* ``RepromptingVideoPredictor`` stands in for sam2's ``SAM2VideoPredictor``:
  ``init_state(video_path=..., offload_video_to_cpu=...,
  offload_state_to_cpu=...)``, ``add_new_mask(state, frame_idx, obj_id,
  mask)``, ``propagate_in_video(state)`` and ``reset_state(state)``. It has no
  memory: on every frame
  it prompts the segmenter with the boxes of the previous frame's masks. Two
  animals that touch come back as one blob for both tracks; when the blob falls
  apart again nothing tells the tracks apart, and the pieces are handed to them
  left to right in track order. That is how the scene's identity swap comes
  about, the kind of mistake a real tracker makes in the same place.

``make_models`` is the model factory of the main job's configuration
(models.factory = "stand_in_models:make_models"). The README shows the
configuration of the real models instead.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

import cv2
import numpy as np
import torch

# Of the frame's area: the smallest blob the detector calls an animal, and
# the largest piece the segmenter still takes for a speck.
ANIMAL_MIN_FRACTION = 0.0015
SPECK_MAX_FRACTION = 0.0004


def pink_pieces(rgb: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Connected pink pieces of an RGB frame, holes (the dark markings) filled.

    Returns:
        (labels, areas, boxes): int32 H x W labels (0 = background), the area
        of each label, and each label's box (x0, y0, x1, y1), maxima inclusive.
    """
    r, g, b = (rgb[..., c].astype(np.int16) for c in range(3))
    pink = ((r > 180) & (g > 140) & (r - b > 35) & (r - g > 18)).astype(np.uint8)
    # Holes are the background that the border cannot reach.
    outside = cv2.copyMakeBorder(pink, 1, 1, 1, 1, cv2.BORDER_CONSTANT, value=0)
    cv2.floodFill(outside, None, (0, 0), 1)
    pink |= outside[1:-1, 1:-1] == 0
    _, labels, stats, _ = cv2.connectedComponentsWithStats(pink, connectivity=8)
    x, y, w, h, areas = stats.T
    return labels, areas, np.stack([x, y, x + w - 1, y + h - 1], axis=1)


# -- the detector ----------------------------------------------------------

class ProcessorBatch(dict):
    """The processor's batch of named model inputs (as transformers' BatchFeature)."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def to(self, device):
        return ProcessorBatch({k: v.to(device) for k, v in self.items()})


@dataclass
class DetectorOutput:
    """Raw detector output: per query, token logits and a normalised (cx, cy, w, h) box."""

    logits: torch.Tensor  # 1 x queries x tokens
    pred_boxes: torch.Tensor  # 1 x queries x 4


class ColourDetectorProcessor:
    """Stand-in for GroundingDinoProcessor: a four-word vocabulary, no resizing
    or normalisation of the image (pixel values in [0, 1])."""

    vocabulary = {"[CLS]": 101, "[SEP]": 102, ".": 1012, "pig": 10369}
    special = {101, 102}

    def __call__(self, images=None, text=None, return_tensors="pt"):
        if return_tensors != "pt":
            raise ValueError(f"expected return_tensors='pt', got {return_tensors!r}")
        rgb = np.array(images.convert("RGB"))
        words = text.lower().replace(".", " . ").split()
        ids = [101] + [self.vocabulary[w] for w in words] + [102]
        h, w = rgb.shape[:2]
        return ProcessorBatch(
            pixel_values=torch.from_numpy(rgb).permute(2, 0, 1)[None].float() / 255,
            pixel_mask=torch.ones(1, h, w, dtype=torch.long),
            input_ids=torch.tensor([ids]),
            token_type_ids=torch.zeros(1, len(ids), dtype=torch.long),
            attention_mask=torch.ones(1, len(ids), dtype=torch.long),
        )

    def post_process_grounded_object_detection(self, outputs, input_ids=None, threshold=0.25, text_threshold=0.25,
                                               target_sizes=None, text_labels=None):
        words = {v: k for k, v in self.vocabulary.items()}
        probs = outputs.logits.sigmoid()
        results = []
        for i in range(probs.shape[0]):
            scores, _ = probs[i].max(dim=-1)
            keep = scores > threshold
            cx, cy, bw, bh = outputs.pred_boxes[i, keep].unbind(-1)
            boxes = torch.stack([cx - bw / 2, cy - bh / 2, cx + bw / 2, cy + bh / 2], dim=-1)
            if target_sizes is not None:
                h, w = target_sizes[i]
                boxes = boxes * torch.tensor([w, h, w, h], dtype=boxes.dtype)
            texts = []
            for query in probs[i, keep]:
                tokens = [int(t) for t, p in zip(input_ids[i], query) if p > text_threshold]
                texts.append(" ".join(words[t] for t in tokens if t not in self.special))
            # transformers 5 answers the texts under "text_labels"; its
            # "labels" (the same texts) are deprecated there.
            results.append({"scores": scores[keep], "boxes": boxes, "text_labels": texts, "labels": list(texts)})
        return results


class ColourDetector(torch.nn.Module):
    """Stand-in for GroundingDinoForObjectDetection: one query per pink blob
    of animal size, confident in proportion to how well the blob fills its
    box; the text tokens other than "pig" get no score."""

    num_queries = 100

    def forward(self, pixel_values, input_ids, token_type_ids=None, attention_mask=None, pixel_mask=None):
        rgb = (pixel_values[0].permute(1, 2, 0) * 255).round().to(torch.uint8).cpu().numpy()
        labels, areas, boxes = pink_pieces(rgb)
        h, w = rgb.shape[:2]
        pig = input_ids[0] == ColourDetectorProcessor.vocabulary["pig"]
        logits = torch.full((1, self.num_queries, input_ids.shape[1]), -10.0)
        pred_boxes = torch.zeros(1, self.num_queries, 4)
        animals = [k for k in range(1, len(areas)) if areas[k] >= ANIMAL_MIN_FRACTION * h * w]
        for q, k in enumerate(animals[: self.num_queries]):
            x0, y0, x1, y1 = boxes[k]
            fill = areas[k] / ((x1 - x0 + 1) * (y1 - y0 + 1))
            logits[0, q, pig] = 1.0 + 4.0 * fill
            pred_boxes[0, q] = torch.tensor([(x0 + x1 + 1) / 2 / w, (y0 + y1 + 1) / 2 / h,
                                             (x1 - x0 + 1) / w, (y1 - y0 + 1) / h])
        return DetectorOutput(logits=logits.to(pixel_values.device), pred_boxes=pred_boxes.to(pixel_values.device))


# -- the image predictor ---------------------------------------------------

class MarkingEncoder(torch.nn.Module):
    """Stand-in for the image encoder: where the dark markings lie on the
    animal. The crop (the animal's box, stretched to 256 x 256) is shrunk to
    64 x 64; the dark details inside the body (a grey closing minus the
    image) are split over a 4 x 4 grid of cells, one channel per cell, and
    centred over the channels, so that the pooled vectors of two animals
    point apart when their markings lie in different places:
    1 x 3 x 256 x 256 -> {"vision_features": 1 x 16 x 64 x 64}."""

    def __init__(self, grid: int = 4):
        super().__init__()
        cells = torch.zeros(grid * grid, 64, 64)
        size = 64 // grid
        for i in range(grid):
            for j in range(grid):
                cells[i * grid + j, i * size:(i + 1) * size, j * size:(j + 1) * size] = 1
        self.register_buffer("cells", cells)

    def forward(self, sample):
        gray = torch.nn.functional.avg_pool2d(sample.mean(dim=1, keepdim=True), 4)
        body = (gray > 0.02).float()
        inside = -torch.nn.functional.max_pool2d(-body, 5, 1, 2)
        dark = (torch.nn.functional.max_pool2d(gray, 5, 1, 2) - gray) * inside
        features = dark * self.cells[None]
        return {"vision_features": features - features.mean(dim=(1, 2, 3), keepdim=True)}


class SegmenterModel(torch.nn.Module):
    """Stand-in for the predictor's model: only the image encoder is used."""

    def __init__(self):
        super().__init__()
        self.image_encoder = MarkingEncoder()

    @property
    def device(self):
        return self.image_encoder.cells.device


class BoxPromptedSegmenter:
    """Stand-in for SAM2ImagePredictor: the pink blob that fills most of each box."""

    def __init__(self):
        self.model = SegmenterModel()
        self.pieces = None

    def set_image(self, image):
        image = np.asarray(image)
        if image.ndim != 3 or image.shape[2] != 3 or image.dtype != np.uint8:
            raise ValueError(f"expected an H x W x 3 uint8 RGB image, got {image.shape} {image.dtype}")
        self.pieces = pink_pieces(image)

    def predict(self, point_coords=None, point_labels=None, box=None, mask_input=None, multimask_output=True,
                return_logits=False, normalize_coords=True):
        if self.pieces is None:
            raise RuntimeError("An image must be set with .set_image(...) before mask prediction.")
        labels, areas, _ = self.pieces
        boxes = np.asarray(box, dtype=np.float32).reshape(-1, 4)
        h, w = labels.shape
        masks = np.zeros((len(boxes), 1, h, w), np.float32)
        scores = np.zeros((len(boxes), 1), np.float32)
        specks = areas < SPECK_MAX_FRACTION * h * w
        for i, (x0, y0, x1, y1) in enumerate(boxes):
            x0, y0 = max(int(x0), 0), max(int(y0), 0)
            x1, y1 = min(int(np.ceil(x1)) + 1, w), min(int(np.ceil(y1)) + 1, h)
            if x1 <= x0 or y1 <= y0:
                continue
            inside = np.bincount(labels[y0:y1, x0:x1].ravel(), minlength=len(areas))
            inside[0] = 0
            main = int(inside.argmax())
            if inside[main] == 0:
                continue
            mask = labels == main
            taken = np.flatnonzero((inside > 0) & specks)
            if len(taken):
                mask |= np.isin(labels, taken)
            masks[i, 0] = mask
            scores[i, 0] = inside[main] / areas[main]
        logits = np.stack([cv2.resize(m[0], (256, 256), interpolation=cv2.INTER_NEAREST) * 20 - 10
                           for m in masks])[:, None]
        if len(boxes) == 1:  # one box: 1 x H x W, as the real predictor answers
            return masks[0], scores[0], logits[0]
        return masks, scores, logits


# -- the video predictor ---------------------------------------------------

class RepromptingVideoPredictor:
    """Stand-in for SAM2VideoPredictor: re-prompts each frame with the boxes of
    the previous masks, widened by `margin` pixels."""

    def __init__(self, image_predictor: BoxPromptedSegmenter, margin: int = 12):
        self.predictor = image_predictor
        self.margin = margin

    def init_state(self, video_path, offload_video_to_cpu=False, offload_state_to_cpu=False,
                   async_loading_frames=False):
        names = [n for n in os.listdir(video_path) if os.path.splitext(n)[1].lower() in (".jpg", ".jpeg")]
        names.sort(key=lambda n: int(os.path.splitext(n)[0]))
        return {"frame_paths": [os.path.join(video_path, n) for n in names], "num_frames": len(names),
                "obj_ids": [], "mask_inputs": {}, "offload_video_to_cpu": offload_video_to_cpu,
                "offload_state_to_cpu": offload_state_to_cpu}

    def reset_state(self, inference_state):
        """Forgets the objects and their prompts, as sam2's reset_state does."""
        inference_state["obj_ids"].clear()
        inference_state["mask_inputs"].clear()

    def add_new_mask(self, inference_state, frame_idx, obj_id, mask):
        mask = np.asarray(mask).astype(bool)
        if mask.ndim != 2:
            raise ValueError(f"expected a 2-D mask, got shape {mask.shape}")
        if obj_id not in inference_state["obj_ids"]:
            inference_state["obj_ids"].append(obj_id)
        inference_state["mask_inputs"].setdefault(frame_idx, {})[obj_id] = mask
        prompts = inference_state["mask_inputs"][frame_idx]
        ids = [o for o in inference_state["obj_ids"] if o in prompts]
        return frame_idx, ids, _logits([prompts[o] for o in ids])

    def propagate_in_video(self, inference_state, start_frame_idx=None, max_frame_num_to_track=None, reverse=False):
        if reverse:
            raise NotImplementedError("the stand-in propagates forwards only")
        prompted = inference_state["mask_inputs"]
        start = min(prompted) if start_frame_idx is None else start_frame_idx
        end = inference_state["num_frames"]
        if max_frame_num_to_track is not None:
            end = min(end, start + max_frame_num_to_track + 1)
        ids = list(inference_state["obj_ids"])
        masks = [prompted[start][o] for o in ids]
        boxes = [_box(m) for m in masks]
        shared = [None] * len(ids)  # per track: the tracks it shared its mask with
        yield start, ids, _logits(masks)
        for f in range(start + 1, end):
            rgb = cv2.cvtColor(cv2.imread(inference_state["frame_paths"][f], cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)
            self.predictor.set_image(rgb)
            masks, boxes, shared = self._track(boxes, shared)
            yield f, ids, _logits(masks)

    def _track(self, boxes, shared):
        """One frame: the masks, the boxes of their main blobs (an empty mask
        keeps its last box) and which tracks share a blob."""
        labels, areas, piece_boxes = self.predictor.pieces
        h, w = labels.shape
        prompts = [i for i, b in enumerate(boxes) if b is not None]
        masks = [np.zeros((h, w), bool) for _ in boxes]
        if prompts:
            wide = np.array([_widen(boxes[i], self.margin, w, h) for i in prompts], np.float32)
            answer, _, _ = self.predictor.predict(point_coords=None, point_labels=None, box=wide,
                                                  multimask_output=False)
            answer = answer.reshape(len(prompts), h, w) > 0
            for i, m in zip(prompts, answer):
                masks[i] = m
        # Tracks whose masks hold the same main blob form one group.
        main = {}
        previous, boxes = boxes, list(boxes)
        for i in prompts:
            if masks[i].any():
                label = int(np.bincount(labels[masks[i]]).argmax())
                main.setdefault(label, []).append(i)
                boxes[i] = tuple(piece_boxes[label])
        new_shared = [None] * len(boxes)
        for label, group in main.items():
            if len(group) < 2:
                continue
            group_set = frozenset(group)
            if all(shared[i] == group_set for i in group):
                # They shared one blob before: if their box now holds one
                # animal-sized piece per track, hand the pieces out left to right.
                x0, y0, x1, y1 = _widen(previous[group[0]], self.margin, w, h)
                inside = np.bincount(labels[int(y0):int(y1) + 1, int(x0):int(x1) + 1].ravel(), minlength=len(areas))
                inside[0] = 0
                big = [k for k in np.argsort(-inside) if inside[k] > 0 and areas[k] >= ANIMAL_MIN_FRACTION * h * w]
                if len(big) >= len(group):
                    pieces = sorted(big[: len(group)], key=lambda k: piece_boxes[k][0] + piece_boxes[k][2])
                    for i, k in zip(sorted(group), pieces):
                        masks[i] = labels == k
                        boxes[i] = tuple(piece_boxes[k])
                    continue
            for i in group:
                new_shared[i] = group_set
        return masks, boxes, new_shared


def _box(mask):
    """Box (x0, y0, x1, y1) of the mask's largest piece, maxima inclusive; None when empty."""
    m = mask.astype(np.uint8)
    n, _, stats, _ = cv2.connectedComponentsWithStats(m, connectivity=8)
    if n < 2:
        return None
    x, y, w, h, _ = stats[1 + int(stats[1:, cv2.CC_STAT_AREA].argmax())]
    return (x, y, x + w - 1, y + h - 1)


def _widen(box, margin, w, h):
    x0, y0, x1, y1 = box
    return (max(x0 - margin, 0), max(y0 - margin, 0), min(x1 + margin, w - 1), min(y1 + margin, h - 1))


def _logits(masks):
    """Masks as the video predictor's logits: K x 1 x H x W, positive inside."""
    return torch.from_numpy(np.where(np.stack(masks), np.float32(10), np.float32(-10)))[:, None]


def make_models(threads=1):
    """The stand-ins as the runner's model factory returns them.

    Args:
        threads: torch's threads (the stand-ins' tensors are tiny: one thread
            spares torch the hand-offs between its threads); None leaves
            torch's setting.
    """
    import mirelo_utils as mu

    if threads is not None:
        torch.set_num_threads(threads)
    segmenter = BoxPromptedSegmenter()
    return mu.Models(processor=ColourDetectorProcessor(), grounding_model=ColourDetector().eval(),
                     image_predictor=segmenter, video_predictor=RepromptingVideoPredictor(segmenter), device="cpu")
