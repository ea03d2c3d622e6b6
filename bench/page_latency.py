#!/usr/bin/env python3
"""Page update latency: a virtual pump raises an alarm -> the page shows it on top.

    python bench/page_latency.py            # 20 alarms at 9600 baud
    python bench/page_latency.py -n 50 --baud 115200 --screenshot /tmp/station-page.png

Runs the station demo in-process (twelve pumps on two virtual radios,
nothing moving on its own) and a headless Chromium on its page.
For each alarm, a watcher installed in the page beforehand polls the DOM
every 5 ms and notes the wall-clock time at which the alarmed pump's tile
is first on top with the alarm's name; the latency is that time minus the
moment the virtual pump's alarm word was changed. Both clocks are this
machine's. The alarm is cleared (and seen to clear) before the next one.
The figure includes the poller's wait for the pump's turn and for the end
of the round (views are published per round), so it lies between about
one and two rounds of the link; "page share" is the part after the round
reached the hub: the event stream, the browser's parsing and drawing.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "station"))

from _browser import chromium, missing  # noqa: E402

from tarvelpump.station.settings.config import PollConfig  # noqa: E402
from tarvelpump.station.cli.demo import Demo  # noqa: E402
from tarvelpump.station.records.model import RoundResult  # noqa: E402

OCCLUSION = 0x100

WATCH_JS = """
const [label, present] = arguments;
window.__seen = null;
clearInterval(window.__watch);
window.__watch = setInterval(() => {
  const top = document.querySelector('#pumps .tile');
  const on = !!top && top.querySelector('.label').textContent === label
             && top.innerText.includes('Occlusion');
  if (on === present) { window.__seen = Date.now() / 1000; clearInterval(window.__watch); }
}, 5);
"""

WAIT_JS = """
const done = arguments[arguments.length - 1];
const check = () => window.__seen !== null ? done(window.__seen) : setTimeout(check, 5);
check();
"""


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-n", type=int, default=20, help="alarms to raise (default 20)")
    ap.add_argument("--baud", type=int, default=9600, help="line speed of the virtual radios (default 9600)")
    ap.add_argument("--gap", type=float, default=0.02, help="seconds between exchanges (default 0.02)")
    ap.add_argument("--screenshot", help="save the page with the last alarm standing")
    args = ap.parse_args()
    why = missing()
    if why:
        print(f"page latency: skipped, {why}")
        return 0
    with tempfile.TemporaryDirectory(prefix="page-latency-") as tmp, Demo(
        moving=False, seed=1, baud=args.baud, poll=PollConfig(gap=args.gap, near_end_s=300)
    ) as demo:
        assert demo.station is not None
        published: dict[str, float] = {}
        rounds: list[float] = []
        lock = threading.Lock()

        def on_round(result: RoundResult) -> None:
            t = time.time()
            with lock:
                rounds.append(result.duration_s)
                for v in result.views:
                    if v.alarms and v.label not in published:
                        published[v.label] = t

        demo.station.hub.add(on_round)
        driver = chromium(Path(tmp))
        try:
            driver.set_script_timeout(30)
            assert demo.http_url
            driver.get(demo.http_url)
            deadline = time.monotonic() + 20
            while len(driver.find_elements("css selector", "#pumps .tile")) < 12:
                if time.monotonic() > deadline:
                    raise SystemExit("the page never showed the twelve pumps")
                time.sleep(0.05)
            labels = [f"bed {n}" for n in range(1, 13)]
            latencies: list[float] = []
            shares: list[float] = []
            for i in range(args.n):
                label = labels[(i * 5 + 3) % 12]  # both radios, never the top one by label
                pump = demo.pump(label)
                driver.execute_script(WATCH_JS, label, True)
                with lock:
                    published.pop(label, None)
                raised = time.time()
                pump.update(alarm=OCCLUSION)
                seen = float(driver.execute_async_script(WAIT_JS))
                latencies.append(seen - raised)
                with lock:
                    shares.append(seen - published[label])
                if i == args.n - 1 and args.screenshot:
                    driver.save_screenshot(args.screenshot)
                driver.execute_script(WATCH_JS, label, False)
                pump.update(alarm=0)
                driver.execute_async_script(WAIT_JS)
        finally:
            driver.quit()
    print(f"page latency (virtual alarm -> on top of the page), {len(latencies)} alarms, "
          f"12 pumps on 2 radios at {args.baud} baud, gap {args.gap} s, "
          f"median round {statistics.median(rounds) * 1000:.0f} ms:")
    for name, values in (("alarm -> page", latencies), ("page share", shares)):
        values.sort()
        p95 = values[min(len(values) - 1, round(0.95 * (len(values) - 1)))]
        print(f"  {name:14} median {statistics.median(values) * 1000:5.0f} ms   p95 {p95 * 1000:5.0f} ms   "
              f"min {values[0] * 1000:5.0f} ms   max {values[-1] * 1000:5.0f} ms")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
