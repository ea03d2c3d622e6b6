"""The publisher's window of events in flight, without a broker: rows leave the outbox oldest
first whatever order the acknowledgements come in, and a window that never moves is sent again."""

from __future__ import annotations

from tarvelpump.station.outputs.mqtt import AckWindow


def test_window_acks_in_order_and_resends_a_stall_with_growing_patience() -> None:
    t = [100.0]
    w = AckWindow(4, resend_after=60.0, clock=lambda: t[0])
    assert w.room == 4 and w.wants_more() and w.is_new(1)
    for mid, seq in ((11, 1), (12, 2), (13, 3)):
        w.sent(mid, seq)
    assert w.in_flight == 3 and w.room == 1 and not w.wants_more()  # refilled by half windows
    assert not w.is_new(3) and w.is_new(4)
    w.acked({13, 12, 99})  # 99: a state message, not an event
    assert w.ready() == []  # the oldest is still out: nothing may leave the outbox before it
    w.acked({11})
    assert w.ready() == [1, 2, 3]
    w.confirm(1)
    w.confirm(2)  # the store refused the third (a full disk): it stays first in line
    assert w.ready() == [3] and w.in_flight == 1
    w.confirm(3)
    assert w.in_flight == 0 and w.room == 4

    # an acknowledgement that never comes: sent again from the oldest, each stall waiting twice as long
    w.sent(21, 4)
    w.sent(22, 5)
    t[0] += 59
    assert not w.stalled()
    t[0] += 2
    assert w.stalled() and w.in_flight == 0 and w.is_new(4)  # 4 and 5 go out again
    w.sent(31, 4)
    t[0] += 119
    assert not w.stalled()
    t[0] += 2
    assert w.stalled() and w.stalls == 2
    w.sent(41, 4)
    w.acked({21, 31})  # acknowledgements of copies given up on free nothing
    assert w.ready() == []
    w.acked({41})
    assert w.ready() == [4]
    w.confirm(4)
    assert w.stalls == 0  # progress again: the patience starts over
    t[0] += 30
    w.sent(51, 5)
    t[0] += 61
    assert w.stalled()
    w.restart()  # a new connection: paho sends what it holds, the clock starts over
    assert not w.stalled()
