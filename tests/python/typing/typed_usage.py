"""Typed use of the public API: mypy must accept every line of this file.

Checked by test_stubs.py; never run.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any, assert_type

import numpy as np
import pandas as pd
from PIL import Image

import mirelo_utils as mu


def measures(mask: np.ndarray, masks: dict[str, np.ndarray], areas: dict[str, float]) -> None:
    assert_type(mu.calculate_iou([0, 0, 10, 10], (5.0, 5.0, 15.0, 15.0)), float)
    assert_type(mu.calculate_masks_intersection(mask, mask), float)
    assert_type(mu.calculate_masks_intersection_new(mask, mask, 10, 2.5), tuple[float, float])
    assert_type(mu.intersection_between_masks(masks), pd.DataFrame)
    assert_type(mu.intersection_between_masks(masks, areas), pd.DataFrame)
    assert_type(mu.cal_masks_iou_scores([mask], np.stack([mask])), np.ndarray)
    assert_type(mu.cluster_masks_and_print(masks, eps=50.0), dict[str, list[str]])


def pens_and_drawings(image: Image.Image, frame: np.ndarray, masks: dict[str, np.ndarray]) -> None:
    mu.PEN_JSON_ROOT = "/data/pig_tracking"
    pen = mu.get_pen_json_path("D:\\clips\\Camera61_2024")
    assert_type(pen, str | os.PathLike[str] | None)
    ratios, inside = mu.calculate_pen_intersection_ratio([(0, 0), (9, 0), (0, 9)], [[1, 1, 2, 2]], 40)
    assert_type(ratios, list[float])
    assert_type(inside, list[bool])
    assert_type(mu.get_in_pen_mask(0, frame, "pen.json", ["a.jpg"]), np.ndarray)
    assert_type(mu.img_bbx_drawing(image, masks), Image.Image)
    assert_type(mu.draw_masks_on_image(frame, list(masks.values())), Image.Image)
    assert_type(mu.enhance_dark_text(image, gamma=2), Image.Image)
    assert_type(mu.list_all_files("frames", ext=(".jpg", ".png")), list[str])
    mu.fix_polygon_scaling("annotation.json")


def segmentation(processor: object, model: object, predictor: object, frames: list[str]) -> None:
    boxes, scores, labels = mu.process_gdino_results([{"scores": [], "labels": [], "boxes": []}])
    assert_type(boxes, np.ndarray)
    result = mu.initializer("clip", frames, processor, model, "cpu", predictor, step=5)
    assert_type(result, tuple[np.ndarray, np.ndarray, int, Image.Image] | tuple[None, None, None, None])
    masks, objects, index, drawing = result
    if index is not None:
        assert_type(drawing, Image.Image | None)


def features_and_episodes(image: Image.Image, masks: np.ndarray, predictor: object, table: pd.DataFrame,
                          records: dict[int, dict[str, object]]) -> None:
    features = mu.generate_sam2_image_features(image, masks, predictor)
    assert_type(mu.cosine_scores_cal(features, [None, np.ones(4)]), np.ndarray)
    assert_type(mu.cal_centroid_distance(list(masks), masks), np.ndarray)
    runs = mu.find_continuous_frames(table, group_by="Box Pair", n_consecutive=2)
    assert_type(runs["Box0-Box1"][0][0], int)
    test_frame, box, episodes, worst = mu.process_overlap_frames(table, records, predictor)
    assert_type(test_frame, int)
    assert_type(box, str)
    assert_type(episodes, dict[str, list[list[int]]])
    assert_type(worst, list[str])


def compact_clip(predictor: object, table: pd.DataFrame, frames: list[str]) -> None:
    clip = mu.open_clip("out", threads=2)
    assert_type(clip, mu.Clip | None)
    if clip is None:
        return
    assert_type(clip[0], mu.ClipRecord)
    assert_type(clip.animals(0)["Box0"].box, tuple[int, int, int, int] | None)
    assert_type(mu.CompactMask.from_array(np.ones((2, 2))).runs, np.ndarray)
    assert_type(clip.to_dict([0, 1]), dict[int, dict[str, Any]])
    mu.generate_tracking_report(clip, "out")
    mu.find_boxes_with_small_area_from_last_video(clip)
    mu.find_best_laste_frame(clip)
    mu.process_overlap_frames(table, clip, predictor)
    mu.matcher(clip, frames, 0, predictor)


def ingest() -> None:
    meta = mu.VideoMetadata("D:/videos", ["cam64"], sample_step=1, camera_number="64")
    assert_type(meta.get_filtered_video_dataframe(), pd.DataFrame)
    vp = mu.VideoProcessor(frame_skip=5, time_step=0.1, left_crop=True)
    assert_type(vp.find_orange_region(np.zeros((4, 4, 3), np.uint8)), tuple[int, int, int, int] | None)
    assert_type(vp.get_video_duration("v.mp4"), float)
    assert_type(mu.__version__, str)



def health_page(records: dict[int, dict[str, object]]) -> None:
    table = mu.clip_health_report(records, "out", None, expected_animals=10, progress=lambda s, d, t: None)
    assert_type(table, pd.DataFrame | None)
    assert_type(mu.clip_health_report("clip_folder", Path("out")), pd.DataFrame | None)
    advice = mu.HandOverSettings(min_frame_id=20, min_count=2)
    mu.clip_health_report(records, "out", hand_over=advice, max_attempts=3)


def exchange(clip: mu.Clip) -> None:
    summary = mu.export_tracks(clip, "tracks.xml", "cvat", tolerance=0.05)
    assert_type(summary.shapes, int | None)
    masks = mu.read_tracks("tracks.xml", frames=Path("frames"))
    assert_type(masks, dict[int, dict[int, mu.CompactMask]])
    assert_type(mu.import_tracks("gt.txt", "out", "mot", frames="frames").files, list[str])


def recordings(masks: dict[int, np.ndarray]) -> None:
    mu.write_annotation_file("out/output_pp_0.json", Path("f/0000.jpg"), masks)
    config = mu.load_config("track.toml")
    assert_type(config, mu.RunConfig)
    assert_type(mu.track_recordings(config, from_window=3, progress=False), pd.DataFrame)
    assert_type(mu.track_recordings(Path("track.toml"), restart=True), pd.DataFrame)
    models = mu.Models(processor=None, grounding_model=None, image_predictor=None, video_predictor=None)
    assert_type(models.identity, str | None)
    pen = mu.PenSettings("pen.json", animals=8)
    mu.find_best_laste_frame({}, pen_animals=pen.animals)


def corrections(clip: str) -> None:
    c = mu.swap_identities(clip, 7, 8, 59)
    assert_type(c, mu.Correction)
    assert_type(c.frames, tuple[int, ...])
    assert_type(mu.swap_identities(Path(clip), 7, 8, from_frame=59, to_frame=80, durable=True).edit, int)
    mu.relabel_track(clip, 7, 11, to_frame=100)
    mu.merge_tracks(clip, 3, 12, on_conflict="union")
    mu.drop_track(clip, 4, from_frame=10)
    assert_type(mu.apply_page_advice(clip), mu.Correction | None)
    assert_type(mu.undo(clip).undoes, int | None)
    assert_type(mu.history(clip), list[mu.Correction])
    assert_type(mu.recover_clip(clip, abandon=True), str | None)
