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


def python_annotation_text(image_path, masks):
    """The annotation file of one frame written the straightforward way:
    cv2.findContours on each whole mask, polygon texts of the pixel centres,
    cv2.boundingRect of all contours and json.dumps. masks: object id ->
    H x W mask."""
    import json

    import cv2

    detections = []
    for object_id, mask in masks.items():
        mask = np.asarray(mask)
        h, w = mask.shape
        contours, _ = cv2.findContours((mask != 0).astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        polygons, box = [], []
        for c in contours:
            points = c[:, 0] if len(c) > 1 else np.repeat(c[:, 0], 2, axis=0)
            polygons.append("0 " + " ".join(f"{(x + 0.5) / w:.6f} {(y + 0.5) / h:.6f}" for x, y in points))
        if contours:
            x, y, bw, bh = cv2.boundingRect(np.concatenate(contours))
            box = [[x, y, x + bw - 1, y + bh - 1]]
        detections.append({"object_id": int(object_id), "class_name": "pig", "xyxy": box,
                           "formatted_polygon": polygons})
    return json.dumps({"image_path": image_path, "detections": detections})
