#!/usr/bin/env bash
# Reference-leak check on CPython's debug build, in the style of its -R option.
#   scripts/leaks-debug-python.sh [WARMUP:ROUNDS] [pytest arguments]   (default 3:3)
#
# Installs Debian's python3.11-dbg (and python3.11-dev, python3.11-venv) when
# missing, builds the package against it in a virtual environment of its own
# (build/dbg, or $COMM_DBG_BUILD) and runs tests/test_leaks.py with
# TARVELPUMP_LEAK_ROUNDS: every scenario runs WARMUP rounds, then ROUNDS
# counted rounds, and after each round sys.gettotalrefcount(), the number of
# allocated blocks and the open descriptors are compared with the round
# before. A scenario fails when every counted round leaked references, or any
# round changed the descriptors or the reference count of a watched object.
# The figures of every scenario are printed at the end (and kept in
# build/dbg/leaks.txt). Then the whole suite runs once on the debug
# interpreter, whose own checks catch a reference count gone wrong.
set -euo pipefail

rounds="${1:-3:3}"
shift || true
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${COMM_DBG_BUILD:-$root/build/dbg}"
venv="$build/venv"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

if ! command -v python3.11-dbg >/dev/null 2>&1 || [ ! -e /usr/include/python3.11d/Python.h ] \
        || ! python3.11-dbg -c 'import ensurepip' >/dev/null 2>&1; then
    echo "leaks-debug-python.sh: installing python3.11-dbg" >&2
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
        python3.11-dbg python3.11-dev python3.11-venv >/dev/null
fi

mkdir -p "$build"
[ -x "$venv/bin/python" ] || python3.11-dbg -m venv "$venv"
py="$venv/bin/python"
"$py" -c 'import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"'
# pip's own warnings (a debug interpreter shows ResourceWarning) are noise here.
pip() { PYTHONWARNINGS=ignore "$py" -m pip -q --disable-pip-version-check "$@"; }
pip install --upgrade pip
pip install pyserial pytest hypothesis scikit-build-core cmake ninja
# Debian's /usr/include/python3.11d holds symbolic links to the release
# headers beside its own pyconfig.h. Included as a system directory (-isystem,
# CMake's way for imported targets), g++ resolves those links and then finds
# the release pyconfig.h: the module would build without Py_DEBUG, and its
# reference counting would not show in sys.gettotalrefcount(). So the Python
# headers come in with a plain -I.
pip install --no-build-isolation --force-reinstall --no-deps \
    --config-settings=build-dir="$build/cmake" --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=cmake.define.CMAKE_NO_SYSTEM_FROM_IMPORTED=ON "$root"
# The module must be built for the debug ABI (…311d…so) and count its
# references: constructing and dropping objects leaves the total unchanged.
(cd "$build" && "$py" -c '
import gc, sys, sysconfig, tarvelpump.comm as comm
suffix = sysconfig.get_config_var("EXT_SUFFIX")
assert comm.__file__.endswith(suffix), (comm.__file__, suffix)
def churn():
    for _ in range(1000):
        comm.Kelt(); comm.DeviceReturn(comm.Command.GET_PUMP_STATUS); len(comm.PumpStatus)
churn(); gc.collect(); before = sys.gettotalrefcount()
churn(); gc.collect(); drift = sys.gettotalrefcount() - before
assert abs(drift) < 100, f"the module does not count its references with Py_DEBUG ({drift})"
print("leaks-debug-python.sh: testing", comm.__file__, "on", sys.version.split()[0], "(debug)")
')

report="$build/leaks.txt"
rm -f "$report"
cd "$root"
status=0
TARVELPUMP_LEAK_ROUNDS="$rounds" TARVELPUMP_LEAK_REPORT="$report" \
    "$py" -m pytest -q -p no:cacheprovider tests/test_leaks.py "$@" || status=$?
echo
echo "Reference, block and descriptor deltas per counted round ($rounds):"
cat "$report"
if [ "$status" -ne 0 ]; then
    echo "leaks-debug-python.sh: leaks found" >&2
    exit "$status"
fi
echo "leaks-debug-python.sh: no leaked references"

echo
echo "The driver's suite on the debug interpreter (the station's needs its extra):"
"$py" -m pytest -q -p no:cacheprovider --ignore=tests/station "$@"
