#!/usr/bin/env bash
# Developer build: compiles the core, the C++ tests and the extension module
# into build/dev and places _core next to python/mirelo_utils, so that
#   PYTHONPATH=python .venv/bin/python -m pytest tests/python
# runs against the working tree. Run scripts/setup.sh once before.
set -euo pipefail
cd "$(dirname "$0")/.."
VPY=$(pwd)/.venv/bin/python
[ -x "$VPY" ] || VPY=${VENV_PYTHON:?set VENV_PYTHON to a python with nanobind installed}
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DMIRELO_BUILD_TESTS=ON -DPython_EXECUTABLE="$VPY" >/dev/null
cmake --build build/dev
