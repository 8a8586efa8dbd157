"""Plots for interactive inspection: the pairwise intersection table as an
annotated heatmap, and one tracked mask as an image.

matplotlib and seaborn (the ``plots`` extra) are imported by the calls, so
``import mirelo_utils`` works without them.
"""

from __future__ import annotations

import numbers
import sys
from typing import TYPE_CHECKING, Any, Mapping

from ._support import import_optional

if TYPE_CHECKING:  # numpy is imported by the calls, not by import mirelo_utils
    import numpy as np

__all__ = ["draw_intersection_heatmap", "video_segments_mask_visual"]


def _import_plotting(caller: str, with_seaborn: bool):
    plt = import_optional("matplotlib.pyplot", caller, "matplotlib", "plots")
    sns = import_optional("seaborn", caller, "matplotlib and seaborn", "plots") if with_seaborn else None
    return plt, sns


def _table_values(table: Any) -> np.ndarray:
    """The cells of a square table as float64, without its row and column keys."""
    import numpy as np

    try:
        values = table.to_numpy() if hasattr(table, "to_numpy") else np.asarray(table)
    except MemoryError:
        raise MemoryError(f"out of memory reading a {type(table).__name__} as the table intersections_df") from None
    if values.ndim != 2:
        raise ValueError(f"expected a 2-D table for intersections_df, got {values.ndim} dimension(s)")
    rows, cols = values.shape
    if rows != cols:
        raise ValueError(
            f"expected a square table for intersections_df (one row and column per mask), "
            f"got {rows} rows and {cols} columns"
        )
    if values.dtype.kind in "biuf":
        return values.astype(np.float64)
    if values.dtype.kind == "O":
        # pandas' own missing marker (nullable columns) is absent like None.
        pd_na = getattr(sys.modules.get("pandas"), "NA", None)
        out = np.empty(values.shape, dtype=np.float64)
        for (r, c), cell in np.ndenumerate(values):
            if cell is None or (pd_na is not None and cell is pd_na):
                out[r, c] = np.nan
            elif isinstance(cell, numbers.Real):
                out[r, c] = float(cell)
            else:
                raise TypeError(
                    f"expected numbers in intersections_df, got {type(cell).__name__} {cell!r} "
                    f"at row {r}, column {c}"
                )
        return out
    raise TypeError(f"expected numbers in intersections_df, got cells of dtype {values.dtype}")


def draw_intersection_heatmap(intersections_df: Any) -> None:
    """Shows a pairwise intersection table as an annotated heatmap.

    Opens a new 7 x 5 inch figure, draws every cell in the "Reds" colour map
    on a fixed 0..100 scale (values outside it take the end colours) with its
    value annotated to two decimals, grey grid lines and square cells, and
    shows the figure with ``matplotlib.pyplot.show()``. Both axes are labelled
    "Mask 0" ... "Mask n-1" by position, whatever the table's own keys; cell
    (row, column) is the percentage of "Mask 1" (y axis) covered by "Mask 2"
    (x axis).

    Args:
        intersections_df: the square table of ``intersection_between_masks``
            (a pandas DataFrame, or any n x n array of numbers); only its
            values are used. Absent cells (None, NaN) are left blank.

    Raises:
        ImportError: matplotlib or seaborn is not installed.
        ValueError: the table is not two-dimensional and square.
        TypeError: a cell is not a number.
    """
    plt, sns = _import_plotting("draw_intersection_heatmap", with_seaborn=True)
    ious = _table_values(intersections_df)
    plt.figure(figsize=(7, 5))
    labels = [f"Mask {i}" for i in range(ious.shape[0])]
    sns.heatmap(
        ious,
        annot=True,
        fmt=".2f",
        annot_kws={"size": 8},
        cmap="Reds",
        vmin=0,
        vmax=100,
        cbar=True,
        linewidths=0.5,
        linecolor="gray",
        square=True,
        xticklabels=labels,
        yticklabels=labels,
    )
    plt.title("Intersection Heatmap %")
    plt.xlabel("Mask 2")
    plt.ylabel("Mask 1")
    plt.show()


def video_segments_mask_visual(video_segments: Mapping[Any, Mapping[Any, Any]], frame_idx: Any, object_id: Any) -> None:
    """Draws one tracked mask into the current matplotlib figure.

    The mask ``video_segments[frame_idx][object_id]`` is shown with
    ``matplotlib.pyplot.imshow`` and its default colour map and scaling, after
    its axes of length 1 are dropped (a 1 x H x W mask shows as H x W). The
    figure is not shown; that is left to the caller.

    Args:
        video_segments: mapping from frame index to a mapping from object id
            to mask (a numpy array, or anything numpy.asarray accepts).
        frame_idx: key of the frame.
        object_id: key of the object within the frame.

    Raises:
        ImportError: matplotlib is not installed.
        KeyError: the frame or the object is not in the record.
        TypeError: the mask does not squeeze to an image (matplotlib's check).
    """
    plt, _ = _import_plotting("video_segments_mask_visual", with_seaborn=False)
    try:
        objects = video_segments[frame_idx]
    except KeyError:
        raise KeyError(f"frame_idx {frame_idx!r} is not a frame of video_segments") from None
    try:
        mask = objects[object_id]
    except KeyError:
        raise KeyError(f"object_id {object_id!r} is not an object of frame {frame_idx!r}") from None
    import numpy as np

    plt.imshow(np.squeeze(np.asarray(mask)))
