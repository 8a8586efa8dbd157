"""A recording's manifest: what a run has done to each of its windows, with
the settings and the models it was done with, written whole through a
temporary after every step so that a run killed at any point leaves the
last step it finished."""

from __future__ import annotations

import dataclasses
import json
from typing import Any, Optional

from .._core import _io  # type: ignore[attr-defined]  # private, not in the stubs
from .config import ConfigError, RunConfig

__all__ = ["MANIFEST_NAME", "STATES", "Manifest", "compared_settings", "settings_differences"]

MANIFEST_NAME = "manifest.json"
FORMAT = "mirelo_utils recording manifest 1"

#: A window's states, in order; "handed over" is the last of every window
#: (for the recording's last window, and for a window without tracks, there
#: is nothing to hand over).
STATES = ("cut", "tracked", "refined", "checked", "handed over")


def _file_digest(path: str, key: str) -> str:
    import hashlib

    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError as e:
        raise ConfigError(f"{key}: cannot read {path!r}: {e.strerror or e}") from None


def compared_settings(config: RunConfig) -> dict[str, Any]:
    """The settings a recording's results depend on, by key ("windows.minutes"),
    as JSON values: the pen file by its content."""
    out: dict[str, Any] = {"pen.animals": config.pen.animals,
                           "pen.file (sha256)": _file_digest(config.pen.file, "pen.file")}
    for table in ("windows", "initialisation", "refinement", "hand_over"):
        record = getattr(config, table)
        for f in dataclasses.fields(record):
            if table == "hand_over" and f.name == "pen_animals":
                continue
            value = getattr(record, f.name)
            out[f"{table}.{f.name}"] = list(value) if isinstance(value, tuple) else value
    checks = config.checks
    out["checks.expected_animals"] = config.expected_animals
    for name in ("intersection_threshold", "min_episode_frames", "max_pictured_episodes", "appearance"):
        out[f"checks.{name}"] = getattr(checks, name)
    return out


def _flat(prefix: str, value: Any) -> dict[str, Any]:
    if isinstance(value, dict):
        out: dict[str, Any] = {}
        for k, v in value.items():
            out.update(_flat(f"{prefix}.{k}", v))
        return out
    return {prefix: value}


def settings_differences(old: dict[str, Any], new: dict[str, Any]) -> list[str]:
    """The keys whose values differ, as "key: <old> before, <new> now"."""
    a, b = _flat("", old), _flat("", new)
    out = []
    for key in list(a) + [k for k in b if k not in a]:
        if a.get(key) != b.get(key):
            out.append(f"{key[1:]}: {json.dumps(a.get(key))} before, {json.dumps(b.get(key))} now")
    return out


def digest(made_with: dict[str, Any]) -> str:
    import hashlib

    text = json.dumps(made_with, sort_keys=True, default=str)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]


class Manifest:
    """The manifest of one recording, held as the JSON document it is.

    Top level: "format", "recording" (the video-table row), "made_with"
    ({"settings", "models"} of the run that made the latest windows),
    "earlier" (the same of earlier runs, by digest), "crop_window" and
    "windows": one entry per window in time order with its "start_min",
    "end_min", "folder" (its frames), "state" (None before it is cut), "made"
    (the digest of the settings it was made with), "frames" and, as it goes,
    "start" (how its tracks began), "refiner" (the refinement's last
    positions), "hand_over" and "seconds" (the time of each step).
    """

    def __init__(self, path: str, data: dict[str, Any]) -> None:
        self.path = path
        self.data = data

    @classmethod
    def read(cls, path: str) -> Optional[Manifest]:
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as e:
            raise ConfigError(f"the manifest {path!r} cannot be read ({e}); run with --restart to track its "
                              "recording anew") from None
        if not isinstance(data, dict) or data.get("format") != FORMAT:
            raise ConfigError(f"{path!r} is not a manifest of this version; run with --restart to track its "
                              "recording anew")
        return cls(path, data)

    @classmethod
    def new(cls, path: str, recording: dict[str, str], made_with: dict[str, Any], plan: list) -> Manifest:
        made = digest(made_with)
        windows = [{"start_min": start, "end_min": end, "folder": folder, "state": None, "made": made}
                   for start, end, folder in plan]
        return cls(path, {"format": FORMAT, "recording": recording, "made_with": made_with, "earlier": {},
                          "crop_window": None, "windows": windows})

    @property
    def windows(self) -> list[dict[str, Any]]:
        return self.data["windows"]

    @property
    def plan(self) -> list[list]:
        return [[w["start_min"], w["end_min"], w["folder"]] for w in self.windows]

    def made_with(self) -> dict[str, Any]:
        return self.data["made_with"]

    def replace_made_with(self, made_with: dict[str, Any]) -> None:
        """New settings for the windows made from now on; those of the
        windows made before stay under "earlier"."""
        old = self.data["made_with"]
        self.data["earlier"][digest(old)] = old
        self.data["made_with"] = made_with

    def forget_unused(self) -> None:
        """Drops the earlier settings that no window was made with."""
        used = {w["made"] for w in self.windows}
        self.data["earlier"] = {k: v for k, v in self.data["earlier"].items() if k in used}

    def current_digest(self) -> str:
        return digest(self.data["made_with"])

    def save(self, sync: bool = True) -> None:
        """Written whole through a temporary; with `sync` the bytes reach the
        disk first, so that a power loss leaves this manifest or the one
        before (a state a rerun does not resume from needs no sync)."""
        text = json.dumps(self.data, indent=1, default=str) + "\n"
        _io.write_file(self.path, text.encode("utf-8"), sync=sync)

    def state_index(self, k: int) -> int:
        """How far window k got: -1 before it is cut, else its state's index."""
        state = self.windows[k]["state"]
        return -1 if state is None else STATES.index(state)


def window_name(k: int) -> str:
    """A window's folder under the recording's: "window_000", ..."""
    return f"window_{k:03d}"
