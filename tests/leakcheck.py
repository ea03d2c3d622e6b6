"""The leak loop of the style guide, shared by the pytest files."""

import gc
import sys


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
