"""How fast the page's API answers at a hospital's size: 100 wards x 100 pumps.

A hub is filled by hand with 10,000 views (one in a hundred alarmed) as
``station view`` holds them, the page is served on loopback, and each
request is timed from the client: the first right after the start (every view's JSON made
then), and, 2 s after another start (made in the background meanwhile), the first and
the median and worst of the next 20, for the whole site, its
alarmed pumps with the per-ward counts, and one ward. Then 1,000 rounds of a
single changed pump are published, as a busy site's gateways do, and the
server's CPU time per round is measured.

    python bench/hospital_page.py [--wards 100] [--pumps 100]
"""

from __future__ import annotations

import argparse
import dataclasses
import statistics
import time
import urllib.request
from datetime import timedelta

from tarvelpump.station.hub import Hub
from tarvelpump.station.records.model import ONLINE, PumpView, RoundResult, now
from tarvelpump.station.outputs.web import serve


def views(wards: int, pumps: int) -> dict[str, list[PumpView]]:
    t = now()
    out: dict[str, list[PumpView]] = {}
    for w in range(wards):
        ward = f"ward {w}"
        out[ward] = []
        for n in range(pumps):
            v = PumpView(id=f"w{w}.bed-{n}", label=f"bed {n}", link=f"w{w}.radio", addr=n, channel=0, station=ward,
                         presence=ONLINE, last_seen=t, running=2, running_name="RUN", running_text="运行",
                         remaining_s=3600, rate_unit=0, rate_unit_text="毫升", door=0, round_s=15.0, answered=9)
            if n == w % pumps:
                v = dataclasses.replace(v, alarms=["ALARM_OCCLUSION"], alarm_word=0x100, top_alarm="ALARM_OCCLUSION",
                                        top_alarm_text="管路堵塞", top_alarm_rank=0,
                                        alarm_since=t - timedelta(seconds=w))
            out[ward].append(v)
    return out


def timed(url: str) -> tuple[float, int]:
    started = time.perf_counter()
    with urllib.request.urlopen(url, timeout=60) as r:
        body = r.read()
    return time.perf_counter() - started, len(body)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--wards", type=int, default=100)
    ap.add_argument("--pumps", type=int, default=100)
    args = ap.parse_args()
    hub = Hub()
    site = views(args.wards, args.pumps)
    for ward, vs in site.items():
        hub.publish(RoundResult(link=ward, started=now(), duration_s=0.0, exchanges=0, readings=(), events=(),
                                views=tuple(vs)))
    srv = serve(hub, None, port=0, wards=True)
    try:
        print(f"{args.wards * args.pumps} pumps in {args.wards} wards")
        cold, _ = timed(srv.url + "api/pumps")
        print(f"  /api/pumps at once after the start (the views' JSON not made yet): {cold * 1000:.1f} ms")
        srv.stop()
        srv = serve(hub, None, port=0, wards=True)
        time.sleep(2.0)  # the server makes every view's JSON in the background meanwhile
        for what, query in (("whole site", ""), ("alarmed + ward counts", "?alarmed=1"), ("one ward", "?ward=ward%207")):
            first, size = timed(srv.url + "api/pumps" + query)
            rest = [timed(srv.url + "api/pumps" + query)[0] for _ in range(20)]
            print(f"  /api/pumps{query:<12} {what:<22} first {first * 1000:7.1f} ms, then median "
                  f"{statistics.median(rest) * 1000:7.1f} ms, worst {max(rest) * 1000:7.1f} ms ({size / 1e6:.2f} MB)")
        cpu = time.process_time()
        wall = time.perf_counter()
        for i in range(1000):
            ward = f"ward {i % args.wards}"
            v = dataclasses.replace(site[ward][i % args.pumps], last_seen=now(), remaining_s=3600 - i)
            hub.publish(RoundResult(link=ward, started=now(), duration_s=0.0, exchanges=0, readings=(), events=(),
                                    views=(v,)))
        time.sleep(0.5)
        print(f"  1,000 rounds of one changed pump: {(time.process_time() - cpu) * 1000 / 1000:.3f} ms CPU each "
              f"(no page open), {time.perf_counter() - wall:.2f} s wall")
    finally:
        srv.stop()


if __name__ == "__main__":
    main()
