#!/usr/bin/env bash
# Sets up what is missing, then runs the C++ unit tests and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "== C++ unit tests (ctest)"
ctest --test-dir build/wheel --output-on-failure
echo "== Python tests (pytest)"
# python/ is not on the path, so the installed package is the one imported;
# -rs lists every skipped test with its reason.
.venv/bin/python -m pytest -q -rs -p no:cacheprovider tests/python tests/fuzz "$@"
