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


def test_runner_isolates_and_cuts_down_what_it_finds(tmp_path):
    # Planted failures, so that the machinery itself is checked: a SystemError,
    # then a crash and a hang in the middle of a batch, then a case that must still run.
    planted = {
        "system_error.py": "k = Kelt()\nwith attempt(): raise SystemError('planted')\n",
        "crash.py": "k = Kelt()\nwith attempt(): k.get_pump_status()\nimport os; os.abort()\n",
        "hang.py": "k = Kelt()\nwhile k: pass\n",
        "after.py": "comm.hex_str = None\nwith attempt(): raise MemoryError\n",
    }
    for name, text in planted.items():
        (tmp_path / name).write_text("from kit import *\n" + text)
    result = subprocess.run(
        [sys.executable, str(RUNNER), "--replay", *(str(tmp_path / n) for n in planted),
         "--minimize-seconds", "30", "--case-timeout", "2"], capture_output=True, text=True, timeout=120)
    out = result.stdout
    assert result.returncode == 1, out + result.stderr
    assert out.startswith("hostile: replay, 4 cases, ") and "4 failing case(s) in 4 group(s)" in out, out
    crash, system_error, memory, hang = out.split("\n--- ")[1:]
    assert crash.startswith("1. crash in abort: signal SIGABRT: Fatal Python error: Aborted (statement 4)"), out
    assert crash.endswith("from kit import *\nimport os\nos.abort()\n"), out  # the query is cut away
    assert system_error.startswith("2. SystemError in SystemError: SystemError raised: planted (statement 2)"), out
    assert system_error.endswith("from kit import *\nwith attempt(): raise SystemError()\n"), out
    assert memory.startswith("3. MemoryError: MemoryError raised: the child's memory ran out (statement 2)"), out
    assert memory.endswith("from kit import *\nwith attempt(): raise MemoryError\n"), out
    assert hang.startswith("4. hang: no answer within 2 s (statement 2)"), out
    assert hang.endswith("from kit import *\nk = Kelt()\nwhile k: pass\n"), out
