"""Runs generated hostile cases (cases.py) against tarvelpump.comm in child
processes under PYTHONMALLOC=debug, and reports every case that crashes the
child, hangs it, runs it out of memory, raises SystemError, writes a frame
that contradicts itself or passes over an overridden __chkd, each with a
minimal reproduction.

    python tests/hostile/run_hostile.py [--seed 1] [--cases 2000] [--jobs 2]

Against the ASan build that scripts/sanitize.sh makes (the report then names
the function that went wrong; PYTHONMALLOC becomes malloc):

    LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
        build/asan/venv/bin/python tests/hostile/run_hostile.py --python build/asan/venv/bin/python

A child runs a batch of cases one after another, restoring the module's state
between them. When a child dies or stops answering, the batch is bisected to
the case (or the few cases) that do it; the statements of each failing case
are then cut down while the failure stays. Exit status 0: nothing found.
"""

import argparse
import ast
import json
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from cases import make_case  # noqa: E402

MEMORY_LIMIT = 1 << 30  # a case that drains an endless iterator fails here, not in the machine
START_TIMEOUT = 30.0
REPRO_HEADER = ("# save as FILE, then: python tests/hostile/run_hostile.py --replay FILE\n"
                "from kit import *\n")


# ------------------------------------------------------------ the child


def child_main(case_timeout):
    """Reads [[id, [statement, ...]], ...] from stdin; answers on the saved
    stdout with `start ID`, `done ID [failures]` and finally `end`."""
    proto = os.fdopen(os.dup(1), "w")
    sys.stdout = open(os.devnull, "w")
    cases = json.load(sys.stdin)
    import faulthandler
    import logging

    import kit
    import serial
    import serial.serialutil

    comm = kit.comm
    logger = logging.getLogger("tarvelpump.comm")
    modules = [comm, serial, serial.serialutil]
    saved = [dict(vars(m)) for m in modules]
    kelt = comm.Kelt
    saved_kelt = dict(vars(kelt))
    saved_logger = (logger.level, list(logger.handlers), logger.disabled)

    def restore():
        for module, before in zip(modules, saved):
            now = vars(module)
            for name in [n for n in now if n not in before]:
                del now[name]
            for name, value in before.items():
                if now.get(name, before) is not value:
                    now[name] = value
        for name in [n for n in vars(kelt) if n not in saved_kelt]:
            delattr(kelt, name)
        for name, value in saved_kelt.items():
            if vars(kelt).get(name) is not value and not name.startswith("__"):
                setattr(kelt, name, value)
        logger.handlers[:], logger.disabled = saved_logger[1], saved_logger[2]
        logger.setLevel(saved_logger[0])  # also empties the logger's isEnabledFor cache
        kit.install_defaults()
        kit.FAILURES.clear()

    for case_id, statements in cases:
        proto.write(f"start {case_id}\n")
        proto.flush()
        namespace = {"__name__": "__hostile__"}
        # Shows where a case hangs before the parent gives up on it.
        faulthandler.dump_traceback_later(case_timeout * 0.8)
        try:
            exec("from kit import *", namespace)
            exec(compile("\n".join(statements) + "\n", f"<case {case_id}>", "exec"), namespace)
        except Exception as exc:  # an ordinary exception outside attempt(): fine unless SystemError
            kit.note_exception(exc, "raised")
        faulthandler.cancel_dump_traceback_later()
        namespace.clear()
        failures = list(kit.FAILURES)
        restore()
        proto.write(f"done {case_id} {json.dumps(failures)}\n")
        proto.flush()
    proto.write("end\n")
    proto.flush()


# ------------------------------------------------------------ running children


class Outcome:
    """What a child made of a list of cases."""

    def __init__(self):
        self.done = []        # (case id, failures) in order
        self.stuck = None     # id of the case running when the child died or hung
        self.kind = None      # None, "crash" or "hang"
        self.detail = ""

    @property
    def failed(self):
        return self.kind is not None


class Runner:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.children = 0

    def env(self):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")])))
        asan = "asan" in env.get("LD_PRELOAD", "")
        malloc = self.args.malloc if self.args.malloc is not None else ("malloc" if asan else "debug")
        if malloc:
            env["PYTHONMALLOC"] = malloc
        if asan:
            # No address-space limit under ASan: let its allocator fail instead.
            env["ASAN_OPTIONS"] = ":".join(filter(None, [
                env.get("ASAN_OPTIONS"), "soft_rss_limit_mb=1024", "allocator_may_return_null=1"]))
        return env

    def limits(self):
        if "asan" not in os.environ.get("LD_PRELOAD", ""):  # ASan reserves terabytes of address space
            import resource

            resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))

    def run(self, cases):
        """Runs [(id, statements), ...] in one child."""
        with self.lock:
            self.children += 1
        outcome = Outcome()
        with tempfile.TemporaryFile("w+") as err:
            proc = subprocess.Popen(
                [self.args.python, "-X", "faulthandler", str(Path(__file__).resolve()), "--child",
                 "--case-timeout", str(self.args.case_timeout)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, env=self.env(),
                preexec_fn=self.limits, start_new_session=True, text=True)
            try:
                proc.stdin.write(json.dumps([[i, s] for i, s in cases]))
                proc.stdin.close()
            except BrokenPipeError:  # died at start-up: told below
                pass
            deadline = time.monotonic() + START_TIMEOUT
            ended = False
            while True:
                left = deadline - time.monotonic()
                ready, _, _ = select.select([proc.stdout], [], [], max(left, 0))
                if not ready:
                    os.killpg(proc.pid, signal.SIGKILL)
                    outcome.kind = "hang"
                    err.seek(0)
                    outcome.detail = f"no answer within {self.args.case_timeout:g} s" + where(err.read())
                    break
                line = proc.stdout.readline()
                if not line:
                    break
                word, _, rest = line.rstrip("\n").partition(" ")
                if word == "start":
                    outcome.stuck = int(rest)
                elif word == "done":
                    case_id, _, failures = rest.partition(" ")
                    outcome.done.append((int(case_id), json.loads(failures)))
                    outcome.stuck = None
                elif word == "end":
                    ended = True
                deadline = time.monotonic() + self.args.case_timeout
            proc.stdout.close()
            code = proc.wait()
            if outcome.kind is None and not (ended and code == 0):
                outcome.kind = "crash"
                err.seek(0)
                outcome.detail = crash_detail(code, err.read())
        return outcome

    def fails_alike(self, cases, kind):
        outcome = self.run(cases)
        if kind in ("crash", "hang"):
            return outcome.kind == kind
        return any(failure_kind(f) == kind for _, fs in outcome.done for f in fs)


def crash_detail(code, stderr):
    try:
        name = f"signal {signal.Signals(-code).name}" if code < 0 else f"exit status {code}"
    except ValueError:
        name = f"signal {-code}"
    # A sanitizer's report says more than faulthandler's line: it names the
    # function that went wrong, the first frame that is not the sanitizer's own.
    at = max(stderr.find("ERROR: AddressSanitizer"), stderr.find("runtime error:"))
    report = stderr[at:] if at >= 0 else stderr
    lines = [line.strip() for line in report.splitlines()
             if re.search(r"Fatal Python error|ERROR: AddressSanitizer|runtime error:|Debug memory block", line)]
    frames = [f for f in re.findall(r"#\d+ 0x[0-9a-f]+ in (\S+)", report)
              if not f.startswith(("__interceptor", "__asan", "__sanitizer", "__ubsan"))]
    text = f"{name}: {lines[0]}" if lines else name
    text = re.sub(r"==\d+==| on (unknown )?address 0x[0-9a-f]+.*", "", text)
    return text + (f" in {frames[0]}" if at >= 0 and frames else "") + where(stderr)


def where(stderr):
    """The statement of the case that a faulthandler dump shows running."""
    lines = re.findall(r'File "<case \d+>", line (\d+)', stderr)
    return f" (statement {lines[-1]})" if lines else ""


def failure_kind(text):
    return text.split(" ", 1)[0] if text.startswith(("SystemError", "MemoryError", "override")) else "frame"


# ------------------------------------------------------------ bisecting and cutting down


def isolate(runner, ran, stuck, kind, budget):
    """The fewest of the cases `ran` that, followed by `stuck`, still fail;
    usually `stuck` alone. None when not even all of them fail again (a
    hang that was the machine's load, not the case's)."""
    if runner.fails_alike([stuck], kind):
        return [stuck]
    if not runner.fails_alike(ran + [stuck], kind):
        return None
    candidates, n = list(ran), 2
    while candidates and time.monotonic() < budget:
        size = max(1, len(candidates) // n)
        chunks = [candidates[i:i + size] for i in range(0, len(candidates), size)]
        for chunk in chunks:
            rest = [c for c in candidates if c not in chunk]
            if runner.fails_alike(rest + [stuck], kind):
                candidates, n = rest, max(n - 1, 2)
                break
        else:
            if size == 1:
                break
            n = min(len(candidates), n * 2)
    return candidates + [stuck]


def simpler(statement):
    """Variants of a statement, each with one argument of one call left out."""
    try:
        tree = ast.parse(statement)
    except SyntaxError:
        return
    calls = [node for node in ast.walk(tree) if isinstance(node, ast.Call)]
    for n, call in enumerate(calls):
        for field in ("keywords", "args"):
            for i in range(len(getattr(call, field))):
                variant = ast.parse(statement)
                target = [node for node in ast.walk(variant) if isinstance(node, ast.Call)][n]
                del getattr(target, field)[i]
                lines = ast.unparse(variant).split("\n")
                if len(lines) == 2 and lines[0].endswith(":"):  # keep `with attempt(): call` on one line
                    lines = [lines[0] + " " + lines[1].strip()]
                yield "\n".join(lines)


def cut_down(runner, statements, kind, budget):
    """Drops statements, then call arguments, one at a time while the case
    still fails the same way."""
    current = list(statements)
    changed = True
    while changed and time.monotonic() < budget:
        changed = False
        for i in range(len(current) - 1, -1, -1):
            if time.monotonic() >= budget:
                break
            trial = current[:i] + current[i + 1:]
            if trial and runner.fails_alike([(0, trial)], kind):
                current, changed = trial, True
        for i in range(len(current)):
            for variant in simpler(current[i]):
                if time.monotonic() >= budget:
                    break
                trial = current[:i] + [variant] + current[i + 1:]
                if runner.fails_alike([(0, trial)], kind):
                    current[i], changed = variant, True
                    break
    return current


# ------------------------------------------------------------ the whole run


def operation_of(statements, detail):
    match = re.search(r"\(statement (\d+)\)", detail)
    line = statements[int(match.group(1)) - 1] if match and int(match.group(1)) <= len(statements) else ""
    call = re.search(r"(\w+)\(", line.split("attempt():", 1)[-1])
    return call.group(1) if call else ""


def statements_of(source):
    """The top-level statements of a reproduction, without its header."""
    tree = ast.parse(source)
    return [ast.get_source_segment(source, node) for node in tree.body
            if not (isinstance(node, ast.ImportFrom) and node.module == "kit")]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1, help="seed of the generated cases (default 1)")
    parser.add_argument("--cases", type=int, default=2000, help="number of cases (default 2000)")
    parser.add_argument("--first", type=int, default=0, help="index of the first case")
    parser.add_argument("--batch", type=int, default=100, help="cases per child (default 100)")
    parser.add_argument("--jobs", type=int, default=2, help="children at a time (default 2)")
    parser.add_argument("--case-timeout", type=float, default=5.0, help="seconds before a case counts as hung")
    parser.add_argument("--minimize-seconds", type=float, default=120.0,
                        help="time for bisecting and cutting down failures (default 120)")
    parser.add_argument("--max-reports", type=int, default=10, help="failures reproduced in full (default 10)")
    parser.add_argument("--python", default=sys.executable, help="interpreter of the children")
    parser.add_argument("--malloc", help="PYTHONMALLOC of the children (default debug; malloc when the "
                                         "ASan runtime is preloaded; '' leaves it alone)")
    parser.add_argument("--show", type=int, metavar="INDEX", help="print case INDEX and exit")
    parser.add_argument("--only", metavar="I,J,...", help="run just these cases, in this order, in one child")
    parser.add_argument("--replay", nargs="+", metavar="FILE",
                        help="run these reproductions (one case each, in one child) instead")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child_main(args.case_timeout)
        return 0
    if args.show is not None:
        print(REPRO_HEADER + "\n".join(make_case(args.seed, args.show)))
        return 0

    started = time.monotonic()
    runner = Runner(args)
    if args.replay:
        cases = dict(enumerate(statements_of(Path(f).read_text(encoding="utf-8")) for f in args.replay))
        ids = list(cases)
        batches = [ids]
    else:
        ids = [int(i) for i in args.only.split(",")] if args.only else \
            list(range(args.first, args.first + args.cases))
        batches = [ids] if args.only else [ids[i:i + args.batch] for i in range(0, len(ids), args.batch)]
        cases = {i: make_case(args.seed, i) for i in ids}
    found = []  # (kind, detail, [case ids])
    unconfirmed = []  # (kind, case id) that did not fail again
    found_lock = threading.Lock()
    bisect_budget = [None]

    def run_batch(batch):
        pending = list(batch)
        while pending:
            outcome = runner.run([(i, cases[i]) for i in pending])
            with found_lock:
                for case_id, failures in outcome.done:
                    for text in dict.fromkeys(failures):
                        found.append((failure_kind(text), text, [case_id]))
            if not outcome.failed:
                return
            ran = [i for i, _ in outcome.done]
            stuck = outcome.stuck if outcome.stuck is not None else (ran.pop() if ran else None)
            if stuck is None:
                with found_lock:
                    found.append((outcome.kind, outcome.detail + " before any case ran", []))
                return
            if bisect_budget[0] is None:
                bisect_budget[0] = time.monotonic() + args.minimize_seconds
            culprits = isolate(runner, [(i, cases[i]) for i in ran], (stuck, cases[stuck]), outcome.kind,
                               bisect_budget[0])
            with found_lock:
                if culprits is not None:
                    found.append((outcome.kind, outcome.detail, [c for c, _ in culprits]))
                elif outcome.kind == "crash":  # a crash is one, even if it depends on the heap's state
                    found.append((outcome.kind, outcome.detail + " (did not happen again when rerun)",
                                  [i for i in ran] + [stuck]))
                else:
                    unconfirmed.append((outcome.kind, stuck))
            pending = pending[pending.index(stuck) + 1:]

    with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        list(pool.map(run_batch, batches))
    ran_for = time.monotonic() - started

    # One report per kind of failure and operation; the rest are counted.
    groups = {}
    for kind, detail, ids_ in found:
        statements = cases[ids_[-1]] if ids_ else []
        text = detail.split(":")[0] if kind in ("frame", "override", "MemoryError") else detail  # not the bytes
        op = "" if kind in ("frame", "override") else operation_of(statements, detail)
        key = (kind, re.sub(r"\(statement \d+\)|0x[0-9a-f]+|\d+", "#", text), op)
        groups.setdefault(key, []).append((detail, ids_))
    end = time.monotonic() + args.minimize_seconds
    order = {"crash": 0, "SystemError": 1, "override": 2, "frame": 3, "MemoryError": 4, "hang": 5}
    print(f"hostile: {'replay' if args.replay else f'seed {args.seed}'}, {len(ids)} cases, "
          f"{runner.children} children, {ran_for:.1f} s; "
          f"{len(found)} failing case(s) in {len(groups)} group(s)")
    for kind, case_id in unconfirmed:
        print(f"(a {kind} in case {case_id} did not happen again when rerun; not counted)")
    reports = sorted(groups.items(), key=lambda g: (order.get(g[0][0], 9), g[0]))
    for n, ((kind, _, op), members) in enumerate(reports):
        detail, ids_ = members[0]
        print(f"\n--- {n + 1}. {kind}{' in ' + op if op else ''}: {detail}")
        print(f"    cases {', '.join(str(i) for _, c in members for i in c[-1:])}")
        if n >= args.max_reports or not ids_:
            continue
        if len(ids_) == 1:
            share = (end - time.monotonic()) / (min(len(reports), args.max_reports) - n)
            body = cut_down(runner, cases[ids_[0]], kind, time.monotonic() + share)
            print(REPRO_HEADER + "\n".join(body))
        else:  # the failure needs earlier cases of the same child
            print(f"needs several cases in one child: python {Path(__file__).name} --seed {args.seed} "
                  f"--only {','.join(map(str, ids_))}  (--show I prints case I)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
