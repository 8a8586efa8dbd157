#!/usr/bin/env bash
# Builds the self-contained wheel:
#   dist/mirelo_utils-<version>-<python tag>-manylinux_2_28_x86_64.whl
# for the interpreter it runs with (PYTHON=/path/to/python3.x, or the first
# argument; python3 by default). The native libraries it bundles are built
# from the sources pinned in deps/deps.lock with Zig's clang for glibc 2.28,
# once, into ${XDG_CACHE_HOME:-~/.cache}/mirelo_utils (deps/build_deps.py);
# later builds take them from there. Needs no root: a C compiler and make for
# the build machine (nasm is built from source), cmake and the network access
# to PyPI and Debian's archive that the first build needs.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${1:-${PYTHON:-python3}}
TARGET=${MIRELO_TARGET:-x86_64-linux-gnu.2.28}
PLAT=${MIRELO_WHEEL_PLAT:-manylinux_2_28_x86_64}
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/mirelo_utils
JOBS=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export CMAKE_BUILD_PARALLEL_LEVEL=$JOBS
# Zig's own builds (libc++, the C library's stubs for glibc 2.28) are cached beside the rest.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$CACHE/zig}

# The build tools, pinned, in a virtual environment of the interpreter,
# kept in the cache and keyed by the list and the interpreter's version.
tools_key=$( (cat deps/build-tools.txt; "$PY" -c 'import sys; print(sys.version)') | sha256sum | cut -c1-16)
TOOLS=$CACHE/build-env/$tools_key
if [ ! -x "$TOOLS/bin/auditwheel" ]; then
  echo "build_wheel: installing the build tools into $TOOLS"
  rm -rf "$TOOLS"
  "$PY" -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install -q -r deps/build-tools.txt
fi
ZIG=$("$TOOLS/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

echo "build_wheel: native libraries for $TARGET"
PREFIX=$("$TOOLS/bin/python" deps/build_deps.py --target "$TARGET" --zig "$ZIG" --cache "$CACHE" --jobs "$JOBS" | tail -n 1)
echo "build_wheel: libraries in $PREFIX"

# The project, without the C++ tests and their entry points, linked against
# those libraries alone; ccache keeps a rebuild short.
export MIRELO_CCACHE=${MIRELO_CCACHE:-1}
# paths inside the checkout hashed relative to it: another clone (CI's) hits too
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(pwd)}
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
