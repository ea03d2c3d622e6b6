#!/usr/bin/env bash
# The driver on every supported Python found here: for each of 3.11, 3.12
# and 3.13 (pyenv's newest of that version, else pythonX.Y on PATH) other
# than the one the main run uses, a virtual environment of its own
# (.venv-X.Y), the package built into it with warnings as errors, and the
# driver's suite, stubtest included (tests/ without tests/station).
# Usage: bash scripts/pythons.sh [X.Y to skip: the main run's version]
set -euo pipefail
cd "$(dirname "$0")/.."

skip=${1:-}
supported=(3.11 3.12 3.13)

# The interpreter of version $1, or nothing. A pyenv shim on PATH may answer
# for another version, so each candidate is asked which version it is.
find_python() {
    local candidate
    for candidate in $(ls -d "$HOME"/.pyenv/versions/"$1".*/bin/python3 2>/dev/null | sort -V -r) \
        "$(command -v "python$1" || true)"; do
        if [ -x "$candidate" ] &&
            [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$1" ]; then
            echo "$candidate"
            return
        fi
    done
}

ran=()
for version in "${supported[@]}"; do
    [ "$version" = "$skip" ] && continue
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        echo "pythons.sh: no Python $version here, not tested on it" >&2
        continue
    fi
    venv=.venv-$version
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check cmake ninja
    COMM_WERROR=ON "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]"
    echo "pythons.sh: the driver's suite on $("$venv/bin/python" -VV | head -n 1)" >&2
    "$venv/bin/python" -m pytest tests --ignore=tests/station -q -p no:cacheprovider
    ran+=("$version")
done
echo "pythons.sh: driver suite passed on: ${ran[*]:-none} (and $skip in the main run)" >&2
