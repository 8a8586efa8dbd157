"""The type stubs carry real types: mypy accepts typed use and rejects misuse."""
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import pytest

import mirelo_utils

pytest.importorskip("mypy", reason="mypy is not installed (scripts/setup.sh installs it)")
if os.environ.get("MIRELO_SANITIZED"):
    # scripts/sanitize.sh builds the module without stubs: generating them
    # imports the module, which needs the sanitizer runtime loaded first.
    pytest.skip("the sanitizer build makes no type stubs", allow_module_level=True)
HERE = Path(__file__).parent


def run_mypy(*files):
    env = dict(os.environ)
    package_root = str(Path(mirelo_utils.__file__).parent.parent)
    installed = {sysconfig.get_paths()[k] for k in ("purelib", "platlib")}
    if package_root not in installed:  # the developer build, next to the sources
        env["MYPYPATH"] = package_root
    cmd = [sys.executable, "-m", "mypy", "--no-error-summary", "--show-error-codes", "--python-version", "3.11",
           # Kept between runs: a cold check reads all of numpy's and pandas' stubs.
           "--cache-dir", os.path.join(tempfile.gettempdir(), "mirelo_utils-mypy-cache"), *map(str, files)]
    return subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=HERE, timeout=240)


def test_typed_use_passes_and_misuse_fails():
    out = run_mypy(HERE / "typed_usage.py", HERE / "misuse.py")
    errors = [line for line in out.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if "typed_usage.py" in e], out.stdout
    misuse = (HERE / "misuse.py").read_text().splitlines()
    expected = {k + 1 for k, line in enumerate(misuse) if line.endswith("# error")}
    found = {int(re.search(r"misuse\.py:(\d+):", e).group(1)) for e in errors if "misuse.py" in e}
    assert found == expected, out.stdout
