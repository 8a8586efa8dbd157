"""Generated recordings and their run configurations for the runner's
tests: the pen scene of the main job (examples/pen_scene.py), small and
short, three windows of 12 frames, tracked by the stand-in models."""
import json
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"
sys.path.insert(0, str(EXAMPLES))
from pen_scene import PenScene  # noqa: E402

RECORDING = "Camera64_1_20240115063000"
CLIP_FRAMES = 12


def scene(**kw):
    return PenScene(scale=0.5, clip_frames=CLIP_FRAMES, clips=3, **kw)


def write_case(folder, the_scene, tables=None, output="tracking"):
    """The recording, the pen file and a configuration in `folder`; `tables`
    replaces or adds keys of the configuration's tables. Returns the
    configuration's path."""
    folder = Path(folder)
    recording = folder / "recordings" / f"{RECORDING}.mp4"
    if not recording.exists():
        recording.parent.mkdir(parents=True, exist_ok=True)
        the_scene.write(str(recording))
    height = the_scene.height * 2 // 3
    factor = height / the_scene.height
    (folder / "pen_polygon.json").write_text(json.dumps(
        {"shapes": [{"label": "pen", "points": [[x * factor, y * factor] for x, y in the_scene.pen_polygon()]}]}))
    config = {
        "recordings": {"folder": "recordings"},
        "pen": {"file": "pen_polygon.json"},
        "models": {"factory": "stand_in_models:make_models", "paths": [str(EXAMPLES)]},
        "windows": {"minutes": CLIP_FRAMES / the_scene.fps / 60, "resize_height": height},
        "initialisation": {"step": 1},
        # The small-area search over the window's last two frames.
        "hand_over": {"min_frame_id": 10, "area_threshold": 100, "min_count": 0},
    }
    for table, values in (tables or {}).items():
        config.setdefault(table, {}).update(values)
    lines = [f"output = {json.dumps(output)}"]
    for table, values in config.items():
        lines.append(f"[{table}]")
        lines += [f"{key} = {toml_value(value)}" for key, value in values.items()]
    path = folder / "track.toml"
    path.write_text("\n".join(lines) + "\n")
    return path


def toml_value(value):
    """A value as TOML writes it (JSON's texts, numbers and lists are TOML's)."""
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k} = {toml_value(v)}" for k, v in value.items()) + "}"
    return json.dumps(value)


def tree(root):
    """Every file below `root` by its path, its bytes with the folder above
    `root` written as <ROOT>; the manifest without its times."""
    root = Path(root)
    base = str(root.parent).encode()
    out = {}
    for path in sorted(root.rglob("*")):
        if path.is_dir():
            continue
        data = path.read_bytes()
        if path.name == "manifest.json":
            manifest = json.loads(data)
            manifest.pop("page_seconds", None)
            for w in manifest["windows"]:
                w.pop("seconds", None)
            data = json.dumps(manifest, sort_keys=True).encode()
        out[str(path.relative_to(root))] = data.replace(base, b"<ROOT>")
    return out


def differences(a, b):
    return sorted(k for k in set(a) | set(b) if a.get(k) != b.get(k))
