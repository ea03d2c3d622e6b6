#!/usr/bin/env bash
# Checks the systemd unit as scripts/install-service.sh installs it: the
# steps run under a scratch root, then `systemd-analyze verify` must be clean
# and `systemd-analyze security --offline=true` must rate it 3.0 or less.
#   bash scripts/check-service.sh [SPEC]   (SPEC: a wheel to install; default this checkout)
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "check-service.sh: no systemd-analyze, unit not checked" >&2
    exit 0
fi
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
bash scripts/install-service.sh --root "$root" ${1:+--from "$1"}
# verify resolves the unit's dependencies (sysinit.target, ...) under the root.
mkdir -p "$root/usr/lib"
cp -r /usr/lib/systemd "$root/usr/lib/"
unit=tarvelpump-station.service
systemd-analyze verify --root="$root" "$unit"
"$root/opt/tarvelpump/bin/tarvelpump" station check --config "$root/etc/tarvelpump/ward.toml" >/dev/null
level="$(systemd-analyze security --offline=true "$root/etc/systemd/system/$unit" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')"
echo "check-service.sh: verify clean, exposure $level"
awk -v l="$level" 'BEGIN { exit !(l != "" && l + 0 <= 3.0) }' ||
    { echo "check-service.sh: exposure $level is above 3.0" >&2; exit 1; }
