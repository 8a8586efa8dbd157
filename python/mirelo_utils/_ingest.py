"""The video-ingest records.

``VideoMetadata`` and ``VideoProcessor`` are plain data classes of settings;
their methods hand the record itself to the compiled core, which reads the
fields and works on the record's own ``camera_crop_coords`` mapping.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional, Union

# The records' entry points are private to the package and left out of the
# module's type stubs.
from ._core import _ingest as _impl  # type: ignore[attr-defined]

if TYPE_CHECKING:
    import numpy
    import pandas

    _Path = Union[str, os.PathLike[str]]

__all__ = ["VideoMetadata", "VideoProcessor"]


@dataclass
class VideoMetadata:
    """Collect and filter MP4 video metadata from specified directories."""

    base_dir: str
    sub_dirs: list[str]
    filter_start: str = "06:00:00"
    filter_end: str = "17:00:00"
    sample_step: int = 3
    top_n: int = -1
    match_pattern: str = r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4"
    camera_number: Optional[str] = None

    def get_filtered_video_dataframe(self) -> pandas.DataFrame:
        """Scans the recording folders and returns the filtered video table.

        Each name of ``sub_dirs`` under ``base_dir`` is listed (missing folders
        are skipped); every ".mp4" file whose name matches ``match_pattern``
        from its start gives one row. Rows are kept when their start time lies
        strictly between ``filter_start`` and ``filter_end``, then every
        ``sample_step``-th row, then the rows of ``camera_number`` (when set),
        then the first ``top_n`` rows (when at least 1). The kept paths are
        printed as a list.

        Returns:
            pandas.DataFrame: Text columns "Camera Number", "Date", "Time"
            (HH:MM:SS), "File Path" and "Video Name"; row labels are the rows'
            positions before filtering.

        Raises:
            ValueError: ``match_pattern`` does not compile or lacks groups 1, 3 and 4.
            OSError: An entry of ``sub_dirs`` exists but cannot be listed.
        """
        return _impl.filtered_video_dataframe(self)


@dataclass
class VideoProcessor:
    """Settings of a frame-extraction run over camera recordings.

    Attributes:
        resize_dim: When set, saved frames are resized to the height
            ``resize_dim[1]``, keeping their aspect ratio.
        frame_skip: Save every ``frame_skip``-th frame (by absolute frame index).
        time_step: Length of one extraction window, in minutes.
        output_dir_base: Root folder of all extracted frames.
        camera_crop_coords: Crop window (x1, y1, x2, y2) per camera number,
            filled on first use of a camera; may be pre-filled.
        crop: Crop frames beside the orange marker region.
        left_crop: Keep the part left of the marker (True) or right of it (False).
    """

    resize_dim: Optional[tuple[int, int]] = None
    frame_skip: int = 1
    time_step: float = 0.1
    output_dir_base: str = "D:\\ToBeLabeled_20pigs/"
    camera_crop_coords: dict[Any, tuple[int, int, int, int]] = field(default_factory=dict)
    crop: bool = True
    left_crop: bool = False

    def get_video_duration(self, video_path: _Path) -> float:
        """Returns the length of a recording in minutes.

        Prints "Video FPS: ", "Total frames: " and "Video duration: ... seconds".

        Args:
            video_path: Path of the video file.

        Returns:
            float: Frame count / frame rate / 60, or the integer 0 (after the
            line "Error: Could not open video <path>") when the file cannot be
            opened.

        Raises:
            ZeroDivisionError: The file reports a frame rate of 0.
        """
        return _impl.video_duration(video_path)

    def find_orange_region(self, frame: numpy.ndarray) -> Optional[tuple[int, int, int, int]]:
        """Finds the orange marker region of a frame.

        Args:
            frame: BGR image, an H x W x 3 uint8 array.

        Returns:
            tuple[int, int, int, int] | None: Box (x1, y1, x2, y2), x2 and y2 one
            past the last column and row, of the rightmost of the two largest
            orange regions (hue 10-25, saturation and value 150-255), or None
            when no pixel is orange.
        """
        return _impl.find_orange_region(frame)

    def crop_video_to_frames(
        self,
        video_path: _Path,
        output_dir: _Path,
        start_min: float = 10,
        end_min: float = 12,
        camera_number: Any = None,
        crop: bool = True,
    ) -> None:
        """Writes the frames of one time window of a recording as JPEG files.

        Frames with index fps * 60 * start_min up to (not including)
        fps * 60 * end_min that are a multiple of ``frame_skip``, and the
        window's last one, are cropped to the camera's crop window (detected
        from the orange region on the window's first frame unless
        ``camera_crop_coords`` holds it), resized when ``resize_dim`` is set,
        and saved as 0000.jpg, 0001.jpg, ... in ``output_dir``. Prints one line
        per saved frame and a summary.

        Args:
            video_path: Path of the video file.
            output_dir: Folder of the images (created when missing).
            start_min: Window start in minutes (int or float).
            end_min: Window end in minutes (int or float).
            camera_number: Key of the crop-window cache.
            crop: Crop the frames (this argument, not the ``crop`` field).

        Raises:
            OSError: The folder or an image cannot be written.
            ValueError: The crop window keeps no pixel of the frame.
            KeyboardInterrupt: Ctrl-C; every image written is complete.
        """
        return _impl.crop_video_to_frames(self, video_path, output_dir, start_min, end_min, camera_number, crop)

    def process_videos_to_frames(self, df: pandas.DataFrame) -> None:
        """Processes videos based on metadata dataframe and extracts frames in time-step increments."""
        return _impl.process_videos_to_frames(self, df)
