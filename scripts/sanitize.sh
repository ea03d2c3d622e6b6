#!/usr/bin/env bash
# The whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer.
#   scripts/sanitize.sh [pytest arguments]
#
# Builds the module with -DCOMM_SANITIZE=ON into a virtual environment of its
# own (build/asan, or $COMM_SANITIZE_BUILD), runs the C++ core tests built the
# same way, then pytest with the ASan runtime preloaded into the interpreter
# (which is not built with it). PYTHONMALLOC=malloc hands every Python object
# to the sanitized allocator, so a use after free or an overflow of an object
# is caught too. Leak detection is off: the interpreter keeps memory until
# exit by design; tests/test_leaks.py checks leaks instead. Every report, also
# from the child interpreters that some tests start, goes to a file in
# build/asan/reports; the run fails when there is one, or when a test fails.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${COMM_SANITIZE_BUILD:-$root/build/asan}"
venv="$build/venv"
python=${PYTHON:-python3}

mkdir -p "$build"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
py="$venv/bin/python"
pip() { "$py" -m pip -q --disable-pip-version-check "$@"; }
pip install pyserial pytest hypothesis scikit-build-core cmake ninja
pip install --no-build-isolation --force-reinstall --no-deps \
    --config-settings=build-dir="$build/cmake" \
    --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=cmake.define.COMM_SANITIZE=ON "$root"

"$venv/bin/cmake" -S "$root" -B "$build/core" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCOMM_CORE_ONLY=ON -DCOMM_SANITIZE=ON >/dev/null
"$venv/bin/cmake" --build "$build/core" >/dev/null

# The ASan runtime the module was linked with, else that of the compiler
# CMake used. The module is found, not imported: without the runtime
# preloaded the import would fail.
platlib="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
module="$(ls "$platlib"/tarvelpump/comm/__init__*.so)"
libasan="$(ldd "$module" | sed -n 's/.*=> \(\/[^ ]*asan[^ ]*\) .*/\1/p' | head -n1)"
if [ -z "$libasan" ]; then
    cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/cmake/CMakeCache.txt")"
    libasan="$("${cxx:-c++}" -print-file-name=libasan.so)"
fi
if [ ! -e "$libasan" ]; then
    echo "sanitize.sh: cannot find the ASan runtime of $module" >&2
    exit 1
fi
echo "sanitize.sh: $module with $libasan preloaded"

reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

status=0
"$venv/bin/ctest" --test-dir "$build/core" --output-on-failure || status=$?

cd "$root"
# The station's tests run in the plain build (test.sh): they start a browser
# and a broker, which must not inherit the preloaded runtime, and they reach
# the module only through the driver's calls that this run already covers.
# The exits with daemon threads in exchanges are left to the plain builds
# (test.sh, on every Python): at exit the interpreter ends those threads
# with pthread_exit, whose forced unwind passes through our frames without
# the runtime's no-return hook, so ASan takes the unwinder's later writes
# into those frames' stack for overflows of their redzones.
PYTHONMALLOC=malloc LD_PRELOAD="$libasan" "$py" -m pytest -q -p no:cacheprovider \
    --ignore=tests/station --ignore=tests/test_daemon_exit.py "$@" \
    || status=$?

if compgen -G "$reports/*" >/dev/null; then
    for report in "$reports"/*; do
        echo "== $report" >&2
        cat "$report" >&2
    done
    echo "sanitize.sh: sanitizer reports found" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    exit "$status"
fi
echo "sanitize.sh: no sanitizer report"
