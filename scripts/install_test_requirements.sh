#!/usr/bin/env bash
# Installs the Python packages of the tests and benchmarks, at the versions
# pinned in constraints.txt, into the environment of the python given as the
# first argument. Used by scripts/setup.sh (.venv) and scripts/test_wheel.sh
# (the environment the wheel is tested in).
set -euo pipefail
cd "$(dirname "$0")/.."
VPY=$1
"$VPY" -m pip install -q -r requirements-dev.txt -c constraints.txt
# sam2 (the image predictor in the model tests) from its source package:
# without its CUDA extension, and without the torchvision it declares (see
# requirements-dev.txt); its other dependencies come from the list above.
SAM2_BUILD_CUDA=0 "$VPY" -m pip install -q --no-deps --no-build-isolation sam2 -c constraints.txt
# trackeval (the reference of the tracking-score tests) without the
# opencv-python it declares, which would clash with opencv-python-headless;
# its other dependencies come from the list above.
"$VPY" -m pip install -q --no-deps trackeval -c constraints.txt
