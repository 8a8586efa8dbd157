"""Straightforward NumPy / OpenCV-Python / pandas versions of the track
quality-control operations: whole-frame masks, one label comparison and one
findContours per piece, the pen file read for every mask, and pandas tables
grown frame by frame. The benchmarks time them beside the library and the
tests check the library against them.
"""
import json

import cv2
import numpy as np
import pandas as pd

COLUMNS = ["Frame ID", "Box Pair", "Intersection Value", "Mask Area1", "Mask Area2", "Report type", "Box ID",
           "Mask Areas"]


def tracking_report(gsam_annotation_data, intersection_thrr=80):
    """(overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df)
    and the report table, without writing it."""
    overlap_frames, zero_area_frames = [], []
    for frame_id, data in gsam_annotation_data.items():
        for boxkey, area in data["mask_areas"].items():
            if area <= 0.1:
                zero_area_frames.append({"Frame ID": frame_id, "Box Pair": None, "Intersection Value": None,
                                         "Mask Area1": None, "Mask Area2": None, "Report type": "Zero area detected",
                                         "Box ID": boxkey, "Mask Areas": area})
        if (data["intersections_df"] > intersection_thrr).any().any():
            overlap_frames.append(frame_id)
    overlap_frames_data = pd.DataFrame(columns=COLUMNS)
    box_keys_df = pd.DataFrame(columns=COLUMNS)
    if not zero_area_frames and not overlap_frames:
        return overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df, None
    for frame_id in overlap_frames:
        df = gsam_annotation_data[frame_id]["intersections_df"]
        areas = gsam_annotation_data[frame_id]["mask_areas"]
        box_keys = []
        for r, key_row in enumerate(df.index):
            for c, key_col in enumerate(df.columns):
                value = df.iat[r, c]
                if value > intersection_thrr:
                    box_keys.append({"Frame ID": frame_id, "Box Pair": f"{key_row}-{key_col}",
                                     "Intersection Value": round(value, 2), "Mask Area1": areas[key_row],
                                     "Mask Area2": areas[key_col], "Report type": "High overlap mask detected",
                                     "Box ID": None, "Mask Areas": None})
        box_keys_df = pd.DataFrame(box_keys, columns=COLUMNS)
        overlap_frames_data = (box_keys_df.copy() if overlap_frames_data.empty
                               else pd.concat([overlap_frames_data, box_keys_df], ignore_index=True))
    report = pd.concat([overlap_frames_data, pd.DataFrame(zero_area_frames, columns=COLUMNS)], ignore_index=True)
    return overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df, report


def blob_shortest_distance(blob_mask1, blob_mask2):
    c1, _ = cv2.findContours(blob_mask1, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    c2, _ = cv2.findContours(blob_mask2, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    if not c1 or not c2:
        return np.inf
    p1 = np.vstack(c1).reshape(-1, 2).astype(np.float64)
    p2 = np.vstack(c2).reshape(-1, 2).astype(np.float64)
    best = np.inf
    for k in range(0, len(p1), 256):  # bounded memory for long contours
        d = ((p1[k:k + 256, None, :] - p2[None, :, :]) ** 2).sum(-1)
        best = min(best, d.min())
    return float(np.sqrt(best))


class Refinement:
    """The mask refinement written with whole-frame OpenCV-Python calls."""

    def __init__(self, pen_json_path, min_area_ratio=0.3, max_distance_ratios=(0.5, 1.5), max_prev_dist=200):
        self.pen_json_path = pen_json_path
        self.min_area_ratio = min_area_ratio
        self.max_distance_ratios = max_distance_ratios
        self.max_prev_dist = max_prev_dist
        self.prev_centroids = {}

    def in_pen(self, mask):
        with open(self.pen_json_path) as f:
            points = json.load(f)["shapes"][0]["points"]
        pen = np.zeros(mask.shape[-2:], np.uint8)
        cv2.fillPoly(pen, [np.array(points, np.int32)], 1)
        return mask & (pen != 0)

    def main_blob(self, mask, object_id):
        mask_uint8 = (mask != 0).astype(np.uint8) * 255
        num_labels, labels, stats, centroids = cv2.connectedComponentsWithStats(np.squeeze(mask_uint8), connectivity=8)
        areas = stats[1:, cv2.CC_STAT_AREA]
        top5 = np.argsort(-areas, kind="stable")[:5] + 1
        prev = self.prev_centroids.get(object_id)
        if prev is None:
            best = top5[0]
        else:
            best = top5[int(np.argmin([np.sqrt(((centroids[i] - prev) ** 2).sum()) for i in top5]))]
        main_area = stats[best, cv2.CC_STAT_AREA]
        radius = np.sqrt(main_area / np.pi)
        ratio = self.max_distance_ratios[0] if main_area >= 1000 else self.max_distance_ratios[1]
        return num_labels, labels, stats, centroids, main_area * self.min_area_ratio, radius * ratio, best

    def keep(self, num_labels, labels, stats, centroids, min_area, max_distance, best, object_id):
        cleaned = np.zeros(labels.shape, bool)
        prev = self.prev_centroids.get(object_id)
        main = (labels == best).astype(np.uint8)
        for label in range(1, num_labels):
            area = stats[label, cv2.CC_STAT_AREA]
            to_main = blob_shortest_distance(main, (labels == label).astype(np.uint8))
            to_prev = 0 if prev is None else np.sqrt(((centroids[label] - prev) ** 2).sum())
            if to_prev <= self.max_prev_dist and (label == best or (area >= min_area and to_main <= max_distance)):
                cleaned[labels == label] = True
        return cleaned

    def process_video_segments(self, video_segments):
        first = next(iter(video_segments))
        for frame_idx, objects in video_segments.items():
            for object_id, mask in objects.items():
                if not mask.any():
                    continue
                in_pen = self.in_pen(mask)
                if not in_pen.any():
                    objects[object_id] = in_pen
                    continue
                n, labels, stats, cents, min_area, max_distance, best = self.main_blob(in_pen, object_id)
                cleaned = self.keep(n, labels, stats, cents, min_area, max_distance, best, object_id)
                if not cleaned.any():
                    if frame_idx == first:
                        cleaned = mask.astype(bool)
                    else:
                        print(f"clean frame{frame_idx}--obj_id{object_id}")
                if cleaned.ndim == 2:
                    cleaned = cleaned[None]
                objects[object_id] = cleaned
                if cleaned.any():
                    m = cv2.moments(np.squeeze(cleaned).astype(np.uint8))
                    self.prev_centroids[object_id] = np.array([m["m10"] / m["m00"], m["m01"] / m["m00"]])
                else:
                    print(f"frame {frame_idx}--obj_id{object_id}-- no mask")
        return video_segments
