"""mirelo_utils: tracking pigs in pens on fixed-camera video.

The library around an open-vocabulary box detector and a promptable
segmentation model: video ingest, first-frame initialisation, clip hand-over,
track quality control, mask measures and drawings. The work is done by the
compiled core ``mirelo_utils._core``; this package re-exports its public names.

Attributes:
    PEN_JSON_ROOT: Folder holding ``GSAM2_output``, where the per-camera pen
        files live; read at each call that looks a pen file up. Defaults to
        ``D:\\pig_tracking``.
    __version__: The installed distribution's version.
"""

from typing import TYPE_CHECKING, Any

from . import _core
from ._clip import Clip, ClipMasks, ClipRecord, open_clip
from ._core import (
    PEN_JSON_ROOT,
    CompactMask,
    cal_centroid_distance,
    cal_masks_iou_scores,
    calculate_iou,
    calculate_masks_intersection,
    calculate_masks_intersection_new,
    calculate_pen_intersection_ratio,
    cluster_masks_and_print,
    compute_motion_score_in_polygon,
    cosine_scores_cal,
    draw_masks_on_image,
    draw_pen,
    enhance_dark_text,
    find_best_laste_frame,
    find_boxes_with_small_area_from_last_video,
    find_continuous_frames,
    fix_polygon_scaling,
    generate_sam2_image_features,
    generate_tracking_report,
    get_gsam_annotation_data,
    get_in_pen_mask,
    get_pen_json_path,
    img_bbx_drawing,
    initializer,
    intersection_between_masks,
    list_all_files,
    matcher,
    process_gdino_results,
    process_json_and_generate_masks,
    process_overlap_frames,
    retrieve_annotation,
    rle_decode,
    rle_encode,
    write_annotation_file,
)
from ._corrections import (
    Correction,
    apply_page_advice,
    drop_track,
    history,
    merge_tracks,
    recover_clip,
    relabel_track,
    swap_identities,
    undo,
)
from ._dask import clip_health_reports_on_cluster, process_videos_on_cluster
from ._exchange import ExportSummary, ImportSummary, export_tracks, import_tracks, read_tracks
from ._health import HandOverSettings, clip_health_report
from ._ingest import VideoMetadata, VideoProcessor
from ._plots import draw_intersection_heatmap, video_segments_mask_visual
from ._qc import Mask_Refinement
from ._runner import (
    CheckSettings,
    ConfigError,
    InitialisationSettings,
    ModelSettings,
    Models,
    PenSettings,
    RecordingSettings,
    RefinementSettings,
    RunConfig,
    WindowSettings,
    load_config,
)
from ._scores import TrackingScores, evaluate_tracking, read_mot, read_mots, write_mot, write_mots

if TYPE_CHECKING:
    from ._runner import track_recordings, track_recordings_on_cluster

    __version__: str

__all__ = [
    "CheckSettings",
    "Clip",
    "ClipMasks",
    "ClipRecord",
    "CompactMask",
    "ConfigError",
    "Correction",
    "ExportSummary",
    "HandOverSettings",
    "ImportSummary",
    "InitialisationSettings",
    "Mask_Refinement",
    "ModelSettings",
    "Models",
    "PEN_JSON_ROOT",
    "PenSettings",
    "RecordingSettings",
    "RefinementSettings",
    "RunConfig",
    "TrackingScores",
    "VideoMetadata",
    "VideoProcessor",
    "WindowSettings",
    "apply_page_advice",
    "cal_centroid_distance",
    "cal_masks_iou_scores",
    "calculate_iou",
    "calculate_masks_intersection",
    "calculate_masks_intersection_new",
    "calculate_pen_intersection_ratio",
    "clip_health_report",
    "clip_health_reports_on_cluster",
    "cluster_masks_and_print",
    "compute_motion_score_in_polygon",
    "cosine_scores_cal",
    "draw_intersection_heatmap",
    "draw_masks_on_image",
    "draw_pen",
    "drop_track",
    "enhance_dark_text",
    "evaluate_tracking",
    "export_tracks",
    "find_best_laste_frame",
    "find_boxes_with_small_area_from_last_video",
    "find_continuous_frames",
    "fix_polygon_scaling",
    "generate_sam2_image_features",
    "generate_tracking_report",
    "get_gsam_annotation_data",
    "get_in_pen_mask",
    "get_pen_json_path",
    "history",
    "img_bbx_drawing",
    "import_tracks",
    "initializer",
    "intersection_between_masks",
    "list_all_files",
    "load_config",
    "matcher",
    "merge_tracks",
    "open_clip",
    "process_gdino_results",
    "process_json_and_generate_masks",
    "process_overlap_frames",
    "process_videos_on_cluster",
    "read_mot",
    "read_mots",
    "read_tracks",
    "recover_clip",
    "relabel_track",
    "retrieve_annotation",
    "rle_decode",
    "rle_encode",
    "swap_identities",
    "track_recordings",
    "track_recordings_on_cluster",
    "undo",
    "video_segments_mask_visual",
    "write_annotation_file",
    "write_mot",
    "write_mots",
]

# Settings users assign on the package (mirelo_utils.PEN_JSON_ROOT = ...) are
# read by the compiled calls from this namespace, at each call.
_core._use_settings(globals())  # type: ignore[attr-defined]  # private, not in the stubs


_LAZY = ("track_recordings", "track_recordings_on_cluster")


def __getattr__(name: str) -> Any:
    # The runs' modules load on first use (see _runner).
    if name in _LAZY:
        from . import _runner

        found = getattr(_runner, name)
        globals()[name] = found
        return found
    # The version is read from the installed metadata on first use only:
    # importlib.metadata costs more to import than the rest of the package.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("mirelo_utils")
        except PackageNotFoundError:  # the developer build, run from the source tree
            found = "0.0.0.dev0"
        globals()["__version__"] = found
        return found
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"__version__", *_LAZY})
