"""Annotation files read the straightforward way."""
import numpy as np


def python_masks_of_file(json_path, height, width):
    """The masks of an annotation file made the straightforward way: json,
    then cv2.fillPoly into float32 zeros per detection and astype(uint8).
    Returns (image_path, N x H x W uint8 stack, object id - 1 per mask)."""
    import json

    import cv2

    with open(json_path, encoding="utf-8") as f:
        doc = json.load(f)
    masks, keys = [], []
    for det in doc["detections"]:
        m = np.zeros((height, width), np.float32)
        for text in det["formatted_polygon"]:
            v = text.split()[1:]
            pts = [(int(float(v[i]) * width), int(float(v[i + 1]) * height)) for i in range(0, len(v), 2)]
            cv2.fillPoly(m, [np.array(pts, np.int32)], 1)
        masks.append(m)
        keys.append(det.get("object_id", 0) - 1)
    return doc["image_path"], np.array(masks).astype(np.uint8), keys
