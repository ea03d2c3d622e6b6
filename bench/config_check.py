"""How long the station's configuration check takes for large wards.

    python bench/config_check.py                 # 1,000, 4,000 and 10,000 pumps
    python bench/config_check.py --pumps 20000

Each size is a generated TOML file (ten links on missing ports, every pump
with its own address), read and checked by ``load_config`` as `tarvelpump
station run` does before anything opens: the median of three runs, split into
the TOML parse alone and the whole check. Target: 10,000 pumps within 3 s.
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time
import tomllib
from pathlib import Path

from tarvelpump.station.settings.config import load_config

TARGET_S = 3.0


def ward(pumps: int, links: int = 10) -> str:
    lines = ['[store]\npath = "ward.sqlite"']
    lines += [f'[[link]]\nname = "radio-{j}"\nport = "/dev/ttyUSB{j}"' for j in range(links)]
    lines += [f'[[pump]]\nlabel = "bed {i}"\nlink = "radio-{i % links}"\naddr = {i // links}\nchannel = 1'
              for i in range(pumps)]
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pumps", type=int, action="append", help="ward sizes (default 1000, 4000, 10000)")
    args = parser.parse_args()
    sizes = args.pumps or [1000, 4000, 10_000]
    print(f"{'pumps':>7} {'TOML parse':>11} {'whole check':>12}")
    worst = 0.0
    with tempfile.TemporaryDirectory() as folder:
        for n in sizes:
            path = Path(folder) / f"ward-{n}.toml"
            path.write_text(ward(n))
            parse, whole = [], []
            for _ in range(3):
                t0 = time.perf_counter()
                tomllib.loads(path.read_text())
                t1 = time.perf_counter()
                config = load_config(path)
                t2 = time.perf_counter()
                assert len(config.pumps) == n
                parse.append(t1 - t0)
                whole.append(t2 - t1)
            print(f"{n:>7,} {statistics.median(parse):>10.2f}s {statistics.median(whole):>11.2f}s")
            if n == 10_000:
                worst = statistics.median(whole)
    if worst:
        print(f"10,000 pumps: {worst:.2f} s (target <= {TARGET_S:g} s): {'met' if worst <= TARGET_S else 'MISSED'}")
    return 0 if worst <= TARGET_S else 1


if __name__ == "__main__":
    raise SystemExit(main())
