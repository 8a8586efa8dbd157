#!/usr/bin/env bash
# Builds the core's C++ tests for 64-bit Windows (x86_64-windows-gnu: Zig's
# clang against the libraries deps/build_deps.py builds from deps/deps.lock,
# cached as for the wheel) and runs them under Wine (Debian's wine64).
#
# The Windows build writes no recordings: the Linux build's tests write them,
# with their decoded frames and JPEG windows, into a folder both runs share
# (MIRELO_CROSS_FIXTURES), and the Windows run compares its own results with
# those. The Linux test program is MIRELO_LINUX_TESTS, or the one of
# scripts/setup.sh's build (build/wheel) or of scripts/dev_build.sh
# (build/dev). Arguments go to the Windows test program (--gtest_filter=...).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
TARGET=x86_64-windows-gnu
BUILD=build/windows-tests
source scripts/deps_env.sh

WINE=${MIRELO_WINE:-/usr/lib/wine/wine64}
if [ ! -x "$WINE" ]; then
  echo "test_windows: $WINE is missing: install Debian's wine64 (scripts/setup.sh does)" >&2
  exit 1
fi
linux_tests=${MIRELO_LINUX_TESTS:-}
if [ -z "$linux_tests" ]; then
  for candidate in build/wheel/mirelo_cpp_tests build/dev/mirelo_cpp_tests; do
    if [ -x "$candidate" ]; then linux_tests=$candidate; break; fi
  done
fi
if [ -z "$linux_tests" ]; then
  echo "test_windows: no Linux build of the C++ tests to make the shared recordings: run scripts/setup.sh" \
       "or scripts/dev_build.sh first, or set MIRELO_LINUX_TESTS" >&2
  exit 1
fi

started=$SECONDS
echo "test_windows: native libraries for $TARGET"
PREFIX=$(deps_prefix "$TARGET")
echo "test_windows: libraries in $PREFIX ($((SECONDS - started)) s)"

echo "test_windows: compiling the C++ tests for $TARGET"
cmake -S . -B "$BUILD/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PREFIX/toolchain/toolchain.cmake" -DMIRELO_DEPS_PREFIX="$PREFIX" \
  -DMIRELO_BUILD_PYTHON=OFF -DMIRELO_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD/cmake" --target mirelo_cpp_tests
echo "test_windows: compiled ($((SECONDS - started)) s)"

fixtures=$(pwd)/$BUILD/fixtures
rm -rf "$fixtures"
mkdir -p "$fixtures"
echo "test_windows: recordings and reference results from $linux_tests"
MIRELO_CROSS_FIXTURES=$fixtures "$linux_tests" --gtest_filter='RecordingsAcrossSystems.*:EncodePipelineTest.*' --gtest_brief=1

# Wine's own files, made once; Z: is the build machine's root.
export WINEPREFIX=${WINEPREFIX:-$CACHE/wine}
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test_windows: making the Wine prefix $WINEPREFIX"
  "$WINE" cmd /c exit >/dev/null 2>&1 || true
fi
log=$BUILD/wine.log
echo "test_windows: running the tests under $("$WINE" --version)"
set +e
# (Windows' C runtime ends its lines with CR LF)
MIRELO_CROSS_FIXTURES="Z:${fixtures//\//\\}" timeout 1800 "$WINE" "$BUILD/cmake/mirelo_cpp_tests.exe" "$@" 2>&1 |
  tr -d '\r' >"$log"
rc=${PIPESTATUS[0]}
set -e
# What the run left out and why, what it compared, then its verdict.
awk '/^\[ RUN/ { name = $4; reason = "" }
     /: Skipped$/ { skipping = 1; next }
     skipping && /^\[  SKIPPED \]/ { print "skipped " name ": " reason; skipping = 0; next }
     skipping { reason = reason (reason == "" ? "" : " ") $0 }' "$log"
grep -E "identical to the Linux build's" "$log" || true
if [ "$rc" -ne 0 ]; then
  cat "$log"
  echo "test_windows: the tests failed under Wine (exit $rc)" >&2
  exit "$rc"
fi
grep -E "^\[==========\]|^\[  PASSED  \]|^\[  SKIPPED \] [0-9]+ test" "$log" | sed 's/, listed below:$//'
echo "test_windows: done in $((SECONDS - started)) s"
