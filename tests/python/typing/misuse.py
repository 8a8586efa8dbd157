"""Calls that the stubs must reject: each line marked `# error` is one mypy error.

Checked by test_stubs.py; never run.
"""
import numpy as np

import mirelo_utils as mu

mask = np.zeros((4, 4), bool)
mu.intersection_between_masks([mask, mask])  # error
mu.calculate_masks_intersection(mask)  # error
mu.img_bbx_drawing("image.jpg", {"Box0": mask})  # error
mu.enhance_dark_text(mask, gamma="high")  # error
mu.list_all_files("frames", ext=[".jpg"])  # error
table: np.ndarray = mu.intersection_between_masks({"Box0": mask})  # error
count: int = mu.cal_masks_iou_scores([mask], [mask])  # error
mu.initializer("clip", ["a.jpg"], None, None, "cpu", None, step="10")  # error
mu.find_continuous_frames({"Frame ID": [1]})  # error
mu.process_overlap_frames(None, {}, None, n_consecutive="2")  # error
mu.open_clip("out", threads="2")  # error
mu.clip_health_report({}, "out", expected_animals="10")  # error
mu.clip_health_report({}, "out", hand_over={"min_count": 2})  # error
mu.swap_identities("clip", 7, 8)  # error
mu.merge_tracks("clip", 3, 12, "union")  # error
mu.export_tracks("clip", "t.xml", "cvat", tolerance="0.1")  # error
mu.import_tracks("t.xml", "out", frames=3)  # error
