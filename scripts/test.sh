#!/usr/bin/env bash
# Sets up a virtual environment from scratch (or reuses it), installs the
# package with its station and test extras, the system programs the station's
# tests run for real (Mosquitto, Chromium and its driver, a CJK font, promtool)
# where they are missing, then runs the C++ core tests (with the fuzz corpus
# replayed), a short fuzz run of the core, mypy, the driver's suite on every
# other supported Python, the wheel, the systemd unit's checks, and the
# pytest suite.
# Usage: bash scripts/test.sh [pytest arguments]
# COMM_TEST_FUZZ_SECONDS sets the fuzz run (default 30, 0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."

# The broker and the browser come from Debian; without root (or apt-get) the
# tests that need them say so and skip.
need=()
command -v mosquitto >/dev/null 2>&1 || [ -x /usr/sbin/mosquitto ] || need+=(mosquitto)
[ -x /usr/lib/chromium/chromium ] || need+=(chromium)
command -v chromedriver >/dev/null 2>&1 || need+=(chromium-driver)
[ -e /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc ] || need+=(fonts-wqy-zenhei)
# promtool checks and unit-tests the example alert rules
command -v promtool >/dev/null 2>&1 || need+=(prometheus)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "test.sh: installing ${need[*]}" >&2
        apt-get update -qq >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${need[@]}" >/dev/null
    else
        echo "test.sh: missing ${need[*]}; the tests that need them skip" >&2
    fi
fi

venv=${VENV:-.venv}
python=${PYTHON:-python3}
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
py="$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check cmake ninja clang-format==18.1.8

# Warnings are errors here, not in a user's plain `pip install .`.
COMM_WERROR=ON "$py" -m pip install -q --disable-pip-version-check ".[station,test,docs]"

# The C++ keeps the one layout of .clang-format.
find src/comm \( -name '*.cpp' -o -name '*.hpp' \) -print0 |
    xargs -0 "$venv/bin/clang-format" --dry-run --Werror

"$venv/bin/cmake" -S . -B build/core -G Ninja -DCOMM_CORE_ONLY=ON -DCOMM_WERROR=ON >/dev/null
"$venv/bin/cmake" --build build/core
"$venv/bin/ctest" --test-dir build/core --output-on-failure

# libFuzzer needs clang: fuzz.sh installs it where it may (as root), else the
# run is left to whoever has it.
fuzz_seconds=${COMM_TEST_FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" -gt 0 ]; then
    if command -v clang++ >/dev/null 2>&1 || [ "$(id -u)" -eq 0 ]; then
        command -v clang++ >/dev/null 2>&1 ||
            echo "test.sh: installing clang and its fuzzer runtime for the fuzz run (scripts/fuzz.sh)" >&2
        PATH="$PWD/$venv/bin:$PATH" bash scripts/fuzz.sh "$fuzz_seconds" 2>&1 | tail -n 12
    else
        echo "test.sh: no clang++, short fuzz run skipped (bash scripts/fuzz.sh runs it)" >&2
    fi
fi

# The package's own types, strictly ([tool.mypy] in pyproject.toml).
"$py" -m mypy

# The documentation site builds without a warning (a broken link fails it).
"$venv/bin/mkdocs" build --strict --quiet --site-dir build/site

# --- every supported Python, and the wheel ---------------------------------
# The driver's suite (stubtest included) on each other supported Python
# found here, each in its own .venv-X.Y; then the sdist and the manylinux
# wheel, installed and run where no compiler is on PATH. The station's suite
# runs once, below, in the main environment. COMM_TEST_PYTHONS=0 and
# COMM_TEST_WHEEL=0 skip them.
main_version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
[ "${COMM_TEST_PYTHONS:-1}" = 0 ] || bash scripts/pythons.sh "$main_version"
[ "${COMM_TEST_WHEEL:-1}" = 0 ] || bash scripts/wheel.sh "$py"
# --- end of every supported Python, and the wheel --------------------------

# The systemd unit as scripts/install-service.sh installs it (from the wheel
# just made, when there is one): verified, and its exposure at most 3.0.
wheel=$(ls dist/*manylinux*.whl 2>/dev/null | head -n 1 || true)
bash scripts/check-service.sh ${wheel:+"$PWD/$wheel"}

exec "$py" -m pytest "$@"
