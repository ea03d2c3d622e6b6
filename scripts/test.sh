#!/usr/bin/env bash
# Sets up a virtual environment from scratch (or reuses it), installs the
# package with its test extra, then runs the C++ core tests and the pytest
# suite. Usage: bash scripts/test.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${VENV:-.venv}
python=${PYTHON:-python3}
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
py="$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check cmake ninja

# Warnings are errors here, not in a user's plain `pip install .`.
COMM_WERROR=ON "$py" -m pip install -q --disable-pip-version-check ".[test]"

"$venv/bin/cmake" -S . -B build/core -G Ninja -DCOMM_CORE_ONLY=ON -DCOMM_WERROR=ON >/dev/null
"$venv/bin/cmake" --build build/core
"$venv/bin/ctest" --test-dir build/core --output-on-failure

exec "$py" -m pytest "$@"
