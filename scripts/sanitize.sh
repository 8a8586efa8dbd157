#!/usr/bin/env bash
# Builds the core, the C++ tests and the module with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan, then runs the C++ tests and the
# pytest suite against that module. Any sanitizer report fails the run.
# Run scripts/setup.sh once before (scripts/run_tests.sh does); arguments go
# to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
VPY=$(pwd)/.venv/bin/python
BUILD=build/asan
PKG=$BUILD/python/mirelo_utils

# The package's Python files and templates beside the instrumented module,
# so that the tests import it and not the one of the developer build or the
# installed one.
rm -rf "$PKG"
mkdir -p "$PKG"
(cd python && find mirelo_utils \( -name '*.py' -o -name py.typed -o -name '*.jinja' \) \
  -exec cp --parents {} "../$BUILD/python/" \;)

FLAGS="-O1 -g1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_FLAGS="$FLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DMIRELO_BUILD_TESTS=ON -DMIRELO_BUILD_STUBS=OFF \
  -DMIRELO_PACKAGE_DIR="$(pwd)/$PKG" -DPython_EXECUTABLE="$VPY" >/dev/null
echo "== sanitizer build ($BUILD)"
cmake --build "$BUILD" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" | grep -v '^\[' || true
[ -f "$BUILD/mirelo_cpp_tests" ] && ls "$PKG"/_core*.so >/dev/null

export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== C++ unit tests under the sanitizers (ctest)"
ctest --test-dir "$BUILD" --output-on-failure -j 2

# The interpreter itself is not instrumented: the sanitizer runtime must be
# loaded first, and libstdc++ with it so that the sanitizer sees the C++
# throws of the module.
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)"
echo "== Python tests under the sanitizers (pytest)"
# Tests that bound the address space skip themselves (MIRELO_SANITIZED): the
# sanitizer reserves terabytes of it. Output is captured at the Python level
# only, so that a sanitizer report on the standard error reaches the log.
LD_PRELOAD="$preload" PYTHONMALLOC=malloc MIRELO_SANITIZED=1 PYTHONPATH="$(pwd)/$BUILD/python" \
  "$VPY" -m pytest -q -rs -p no:cacheprovider --capture=sys tests/python tests/fuzz "$@"
