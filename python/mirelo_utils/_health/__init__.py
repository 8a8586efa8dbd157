"""The identity-health page of a tracked clip.

``clip_health_report`` reads a clip's frame records (areas and intersection
tables for every frame, masks and images only for the frames it pictures),
writes one self-contained ``index.html`` and the tracking question report
beside it, and returns one row per animal. The per-frame numbers come from
the records and the core's calls (the tracking report, runs of consecutive
frames, mask and box IoU, appearance features, the small-area check and the
last-frame choice); the package gathers them in steps:

- ``scan``: every frame's areas and heavy overlaps;
- ``episodes``: overlap episodes, how each is judged, the per-animal table;
- ``plots``: the counts, the area grid and the episodes' pictures;
- ``advice``: the hand-over advice;
- ``page``: the page as data (frozen records) and its rendering by the
  Jinja2 template ``templates/index.html.jinja``.

This module holds the entry point and the checks of its inputs. The steps,
and numpy, pandas, Pillow, matplotlib and Jinja2, are imported by the call,
so ``import mirelo_utils`` stays light.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Optional, Union

from .. import _core
from .._clip import open_clip
from .._core import _io
from .._support import shown_text
from .options import HandOverSettings, PageOptions, hand_over_settings

if TYPE_CHECKING:
    import pandas as pd

    from .page import Page
    from .scan import Scan

__all__ = ["ANIMAL_COLUMNS", "CheckedClip", "HandOverSettings", "PAGE_NAME", "PageOptions", "build_page",
           "check_and_write", "check_clip", "clip_health_report", "write_report"]

PAGE_NAME = "index.html"
REPORT_NAME = "tracking_question_report.csv"

#: Columns of the per-animal table, in order.
ANIMAL_COLUMNS = [
    "Frames present",
    "Frames with zero area",
    "Frames in heavy overlap",
    "Overlap episodes",
    "Times named as failing track",
    "First suspect frame",
    "Confidence",
]

ProgressFn = Callable[[str, int, int], None]


# ------------------------------------------------------------------ inputs


def _out_folder(out_dir: Any) -> tuple[str, list[str]]:
    """The output folder as a text, created when missing and proved writable
    by a probe file, so that a bad folder fails before any work is done; and
    the folders this call created, deepest first."""
    if not isinstance(out_dir, (str, os.PathLike)):
        raise TypeError(f"expected a folder path (str or os.PathLike) for out_dir, got {type(out_dir).__name__}")
    folder = os.fsdecode(out_dir)
    if not folder:
        raise ValueError("expected a folder path for out_dir, got an empty text")
    if "\x00" in folder:
        raise ValueError(f"expected a folder path without NUL characters for out_dir, got {folder!r}")
    created: list[str] = []
    try:
        _make_folders(folder, created)
        # The probe goes through the core's atomic writer under a fixed name:
        # a run killed while it exists leaves either that name, which the next
        # probe replaces and removes, or the writer's own temporary, which the
        # next probe's write sweeps away with the other stale temporaries.
        probe = os.path.join(folder, ".index.html.probe")
        _io.write_file(probe, b"")
        os.unlink(probe)
    except FileExistsError:
        remove_created(created)
        raise NotADirectoryError(f"cannot write the health report into out_dir {folder!r}: not a folder") from None
    except OSError as e:
        remove_created(created)
        reason = e.strerror or str(e)
        raise type(e)(f"cannot write the health report into out_dir {folder!r}: {reason}") from None
    return folder, created


def _make_folders(folder: str, created: list[str]) -> None:
    """os.makedirs(folder, exist_ok=True), noting in `created` (deepest
    first) the folders it made, so that a refusal can take them back."""
    missing = []
    path = os.path.abspath(folder)
    while not os.path.isdir(path):
        missing.append(path)
        parent = os.path.dirname(path)
        if parent == path:
            break
        path = parent
    for path in reversed(missing):
        try:
            os.mkdir(path)
        except FileExistsError:
            if not os.path.isdir(path):
                raise
            continue
        created.insert(0, path)


def remove_created(created: list[str]) -> None:
    """Removes the folders a refused run made, deepest first, as long as
    they are empty (whatever landed in them since stays)."""
    for path in created:
        try:
            os.rmdir(path)
        except OSError:
            return


def _open_records(clip: Any) -> tuple[Optional[Mapping], Optional[str]]:
    """The frame records and, for a clip folder, its path. (None, folder)
    when the folder holds no annotation files (the loader has said so)."""
    if isinstance(clip, (str, os.PathLike)):
        folder = os.fsdecode(clip)
        return open_clip(folder), folder
    if isinstance(clip, Mapping):
        return clip, None
    raise TypeError(
        f"expected a clip (a Mapping of frame key -> frame record) or a clip folder for clip, got {type(clip).__name__}"
    )


def _title(records: Mapping, folder: Optional[str], first_key: Any) -> str:
    if folder is not None:
        return folder
    first = records[first_key]
    path = first.get("json_path") if isinstance(first, Mapping) else None
    if isinstance(path, str) and path:
        return os.path.dirname(path) or path
    return "tracked clip"


def _corrections(records: Mapping, folder: Optional[str], keys: list) -> tuple[tuple, Optional[str]]:
    """The rows of the clip's corrections log, when its folder (given, or
    the one holding the records' annotation files) has one; and the reason
    it could not be read."""
    from .._corrections import LOG_NAME, frames_text, history
    from .page import CorrectionRow

    if folder is None:
        paths = [records[k].get("json_path") if isinstance(records[k], Mapping) else None for k in (keys[0], keys[-1])]
        if not all(isinstance(p, str) and p for p in paths):
            return (), None
        try:
            folder = os.path.commonpath([os.path.dirname(p) or "." for p in paths])
        except ValueError:  # one absolute, one relative
            return (), None
    if not os.path.isfile(os.path.join(folder, LOG_NAME)):
        return (), None
    try:
        entries = history(folder)
    except (OSError, ValueError) as e:
        return (), shown_text(str(e))
    rows = []
    for c in entries:
        rows.append(CorrectionRow(
            edit=c.edit, time=c.time, operation=c.operation,
            arguments=shown_text(c.arguments_text()), frames=frames_text(c.frames), files=len(c.files), undoes=c.undoes, undone_by=c.undone_by))
    return tuple(rows), None


def _no_progress(stage: str, done: int, total: int) -> None:
    pass


# ------------------------------------------------------------------- steps


@dataclass(frozen=True)
class CheckedClip:
    """What the check of a clip found: the page, the per-animal table, the
    scan of every frame's areas and overlaps, and the tracking question
    report's result (overlap rows, zero-area rows, frames, last frame)."""

    page: Page
    table: pd.DataFrame
    scan: Scan
    report: tuple


def build_page(clip: Any, folder: str, image_predictor: Any, options: PageOptions,
               progress: Optional[ProgressFn] = None) -> Optional[tuple[Page, pd.DataFrame]]:
    """The page of a clip and its per-animal table; writes the tracking
    question report into `folder` on the way. None when `clip` is a folder
    without annotation files."""
    checked = check_clip(clip, folder, image_predictor, options, progress)
    return None if checked is None else (checked.page, checked.table)


def check_clip(clip: Any, folder: str, image_predictor: Any, options: PageOptions,
               progress: Optional[ProgressFn] = None) -> Optional[CheckedClip]:
    """build_page, with the scan and the report it made on the way."""
    from . import advice, episodes, page, plots, scan

    step = progress or _no_progress
    step("Loading the clip", 0, 1)
    records, clip_folder = _open_records(clip)
    if records is None:
        return None
    if len(records) == 0:
        raise ValueError("expected a clip with at least one frame record, got an empty mapping")
    step("Loading the clip", 1, 1)

    threshold = options.threshold
    frames = scan.scan_frames(records, threshold, step)
    report = _core.generate_tracking_report(records, folder, threshold)
    if report[0].empty and not report[1]:
        header = ",".join(report[0].columns) + "\n"
        _io.write_file(os.path.join(folder, REPORT_NAME), header.encode("utf-8"))

    found = episodes.find_episodes(frames, options.min_episode_frames)
    reader = scan.FrameReader(records, frames)
    pictured = min(len(found), options.max_pictured_episodes)
    for n, ep in enumerate(found):
        episodes.judge_episode(ep, frames, reader, image_predictor)
        if n < pictured:
            pair = (frames.animals[ep.a], frames.animals[ep.b])
            ep.pictures = [(f, plots.thumbnail(reader, f, pair)) for f in dict.fromkeys((ep.first, ep.last))]
        step("Judging overlap episodes", n + 1, len(found))

    values = episodes.animal_values(frames, found)
    table = episodes.animal_table(frames, values)
    present, distinct = scan.counts(frames)
    step("Drawing the plots", 0, 2)
    counts_uri = plots.counts_plot(frames, present, distinct, options.expected_animals)
    step("Drawing the plots", 1, 2)
    area_uri = plots.area_grid(frames, [episodes.in_episodes(frames, i, found) for i in range(len(frames.animals))])
    step("Drawing the plots", 2, 2)

    name = [shown_text(str(k)) for k in frames.animals]
    rows = tuple(page.AnimalRow(name[i], *row) for i, row in enumerate(values))
    episode_rows = []
    for number, ep in enumerate(found, 1):
        a, b = name[ep.a], name[ep.b]
        episode_rows.append(page.EpisodeRow(
            number=number,
            first_frame=ep.first,
            last_frame=ep.last,
            frames=ep.frames,
            pair=(a, b),
            suspects=tuple(name[i] for i in ep.suspects),
            shape_mismatch=ep.shape,
            box_mismatch=ep.box,
            appearance_mismatch=ep.appearance if image_predictor is not None else None,
            swapped=ep.swapped,
            compared=tuple(ep.edges),
            pictures=tuple(page.Picture(f"Frame {f}, {a} and {b}", uri, f"frame {f}") for f, uri in ep.pictures),
        ))
    title = options.title if options.title is not None else _title(records, clip_folder, frames.keys[0])
    corrections, corrections_error = _corrections(records, clip_folder, frames.keys)
    result = page.Page(
        title=shown_text(title),
        frame_count=len(frames.frames),
        first_frame=int(frames.frames[0]),
        last_frame=int(frames.frames[-1]),
        expected_animals=options.expected_animals,
        threshold=threshold,
        frames_short=int((distinct < options.expected_animals).sum()),
        frames_over=int((present > options.expected_animals).sum()),
        counts_plot=page.Picture("Expected and observed animal counts per frame", counts_uri),
        area_plot=page.Picture("Mask area per frame of each animal", area_uri),
        animals=rows,
        episodes=tuple(episode_rows),
        pictured_episodes=pictured,
        with_predictor=image_predictor is not None,
        hand_over=advice.hand_over(records, frames, options.hand_over, options.expected_animals),
        corrections=corrections,
        corrections_error=corrections_error,
    )
    return CheckedClip(result, table, frames, report)


def write_report(clip: Any, out_dir: Any, image_predictor: Any, options: PageOptions,
                 progress: Optional[ProgressFn] = None) -> Optional[pd.DataFrame]:
    """clip_health_report with its options as one record (the cluster
    variant's task calls this)."""
    checked = check_and_write(clip, out_dir, image_predictor, options, progress)
    return None if checked is None else checked.table


def check_and_write(clip: Any, out_dir: Any, image_predictor: Any, options: PageOptions,
                    progress: Optional[ProgressFn] = None) -> Optional[CheckedClip]:
    """write_report, giving all that the check found (the recording runner
    keeps the scan and the report for the recording's page)."""
    folder, created = _out_folder(out_dir)
    try:
        checked = check_clip(clip, folder, image_predictor, options, progress)
        if checked is None:
            remove_created(created)
            return None
        from .page import render

        # Every text of the page was made showable; the page is UTF-8.
        _io.write_file(os.path.join(folder, PAGE_NAME), render(checked.page).encode("utf-8"))
    except BaseException:
        remove_created(created)
        raise
    if progress is not None:
        progress("Writing the page", 1, 1)
    return checked


# ------------------------------------------------------------------- entry


def clip_health_report(
    clip: Union[Mapping[Any, Mapping[str, Any]], str, os.PathLike],
    out_dir: Union[str, os.PathLike],
    image_predictor: Any = None,
    *,
    expected_animals: int = 10,
    intersection_thrr: float = 80,
    min_episode_frames: int = 2,
    max_pictured_episodes: int = 40,
    hand_over: Optional[HandOverSettings] = None,
    min_frame_id: Optional[float] = None,
    area_threshold: Optional[float] = None,
    min_count: Optional[float] = None,
    min_area: Optional[float] = None,
    max_attempts: Optional[int] = None,
    title: Optional[str] = None,
    progress: Optional[ProgressFn] = None,
) -> Optional[pd.DataFrame]:
    """Writes the identity-health page of a tracked clip and returns its
    per-animal summary.

    Writes ``out_dir/index.html``, one self-contained page (images embedded
    as data URIs; no network and no JavaScript needed), and the tracking
    question report ``out_dir/tracking_question_report.csv`` beside it (by
    ``generate_tracking_report``; a header-only file when there is nothing to
    report). Both replace earlier files whole, through temporaries. The page
    shows the expected and observed animal counts per frame, each animal's
    mask area over the frames (a grid of small plots with shared axes) with
    zero-area frames and overlap episodes shaded, the table of overlap
    episodes with their evidence and pictures of their first and last frames
    (drawn by ``img_bbx_drawing``), and the hand-over advice: the tracks
    ``find_boxes_with_small_area_from_last_video`` would remove and the frame
    ``find_best_laste_frame`` would pick, with the settings given (run on
    copies of the last frames' masks: the caller's records are not changed);
    the page names the settings. Names that are not UTF-8 (a clip folder's,
    say) show the replacement character on the page.

    Every frame's "mask_areas" and "intersections_df" are read; masks and
    images only for the frames around the overlap episodes, their pictures
    and the last frames. An overlap episode is a run of at least
    ``min_episode_frames`` consecutive frames in which two animals overlap
    heavily (a cell of the intersection table above ``intersection_thrr``,
    either way round). Its evidence compares each of the two masks across
    the entry (the frame before the episode -> its first frame) and the exit
    (its last frame -> the frame after), keeping the larger value: shape
    mismatch 1 - mask IoU, box mismatch 1 - box IoU and, with an image
    predictor, appearance mismatch 1 - cosine similarity of the predictor's
    features. The identities count as swapped when the masks after the
    episode are more similar (sum of those similarities) to the other
    animal's mask before it than to their own; both animals are then named
    as failing tracks, otherwise the one whose mask changed more (larger
    total mismatch; the first of the pair on a tie): a track that fails in
    an overlap jumps onto the other animal.

    Confidence of an animal, in [0, 1]:
    ``clean / frames * 0.5 ** named``, where ``clean`` counts the frames in
    which its mask has a non-zero area (above 0.1 pixel) and is in no heavy
    overlap, ``frames`` is the number of frames of the clip and ``named``
    the number of episodes in which it was named as a failing track.

    Args:
        clip: The frame records: a clip of ``open_clip`` (its masks are read
            as runs, painted only for the pictures), the records of
            ``get_gsam_annotation_data`` or any Mapping of frame key ->
            record of that form; or a clip folder, opened with ``open_clip``.
            Frame keys are whole numbers.
        out_dir: Folder of the page and the report; created when missing
            (and removed again, when this call made it, if the call fails or
            finds no annotation files).
        image_predictor: The image predictor, for the appearance evidence;
            None to judge by shape and box only.
        expected_animals: Animals in the pen.
        intersection_thrr: Percentage of a mask covered by another above
            which the two overlap heavily (as in generate_tracking_report).
        min_episode_frames: Shortest overlap episode, in frames.
        max_pictured_episodes: Episodes pictured (the first ones); every
            episode is listed.
        hand_over: The settings of the hand-over advice
            (``HandOverSettings``); its defaults when None.
        min_frame_id, area_threshold, min_count, min_area, max_attempts: One
            setting of the hand-over advice each, replacing that of
            ``hand_over`` (see ``HandOverSettings``); None keeps it.
        title: Page title; by default the clip folder (or the folder of the
            first record's "json_path").
        progress: Called as ``progress(stage, done, total)`` as the work
            goes on.

    Returns:
        pandas DataFrame indexed by the mask key ("Animal"), one row per
        animal in order of first appearance, with the columns "Frames
        present", "Frames with zero area", "Frames in heavy overlap",
        "Overlap episodes", "Times named as failing track", "First suspect
        frame" (nullable integer, <NA> when never suspect) and "Confidence".
        None when ``clip`` is a folder without annotation files (after the
        loader's message "No JSON files found in ...").

    Raises:
        TypeError: clip is neither a Mapping nor a folder path; frame keys
            that are not whole numbers; records of the wrong form; an
            option that is not a number.
        ValueError: an empty clip; a bad option; frame keys beyond 64 bits,
            mask areas that are not finite, an "image_path" that no file
            name can be.
        KeyError: a record without "mask_areas", "intersections_df" or, for a
            pictured frame, "masks_dict" or "image_path".
        NotADirectoryError, PermissionError, OSError: out_dir cannot be
            written (raised before the clip is read).
        ImportError: matplotlib is not installed.
    """
    options = PageOptions(
        expected_animals=expected_animals,
        intersection_thrr=intersection_thrr,
        min_episode_frames=min_episode_frames,
        max_pictured_episodes=max_pictured_episodes,
        hand_over=hand_over_settings(hand_over, min_frame_id=min_frame_id, area_threshold=area_threshold,
                                     min_count=min_count, min_area=min_area, max_attempts=max_attempts),
        title=title,
    )
    if progress is not None and not callable(progress):
        raise TypeError(f"expected a callable or None for progress, got {type(progress).__name__}")
    return write_report(clip, out_dir, image_predictor, options, progress)
