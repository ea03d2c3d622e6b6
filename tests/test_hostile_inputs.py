"""Generated hostile callers (tests/hostile/) against tarvelpump.comm: lists
that change under the module, lying lengths, raising __index__/__eq__/
__hash__/__bool__, rebound module globals and subclasses that override every
method, each run in a child interpreter under PYTHONMALLOC=debug. None may
crash the child, hang it, run it out of memory, raise SystemError, write a
frame that contradicts itself or pass over an overridden __chkd. A fixed, seeded share of the cases
runs here (about half a minute); `python tests/hostile/run_hostile.py --help`
runs more.
"""

import subprocess
import sys
from pathlib import Path

RUNNER = Path(__file__).parent / "hostile" / "run_hostile.py"


def test_no_hostile_input_crashes_hangs_or_raises_system_error():
    result = subprocess.run(
        [sys.executable, str(RUNNER), "--seed", "8", "--cases", "1200", "--batch", "100", "--jobs", "2",
         "--case-timeout", "4", "--minimize-seconds", "20", "--max-reports", "12"],
        capture_output=True, text=True, timeout=240)
    summary = result.stdout.splitlines()[0] if result.stdout else ""
    assert summary.startswith("hostile: seed 8, 1200 cases"), result.stdout + result.stderr
    assert result.returncode == 0 and " 0 failing case(s)" in summary, result.stdout + result.stderr[-3000:]
