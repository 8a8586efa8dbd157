#!/usr/bin/env bash
# Coverage-guided fuzzing of the core's parsers with libFuzzer: builds the
# targets of tests/fuzz/cpp (one per fuzz_<name>.cpp, the core instrumented
# with AddressSanitizer and UndefinedBehaviorSanitizer) with clang into
# build/libfuzzer, then
#   scripts/fuzz.sh sample [SECONDS]    runs every target for SECONDS (5) from
#                                       its committed seeds (the CI sample)
#   scripts/fuzz.sh run NAME SECONDS    runs one target (fuzz_NAME), its
#                                       corpus kept in build/libfuzzer/corpus/NAME
#   scripts/fuzz.sh build               builds only
# A crash, a sanitizer report, a leak or an input running past 10 s fails
# the run; the input is saved in build/libfuzzer/findings/. Needs Debian's clang
# and libclang-rt-dev (scripts/setup.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=tests/fuzz/cpp
BUILD=build/libfuzzer
CXX=clang++ cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=None >/dev/null
if ! cmake --build "$BUILD" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" >"$BUILD/build.log" 2>&1; then
  grep -v '^\[' "$BUILD/build.log"
  echo "scripts/fuzz.sh: the fuzz targets did not build" >&2
  exit 1
fi
mkdir -p "$BUILD/findings"
export ASAN_OPTIONS=allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# fuzz NAME SECONDS CORPUS: libFuzzer on one target, new inputs into CORPUS.
fuzz() {
  local name=$1 seconds=$2 corpus=$3 dict=()
  [ -f "$SRC/corpus/$name.dict" ] && dict=(-dict="$SRC/corpus/$name.dict")
  "$BUILD/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$BUILD/findings/$name-" "${dict[@]}" "$corpus" "$SRC/corpus/$name"
}

case "${1:-sample}" in
  build) ;;
  sample)
    for harness in "$SRC"/fuzz_*.cpp; do
      name=$(basename "$harness" .cpp)
      name=${name#fuzz_}
      corpus=$(mktemp -d)
      log="$BUILD/findings/$name-sample.log"
      echo "== fuzz sample: $name (${2:-5} s)"
      status=0
      fuzz "$name" "${2:-5}" "$corpus" >"$log" 2>&1 || status=$?
      rm -rf "$corpus"
      if [ "$status" -ne 0 ]; then
        tail -n 40 "$log"
        echo "fuzz sample $name failed (status $status); the input is in $BUILD/findings/"
        exit 1
      fi
      grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+[[:space:]]+DONE)" "$log" || true
    done
    ;;
  run)
    name=${2:?name of the target (fuzz_NAME)}
    mkdir -p "$BUILD/corpus/$name"
    fuzz "$name" "${3:?seconds}" "$BUILD/corpus/$name"
    ;;
  *) echo "usage: scripts/fuzz.sh [sample [SECONDS] | run NAME SECONDS | build]" >&2; exit 2 ;;
esac
