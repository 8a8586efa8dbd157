#!/usr/bin/env bash
# Builds the self-contained wheel of one target (MIRELO_TARGET):
#   x86_64-linux-gnu.2.28 (the default), for the interpreter it runs with
#     (PYTHON=/path/to/python3.x, or the first argument; python3 by default):
#     dist/mirelo_utils-<version>-<python tag>-manylinux_2_28_x86_64.whl
#   x86_64-windows-gnu, for CPython 3.11 on 64-bit Windows:
#     dist/mirelo_utils-<version>-cp311-cp311-win_amd64.whl
# The native libraries it bundles are built from the sources pinned in
# deps/deps.lock with Zig's clang, once, into
# ${XDG_CACHE_HOME:-~/.cache}/mirelo_utils (deps/build_deps.py); later builds
# take them from there. Needs no root: a C compiler and make for the build
# machine (nasm is built from source), cmake, ninja and the network access to
# PyPI and Debian's archive that the first build needs.
#
# The Windows wheel is cross-built: the extension module is compiled against
# the CPython 3.11 headers and linked with an import library of
# python311.dll made from them, and its Python files, type stub and metadata
# are those of the Linux wheel of the same checkout (MIRELO_LINUX_WHEEL, or
# built first), so that both wheels carry the same package.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${1:-${PYTHON:-python3}}
TARGET=${MIRELO_TARGET:-x86_64-linux-gnu.2.28}
source scripts/deps_env.sh

echo "build_wheel: native libraries for $TARGET"
PREFIX=$(deps_prefix "$TARGET")
echo "build_wheel: libraries in $PREFIX"

if [ "$TARGET" = x86_64-windows-gnu ]; then
  linux_wheel=${MIRELO_LINUX_WHEEL:-}
  if [ -z "$linux_wheel" ]; then
    MIRELO_TARGET= bash scripts/build_wheel.sh "$PY"
    linux_wheel=$(ls -t dist/mirelo_utils-*-manylinux_*.whl | head -n 1)
  fi
  BUILD=build/wheel-$TARGET
  STAGE=$BUILD/stage
  rm -rf "$STAGE"
  echo "build_wheel: compiling mirelo_utils for CPython 3.11 on Windows"
  cmake -S . -B "$BUILD/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PREFIX/toolchain/toolchain.cmake" -DMIRELO_DEPS_PREFIX="$PREFIX" \
    -DMIRELO_BUILD_TESTS=OFF -DMIRELO_BUILD_STUBS=OFF -DMIRELO_PACKAGE_DIR="$(pwd)/$STAGE" \
    -DPython_EXECUTABLE="$TOOLS/bin/python" >/dev/null
  cmake --build "$BUILD/cmake"
  mkdir -p dist
  "$TOOLS/bin/python" deps/windows_wheel.py "$linux_wheel" "$STAGE" "$PREFIX" "$ZIG" dist
  wheel=$(ls -t dist/mirelo_utils-*-win_amd64.whl | head -n 1)
  "$TOOLS/bin/python" deps/check_wheel.py "$wheel"
  # Loaded as the interpreter loads it, under Wine where it is installed
  wine=${MIRELO_WINE:-/usr/lib/wine/wine64}
  if [ -x "$wine" ]; then
    WINEPREFIX=${WINEPREFIX:-$CACHE/wine} "$TOOLS/bin/python" deps/load_under_wine.py "$wheel" "$PREFIX" "$wine"
  else
    echo "build_wheel: $wine is missing: the binaries' load under Wine is left out"
  fi
  echo "build_wheel: $wheel ($(du -h "$wheel" | cut -f1))"
  exit 0
fi

PLAT=${MIRELO_WHEEL_PLAT:-manylinux_2_28_x86_64}
# The project, without the C++ tests and their entry points, linked against
# those libraries alone.
RAW=build/wheel-$TARGET/raw
rm -rf "$RAW"
echo "build_wheel: compiling mirelo_utils for $("$TOOLS/bin/python" -c 'import sys; print(sys.implementation.cache_tag)')"
"$TOOLS/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$RAW" . \
  -C build-dir="build/wheel-$TARGET/cmake" \
  -C cmake.build-type=Release \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PREFIX/toolchain/toolchain.cmake" \
  -C cmake.define.MIRELO_DEPS_PREFIX="$PREFIX" \
  -C cmake.define.MIRELO_BUILD_TESTS=OFF
raw_wheel=$(ls "$RAW"/*.whl)

# The licence of every library inside, then the manylinux tag: auditwheel
# checks the symbol versions and the libraries the objects need against the
# policy, and finds nothing to graft.
"$TOOLS/bin/python" deps/wheel_licences.py "$raw_wheel" "$PREFIX" "$ZIG"
mkdir -p dist
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$PLAT" --only-plat -w dist "$raw_wheel"
wheel=dist/$(basename "$raw_wheel" | sed "s/-linux_x86_64\.whl\$/-$PLAT.whl/")
"$TOOLS/bin/python" deps/check_wheel.py "$wheel" --max-glibc 2.28
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" show "$wheel"
echo "build_wheel: $wheel ($(du -h "$wheel" | cut -f1))"
