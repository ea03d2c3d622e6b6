"""Leak checks shared by the pytest files.

Two helpers:

``assert_no_leak(fn)``: the quick loop used by the record and table tests
(allocated blocks, and total references on a debug build).

``assert_steady(fn, calls)``: the loop of tests/test_leaks.py. After a
warm-up it calls ``fn`` ``calls`` more times and measures the net growth of

- live objects (``len(gc.get_objects())``, after a collection),
- memory traced by ``tracemalloc`` (started for the loop when it is off),
- total references (``sys.gettotalrefcount()``, debug builds only),
- open file descriptors,
- the reference counts of the objects passed as ``watch``.

Tolerances over the window, whatever its length: at most ``OBJECTS`` live
objects, ``MEMORY`` traced bytes and ``REFS`` references more, and exactly
the same descriptors and watched reference counts. A leak of a single
object per call exceeds these within a few hundred calls; a cache that
fills or a dict that resizes once does not repeat. So a window that exceeds
a tolerance is measured once more, and only two windows in a row that
exceed fail the check.

Environment:

``TARVELPUMP_LEAK_ROUNDS=W:R`` switches to CPython's ``-R W:R`` style
instead: W warm-up rounds, then R counted rounds of ``calls`` calls each;
the deltas of total references (debug builds), allocated blocks and open
descriptors between rounds are recorded, and the check fails when every
counted round leaked references (on a build without a total reference
count: every one leaked blocks), or any round changed the number of
descriptors or a watched reference count.

``TARVELPUMP_LEAK_REPORT=FILE`` appends one line of figures per check.
"""

import array
import gc
import os
import sys
import threading
import tracemalloc
from typing import NamedTuple

OBJECTS = 10
MEMORY = 4096
REFS = 100


def assert_no_leak(fn, rounds=6, per_round=500):
    """Fail when `fn` leaves memory blocks (or references) behind.

    A leak costs at least one block per call; warm-up growth of caches and
    free lists levels off. So: warm up, then allow under one block per ten
    calls between the second and the last sample.
    """
    for _ in range(2 * per_round):
        fn()
    gc.collect()
    blocks, refs = [], []
    for _ in range(rounds):
        for _ in range(per_round):
            fn()
        gc.collect()
        blocks.append(sys.getallocatedblocks())
        if hasattr(sys, "gettotalrefcount"):  # a debug build
            refs.append(sys.gettotalrefcount())
    tolerance = (rounds - 2) * per_round // 10
    assert blocks[-1] - blocks[1] < tolerance, blocks
    if refs:
        assert refs[-1] - refs[1] < tolerance, refs


def open_fds():
    """Number of descriptors this process has open."""
    fd_dir = "/proc/self/fd" if os.path.isdir("/proc/self/fd") else "/dev/fd"
    return len(os.listdir(fd_dir))


def in_turn(*paths):
    """One function that runs the next of `paths` at each call, round and round."""
    state = {"next": 0}

    def step():
        i = state["next"]
        state["next"] = (i + 1) % len(paths)
        paths[i]()

    step.paths = len(paths)
    return step


def env_calls(default):
    """TARVELPUMP_LEAK_CALLS when set, else `default`."""
    return int(os.environ.get("TARVELPUMP_LEAK_CALLS", default))


class Growth(NamedTuple):
    objects: int
    memory: int
    refs: int | None
    fds: int
    watched: tuple

    def __str__(self):
        text = f"objects {self.objects:+d}, traced bytes {self.memory:+d}"
        if self.refs is not None:
            text += f", references {self.refs:+d}"
        text += f", descriptors {self.fds:+d}"
        changed = [d for d in self.watched if d]
        return text + (f", watched reference counts {changed}" if changed else "")

    def excess(self):
        """What exceeds the tolerances, as text; empty when nothing does."""
        found = []
        if self.objects > OBJECTS:
            found.append(f"{self.objects} live objects")
        if self.memory > MEMORY:
            found.append(f"{self.memory} traced bytes")
        if self.refs is not None and self.refs > REFS:
            found.append(f"{self.refs} references")
        if self.fds:
            found.append(f"{self.fds:+d} descriptors")
        if any(self.watched):
            found.append(f"watched reference counts changed by {list(self.watched)}")
        return ", ".join(found)


def _total_refs():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None


def _settle():
    # The interpreter's attribute cache keeps the name of each of its last
    # few thousand look-ups alive; a name made afresh for a look-up stays
    # there until another look-up displaces it. Clearing the cache before
    # each sample keeps that churn out of the figures.
    sys._clear_type_cache()
    gc.collect()


def _sample():
    _settle()
    refs = _total_refs()
    objects = len(gc.get_objects())
    memory = tracemalloc.get_traced_memory()[0]
    return objects, memory, refs, open_fds()


def _counts(watch):
    return [sys.getrefcount(o) for o in watch]


def on_fresh_thread(fn, *args):
    """fn(*args) on a new thread, its result or exception handed back.

    tracemalloc walks the whole Python stack at every allocation; under
    pytest that stack is deep, which makes a traced loop many times slower.
    A new thread starts with a shallow one."""
    outcome = []

    def run():
        try:
            outcome.append((True, fn(*args)))
        except BaseException as exc:  # handed to the caller below
            outcome.append((False, exc))

    worker = threading.Thread(target=run, name="leak check")
    worker.start()
    worker.join()
    ok, value = outcome[0]
    if not ok:
        raise value
    return value


def _measure(fn, calls, warmup, watch):
    own = not tracemalloc.is_tracing()
    if own:
        tracemalloc.start()
    try:
        for _ in range(warmup):
            fn()
        _settle()
        w0 = _counts(watch)  # before the memory sample, so not in its growth
        o0, m0, r0, f0 = _sample()
        for _ in range(calls):
            fn()
        o1, m1, r1, f1 = _sample()
        w1 = _counts(watch)
    finally:
        if own:
            tracemalloc.stop()
    return Growth(o1 - o0, m1 - m0, None if r0 is None else r1 - r0, f1 - f0,
                  tuple(b - a for a, b in zip(w0, w1)))


def measure(fn, calls, warmup, watch=()):
    """Growth over `calls` calls of `fn` after `warmup` calls, all traced."""
    return on_fresh_thread(_measure, fn, calls, warmup, watch)


def _report(line):
    path = os.environ.get("TARVELPUMP_LEAK_REPORT")
    if path:
        with open(path, "a", encoding="utf-8") as out:
            out.write(line + "\n")


def _rounds_setting():
    setting = os.environ.get("TARVELPUMP_LEAK_ROUNDS")
    if not setting:
        return None
    warm, _, counted = setting.partition(":")
    return int(warm), int(counted or warm)


def rounds_deltas(fn, calls, warm_rounds, counted_rounds, watch=()):
    """CPython -R style: per counted round, the growth of total references,
    allocated blocks, descriptors and watched counts."""
    return on_fresh_thread(_rounds, fn, calls, warm_rounds, counted_rounds, watch)


def _rounds(fn, calls, warm_rounds, counted_rounds, watch):
    # Samples go into arrays made up front: keeping them costs no reference
    # and no allocation between one sample and the next.
    n = warm_rounds + counted_rounds + 1
    width = 3 + len(watch)
    samples = array.array("q", bytes(8 * n * width))

    def sample(i):
        _settle()
        row = i * width
        samples[row] = _total_refs() or 0
        samples[row + 1] = sys.getallocatedblocks()
        samples[row + 2] = open_fds()
        for j, o in enumerate(watch):
            samples[row + 3 + j] = sys.getrefcount(o)

    sample(0)
    for i in range(1, n):
        for _ in range(calls):
            fn()
        sample(i)
    has_refs = _total_refs() is not None
    deltas = []
    for i in range(warm_rounds + 1, n):
        now, before = samples[i * width:(i + 1) * width], samples[(i - 1) * width:i * width]
        d = [b - a for a, b in zip(before, now)]
        deltas.append((d[0] if has_refs else None, d[1], d[2], tuple(d[3:])))
    return deltas


def assert_steady(fn, calls, *, name=None, warmup=None, watch=()):
    """Fail when `calls` calls of `fn` leave objects, memory, references or
    descriptors behind (see the module's documentation for the tolerances)."""
    if name is None:
        current = os.environ.get("PYTEST_CURRENT_TEST", "")
        name = current.split(" ")[0].rpartition("::")[2] or getattr(fn, "__name__", "fn")
    rounds = _rounds_setting()
    if rounds is not None:
        deltas = rounds_deltas(fn, calls, *rounds, watch=watch)
        refs = [d[0] for d in deltas]
        blocks = [d[1] for d in deltas]
        fds = [d[2] for d in deltas]
        watched = [d[3] for d in deltas]
        _report(f"{name}: {rounds[0]}:{rounds[1]} rounds of {calls} calls; "
                f"reference deltas {refs}, block deltas {blocks}, descriptor deltas {fds}")
        leaked = []
        if refs[0] is not None and all(r >= 1 for r in refs):
            leaked.append(f"references {refs}")
        if refs[0] is None and all(b >= 1 for b in blocks):
            leaked.append(f"memory blocks {blocks}")
        if any(fds):
            leaked.append(f"descriptors {fds}")
        if any(any(w) for w in watched):
            leaked.append(f"watched reference counts {watched}")
        assert not leaked, f"{name} leaked " + "; ".join(leaked)
        return

    warmup = max(calls // 10, 50) if warmup is None else warmup
    first = measure(fn, calls, warmup, watch)
    growth = first
    if first.excess():
        growth = measure(fn, calls, max(warmup // 10, 10), watch)
    _report(f"{name}: {calls} calls after {warmup}: {first}"
            + ("" if growth is first else f"; again: {growth}"))
    assert not (first.excess() and growth.excess()), (
        f"{name}: {first.excess()} after {calls} calls, then {growth.excess()}")
