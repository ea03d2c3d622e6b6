#!/usr/bin/env bash
# Sets up a virtual environment, installs the package with its station extra
# (so every command of the README works from it) and runs its main job:
# a full status query over a real serial device, against a virtual pump.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VENV:-.venv}
[ -x "$venv/bin/python" ] || "${PYTHON:-python3}" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check ".[station]"
exec "$venv/bin/tarvelpump" demo "$@"
