# Sourced by the scripts that build with the pinned native libraries
# (build_wheel.sh, test_windows.sh): the build tools, pinned, in a virtual
# environment of the interpreter $PY kept in the cache (keyed by the list and
# the interpreter's version), Zig from it, and
#   deps_prefix TARGET
# which builds what deps/build_deps.py has not built yet for TARGET (one
# cached step per library) and prints the prefix of its libraries.
PY=${PY:-${PYTHON:-python3}}
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/mirelo_utils
JOBS=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export CMAKE_BUILD_PARALLEL_LEVEL=$JOBS
# Zig's own builds (libc++, the C libraries' start-up files and stubs) are
# cached beside the rest.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$CACHE/zig}

tools_key=$( (cat deps/build-tools.txt; "$PY" -c 'import sys; print(sys.version)') | sha256sum | cut -c1-16)
TOOLS=$CACHE/build-env/$tools_key
if [ ! -x "$TOOLS/bin/auditwheel" ]; then
  echo "deps_env: installing the build tools into $TOOLS"
  rm -rf "$TOOLS"
  "$PY" -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install -q -r deps/build-tools.txt
fi
ZIG=$("$TOOLS/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

deps_prefix() {
  "$TOOLS/bin/python" deps/build_deps.py --target "$1" --zig "$ZIG" --cache "$CACHE" --jobs "$JOBS" | tail -n 1
}

# ccache keeps rebuilds short; paths inside the checkout are hashed relative
# to it, so that another clone (CI's) hits too.
export MIRELO_CCACHE=${MIRELO_CCACHE:-1}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(pwd)}
