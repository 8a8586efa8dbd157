"""Per-object mask refinement.

``Mask_Refinement`` is a plain class whose tuning attributes the compiled
core reads at each use: the instance itself is handed to the core, so a
caller may change the attributes between calls, and ``prev_centroids`` is
the instance's own dict, read and updated in place.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Mapping, MutableMapping, Optional, Sequence

if TYPE_CHECKING:  # numpy is imported by the calls, not by import mirelo_utils
    import numpy as np

from ._core import _qc as _impl

__all__ = ["Mask_Refinement"]

_DEFAULT_DISTANCE_RATIOS = [0.5, 1.5]


class Mask_Refinement:
    """Cleans tracked masks frame by frame and object by object.

    Each mask is cut to the pen polygon and split into 8-connected pieces;
    the main piece (of the five largest, the one nearest to the object's
    previous centroid, else the largest) is kept together with the pieces
    that are large enough and close enough to it, as long as none lies too
    far from the previous centroid. The centroid of each cleaned mask is
    remembered for the next frame, also across calls (one instance serves one
    tracking run).

    Attributes:
        MIN_AREA_RATIO: A secondary piece needs at least this fraction of the
            main piece's area.
        MAX_DISTANCE_RATIOS: Two multipliers of the main piece's equivalent
            radius giving the largest gap to it: entry 0 for main pieces of at
            least 1000 pixels, entry 1 for smaller ones.
        MAX_PREV_DIST: Largest distance in pixels between a piece's centroid
            and the object's previous centroid.
        prev_centroids: Object id -> centroid (x, y) of its last non-empty
            cleaned mask, as a float64 array of two values.
        custom_pen_json_path: Pen polygon file; None to use the camera's pen
            file named by the clip folder.
    """

    def __init__(
        self,
        min_area_ratio: float = 0.3,
        max_distance_ratios: Sequence[float] = _DEFAULT_DISTANCE_RATIOS,
        max_prev_dist: float = 200,
        custom_pen_json_path: Optional[str] = "pen_polygon.json",
    ) -> None:
        self.MIN_AREA_RATIO = min_area_ratio
        # The shared default list is copied, so that changing one instance's
        # ratios in place does not change every later instance's.
        if max_distance_ratios is _DEFAULT_DISTANCE_RATIOS:
            max_distance_ratios = list(max_distance_ratios)
        self.MAX_DISTANCE_RATIOS = max_distance_ratios
        self.MAX_PREV_DIST = max_prev_dist
        self.prev_centroids: dict[Any, np.ndarray] = {}
        self.custom_pen_json_path = custom_pen_json_path

    def blob_shortest_distance(self, blob_mask1: np.ndarray, blob_mask2: np.ndarray) -> float:
        """Shortest distance in pixels between the outer contours of two masks.

        Contour points are those of OpenCV's findContours with RETR_EXTERNAL
        and CHAIN_APPROX_SIMPLE (straight runs reduced to their end points),
        all contours of a mask together.

        Args:
            blob_mask1: H x W (or 1 x H x W) mask, any numeric dtype, non-zero set.
            blob_mask2: Likewise; its size may differ.

        Returns:
            The smallest Euclidean distance between a contour point of each;
            ``inf`` when either mask has no set pixel.
        """
        return _impl.blob_shortest_distance(blob_mask1, blob_mask2)

    def get_main_blob(self, mask: np.ndarray, prev_centroids: Mapping[Any, Any], object_id: Any) -> tuple:
        """Labels a mask's pieces and chooses the main one.

        Args:
            mask: A mask that is H x W once its axes of length 1 are removed;
                non-zero pixels are set.
            prev_centroids: Object id -> previous centroid (x, y).
            object_id: The object whose previous centroid is looked up.

        Returns:
            (num_labels, stats, centroids, min_area_threshold,
            max_distance_threshold, best_idx, labels) as OpenCV's
            connectedComponentsWithStats (connectivity 8) gives the first three
            and the last (int32 stats of shape (num_labels, 5), float64
            centroids of shape (num_labels, 2), int32 H x W labels); the
            thresholds the main piece sets (its area times MIN_AREA_RATIO, its
            equivalent radius times the MAX_DISTANCE_RATIOS entry for its
            size) and its label.

        Raises:
            ValueError: The mask has no set pixel, or is not H x W.
        """
        return _impl.main_blob(self, mask, prev_centroids, object_id)

    def get_dis_to_main_and_prev_blob(
        self,
        num_labels: int,
        labels: np.ndarray,
        stats: np.ndarray,
        centroids: np.ndarray,
        max_distance_threshold: float,
        min_area_threshold: float,
        best_idx: int,
        prev_centroids: Mapping[Any, Any],
        object_id: Any,
        frame_idx: Any,
        mask: np.ndarray,
        video_segments: Mapping[Any, Any],
    ) -> np.ndarray:
        """Builds the cleaned mask from the pieces worth keeping.

        A piece (label 1 .. num_labels - 1) is kept when its centroid lies
        within MAX_PREV_DIST of the object's previous centroid (always without
        one) and it is the main piece, or its area reaches min_area_threshold
        and its contour comes within max_distance_threshold of the main
        piece's contour.

        Args:
            num_labels, labels, stats, centroids: As get_main_blob returns them.
            max_distance_threshold, min_area_threshold, best_idx: Likewise.
            prev_centroids: Object id -> previous centroid (x, y).
            object_id: The object being cleaned.
            frame_idx: Its frame index in video_segments.
            mask: The tracked mask, kept whole when everything is dropped on
                the first frame of video_segments.
            video_segments: Frame index -> {object id: mask}; only its first key
                is read.

        Returns:
            A bool 1 x H x W mask of the kept pieces. When none is kept: on the
            first frame, ``mask`` as bool (with a leading axis when 2-D);
            otherwise an all-False mask, after printing
            "clean frame<frame_idx>--obj_id<object_id>".
        """
        return _impl.kept_pieces(
            self, num_labels, labels, stats, centroids, max_distance_threshold, min_area_threshold, best_idx,
            prev_centroids, object_id, frame_idx, mask, video_segments,
        )

    def process_video_segments(
        self, video_segments: MutableMapping[Any, MutableMapping[Any, Any]], video_dir: str, frame_names: Sequence[str]
    ) -> MutableMapping[Any, MutableMapping[Any, Any]]:
        """Refines every mask of a clip in place.

        Frames and objects are taken in the mappings' order; the first frame
        key is the clip's first frame. An all-zero mask is left as it is. A
        mask with nothing inside the pen is replaced by an all-zero mask of
        its own shape and dtype. Any other mask is replaced by its cleaned
        version (bool, 1 x H x W), and the object's centroid is remembered in
        prev_centroids; a mask cleaned away entirely prints
        "clean frame<f>--obj_id<o>" and "frame <f>--obj_id<o>-- no mask", except
        on the first frame, where the tracked mask is kept whole (as bool).

        The pen file is custom_pen_json_path, or with None the camera's pen
        file named by video_dir (see get_pen_json_path); it is read once per
        call and rasterised once per frame size. Only the box of each mask's
        set pixels is examined.

        Args:
            video_segments: Frame index -> {object id: mask}; masks are arrays
                that are H x W once their axes of length 1 are removed.
            video_dir: Clip folder (names the camera's pen file).
            frame_names: Frame image paths; each refined mask's frame index must
                index it.

        Returns:
            video_segments itself. When a call fails part-way, the masks
            handled before stay replaced and their centroids remembered.

        Raises:
            TypeError: Masks that are not numeric arrays; no pen file for the
                clip's camera with custom_pen_json_path None.
            ValueError: Masks of another shape; a malformed pen file.
            FileNotFoundError: A missing pen file.
            IndexError, KeyError: A frame index that frame_names lacks.
        """
        return _impl.refine_video_segments(self, video_segments, video_dir, frame_names)
