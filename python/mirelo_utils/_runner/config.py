"""The recording runner's settings: one frozen record per table of the
configuration file, checked when made, shared by ``track_recordings``, its
cluster variant and the command line; and the reader of the TOML file."""

from __future__ import annotations

import dataclasses
import math
import numbers
import os
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Optional

from .._health.options import HandOverSettings

__all__ = [
    "CheckSettings",
    "ConfigError",
    "InitialisationSettings",
    "ModelSettings",
    "PenSettings",
    "RecordingSettings",
    "RefinementSettings",
    "RunConfig",
    "WindowSettings",
    "load_config",
]

DEFAULT_PATTERN = r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4"


class ConfigError(ValueError):
    """A run that cannot start as configured: the message names the key or
    the file at fault. Raised before anything is written."""


# ----------------------------------------------------------------- checks


def _fail(key: str, expected: str, value: Any) -> ConfigError:
    return ConfigError(f"{key}: expected {expected}, got {type(value).__name__} {value!r}")


def _whole(value: Any, key: str, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < low:
        raise _fail(key, f"a whole number >= {low}", value)
    return int(value)


def _real(value: Any, key: str, low: float = -math.inf, above: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise _fail(key, "a finite number", value)
    if value < low or (above and value == low):
        raise _fail(key, f"a number {'above' if above else '>='} {low:g}", value)
    return float(value) if not isinstance(value, numbers.Integral) else int(value)


def _text(value: Any, key: str) -> str:
    if not isinstance(value, str) or not value:
        raise _fail(key, "a non-empty text", value)
    if "\x00" in value:
        raise ConfigError(f"{key}: expected a text without NUL characters, got {value!r}")
    return value


def _path(value: Any, key: str) -> str:
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    return _text(value, key)


def _flag(value: Any, key: str) -> bool:
    if not isinstance(value, bool):
        raise _fail(key, "true or false", value)
    return value


def _texts(value: Any, key: str, allow_empty: bool = False) -> tuple[str, ...]:
    if isinstance(value, (str, bytes)) or not isinstance(value, (list, tuple)):
        raise _fail(key, "a list of texts", value)
    out = []
    for i, v in enumerate(value):
        if not isinstance(v, str) or (not v and not allow_empty):
            raise _fail(f"{key}[{i}]", "a non-empty text" if not allow_empty else "a text", v)
        out.append(v)
    return tuple(out)


def _set(record: Any, name: str, value: Any) -> None:
    object.__setattr__(record, name, value)


# ---------------------------------------------------------------- records


@dataclass(frozen=True)
class RecordingSettings:
    """Which recordings to track: the MP4 files of ``folder`` (its
    ``sub_dirs``, filtered as ``VideoMetadata`` filters them), or the rows
    of a video table (a CSV file with the columns "Video Name", "File Path",
    "Date" and "Camera Number", as ``VideoMetadata`` makes it).

    Attributes:
        folder: Folder of the recordings (``VideoMetadata``'s base_dir).
        sub_dirs: Its sub-folders to list; "" is the folder itself.
        video_table: The video table instead of ``folder``.
        camera_number, filter_start, filter_end, sample_step, top_n,
            match_pattern: ``VideoMetadata``'s filters of the folder (its
            defaults, except that every recording is kept: sample_step 1).
    """

    folder: Optional[str] = None
    sub_dirs: tuple[str, ...] = ("",)
    video_table: Optional[str] = None
    camera_number: Optional[str] = None
    filter_start: str = "06:00:00"
    filter_end: str = "17:00:00"
    sample_step: int = 1
    top_n: int = -1
    match_pattern: str = DEFAULT_PATTERN

    def __post_init__(self) -> None:
        if (self.folder is None) == (self.video_table is None):
            raise ConfigError("recordings: expected either recordings.folder or recordings.video_table")
        if self.folder is not None:
            _set(self, "folder", _path(self.folder, "recordings.folder"))
        if self.video_table is not None:
            _set(self, "video_table", _path(self.video_table, "recordings.video_table"))
        _set(self, "sub_dirs", _texts(self.sub_dirs, "recordings.sub_dirs", allow_empty=True))
        if self.camera_number is not None:
            _set(self, "camera_number", str(_text(str(self.camera_number), "recordings.camera_number")))
        for name in ("filter_start", "filter_end", "match_pattern"):
            _text(getattr(self, name), f"recordings.{name}")
        if isinstance(self.sample_step, bool) or not isinstance(self.sample_step, numbers.Integral) \
                or self.sample_step == 0:
            raise _fail("recordings.sample_step", "a whole number other than 0", self.sample_step)
        if isinstance(self.top_n, bool) or not isinstance(self.top_n, numbers.Integral):
            raise _fail("recordings.top_n", "a whole number", self.top_n)


@dataclass(frozen=True)
class PenSettings:
    """The camera's pen.

    Attributes:
        file: The pen polygon file, in the pixels of the cropped (and
            resized) frames.
        animals: Animals in the pen: the first frame of a track must show
            exactly this many, and a hand-over carries them (less the tracks
            it drops).
    """

    file: str
    animals: int = 10

    def __post_init__(self) -> None:
        _set(self, "file", _path(self.file, "pen.file"))
        _whole(self.animals, "pen.animals", 1)


@dataclass(frozen=True)
class ModelSettings:
    """Where the models come from.

    Attributes:
        factory: "module:function"; the function, called with ``options`` as
            keyword arguments, returns the models: a ``Models`` record, a
            mapping or an object with the fields of ``Models``.
        paths: Folders put in front of the import path before the module is
            imported (the configuration file's folder for relative ones).
        options: Keyword arguments of the factory.
        offload_video_to_cpu, offload_state_to_cpu: Passed to the video
            predictor's ``init_state``: keep the window's frames, or the
            tracking state, in host memory instead of the GPU's.
    """

    factory: str
    paths: tuple[str, ...] = ()
    options: Mapping[str, Any] = field(default_factory=dict)
    offload_video_to_cpu: bool = False
    offload_state_to_cpu: bool = False

    def __post_init__(self) -> None:
        target = _text(self.factory, "models.factory")
        module, _, function = target.partition(":")
        if not module or not function.isidentifier() or not all(p.isidentifier() for p in module.split(".")):
            raise ConfigError(f"models.factory: expected \"module:function\", got {target!r}")
        _set(self, "paths", _texts(self.paths, "models.paths"))
        if not isinstance(self.options, Mapping) or not all(isinstance(k, str) for k in self.options):
            raise _fail("models.options", "a table of keyword arguments", self.options)
        _set(self, "options", dict(self.options))
        _flag(self.offload_video_to_cpu, "models.offload_video_to_cpu")
        _flag(self.offload_state_to_cpu, "models.offload_state_to_cpu")

    @property
    def module(self) -> str:
        return self.factory.partition(":")[0]

    @property
    def function(self) -> str:
        return self.factory.partition(":")[2]


@dataclass(frozen=True)
class WindowSettings:
    """How a recording is cut into windows (``VideoProcessor``'s settings).

    Attributes:
        minutes: Length of a window (``time_step``).
        frame_skip: Keep every frame_skip-th frame.
        resize_height: Height of the saved frames (aspect kept); None keeps
            the size.
        crop: Crop the frames beside the orange marker.
        crop_side: "left" or "right" of the marker.
        crop_window: The crop window (x1, y1, x2, y2) to use instead of the
            one found on the recording's first window.
    """

    minutes: float = 0.1
    frame_skip: int = 1
    resize_height: Optional[int] = None
    crop: bool = True
    crop_side: str = "left"
    crop_window: Optional[tuple[int, int, int, int]] = None

    def __post_init__(self) -> None:
        _real(self.minutes, "windows.minutes", 0, above=True)
        _whole(self.frame_skip, "windows.frame_skip", 1)
        if self.resize_height is not None:
            _whole(self.resize_height, "windows.resize_height", 1)
        _flag(self.crop, "windows.crop")
        if self.crop_side not in ("left", "right"):
            raise _fail("windows.crop_side", "\"left\" or \"right\"", self.crop_side)
        if self.crop_window is not None:
            w = self.crop_window
            if isinstance(w, (str, bytes)) or not isinstance(w, (list, tuple)) or len(w) != 4:
                raise _fail("windows.crop_window", "four whole numbers [x1, y1, x2, y2]", w)
            _set(self, "crop_window", tuple(_whole(v, f"windows.crop_window[{i}]", 0) for i, v in enumerate(w)))


@dataclass(frozen=True)
class InitialisationSettings:
    """How a track starts from the detector (``initializer``).

    Attributes:
        step: Frames between the candidates for the first frame.
        text_threshold: Text threshold of the detector's post-processing.
    """

    step: int = 10
    text_threshold: float = 0.25

    def __post_init__(self) -> None:
        _whole(self.step, "initialisation.step", 1)
        _real(self.text_threshold, "initialisation.text_threshold", 0)


@dataclass(frozen=True)
class RefinementSettings:
    """``Mask_Refinement``'s tuning (its arguments of the same names)."""

    min_area_ratio: float = 0.3
    max_distance_ratios: tuple[float, float] = (0.5, 1.5)
    max_prev_dist: float = 200

    def __post_init__(self) -> None:
        _real(self.min_area_ratio, "refinement.min_area_ratio", 0)
        r = self.max_distance_ratios
        if isinstance(r, (str, bytes)) or not isinstance(r, (list, tuple)) or len(r) != 2:
            raise _fail("refinement.max_distance_ratios", "two numbers", r)
        _set(self, "max_distance_ratios",
             tuple(_real(v, f"refinement.max_distance_ratios[{i}]", 0) for i, v in enumerate(r)))
        _real(self.max_prev_dist, "refinement.max_prev_dist", 0)


@dataclass(frozen=True)
class CheckSettings:
    """The checks of every tracked window (``clip_health_report``'s options).

    Attributes:
        expected_animals: Animals the page expects; None for the pen's.
        intersection_threshold: ``intersection_thrr`` of the report.
        min_episode_frames, max_pictured_episodes: As in
            ``clip_health_report``.
        appearance: Judge overlap episodes by the image predictor's features
            too (as the overlap analysis always does).
    """

    expected_animals: Optional[int] = None
    intersection_threshold: float = 80
    min_episode_frames: int = 2
    max_pictured_episodes: int = 40
    appearance: bool = True

    def __post_init__(self) -> None:
        if self.expected_animals is not None:
            _whole(self.expected_animals, "checks.expected_animals", 0)
        _real(self.intersection_threshold, "checks.intersection_threshold")
        _whole(self.min_episode_frames, "checks.min_episode_frames", 1)
        _whole(self.max_pictured_episodes, "checks.max_pictured_episodes", 0)
        _flag(self.appearance, "checks.appearance")


@dataclass(frozen=True)
class RunConfig:
    """Everything a run is told: what to track, with which models and
    settings, and where the results go. Relative paths are taken from the
    current folder (``load_config`` makes those of a file absolute, from
    the file's folder).

    Attributes:
        output: Folder of the run's results.
        recordings: Which recordings.
        pen: The camera's pen file and its animals.
        models: The model factory.
        windows, initialisation, refinement, checks: The settings of those
            steps.
        hand_over: The hand-over's settings; its ``pen_animals`` is the
            pen's animals.
        source: The configuration file, when read from one.
    """

    output: str
    recordings: RecordingSettings
    pen: PenSettings
    models: ModelSettings
    windows: WindowSettings = WindowSettings()
    initialisation: InitialisationSettings = InitialisationSettings()
    refinement: RefinementSettings = RefinementSettings()
    checks: CheckSettings = CheckSettings()
    hand_over: HandOverSettings = HandOverSettings()
    source: Optional[str] = None

    def __post_init__(self) -> None:
        _set(self, "output", _path(self.output, "output"))
        for name, kind in (("recordings", RecordingSettings), ("pen", PenSettings), ("models", ModelSettings),
                           ("windows", WindowSettings), ("initialisation", InitialisationSettings),
                           ("refinement", RefinementSettings), ("checks", CheckSettings),
                           ("hand_over", HandOverSettings)):
            if not isinstance(getattr(self, name), kind):
                raise _fail(name, f"a {kind.__name__}", getattr(self, name))
        if self.hand_over.pen_animals != self.pen.animals:
            _set(self, "hand_over", dataclasses.replace(self.hand_over, pen_animals=self.pen.animals))

    @property
    def expected_animals(self) -> int:
        return self.pen.animals if self.checks.expected_animals is None else self.checks.expected_animals


# ------------------------------------------------------------------- file

# Per table: the record and the keys a file may give (the record's fields,
# less those that come from elsewhere).
_TABLES: dict[str, tuple[Any, tuple[str, ...]]] = {
    "recordings": (RecordingSettings, ()),
    "pen": (PenSettings, ()),
    "models": (ModelSettings, ()),
    "windows": (WindowSettings, ()),
    "initialisation": (InitialisationSettings, ()),
    "refinement": (RefinementSettings, ()),
    "checks": (CheckSettings, ()),
    "hand_over": (HandOverSettings, ("pen_animals",)),
}
_REQUIRED_TABLES = ("recordings", "pen", "models")
# Keys holding paths, resolved from the file's folder.
_PATHS = {("recordings", "folder"), ("recordings", "video_table"), ("pen", "file")}


def _toml() -> Any:
    if sys.version_info >= (3, 11):
        import tomllib

        return tomllib
    import tomli  # type: ignore[import-not-found, unused-ignore]  # the same reader, installed on Python 3.10

    return tomli


def _keys(kind: Any, excluded: tuple[str, ...]) -> list[str]:
    return [f.name for f in dataclasses.fields(kind) if f.name not in excluded]


def load_config(path: str | os.PathLike[str]) -> RunConfig:
    """Reads a configuration file (TOML) into a ``RunConfig``.

    Relative paths in it (``output``, ``recordings.folder``,
    ``recordings.video_table``, ``pen.file``, ``models.paths``) are taken
    from the file's folder.

    Raises:
        ConfigError: The file cannot be read or parsed, or holds an unknown
            key, a missing required key or a value of the wrong kind (the
            message names the key).
    """
    source = os.path.abspath(os.fspath(path))
    try:
        with open(source, "rb") as f:
            data = _toml().load(f)
    except OSError as e:
        raise ConfigError(f"cannot read the configuration file {source!r}: {e.strerror or e}") from None
    except ValueError as e:  # the TOML reader's decode error
        raise ConfigError(f"{source}: not a valid TOML file: {e}") from None
    base = os.path.dirname(source)

    def resolved(value: Any) -> Any:
        return os.path.normpath(os.path.join(base, value)) if isinstance(value, str) and value else value

    known = {"output", *_TABLES}
    for key in data:
        if key not in known:
            raise ConfigError(f"{source}: unknown key {key!r} (known: {', '.join(sorted(known))})")
    if "output" not in data:
        raise ConfigError(f"{source}: missing key 'output' (the folder of the results)")
    tables: dict[str, Any] = {}
    for name, (kind, excluded) in _TABLES.items():
        if name not in data:
            if name in _REQUIRED_TABLES:
                raise ConfigError(f"{source}: missing table [{name}]")
            continue
        table = data[name]
        if not isinstance(table, dict):
            raise _fail(name, "a table", table)
        allowed = _keys(kind, excluded)
        values = {}
        for key, value in table.items():
            if key not in allowed:
                raise ConfigError(f"{source}: unknown key {name}.{key} (known: {', '.join(allowed)})")
            if (name, key) in _PATHS:
                value = resolved(value)
            elif (name, key) == ("models", "paths") and isinstance(value, list):
                value = [resolved(v) for v in value]
            values[key] = value
        for entry in dataclasses.fields(kind):
            if entry.default is dataclasses.MISSING and entry.default_factory is dataclasses.MISSING \
                    and entry.name not in values:
                raise ConfigError(f"{source}: missing key {name}.{entry.name}")
        try:
            tables[name] = kind(**values)
        except TypeError as e:  # HandOverSettings' own checks
            raise ConfigError(f"{source}: {name}: {e}") from None
        except ConfigError as e:
            raise ConfigError(f"{source}: {e}") from None
        except ValueError as e:  # HandOverSettings' own checks
            raise ConfigError(f"{source}: {name}: {e}") from None
    try:
        return RunConfig(output=resolved(data["output"]), source=source, **tables)
    except ConfigError as e:
        raise ConfigError(f"{source}: {e}") from None
