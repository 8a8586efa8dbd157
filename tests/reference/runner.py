"""A recording's windows tracked the straightforward way: the prototype's
loop of the library's calls (examples/pen_pipeline.py before the runner),
with every window's masks held densely, refined in one call, written by
the Python writer, and no manifest, page of the recording or resumption."""
import os

import numpy as np

import mirelo_utils as mu
from reference.annotation import python_annotation_text


def frame_files(folder):
    names = [n for n in os.listdir(folder) if n.endswith(".jpg")]
    names.sort(key=lambda n: int(n[:-4]))
    return [os.path.join(folder, n) for n in names]


def plain_loop(windows, out, models, pen_json, hand_over, animals=10, step=1):
    """Tracks the windows (folders of frames, in time order) one after the
    other into out/window_NNN/: annotation files and health page. Returns
    per window (start, object ids, hand-over outcome)."""
    import torch

    refiner = mu.Mask_Refinement(custom_pen_json_path=pen_json)
    done = []
    prompts, next_id = None, 1
    for k, folder in enumerate(windows):
        frames = frame_files(folder)
        if prompts is None:
            masks, _, first, _ = mu.initializer(folder, frames, models.processor, models.grounding_model,
                                                models.device, models.image_predictor, 0, step, 0.25, animals,
                                                pen_json)
            if masks is None:
                done.append((None, [], None))
                continue
            masks = np.asarray(masks).reshape(-1, *np.shape(masks)[-2:]) > 0
            ids = list(range(next_id, next_id + len(masks)))
            refiner.prev_centroids = {}
        else:
            first, ids, masks = prompts
        next_id = max(next_id, max(ids) + 1)
        video_segments = {}
        with torch.inference_mode():
            state = models.video_predictor.init_state(video_path=folder)
            for object_id, mask in zip(ids, masks):
                models.video_predictor.add_new_mask(state, frame_idx=first, obj_id=object_id, mask=mask)
            for f, objects, logits in models.video_predictor.propagate_in_video(state):
                video_segments[f] = {o: (logits[i] > 0.0).cpu().numpy() for i, o in enumerate(objects)}
            models.video_predictor.reset_state(state)
        refiner.process_video_segments(video_segments, folder, frames)
        window = os.path.join(out, f"window_{k:03d}")
        annotations = os.path.join(window, "annotations")
        os.makedirs(annotations)
        for f, objects in video_segments.items():
            with open(os.path.join(annotations, f"output_pp_{f}.json"), "w", encoding="utf-8") as file:
                file.write(python_annotation_text(frames[f], {o: np.squeeze(m, axis=0) for o, m in objects.items()}))
        del video_segments
        clip = mu.open_clip(annotations)
        overlap = mu.generate_tracking_report(clip, window)[0]
        mu.clip_health_report(clip, os.path.join(window, "health"), models.image_predictor,
                              hand_over=mu.HandOverSettings(**{**hand_over, "pen_animals": len(ids)}))
        if len(overlap):
            try:
                mu.process_overlap_frames(overlap, clip, models.image_predictor)
            except ValueError:
                pass
        prompts = None
        outcome = None
        if k + 1 < len(windows):
            remove = mu.find_boxes_with_small_area_from_last_video(clip, hand_over["min_frame_id"],
                                                                   hand_over["area_threshold"], hand_over["min_count"])
            new, _, _, best, failed = mu.matcher(clip, frame_files(windows[k + 1]), 0, models.image_predictor,
                                                 remove, min_area=hand_over.get("min_area", 10),
                                                 max_attempts=min(hand_over.get("max_attempts", 10), len(clip)),
                                                 pen_animals=len(ids))
            if not failed:
                carried = list(best["masks_dict"].keys())
                prompts = (0, [int(key[3:]) + 1 for key in carried], np.asarray(new).reshape(len(carried), *np.shape(new)[-2:]) > 0)
            outcome = (failed, remove)
        done.append((first, ids, outcome))
    return done
