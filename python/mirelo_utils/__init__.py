"""mirelo_utils: tracking pigs in pens on fixed-camera video.

The library around an open-vocabulary box detector and a promptable
segmentation model: video ingest, first-frame initialisation, clip hand-over,
track quality control, mask measures and drawings. The work is done by the
compiled core ``mirelo_utils._core``; this package re-exports its public names.
"""

from . import _core
from ._core import *  # noqa: F401,F403
from ._ingest import VideoMetadata, VideoProcessor
from ._plots import draw_intersection_heatmap, video_segments_mask_visual

__all__ = [name for name in dir(_core) if not name.startswith("_")] + [
    "VideoMetadata",
    "VideoProcessor",
    "draw_intersection_heatmap",
    "video_segments_mask_visual",
]
__version__ = "0.1.0"
