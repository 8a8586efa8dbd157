"""The hand-over advice: what find_boxes_with_small_area_from_last_video and
find_best_laste_frame would do with the clip, run on copies so that the
caller's records stay as they are."""

from __future__ import annotations

from collections.abc import Mapping

from .. import _core
from .._clip import ClipMasks
from .._support import shown_text
from .options import HandOverSettings
from .page import HandOverAdvice
from .scan import Scan, masks_of


def hand_over(records: Mapping, scan: Scan, settings: HandOverSettings, expected_animals: int) -> HandOverAdvice:
    """The small-area check on the clip, then the last-frame choice without
    those tracks, on copies of the last frames' "masks_dict" (the choice
    removes the tracks from the records it is given)."""
    remove = list(_core.find_boxes_with_small_area_from_last_video(
        records, settings.min_frame_id, settings.area_threshold, settings.min_count))
    attempts = min(int(settings.max_attempts), len(scan.keys))
    last = {}
    for key in scan.keys[-attempts:]:
        masks = masks_of(records[key], key)
        # An opened clip's masks are copied as their runs, never painted.
        copy = ClipMasks(masks.compact()) if isinstance(masks, ClipMasks) else dict(masks.items())
        last[key] = {"masks_dict": copy}
    best, failed = _core.find_best_laste_frame(last, settings.min_area, attempts, remove_stack_obs=remove,
                                               pen_animals=settings.pen_animals)
    best_key = None if failed else next(k for k, record in last.items() if record is best)
    return HandOverAdvice(
        settings=settings,
        removed=tuple(shown_text(str(k)) for k in remove),
        best_frame=None if best_key is None else shown_text(str(best_key)),
        attempts=attempts,
        pen_animals=settings.pen_animals,
        expected_animals=expected_animals,
    )
