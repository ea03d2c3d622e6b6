#!/usr/bin/env bash
# Installs a ward station as a systemd service. As root:
#   bash scripts/install-service.sh [--config FILE] [--from SPEC] [--root DIR]
#
# - a venv in /opt/tarvelpump with the package and its station extra, from
#   this checkout (a compiler needed) or from SPEC (a wheel: none needed);
# - /etc/tarvelpump/ward.toml from FILE (default examples/ward.toml) unless
#   one is there already, its store moved to /var/lib/tarvelpump, the
#   service's state directory (the service cannot write /etc);
# - the unit in /etc/systemd/system, then `systemctl daemon-reload`.
# --root DIR does all of it under DIR instead of / (and reloads nothing):
# the test script checks the unit that way with `systemd-analyze verify`.
# Then: edit the ports and pumps in /etc/tarvelpump/ward.toml,
#   tarvelpump station check --config /etc/tarvelpump/ward.toml
#   systemctl enable --now tarvelpump-station
set -euo pipefail
checkout="$(cd "$(dirname "$0")/.." && pwd)"
config="$checkout/examples/ward.toml"
from="$checkout"
root=""
while [ $# -gt 0 ]; do
    case "$1" in
        --config) config="$2"; shift 2 ;;
        --from) from="$2"; shift 2 ;;
        --root) root="$(realpath -m "$2")"; shift 2 ;;
        *) echo "install-service.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$root" ] && [ "$(id -u)" -ne 0 ]; then
    echo "install-service.sh: run as root (or with --root DIR)" >&2
    exit 2
fi

venv="$root/opt/tarvelpump"
[ -x "$venv/bin/python" ] || "${PYTHON:-python3}" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${from}[station]"
install -m 644 "$checkout/README.md" "$venv/README.md"

etc="$root/etc/tarvelpump"
install -d -m 755 "$etc"
if [ ! -e "$etc/ward.toml" ]; then
    # The store goes where the service may write; everything else as given.
    "$venv/bin/python" - "$config" "$etc/ward.toml" <<'PY'
import re, sys, tomllib
from pathlib import PurePath
text = open(sys.argv[1], encoding="utf-8").read()
store = tomllib.loads(text).get("store", {}).get("path", "ward.sqlite")
name = PurePath(store).name
head, sep, tail = text.partition("[store]")
if sep:
    tail = re.sub(r'(?m)^path\s*=.*$', f'path = "/var/lib/tarvelpump/{name}"', tail, count=1)
else:
    tail = f'\n[store]\npath = "/var/lib/tarvelpump/{name}"\n'
open(sys.argv[2], "w", encoding="utf-8").write(head + sep + tail)
PY
    chmod 644 "$etc/ward.toml"
fi

install -d -m 755 "$root/etc/systemd/system"
install -m 644 "$checkout/examples/tarvelpump-station.service" "$root/etc/systemd/system/"
if [ -z "$root" ]; then
    systemctl daemon-reload
    echo "installed; edit $etc/ward.toml, then: systemctl enable --now tarvelpump-station"
fi
