"""Simulated pump status: fake_random_options_code, fake_return_code_msg and
fake_get_all_status, checked draw by draw against the shared generator of
the random module."""

import logging
import random
import types

import pytest

from tarvelpump import comm

C = comm.Command
RC = comm.DeviceReturnCode

# The tables as the simulation sees them, in the order of their `codes`.
STATUS = {0: "离线", 1: "停止", 2: "运行", 3: "暂停", 4: "丸剂量(快推量)", 5: "清洗 Purging",
          6: "保持静脉通畅"}
DOOR = {1: "开启", 0: "关闭"}
UNIT = {0: "毫升", 1: "滴"}
ALARM_BITS = [0x8000, 0x4000, 0x2000, 0x1000, 0x0800, 0x0400, 0x0200, 0x0100, 0x0080, 0x0040,
              0x0020, 0x0010, 0x0008, 0x0004, 0x0002]
COMMANDS = ["GET_PUMP_STATUS", "GET_PUMPDOOR_STATUS", "GET_REMAIN_TIME", "GET_RATE_UNIT",
            "GET_PUMP_ALARM"]


class Draws:
    """random.random stand-in handing out a fixed list of numbers."""

    def __init__(self, *values):
        self.values = list(values)
        self.calls = 0

    def __call__(self):
        self.calls += 1
        if not self.values:
            raise AssertionError("one draw too many")
        return self.values.pop(0)


def use_draws(monkeypatch, *values):
    draws = Draws(*values)
    monkeypatch.setattr(random, "random", draws)
    return draws


def as_tuples(records):
    return [(r.command.name, r.value, r.code.name, r.message) for r in records]


def reference(rng, addr=None):
    """The records of one call, made by hand from the draws of `rng`, in the
    order: status, test, door, test, hours, minutes, test, unit, test,
    alarm count, the alarms, test."""

    def pick(table):
        codes = list(table)
        return codes[int(rng.random() * len(codes))]

    def outcome(text):
        if round(rng.random() * 100, 2) > 90:
            return "NO_DATA_RETURN", "No data returns."
        return "SUCCESS", text

    out = []
    status = pick(STATUS)
    out.append(("GET_PUMP_STATUS", [status], *outcome(STATUS[status])))
    door = pick(DOOR)
    out.append(("GET_PUMPDOOR_STATUS", [door], *outcome(DOOR[door])))
    hours = int(6 * rng.random())
    minutes = int(60 * rng.random())
    out.append(("GET_REMAIN_TIME", [hours, minutes], *outcome(f"{hours}小时{minutes}分")))
    unit = pick(UNIT)
    out.append(("GET_RATE_UNIT", [unit], *outcome(UNIT[unit])))
    word = 0
    for _ in range(int(4 * rng.random())):
        word |= ALARM_BITS[int(rng.random() * len(ALARM_BITS))]
    out.append(("GET_PUMP_ALARM", [word >> 8, word & 0xFF, 0, 0], *outcome(format(word, "016b"))))
    return out


@pytest.fixture
def info_log(caplog):
    caplog.set_level(logging.INFO, logger=comm.log.name)
    return caplog


# --- fake_random_options_code ----------------------------------------------


@pytest.mark.parametrize("table, r, code", [
    (comm.PumpStatus, 0.0, 0),
    (comm.PumpStatus, 0.5, 3),          # int(3.5)
    (comm.PumpStatus, 0.9999999, 6),
    (comm.PumpDoorStatus, 0.0, 1),      # OPEN is declared first
    (comm.PumpDoorStatus, 0.4999999, 1),
    (comm.PumpDoorStatus, 0.5, 0),
    (comm.RateUnit, 0.7, 1),
    (comm.KeltPumpAlarmBits, 0.0, 0x8000),
    (comm.KeltPumpAlarmBits, 0.95, 0x0002),  # int(14.25)
])
def test_random_code_is_the_element_at_the_drawn_index(monkeypatch, table, r, code):
    draws = use_draws(monkeypatch, r)
    got = comm.fake_random_options_code(table)
    assert got == code and type(got) is int
    assert draws.calls == 1


def test_random_code_reads_codes_twice_from_any_object(monkeypatch):
    class Source:
        reads = 0

        @property
        def codes(self):
            self.reads += 1
            return [10, 20, 30, 40]

    source = Source()
    use_draws(monkeypatch, 0.5)
    assert comm.fake_random_options_code(source) == 30
    assert source.reads == 2


def test_random_code_counts_reads_on_a_table_subclass(monkeypatch):
    reads = []

    class CountingMeta(type(comm.Options)):
        @property
        def codes(cls):
            reads.append(cls.__name__)
            return (7, 8)

    class Counted(comm.Options, metaclass=CountingMeta):
        A = 7
        B = 8

    use_draws(monkeypatch, 0.75)
    assert comm.fake_random_options_code(Counted) == 8
    assert reads == ["Counted", "Counted"]


def test_random_code_of_an_empty_table_raises_index_error(monkeypatch):
    class Empty(comm.Options):
        pass

    use_draws(monkeypatch, 0.3)
    with pytest.raises(IndexError):
        comm.fake_random_options_code(Empty)
    use_draws(monkeypatch, 0.3)
    with pytest.raises(IndexError):
        comm.fake_random_options_code(types.SimpleNamespace(codes=()))


def test_random_code_bad_calls(monkeypatch):
    use_draws(monkeypatch, 0.3, 0.3)
    with pytest.raises(TypeError):
        comm.fake_random_options_code()
    with pytest.raises(TypeError):
        comm.fake_random_options_code(comm.PumpStatus, comm.RateUnit)
    with pytest.raises(AttributeError):
        comm.fake_random_options_code(object())


def test_random_code_is_roughly_uniform():
    random.seed(20240501)
    counts = {0: 0, 1: 0}
    for _ in range(4000):
        counts[comm.fake_random_options_code(comm.PumpDoorStatus)] += 1
    assert 1800 < counts[1] < 2200  # about half each; far off only when the index is biased


# --- fake_return_code_msg ----------------------------------------------------


@pytest.mark.parametrize("r, code, message", [
    (0.0, "SUCCESS", "2小时30分"),
    (0.9, "SUCCESS", "2小时30分"),                   # 90.0 is not above 90
    (0.90004, "SUCCESS", "2小时30分"),               # 90.004 rounds to 90.0
    (0.90005, "SUCCESS", "2小时30分"),               # 90.00499999... rounds down, as round() does
    (0.9000500000000001, "NO_DATA_RETURN", "No data returns."),  # 90.00500000000001 -> 90.01
    (0.9001, "NO_DATA_RETURN", "No data returns."),  # 90.01
    (0.9999999, "NO_DATA_RETURN", "No data returns."),
])
def test_return_code_msg_threshold(monkeypatch, r, code, message):
    draws = use_draws(monkeypatch, r)
    got = comm.fake_return_code_msg(C.GET_REMAIN_TIME, [2, 30])
    assert type(got) is tuple and len(got) == 2
    assert got[0] == getattr(RC, code) and got[0].name == code
    assert got[1] == message
    assert draws.calls == 1


def test_return_code_msg_keywords_and_rendering(monkeypatch):
    use_draws(monkeypatch, 0.1, 0.1, 0.1, 0.95)
    assert comm.fake_return_code_msg(cmd=C.GET_PUMP_STATUS, val=[4]) == (RC.SUCCESS, "丸剂量(快推量)")
    assert comm.fake_return_code_msg(C.GET_PUMP_ALARM, val=[0x81, 0x02, 0, 0]) == \
        (RC.SUCCESS, "1000000100000010")
    # A value of the wrong length renders as None, as get_value_str has it.
    assert comm.fake_return_code_msg(C.GET_PUMP_STATUS, [1, 2]) == (RC.SUCCESS, None)
    # On the no-data branch the command is never looked at.
    assert comm.fake_return_code_msg("not a command", object()) == (RC.NO_DATA_RETURN, "No data returns.")


def test_return_code_msg_renders_through_kelt_at_call_time(monkeypatch):
    seen = []

    class Stand:
        @staticmethod
        def get_value_str(command, value):
            seen.append((command, value))
            return "rendered"

    monkeypatch.setattr(comm, "Kelt", Stand)
    use_draws(monkeypatch, 0.2)
    assert comm.fake_return_code_msg(C.GET_RATE_UNIT, [1]) == (RC.SUCCESS, "rendered")
    assert seen == [(C.GET_RATE_UNIT, [1])]


def test_return_code_msg_bad_calls(monkeypatch):
    use_draws(monkeypatch)
    for args, kwargs in [((), {}), ((C.GET_RATE_UNIT,), {}), ((C.GET_RATE_UNIT, [1], 3), {}),
                         ((C.GET_RATE_UNIT,), {"value": [1]})]:
        with pytest.raises(TypeError):
            comm.fake_return_code_msg(*args, **kwargs)


# --- fake_get_all_status -----------------------------------------------------


def test_all_status_from_scripted_draws(monkeypatch, info_log):
    draws = use_draws(
        monkeypatch,
        0.5, 0.0,            # status 3, success
        0.99, 0.95,          # door codes[1] = 0, no data
        0.999, 0.5, 0.9,     # 5 h, 30 min, success (90.0)
        0.5, 0.1,            # unit 1, success
        0.75, 0.0, 0.0, 0.95, 0.2,  # three alarms: 0x8000 twice and 0x0002, success
    )
    records = comm.fake_get_all_status(801)
    assert draws.calls == 14 and draws.values == []
    assert as_tuples(records) == [
        ("GET_PUMP_STATUS", [3], "SUCCESS", "暂停"),
        ("GET_PUMPDOOR_STATUS", [0], "NO_DATA_RETURN", "No data returns."),
        ("GET_REMAIN_TIME", [5, 30], "SUCCESS", "5小时30分"),
        ("GET_RATE_UNIT", [1], "SUCCESS", "滴"),
        ("GET_PUMP_ALARM", [0x80, 0x02, 0, 0], "SUCCESS", "1000000000000010"),
    ]
    assert all(type(r) is comm.DeviceReturn for r in records)
    assert [r.command for r in records] == [C.GET_PUMP_STATUS, C.GET_PUMPDOOR_STATUS,
                                           C.GET_REMAIN_TIME, C.GET_RATE_UNIT, C.GET_PUMP_ALARM]
    assert [(r.levelname, r.name, r.getMessage()) for r in info_log.records] == [
        ("INFO", "tarvelpump.comm", "Get faking status from address 801")]


def test_all_status_without_alarms_draws_eleven(monkeypatch):
    draws = use_draws(monkeypatch, 0.0, 0.99, 0.0, 0.99, 0.0, 0.0, 0.99, 0.0, 0.99, 0.2499, 0.99)
    records = comm.fake_get_all_status(None)
    assert draws.calls == 11
    assert as_tuples(records) == [
        ("GET_PUMP_STATUS", [0], "NO_DATA_RETURN", "No data returns."),
        ("GET_PUMPDOOR_STATUS", [1], "NO_DATA_RETURN", "No data returns."),
        ("GET_REMAIN_TIME", [0, 0], "NO_DATA_RETURN", "No data returns."),
        ("GET_RATE_UNIT", [0], "NO_DATA_RETURN", "No data returns."),
        ("GET_PUMP_ALARM", [0, 0, 0, 0], "NO_DATA_RETURN", "No data returns."),
    ]


@pytest.mark.parametrize("seed", [0, 1, 7, 42, 801, 2024, 99991])
def test_seeded_run_matches_draws_taken_by_hand(seed):
    random.seed(seed)
    got = as_tuples(comm.fake_get_all_status(seed))
    rng = random.Random(seed)
    assert got == reference(rng)
    # Exactly as many draws as by hand: the generators are still in step.
    assert random.getstate() == rng.getstate()
    random.seed(seed)
    assert as_tuples(comm.fake_get_all_status("again")) == got


def test_records_keep_their_shape_over_many_runs():
    random.seed(5)
    rng = random.Random(5)
    alarm_counts = set()
    no_data = 0
    for _ in range(400):
        records = comm.fake_get_all_status(1)
        assert as_tuples(records) == reference(rng)
        assert [r.command.name for r in records] == COMMANDS
        assert [len(r.value) for r in records] == [1, 1, 2, 1, 4]
        status, door, (hours, minutes), unit, alarm = (r.value for r in records)
        assert status[0] in STATUS and door[0] in DOOR and unit[0] in UNIT
        assert 0 <= hours <= 5 and 0 <= minutes <= 59
        assert alarm[2:] == [0, 0]
        word = alarm[0] << 8 | alarm[1]
        assert word & ~sum(ALARM_BITS) == 0 and not word & 1
        assert bin(word).count("1") <= 3
        alarm_counts.add(bin(word).count("1"))
        for r in records:
            assert all(type(v) is int for v in r.value)
            if r.code == RC.NO_DATA_RETURN:
                no_data += 1
                assert r.message == "No data returns."
            else:
                assert r.code == RC.SUCCESS
        if records[4].code == RC.SUCCESS:
            assert records[4].message == format(word, "016b")
    assert alarm_counts == {0, 1, 2, 3}
    assert 100 < no_data < 300  # about one record in ten out of 2000


@pytest.mark.parametrize("addr, text", [
    (None, "None"),
    (801, "801"),
    ("0x321", "0x321"),
    ((5,), "5"),                 # a 1-tuple is the format's argument tuple
    ([1, 2], "[1, 2]"),
    ("100%", "100%"),            # formatted once, not again by logging
])
def test_log_line(addr, text, info_log):
    random.seed(3)
    records = comm.fake_get_all_status(addr)
    assert len(records) == 5
    assert [(r.levelno, r.getMessage()) for r in info_log.records] == [
        (logging.INFO, f"Get faking status from address {text}")]


def test_two_tuple_address_raises_before_any_draw(monkeypatch, info_log):
    draws = use_draws(monkeypatch)
    with pytest.raises(TypeError):
        comm.fake_get_all_status((1, 2))
    with pytest.raises(TypeError):
        comm.fake_get_all_status(())
    assert draws.calls == 0
    assert info_log.records == []


def test_log_level_is_info(monkeypatch, caplog):
    caplog.set_level(logging.WARNING, logger=comm.log.name)
    random.seed(1)
    comm.fake_get_all_status(1)
    assert caplog.records == []


def test_bad_calls():
    with pytest.raises(TypeError):
        comm.fake_get_all_status()
    with pytest.raises(TypeError):
        comm.fake_get_all_status(1, 2)
    with pytest.raises(TypeError):
        comm.fake_get_all_status(addr=1)


def test_module_random_is_looked_up_at_call_time(monkeypatch):
    draws = Draws(0.5, 0.0, 0.0, 0.0, 0.5, 0.5, 0.0, 0.0, 0.0, 0.3, 0.62, 0.0)
    monkeypatch.setattr(comm, "random", types.SimpleNamespace(random=draws))
    records = comm.fake_get_all_status(1)
    assert draws.calls == 12
    assert as_tuples(records) == [
        ("GET_PUMP_STATUS", [3], "SUCCESS", "暂停"),
        ("GET_PUMPDOOR_STATUS", [1], "SUCCESS", "开启"),
        ("GET_REMAIN_TIME", [3, 30], "SUCCESS", "3小时30分"),
        ("GET_RATE_UNIT", [0], "SUCCESS", "毫升"),
        ("GET_PUMP_ALARM", [0x00, 0x40, 0, 0], "SUCCESS", "0000000001000000"),  # int(0.62 * 15) = 9
    ]


def test_return_code_msg_is_looked_up_at_call_time(monkeypatch):
    calls = []

    def fake(cmd, val):
        calls.append((cmd.name, list(val)))
        return RC.INVALID_CHECK_DATA, f"made up {len(calls)}"

    monkeypatch.setattr(comm, "fake_return_code_msg", fake)
    draws = use_draws(monkeypatch, 0.5, 0.0, 0.5, 0.0, 0.5, 0.0)
    records = comm.fake_get_all_status(2)
    assert calls == [("GET_PUMP_STATUS", [3]), ("GET_PUMPDOOR_STATUS", [1]),
                     ("GET_REMAIN_TIME", [3, 0]), ("GET_RATE_UNIT", [1]),
                     ("GET_PUMP_ALARM", [0, 0, 0, 0])]
    assert [(r.code, r.message) for r in records] == [(RC.INVALID_CHECK_DATA, f"made up {i}")
                                                      for i in range(1, 6)]
    assert draws.calls == 6  # the values' draws only; the success tests were the stand-in's


def test_each_call_returns_new_records():
    random.seed(11)
    first = comm.fake_get_all_status(1)
    random.seed(11)
    second = comm.fake_get_all_status(1)
    assert first is not second
    assert all(a is not b and a.value is not b.value for a, b in zip(first, second))
    assert as_tuples(first) == as_tuples(second)
