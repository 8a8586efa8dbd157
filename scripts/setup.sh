#!/usr/bin/env bash
# Installs what is missing (Debian packages, the virtual environment, the
# Python packages) and builds and installs mirelo_utils into .venv.
# Safe to run again: every step only does what is not done yet.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(
  g++ cmake ninja-build pkg-config
  python3-dev python3-venv
  libopencv-dev libjpeg-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libgeos-dev libfreetype-dev
  libgtest-dev fonts-dejavu-core
  chromium
  clang libclang-rt-dev
)

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv"
  "$PY" -m venv .venv
fi
VPY=.venv/bin/python

# The pinned versions of constraints.txt; the stamp holds the lists last
# installed, so a changed list installs again.
stamp=.venv/.requirements-stamp
if [ ! -f "$stamp" ] || ! cat requirements-dev.txt constraints.txt | cmp -s - "$stamp"; then
  echo "setup: installing Python packages"
  bash scripts/install_test_requirements.sh "$VPY"
  cat requirements-dev.txt constraints.txt >"$stamp"
fi

echo "setup: building and installing mirelo_utils"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
"$VPY" -m pip install -q --no-build-isolation --no-deps \
  -C build-dir=build/wheel \
  -C cmake.define.MIRELO_BUILD_TESTS=ON \
  .
