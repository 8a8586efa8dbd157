"""The package as users' processes meet it: which shared objects its work maps,
the same results beside the OpenCV, FFmpeg and C++ runtime copies that cv2,
PyAV and torch load, and the same JPEG files as the Debian build. Each piece
of work runs in a fresh interpreter, so that nothing this test process
loaded counts."""
import json
import os
import re
import site
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from PIL import Image

import mirelo_utils as mu
from conftest import BUNDLED_BUILD, polygon_text, write_annotation

cv2 = pytest.importorskip("cv2", reason="opencv-python-headless is not installed (scripts/setup.sh installs it)")

needs_wheel = pytest.mark.skipif(
    not BUNDLED_BUILD, reason="the package is the Debian build, which links the system's OpenCV and libav "
    "(scripts/build_wheel.sh builds the self-contained wheel)")

# Ingest of a recording, both drawings, a clip load and the health page, in
# one interpreter; prints what each produced (digests) and the shared objects
# mapped at the end. argv: video, clip folder, output folder, mode, where
# mode names when cv2, av and torch are imported: "none", "before" (before
# mirelo_utils), "after" (after its work has begun; they are used, too).
WORK = r"""
import hashlib, json, os, sys
import numpy as np
import pandas as pd
from PIL import Image

video, clip_dir, out, mode = sys.argv[1:5]

def others():
    import av, cv2, torch
    return av, cv2, torch

if mode == "before":
    others()
import mirelo_utils as mu
import contextlib, io

def digest(data):
    return hashlib.sha256(data).hexdigest()[:16]

result = {}
table = pd.DataFrame([["7", "d", "08:00:00", video, os.path.basename(video)[:-4]]],
                     columns=["Camera Number", "Date", "Time", "File Path", "Video Name"])
with contextlib.redirect_stdout(io.StringIO()):
    mu.VideoProcessor(output_dir_base=os.path.join(out, "frames"), crop=False).process_videos_to_frames(table)
jpegs = sorted(os.path.join(d, f) for d, _, fs in os.walk(os.path.join(out, "frames")) for f in fs)
result["jpeg"] = [digest(open(p, "rb").read()) for p in jpegs]
if mode == "after":
    av, cv2, torch = others()
    with av.open(video) as container:
        result["av_frames"] = sum(1 for _ in container.decode(video=0))
    result["cv2_shape"] = list(cv2.imread(jpegs[0]).shape)
    torch.ones(3).sum()

image = np.asarray(Image.open(jpegs[0]).convert("RGB"))
h, w = image.shape[:2]
masks = {"Box0": np.zeros((h, w), bool), "Box1": np.zeros((h, w), bool)}
masks["Box0"][4:20, 6:30] = True
masks["Box1"][22:40, 30:60] = True
result["overlay"] = digest(np.asarray(mu.draw_masks_on_image(image, list(masks.values()))).tobytes())
result["boxes"] = digest(np.asarray(mu.img_bbx_drawing(image, masks)).tobytes())

clip = mu.open_clip(clip_dir)
result["clip"] = [(int(r["frame_index"]), {str(k): int(np.count_nonzero(v)) for k, v in r["masks_dict"].dense().items()})
                  for r in clip.values()]
with contextlib.redirect_stdout(io.StringIO()):
    table = mu.clip_health_report(clip_dir, os.path.join(out, "health"), expected_animals=2)
result["health"] = digest(table.to_csv().encode())

with open("/proc/self/maps") as maps:
    result["mapped"] = sorted({line.split(None, 5)[5].strip() for line in maps
                               if len(line.split(None, 5)) == 6 and ".so" in line})
print(json.dumps(result))
"""

# The host libraries the work imports itself, for the baseline of what a
# process maps without mirelo_utils.
BASELINE = r"""
import json, numpy, pandas, PIL.Image
with open("/proc/self/maps") as maps:
    print(json.dumps(sorted({line.split(None, 5)[5].strip() for line in maps
                             if len(line.split(None, 5)) == 6 and ".so" in line})))
"""

FORBIDDEN = re.compile(r"lib(opencv_\w+|av(codec|format|util|device|filter)|swscale|swresample|postproc|geos\w*|"
                       r"freetype|pcre2\w*|jpeg|turbojpeg|png\d*|tbb\w*|gdal|gstreamer\w*)[.-]")
# The C library's own and the C++ runtime of the system (the allowed list of
# the manylinux policies), and what the interpreter's own extension modules
# link (_uuid, _ctypes, _ssl, _lzma, _bz2, _sqlite3, pyexpat, _decimal, ...).
SYSTEM = re.compile(r"(ld-linux-x86-64|libc|libm|libdl|libpthread|librt|libutil|libstdc\+\+|libgcc_s|libz|"
                    r"libuuid|libffi|libssl|libcrypto|liblzma|libbz2|libsqlite3|libexpat|libmpdec|libreadline|"
                    r"libncursesw|libtinfo|libgdbm|libcrypt|libnsl|libtirpc)\.so[.\d]*")


def write_video(path, frames=30, width=96, height=64):
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), 25, (width, height))
    assert writer.isOpened()
    for k in range(frames):
        frame = Image.new("RGB", (width, height), (40 + k * 5, 90, 140 - k * 3))
        frame.paste((220, 200, 40), (4 + 2 * k, 10, 24 + 2 * k, 30))
        writer.write(cv2.cvtColor(__import__("numpy").asarray(frame), cv2.COLOR_RGB2BGR))
    writer.release()
    return path


def write_clip(folder, frames=6, width=64, height=48):
    folder.mkdir(parents=True)
    for f in range(frames):
        image = folder / f"frame_{f:04d}.png"
        Image.new("RGB", (width, height), (90, 80, 70)).save(image)
        detections = [{"object_id": k + 1, "xyxy": [[0, 0, 1, 1]],
                       "formatted_polygon": [polygon_text([(x + f, 8 + 20 * k), (x + f + 12, 8 + 20 * k),
                                                           (x + f + 12, 18 + 20 * k), (x + f, 18 + 20 * k)],
                                                          width, height)]}
                      for k, x in enumerate((4, 30))]
        write_annotation(folder / f"output_pp_{f}.json", image, detections)
    return folder


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    root = tmp_path_factory.mktemp("wheel")
    return write_video(root / "Camera7_1_20240115080000.mp4"), write_clip(root / "clip" / "GSAM2_output")


def run_work(python, inputs, out, mode="none", pythonpath=None):
    """Runs the work in a fresh interpreter, from a folder outside any source
    tree; returns its result."""
    video, clip = inputs
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join([pythonpath, *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))])
    run = subprocess.run([python, "-c", WORK, str(video), str(clip), str(out), mode], capture_output=True,
                         text=True, env=env, cwd=out.parent, timeout=240)
    assert run.returncode == 0, run.stderr[-3000:]
    return json.loads(run.stdout.splitlines()[-1])


def package_path():
    """PYTHONPATH that imports the package under test in a child interpreter."""
    return str(Path(mu.__file__).resolve().parents[1])


@needs_wheel
def test_the_work_maps_no_library_but_the_wheels_own_and_the_systems_c_library(inputs, tmp_path):
    (tmp_path / "out").mkdir()
    result = run_work(sys.executable, inputs, tmp_path / "out", pythonpath=package_path())
    baseline = set(json.loads(subprocess.run([sys.executable, "-c", BASELINE], capture_output=True, text=True,
                                             check=True).stdout))
    package = str(Path(mu.__file__).resolve().parent) + os.sep
    own = [p for p in result["mapped"] if os.path.realpath(p).startswith(package)]
    assert sorted(Path(p).name for p in own)[-1] == "libmirelo_media.so"
    # Other installed packages (the host libraries the calls import:
    # matplotlib for the health page's plots, and what they need) and the
    # interpreter's own extension modules are theirs, not the package's.
    others = tuple(str(Path(p).resolve()) + os.sep for p in
                   {*site.getsitepackages(), sysconfig.get_paths()["stdlib"], sysconfig.get_paths()["platstdlib"]})
    strangers = [p for p in result["mapped"] if p not in baseline and p not in own
                 and not SYSTEM.fullmatch(Path(p).name) and not os.path.realpath(p).startswith(others)]
    assert strangers == []
    # Above all none of the system's codec and geometry libraries (other
    # packages bring their own copies: Pillow its libjpeg).
    assert [p for p in result["mapped"]
            if FORBIDDEN.search(Path(p).name) and not os.path.realpath(p).startswith(others)] == []


def test_cv2_av_and_torch_in_the_same_process_change_no_result(inputs, tmp_path):
    pytest.importorskip("av", reason="PyAV is not installed (scripts/setup.sh installs it)")
    pytest.importorskip("torch", reason="torch is not installed (scripts/setup.sh installs it)")
    results = {}
    for mode in ("none", "before", "after"):
        (tmp_path / mode).mkdir()
        results[mode] = run_work(sys.executable, inputs, tmp_path / mode, mode, pythonpath=package_path())
        results[mode].pop("mapped")
    assert results["after"].pop("av_frames") == 30
    assert results["after"].pop("cv2_shape") == [64, 96, 3]
    assert len(results["none"]["jpeg"]) == 29 and len(results["none"]["clip"]) == 6
    assert results["before"] == results["none"]
    assert results["after"] == results["none"]


@pytest.mark.skipif(not os.environ.get("MIRELO_REFERENCE_PYTHON"),
                    reason="no other build to compare with (MIRELO_REFERENCE_PYTHON: an interpreter with it installed)")
def test_ingest_writes_the_same_jpeg_files_as_the_other_build(inputs, tmp_path):
    results = []
    for name, python, path in (("this", sys.executable, package_path()),
                               ("other", os.environ["MIRELO_REFERENCE_PYTHON"], None)):
        (tmp_path / name).mkdir()
        results.append(run_work(python, inputs, tmp_path / name, pythonpath=path))
    this, other = results
    assert len(this["jpeg"]) == 29
    assert this["jpeg"] == other["jpeg"]
    assert (this["overlay"], this["boxes"], this["clip"], this["health"]) == (
        other["overlay"], other["boxes"], other["clip"], other["health"])


@pytest.mark.skipif(not os.environ.get("MIRELO_WHEEL_UNDER_TEST"), reason="only where CI tests the installed wheel")
def test_the_package_under_test_is_the_installed_wheel():
    site = Path(mu.__file__).resolve().parents[1]
    assert BUNDLED_BUILD
    assert Path(sys.prefix).resolve() in site.parents
    assert not hasattr(mu._core, "_errors")
    assert (site / "mirelo_utils" / "libmirelo_media.so").is_file()
    assert not any(Path(p, "mirelo_utils", "_core.pyi").exists() and Path(p).resolve() != site for p in sys.path if p)
