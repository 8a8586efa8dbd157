#!/usr/bin/env bash
# Builds the self-contained wheel (scripts/build_wheel.sh), installs it into
# a virtual environment that holds nothing else of the project, and runs the
# whole Python suite against it from a folder outside the source tree, so
# that the installed wheel is what the tests import. Where the Debian build
# is installed in .venv (scripts/setup.sh), the tests compare their JPEG
# files with it. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)
PY=${PYTHON:-python3}
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/mirelo_utils

bash scripts/build_wheel.sh "$PY"
wheel=$(ls -t dist/mirelo_utils-*-manylinux_*.whl | head -n 1)

# The test requirements, as scripts/setup.sh installs them; the environment
# is kept between runs (keyed by the lists and the interpreter), the package
# in it is always the wheel just built.
key=$( (cat requirements-dev.txt constraints.txt; "$PY" -c 'import sys; print(sys.version)') | sha256sum | cut -c1-16)
VENV=$CACHE/wheel-test-env/$key
if [ ! -f "$VENV/.complete" ]; then
  echo "test_wheel: installing the test requirements into $VENV"
  rm -rf "$VENV"
  "$PY" -m venv "$VENV"
  bash scripts/install_test_requirements.sh "$VENV/bin/python"
  touch "$VENV/.complete"
fi
"$VENV/bin/python" -m pip uninstall -q -y mirelo_utils 2>/dev/null || true
"$VENV/bin/python" -m pip install -q --no-deps "$wheel"

reference=()
other=${MIRELO_REFERENCE_PYTHON:-$REPO/.venv/bin/python}
[ -x "$other" ] && reference=(MIRELO_REFERENCE_PYTHON="$other")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "== Python tests against the wheel ($(basename "$wheel"))"
cd "$work"
env "${reference[@]}" MIRELO_WHEEL_UNDER_TEST=1 \
  "$VENV/bin/python" -m pytest -q -rs -p no:cacheprovider -c "$REPO/pyproject.toml" --rootdir "$REPO" \
  "$REPO/tests/python" "$REPO/tests/fuzz" "$@"
