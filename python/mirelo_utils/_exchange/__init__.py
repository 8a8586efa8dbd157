"""A tracked clip exchanged with annotation tools: written as CVAT for video
1.1 XML (polygon tracks), COCO video JSON (RLE masks with track ids),
MOTChallenge boxes or MOTS masks, and such files read back into masks and
annotation files (``output_pp_<frame>.json``) that ``open_clip`` loads.

The work (tracing outlines, run-length encoding, parsing, filling polygons,
writing the annotation files) is done by the compiled core on masks held as
runs; this module gathers the clip's records and finds the frame images.
"""

from __future__ import annotations

import os
import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Union

from .. import _core

if TYPE_CHECKING:
    from .._clip import Clip
    from .._core import CompactMask

__all__ = ["ExportSummary", "ImportSummary", "export_tracks", "import_tracks", "read_tracks"]

FORMATS = ("cvat", "coco", "mot", "mots")
FORMAT_NAMES = {"cvat": "CVAT for video 1.1 XML", "coco": "COCO video JSON", "mot": "MOTChallenge boxes",
                "mots": "MOTS masks"}
BLANK_IMAGE = "blank_frame.png"
IMAGE_SUFFIXES = (".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp")

Clipish = Union[str, "os.PathLike[str]", "Clip", Mapping[Any, Mapping[str, Any]]]

_BOX_KEY = re.compile(r"Box(-?\d+)")
_TRAILING_DIGITS = re.compile(r"(\d+)$")
_ANNOTATION_NAME = re.compile(r".*_\d+\.json")


@dataclass(frozen=True)
class ExportSummary:
    """What ``export_tracks`` wrote.

    Attributes:
        path: The file written.
        format: "cvat", "coco", "mot" or "mots".
        frames: Frames of the clip.
        masks: Masks of the clip (empty ones included).
        animal_frames: Masks with pixels: a frame's shape per animal.
        bytes: Size of the file.
        tracks: CVAT tracks (one per animal, more for animals in pieces);
            None for the other formats.
        shapes: CVAT shapes written, outside marks included (None for the
            other formats); against ``animal_frames``, what keyframes save.
        outside_shapes: CVAT shapes that mark an animal vanishing.
    """

    path: str
    format: str
    frames: int
    masks: int
    animal_frames: int
    bytes: int
    tracks: Optional[int] = None
    shapes: Optional[int] = None
    outside_shapes: Optional[int] = None

    def __str__(self) -> str:
        text = (f"{FORMAT_NAMES[self.format]}: {self.frames:,} frames, {self.animal_frames:,} masks with pixels, "
                f"{self.bytes / 2**20:.1f} MiB")
        if self.shapes is not None:
            share = self.shapes / self.animal_frames if self.animal_frames else 0.0
            marks = f"{self.outside_shapes:,} outside mark" + ("" if self.outside_shapes == 1 else "s")
            text += (f"; {self.tracks:,} tracks, {self.shapes:,} shapes ({marks}) "
                     f"for {self.animal_frames:,} animal-frames ({share:.1%})")
        return text


@dataclass(frozen=True)
class ImportSummary:
    """What ``import_tracks`` wrote.

    Attributes:
        out_dir: The folder of the annotation files.
        files: The annotation files, one per frame from 0, in frame order.
        animals: The object ids found, in increasing order.
        height, width: The frame size.
        image: The blank frame image written when no frames were given, else
            None.
    """

    out_dir: str
    files: list[str]
    animals: list[int]
    height: int
    width: int
    image: Optional[str]

    def __str__(self) -> str:
        return (f"{len(self.files):,} annotation files of {len(self.animals)} animals at "
                f"{self.height} x {self.width}")


def export_tracks(clip: Clipish, path: Union[str, os.PathLike[str]], format: str, *, tolerance: float = 0.02,
                  simplify: float = 1.0, label: str = "pig", name: Optional[str] = None, frame_offset: Optional[int] = None,
                  threads: Optional[int] = None) -> ExportSummary:
    """Writes a tracked clip's masks for an annotation tool.

    The animals' identities are their object ids: the mask key "Box<n>" is
    object n + 1 (the annotation files' "object_id").

    - "cvat": CVAT for video 1.1 XML (import it into a task made from the
      clip's frames). One polygon track per animal: the outline of its
      mask (outer contours through the pixel centres, as annotation files
      hold them; holes are filled). A shape is written only where the
      outline differs from the one the track shows by more than
      ``tolerance`` (1 - IoU of the two); an "outside" shape marks where
      the animal vanishes (an empty mask, or no mask in the frame). CVAT
      tracks hold one polygon per frame, so an animal in several pieces
      becomes several tracks; every shape carries the attribute "animal"
      (the object id), and reading the file joins them again. The first
      track of object n has the id n - 1. The outlines are simplified
      within ``simplify`` pixels (Douglas-Peucker) as long as the filled
      polygon keeps an IoU of 0.99 with the exact outline.
    - "coco": COCO video JSON: one video, an image per frame ("frame_id"
      the frame number, "file_name" the name of the record's image), an
      annotation per mask, empty ones included ("track_id" and
      "instance_id" the object id, "segmentation" pycocotools' compressed
      RLE, "bbox" and "area" as pycocotools computes them).
    - "mot": MOTChallenge rows "frame,id,x,y,w,h,1,1,1" of each mask's
      tight box; "mots": MOTS rows "frame id 1 height width rle". Frames
      are written plus ``frame_offset`` (1 by default: the benchmarks count
      frames from 1); empty masks give no row.

    Args:
        clip: An opened clip (``open_clip``), a mapping of frame records as
            ``get_gsam_annotation_data`` gives them, or a folder of
            annotation files.
        path: The file to write (replaced whole, atomically).
        format: "cvat", "coco", "mot" or "mots".
        tolerance: CVAT: the share of an outline's pixels that may change
            before a new shape is written, 0 to 1 (0: every change).
        simplify: CVAT: pixels within which outlines are simplified (0:
            every traced point, so the masks come back exactly).
        label: The animals' label (CVAT) or category (COCO).
        name: The task's (CVAT) or video's (COCO) name; the folder's name
            for a folder, else "clip".
        frame_offset: MOT and MOTS: added to the frame numbers.
        threads: Threads tracing outlines and encoding masks (None: one
            per core).

    Returns:
        ExportSummary; for CVAT with the tracks and shapes written.

    Raises:
        FileNotFoundError: a folder without annotation files.
        ValueError: an unknown format, a frame twice, masks of different
            sizes, mask keys that are not "Box<n>", a bad tolerance.
        TypeError: a clip of another type.
        OSError: the file cannot be written.
    """
    fmt = _format_name(format)
    if isinstance(tolerance, bool) or not isinstance(tolerance, (int, float)) or not 0 <= tolerance <= 1:
        raise ValueError(f"expected a tolerance from 0 to 1, got {tolerance!r}")
    if isinstance(simplify, bool) or not isinstance(simplify, (int, float)) or not 0 <= simplify <= 1e6:
        raise ValueError(f"expected simplify from 0 to 10^6 pixels, got {simplify!r}")
    offset = _offset(fmt, frame_offset)
    records, height, width, default_name = _records(clip)
    summary = _core._export_tracks(path, fmt, records, height, width, float(tolerance), float(simplify),  # type: ignore[attr-defined]
                                   str(label),
                                   name if name is not None else default_name, offset, _threads(threads))
    masks = sum(len(r[2]) for r in records)
    animal_frames = summary.get("animal_frames")
    if animal_frames is None:
        animal_frames = sum(1 for r in records for m in r[3] if _has_pixels(m))
    return ExportSummary(path=os.fspath(path), format=fmt, frames=len(records), masks=masks,
                         animal_frames=animal_frames, bytes=summary["bytes"], tracks=summary.get("tracks"),
                         shapes=summary.get("shapes"), outside_shapes=summary.get("outside_shapes"))


def read_tracks(path: Union[str, os.PathLike[str]], format: Optional[str] = None, *,
                frames: Union[str, os.PathLike[str], None] = None,
                frame_offset: Optional[int] = None) -> dict[int, dict[int, CompactMask]]:
    """Reads a track file into masks, frame by frame.

    Args:
        path: A CVAT for video XML, COCO video JSON, MOTChallenge or MOTS
            file.
        format: "cvat", "coco", "mot" or "mots"; None reads it from the file
            (".xml", ".json", else the first row).
        frames: The folder of the frames the clip was tracked on (file
            names ending in the frame number): their size is the masks' for
            a file that states none (MOTChallenge boxes need it), and must
            be the file's otherwise.
        frame_offset: MOT and MOTS: taken off the frame numbers (1 by
            default).

    Returns:
        Frame (0 to the last frame the file covers) -> object id ->
        CompactMask. COCO gives each frame's annotations in file order
        (an empty mask stays an entry); the other formats give every animal
        of the file in every frame, in increasing order, empty where it
        has no shape or row. See ``import_tracks`` for the mapping of ids.

    Raises:
        FileNotFoundError, OSError: a file that cannot be read.
        ValueError: a malformed file (naming the file and the line or
            member), a frame size that differs from the frames', a box file
            without frames.
    """
    tracks, _ = _read(path, format, frames, frame_offset)
    return {f: tracks.masks(f) for f in range(len(tracks))}


def import_tracks(path: Union[str, os.PathLike[str]], out_dir: Union[str, os.PathLike[str]],
                  format: Optional[str] = None, *, frames: Union[str, os.PathLike[str], None] = None,
                  frame_offset: Optional[int] = None, class_name: str = "pig",
                  threads: Optional[int] = None) -> ImportSummary:
    """Reads a track file back into annotation files that ``open_clip`` and
    ``get_gsam_annotation_data`` load.

    Writes ``out_dir/output_pp_<frame>.json`` for every frame from 0 to the
    last the file covers (frames without shapes become files without
    masks, or with every animal empty; see ``read_tracks``), each
    detection with its "object_id", "class_name", "xyxy" and outline, as
    ``write_annotation_file`` writes them. Ids map so that a clip comes back
    with its identities: a CVAT track's object id is its "animal" attribute
    (tracks sharing one are joined), else its track id + 1; COCO's is the
    annotation's "track_id" (or "instance_id"), MOTChallenge's and MOTS's
    the row's id. CVAT shapes hold until the track's next shape (CVAT's own
    exports list every frame); an outside shape ends them.

    The formats carry no image paths: with ``frames`` every record points
    at its frame's image there (file names ending in the frame number);
    without, one blank image of the file's frame size is written into
    ``out_dir`` (``blank_frame.png``) and every record points at it.

    Args:
        path: The track file.
        out_dir: Folder of the annotation files (created when missing). It
            may hold annotation files of these frames, which are replaced,
            but no others.
        format: As for ``read_tracks``.
        frames: Folder of the frame images the clip was tracked on.
        frame_offset: As for ``read_tracks``.
        class_name: The "class_name" of every detection.
        threads: Threads writing the files (None: one per core).

    Returns:
        ImportSummary.

    Raises:
        FileNotFoundError, OSError: a file that cannot be read or written.
        ValueError: as ``read_tracks``; a frame without an image in
            ``frames``; ``out_dir`` holding annotation files of other frames.
    """
    tracks, images = _read(path, format, frames, frame_offset)
    out = os.fspath(out_dir)
    count = len(tracks)
    targets = {f"output_pp_{f}.json" for f in range(count)}
    _refuse_other_annotation_files(out, targets)
    os.makedirs(out, exist_ok=True)
    blank = None
    if images is None:
        blank = os.path.abspath(os.path.join(out, BLANK_IMAGE))
        _write_blank_image(blank, tracks.height, tracks.width)
        paths = [blank] * count
    else:
        missing = [f for f in range(count) if f not in images]
        if missing:
            known = sorted(images)
            have = f"frames {known[0]} to {known[-1]}" if known else "none"
            raise ValueError(f"no image for frame {missing[0]} in {os.fspath(frames)!r} ({len(missing)} frames "
                             f"missing; its images are {have}): give the frames the clip was tracked on")
        paths = [images[f] for f in range(count)]
    files = tracks.write_annotation_files(out, paths, str(class_name), _threads(threads))
    animals = sorted({i for f in range(count) for i in tracks.masks(f)})
    return ImportSummary(out_dir=out, files=files, animals=animals, height=tracks.height, width=tracks.width,
                         image=blank)


# ------------------------------------------------------------------ helpers

def _format_name(format: Any) -> str:
    if not isinstance(format, str) or format.lower() not in FORMATS:
        raise ValueError(f"expected the format \"cvat\", \"coco\", \"mot\" or \"mots\", got {format!r}")
    return format.lower()


def _offset(fmt: str, frame_offset: Optional[int]) -> int:
    if frame_offset is None:
        return 1 if fmt in ("mot", "mots") else 0
    if isinstance(frame_offset, bool) or not isinstance(frame_offset, int):
        raise TypeError(f"expected a whole number for frame_offset, got {type(frame_offset).__name__}")
    if fmt not in ("mot", "mots") and frame_offset != 0:
        raise ValueError(f"frame_offset applies to MOT and MOTS files; {FORMAT_NAMES[fmt]} counts frames from 0")
    return frame_offset


def _threads(threads: Optional[int]) -> int:
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"expected threads of 1 or more (or None), got {threads!r}")
    return threads


def _identity(key: Any) -> int:
    match = _BOX_KEY.fullmatch(str(key))
    if match is None:
        raise ValueError(f"expected mask keys \"Box\" followed by a number, got {key!r}")
    return int(match.group(1)) + 1


def _image_name(image_path: Any) -> str:
    if isinstance(image_path, (str, os.PathLike)):
        text = os.fspath(image_path)
        if isinstance(text, str):
            return os.path.basename(text.replace("\\", "/"))
    return ""


def _has_pixels(mask: Any) -> bool:
    area = getattr(mask, "area", None)
    if isinstance(area, int):
        return area > 0
    import numpy as np

    return bool(np.any(np.asarray(mask)))


def _records(clip: Clipish) -> tuple[list[tuple[int, str, list[int], list[Any]]], int, int, str]:
    """(frame, image name, object ids, masks) per frame in frame order, the
    frame size and the default name of the clip."""
    from .._clip import Clip, open_clip

    name = "clip"
    if isinstance(clip, (str, os.PathLike)):
        folder = os.fspath(clip)
        if isinstance(folder, bytes):
            raise TypeError("expected a str path for the clip, got bytes")
        opened = open_clip(folder)
        if opened is None:
            raise FileNotFoundError(f"no annotation files (output_pp_<frame>.json) below {folder!r}")
        name = os.path.basename(os.path.normpath(os.path.abspath(folder))) or name
        clip = opened
    height = width = None
    if isinstance(clip, Clip):
        height, width = clip.height, clip.width
        source = ((clip[k]["frame_index"], clip[k]["image_path"], clip.animals(k)) for k in clip)
    elif isinstance(clip, Mapping):
        source = ((r["frame_index"], r.get("image_path"), _compact(r["masks_dict"])) for r in clip.values())
    else:
        raise TypeError(f"expected a clip, a mapping of frame records or a folder, got {type(clip).__name__}")
    records = []
    for frame, image, animals in source:
        keys = list(animals)
        records.append((int(frame), _image_name(image), [_identity(k) for k in keys], [animals[k] for k in keys]))
    records.sort(key=lambda r: r[0])
    if height is None:
        first = next((m for r in records for m in r[3]), None)
        if first is None:
            raise ValueError("expected at least one mask in the frame records, to know the frame size")
        shape = first.shape if hasattr(first, "shape") else _shape(first)
        height, width = int(shape[-2]), int(shape[-1])
    return records, height, width, name


def _shape(mask: Any) -> tuple[int, ...]:
    import numpy as np

    return np.shape(mask)


def _compact(masks_dict: Any) -> Mapping[Any, Any]:
    compact = getattr(masks_dict, "compact", None)
    return compact() if compact is not None else masks_dict


def sniff_format(path: str) -> str:
    """The format of a track file: by its suffix (".xml", ".json"), else its
    first bytes ("<" XML, "{" JSON), else its first row (a comma or seven or
    more values: MOTChallenge; six: MOTS)."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".xml":
        return "cvat"
    if suffix == ".json":
        return "coco"
    with open(path, "rb") as fh:
        head = fh.read(1 << 16)
    text = head.decode("utf-8", "replace").lstrip("\ufeff \t\r\n")
    if text.startswith("<"):
        return "cvat"
    if text.startswith("{"):
        return "coco"
    for line in text.splitlines():
        if line.strip():
            return "mot" if "," in line or len(line.split()) >= 7 else "mots"
    raise ValueError(f"{path!r} holds no rows: its format cannot be told (pass format=)")


def frame_images(folder: Union[str, os.PathLike[str]]) -> dict[int, str]:
    """Frame number -> absolute path of the images in `folder` whose names
    (without the suffix) end in that number."""
    found: dict[int, str] = {}
    root = os.path.abspath(os.fspath(folder))
    names = sorted(os.listdir(root))
    for name in names:
        stem, ext = os.path.splitext(name)
        match = _TRAILING_DIGITS.search(stem)
        if match and ext.lower() in IMAGE_SUFFIXES:
            frame = int(match.group(1))
            if frame in found:
                raise ValueError(f"two images of frame {frame} in {root!r}: {os.path.basename(found[frame])!r} "
                                 f"and {name!r}")
            found[frame] = os.path.join(root, name)
    return found


def _image_size(path: str) -> tuple[int, int]:
    from PIL import Image

    with Image.open(path) as im:
        return im.height, im.width


def _read(path: Any, format: Optional[str], frames: Any, frame_offset: Optional[int]) -> tuple[Any, Optional[dict[int, str]]]:
    p = os.fspath(path)
    if isinstance(p, bytes):
        raise TypeError("expected a str path for the track file, got bytes")
    if not os.path.isfile(p):
        raise FileNotFoundError(f"no track file {p!r}")
    fmt = _format_name(format) if format is not None else sniff_format(p)
    offset = _offset(fmt, frame_offset)
    images = None
    height = width = 0
    if frames is not None:
        images = frame_images(frames)
        if not images:
            raise ValueError(f"no frame images (names ending in the frame number) in {os.fspath(frames)!r}")
        height, width = _image_size(images[min(images)])
    elif fmt == "mot":
        raise ValueError(f"{p!r} holds boxes without a frame size: give the frames the clip was tracked on "
                         "(frames=, --frames DIR)")
    tracks = _core._read_tracks(p, fmt, height, width, offset)  # type: ignore[attr-defined]
    if images is not None and len(tracks) and (tracks.height, tracks.width) != (height, width):
        raise ValueError(f"the masks of {p!r} are {tracks.height} x {tracks.width}, the frames in "
                         f"{os.fspath(frames)!r} {height} x {width}")
    return tracks, images


def _refuse_other_annotation_files(out: str, targets: set[str]) -> None:
    if not os.path.isdir(out):
        return
    for folder, dirs, files in os.walk(out):
        dirs.sort()
        for name in sorted(files):
            if _ANNOTATION_NAME.fullmatch(name) and not (folder == out and name in targets):
                raise ValueError(f"{out!r} already holds annotation files of other frames ({os.path.join(folder, name)!r}); "
                                 "the clip would load them with these: import into an empty folder")


def _write_blank_image(path: str, height: int, width: int) -> None:
    import io

    from PIL import Image

    buf = io.BytesIO()
    Image.new("RGB", (width, height)).save(buf, format="PNG")
    _core._io.write_file(path, buf.getvalue())  # type: ignore[attr-defined]
