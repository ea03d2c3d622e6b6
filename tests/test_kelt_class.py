"""The class Kelt as Python code sees it: layout, names, documentation,
queries, and overrides through attribute lookup on self."""

import copy
import gc
import importlib.util
import inspect
import pickle
import sys
import time

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import tarvelpump.comm as comm
from fake_serial import install

C = comm.Command
RC = comm.DeviceReturnCode

SEND_AND_RECV_DOC = (
    "\n"
    "        友人 USR-LG207 LoRa 设备\n"
    "        1. 透传 1v1， 两设备 地址 信道 一致即可。 to_addr, to_channel 不传\n"
    "        2. 定点， 设备 地址、信道 不一致。 to_addr, to_channel 都要传\n"
    "        3. 主从， 主设备和从设备的信道要一样，地址不同。 只传 to_addr.\n"
    "        4. 其他\n"
    "        ")


def test_class_layout():
    body = [k for k in vars(comm.Kelt)
            if not (k.startswith("__") and k.endswith("__")) or k == "__init__"]
    assert body == ["_Kelt__gsh", "_Kelt__grh", "__init__", "_Kelt__sr", "_Kelt__chkd",
                    "_Kelt__send_and_recv", "get_pump_status", "get_pump_alarm",
                    "get_kvo_rate", "_Kelt__send_commands", "get_all_status",
                    "get_value_str"]
    assert comm.Kelt.__bases__ == (object,)
    assert comm.Kelt.__module__ == "tarvelpump.comm" and comm.Kelt.__doc__ is None
    assert comm.Kelt._Kelt__gsh == [0x55, 0xAA, 5, 6, 1]
    assert comm.Kelt._Kelt__grh == [0x55, 0xAA, 5, 6, 0]
    assert isinstance(vars(comm.Kelt)["get_value_str"], staticmethod)
    k = comm.Kelt()
    for short in ("sr", "chkd", "send_and_recv", "send_commands"):
        method = getattr(k, "_Kelt__" + short)
        assert method.__name__ == "__" + short
        assert method.__qualname__ == "Kelt.__" + short
    assert comm.Kelt._Kelt__send_and_recv.__doc__ == SEND_AND_RECV_DOC
    assert comm.Kelt.get_all_status.__doc__ == "\n        returns: pump status, remain time\n        "
    assert str(inspect.signature(comm.Kelt.get_kvo_rate)) == "(self, /, data, addr=None, channel=None)"


def test_constructor():
    k = comm.Kelt()
    assert (k.port, k.baud_rate, k.timeout) == ("COM1", 9600, 1)
    k = comm.Kelt("/dev/nothing", timeout=None, baud_rate=115200)
    assert (k.port, k.baud_rate, k.timeout) == ("/dev/nothing", 115200, None)
    assert vars(k) == {"port": "/dev/nothing", "baud_rate": 115200, "timeout": None}
    with pytest.raises(TypeError, match=r"takes from 1 to 4 positional arguments but 5 were given"):
        comm.Kelt(1, 2, 3, 4)
    with pytest.raises(TypeError, match="unexpected keyword argument 'baudrate'"):
        comm.Kelt(baudrate=1)
    with pytest.raises(TypeError, match="multiple values for argument 'port'"):
        comm.Kelt("a", port="b")


class PyKelt:
    """Kelt's constructor and a query declared in Python, with the signatures
    Kelt shows (self positional-only, as for any C method)."""

    def __init__(self, /, port="COM1", baud_rate=9600, timeout=1):
        pass

    def get_kvo_rate(self, /, data, addr=None, channel=None):
        pass


PyKelt.__init__.__qualname__ = "Kelt.__init__"
PyKelt.get_kvo_rate.__qualname__ = "Kelt.get_kvo_rate"


def subclasses(base):
    """The class, and the ways a subclass keeps or replaces what it accepts."""
    class Plain(base):
        pass

    class OwnInit(base):
        def __init__(self, a, b=2):
            pass

    class OwnNew(base):
        def __new__(cls, x):
            return object.__new__(cls)

    class Meta(type):
        def __call__(cls, q):
            pass

    class Called(base, metaclass=Meta):
        pass

    return [base, Plain, OwnInit, OwnNew, Called]


def test_signature_and_argument_errors_as_this_python_gives_them():
    # 3.13's inspect cannot bind a C++ __init__ to the class: Kelt tells it.
    for ours, twin in zip(subclasses(comm.Kelt), subclasses(PyKelt)):
        assert inspect.signature(ours) == inspect.signature(twin), ours
    assert str(inspect.signature(comm.Kelt)) == "(port='COM1', baud_rate=9600, timeout=1)"
    with pytest.raises(AttributeError):
        comm.Kelt().__signature__  # an instance has none, as in Python
    # The interpreter's wording, with 3.13's "Did you mean ...?" where it adds one.
    k, twin = comm.Kelt(), PyKelt()
    calls = [(comm.Kelt, PyKelt, {name: 1})
             for name in ("baudrate", "timout", "Port", "prot", "sel", "xyz", "bäud_rate", "\udc80")]
    calls += [(k.get_kvo_rate, twin.get_kvo_rate, {name: 1})
              for name in ("adr", "chanel", "date", "addr_", "a")]
    hinted = 0
    for ours, theirs, kwargs in calls:
        with pytest.raises(TypeError) as expected:
            theirs(**kwargs)
        with pytest.raises(TypeError) as got:
            ours(**kwargs)
        assert str(got.value) == str(expected.value)
        hinted += "Did you mean" in str(got.value)
    assert (hinted > 0) == (sys.version_info >= (3, 13))


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.text(alphabet="abdeinoprtu_BDR", min_size=1, max_size=12),
                 st.text(min_size=1, max_size=45)))
def test_a_misspelt_keyword_reads_as_in_python(name):
    assume(name not in ("port", "baud_rate", "timeout"))
    with pytest.raises(TypeError) as expected:
        PyKelt(**{name: 1})
    with pytest.raises(TypeError) as got:
        comm.Kelt(**{name: 1})
    assert str(got.value) == str(expected.value)


class Canned(comm.Kelt):
    """Answers every exchange from a table of replies, by command byte."""

    replies = {  # reply frames without their check byte
        0x4B: "55AA0506004B0102",
        0x78: "55AA050600780101",
        0xA3: "55AA050600A3020205",
        0xA8: "55AA050600A80101",
        0x57: "55AA0506005704010000 00",
        0x50: "55AA05060050040000012C",
    }

    def __init__(self):
        super().__init__("canned")
        self.sent = []

    def _Kelt__sr(self, data, recv_len=32):
        self.sent.append((bytes(data), recv_len))
        command = data[bytes(data).index(b"\x55\xaa\x05\x06\x01") + 5]
        frame = list(bytes.fromhex(self.replies[command]))
        return frame + [self._Kelt__chkd(frame)]


def test_queries_through_an_overridden_exchange(monkeypatch):
    pauses = []
    monkeypatch.setattr(time, "sleep", pauses.append)
    k = Canned()
    rc = k.get_pump_status(addr=801)
    assert (rc.code, rc.value, rc.message) == (RC.SUCCESS, 2, "运行")
    assert k.sent[-1] == (bytes.fromhex("032155AA0506014B00A9"), 9)
    records = k.get_all_status(addr=801, channel=23)
    assert [r.command for r in records] == [C.GET_PUMP_STATUS, C.GET_PUMPDOOR_STATUS,
                                            C.GET_REMAIN_TIME, C.GET_RATE_UNIT,
                                            C.GET_PUMP_ALARM]
    assert [r.code for r in records] == [RC.SUCCESS] * 5
    assert records[0].value == [2]
    assert all(sent[0][:3] == b"\x03\x21\x17" for sent in k.sent[1:])
    assert pauses == [0.1] * 5
    alarm = k.get_pump_alarm()
    assert (alarm.value, alarm.message) == ([1, 0, 0, 0], "0000000100000000")
    kvo = k.get_kvo_rate([5])
    assert (kvo.value, kvo.message) == ([0, 0, 1, 44], "[0, 0, 1, 44]")
    assert k.sent[-1][0] == bytes.fromhex("55AA05060150010" "59E")


def test_instance_and_subclass_overrides(monkeypatch):
    monkeypatch.setattr(time, "sleep", lambda s: None)
    seen = []

    class Spy(comm.Kelt):
        def _Kelt__send_and_recv(self, **kwargs):
            seen.append(kwargs)
            return comm.DeviceReturn(kwargs["command"], code=RC.NO_DATA_RETURN)

    k = Spy()
    assert k.get_pump_status(1, 2).code == RC.NO_DATA_RETURN
    assert seen == [dict(command=C.GET_PUMP_STATUS, to_addr=1, to_channel=2)]
    seen.clear()
    k.get_kvo_rate([9], channel=3)
    assert seen == [dict(command=C.GET_KVO_RATE, data_send=[9], to_addr=None, to_channel=3)]
    seen.clear()
    k.get_all_status(801)
    assert [s["to_addr"] for s in seen] == [801] * 5
    assert all(s["data_send"] == [] for s in seen)
    assert len({id(s["data_send"]) for s in seen}) == 5

    plain = comm.Kelt()
    plain._Kelt__send_commands = lambda lst, addr=None, channel=None: ("batch", lst, addr, channel)
    tag, lst, addr, channel = plain.get_all_status(channel=7)
    assert (tag, addr, channel) == ("batch", None, 7)
    assert [type(p) for p in lst] == [tuple] * 5


def test_send_commands_edges(monkeypatch):
    pauses = []
    monkeypatch.setattr(time, "sleep", pauses.append)
    k = Canned()
    assert k._Kelt__send_commands([]) == [] and pauses == [] and k.sent == []
    assert len(k._Kelt__send_commands(iter([(C.GET_RATE_UNIT, [])]))) == 1
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        k._Kelt__send_commands([(C.GET_RATE_UNIT,)])
    with pytest.raises(ValueError, match="too many values"):
        k._Kelt__send_commands([(C.GET_RATE_UNIT, [], 1)])
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        k._Kelt__send_commands([5])


def test_failed_status_is_not_reshaped(monkeypatch):
    install(monkeypatch)
    rc = comm.Kelt().get_pump_status()
    assert (rc.code, rc.value, rc.message) == (RC.NO_DATA_RETURN, None, "No data returns.")


def test_shared_default_is_never_modified(monkeypatch):
    install(monkeypatch)
    default = inspect.signature(comm.Kelt._Kelt__send_and_recv).parameters["data_send"]
    k = comm.Kelt()
    k._Kelt__send_and_recv(C.GET_PUMP_STATUS)
    k._Kelt__send_and_recv(C.GET_PUMP_STATUS)
    assert default.default == []


def test_references_are_not_leaked(monkeypatch):
    install(monkeypatch, bytes.fromhex("55AA0506004B0102A7"))
    k = comm.Kelt()
    data, addr = [], [1, 2]
    # Garbage of earlier tests (the Spy class above keeps its records in a
    # cycle) must not be collected in the middle of the count.
    gc.collect()
    before = [sys.getrefcount(o) for o in (k, data, addr, C.GET_PUMP_STATUS)]
    for _ in range(50):
        k._Kelt__send_and_recv(C.GET_PUMP_STATUS, data, addr, 7)
        with pytest.raises(KeyError):
            k._Kelt__send_and_recv(999, data)
    after = [sys.getrefcount(o) for o in (k, data, addr, C.GET_PUMP_STATUS)]
    assert before == after


# --- a Kelt's state, next to the same class written in Python ---------------

FIELDS = ("port", "baud_rate", "timeout")
SEEN = []  # what the overrides below saw, in order


class python:
    """The class sketched at the top of kelt.cpp, as far as an instance's
    state goes, and the subclasses a user may write of it. Both sides use the
    same class names, so that error messages can be compared as they are."""

    class Kelt:
        def __init__(self, port="COM1", baud_rate=9600, timeout=1):
            self.port = port
            self.baud_rate = baud_rate
            self.timeout = timeout

    class Slots(Kelt):
        __slots__ = ("extra",)

    class Dict(Kelt):
        pass


class native:
    Kelt = comm.Kelt

    class Slots(comm.Kelt):
        __slots__ = ("extra",)

    class Dict(comm.Kelt):
        pass


def made(cls):
    k = cls("/dev/ttyX", 19200, 0.5)
    if "extra" in getattr(cls, "__slots__", ()):
        k.extra = [1, 2]
    elif cls.__name__ == "Dict":
        k.note = "n"
    return k


def state(obj):
    slots = getattr(type(obj), "__slots__", ())
    return (type(obj).__name__, vars(obj),
            {name: getattr(obj, name, "<unset>") for name in slots})


def outcome(fn, *args):
    try:
        return "returns", fn(*args)
    except Exception as e:
        return "raises", type(e).__name__, str(e)


def spy_setattr(self, name, value):
    SEEN.append((name, value))
    object.__setattr__(self, name, value)


def loud_getattribute(self, name):
    value = object.__getattribute__(self, name)
    return ("seen", value) if name in FIELDS else value


def other_init(self, port="X", *rest):
    SEEN.append(("init", port))
    object.__setattr__(self, "port", ("other", port))


def counting_new(cls, *args, **kwargs):
    SEEN.append(("new", len(args)))
    return object.__new__(cls)


def constructed(cls):
    SEEN.clear()
    return state(made(cls)), list(SEEN)


def fresh_classes(kind):
    """A second instance of the module's Kelt and a copy of the Python one,
    with their subclasses: CPython cannot undo a replaced __new__, so it is
    tried on classes nothing else uses."""
    spec = importlib.util.find_spec("tarvelpump.comm")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    pair = []
    for base in (module.Kelt, type("Kelt", (), {"__init__": python.Kelt.__init__})):
        if kind == "Slots":
            base = type("Slots", (base,), {"__slots__": ("extra",)})
        elif kind == "Dict":
            base = type("Dict", (base,), {})
        pair.append(base)
    return pair


class Tagged:
    __slots__ = ("tag",)


def set_then_read(cls):
    SEEN.clear()
    k = made(cls)
    k.timeout = 5
    return list(SEEN), state(k)


OPERATIONS = {
    "copy": lambda cls: state(copy.copy(made(cls))),
    "deepcopy": lambda cls: state(copy.deepcopy(made(cls))),
    **{f"pickle {p}": (lambda p: lambda cls: state(pickle.loads(pickle.dumps(made(cls), p))))(p)
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "beside a slotted base": lambda cls: state(made(type(cls.__name__, (cls, Tagged), {}))),
    "object.__getattribute__":
        lambda cls: [object.__getattribute__(made(cls), name) for name in FIELDS],
    "__setattr__ on the class": set_then_read,
    "__init__ on the class": constructed,
    "__new__ on the class": constructed,
    "__getattribute__ on the class":
        lambda cls: [getattr(made(cls), name) for name in (*FIELDS, "extra", "note")
                     if hasattr(made(cls), name)],
}
OVERRIDES = {"__setattr__ on the class": ("__setattr__", spy_setattr),
             "__getattribute__ on the class": ("__getattribute__", loud_getattribute),
             "__init__ on the class": ("__init__", other_init),
             "__new__ on the class": ("__new__", counting_new)}


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("kind", ["Kelt", "Slots", "Dict"])
def test_instances_behave_as_the_python_class(monkeypatch, kind, operation):
    classes = getattr(native, kind), getattr(python, kind)
    if operation == "__new__ on the class":
        classes = fresh_classes(kind)
    if operation in OVERRIDES:
        name, fn = OVERRIDES[operation]
        for cls in classes:
            monkeypatch.setattr(cls, name, fn)
    expected = outcome(OPERATIONS[operation], classes[1])
    got = outcome(OPERATIONS[operation], classes[0])
    assert got == expected
    # Python refuses a slotted class under pickle's oldest protocols, and a
    # second base with slots of its own beside it; everything else works and
    # keeps the fields and the slots.
    if kind == "Slots" and operation in ("pickle 0", "pickle 1", "beside a slotted base"):
        assert got[0] == "raises"
        return
    assert got[0] == "returns"
    if operation in ("copy", "deepcopy") or operation.startswith("pickle"):
        name, fields, slots = got[1]
        assert fields["port"] == "/dev/ttyX" and fields["timeout"] == 0.5
        assert slots == ({"extra": [1, 2]} if kind == "Slots" else {})
