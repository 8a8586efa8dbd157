"""Whole recordings tracked in one resumable run.

``track_recordings`` chains the library's steps over the windows of every
recording a configuration names, from the camera files to checked,
handed-over clips; ``track_recordings_on_cluster`` runs several recordings
at once on a Dask cluster; ``python -m mirelo_utils track CONFIG.toml`` is
the command line of the same. The pieces:

- ``config``: the settings as frozen records and the TOML reader;
- ``models``: the models' record, the model factory and its checks;
- ``manifest``: each recording's manifest of window states;
- ``recording``: the steps of one window, one after the other;
- ``page``: the recording's page (data and template) and CSV;
- ``progress``: the progress bar, or one log line per window;
- ``run`` and ``cluster``: a run on this machine, and on a cluster.

numpy, pandas, torch, Jinja2 and Dask are imported by the calls.
"""

from typing import TYPE_CHECKING, Any

from .config import (
    CheckSettings,
    ConfigError,
    InitialisationSettings,
    ModelSettings,
    PenSettings,
    RecordingSettings,
    RefinementSettings,
    RunConfig,
    WindowSettings,
    load_config,
)
from .models import Models

if TYPE_CHECKING:
    from .cluster import track_recordings_on_cluster
    from .run import track_recordings

# The runs themselves (their steps, page, manifest and cluster tasks) are
# imported by their first use, not by import mirelo_utils.
_RUNS = {"track_recordings": ".run", "track_recordings_on_cluster": ".cluster"}


def __getattr__(name: str) -> Any:
    if name in _RUNS:
        import importlib

        found = getattr(importlib.import_module(_RUNS[name], __name__), name)
        globals()[name] = found
        return found
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = [
    "CheckSettings",
    "ConfigError",
    "InitialisationSettings",
    "ModelSettings",
    "Models",
    "PenSettings",
    "RecordingSettings",
    "RefinementSettings",
    "RunConfig",
    "WindowSettings",
    "load_config",
    "track_recordings",
    "track_recordings_on_cluster",
]
