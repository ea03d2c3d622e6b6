"""The result record DeviceReturn and the result codes DeviceReturnCode of
tarvelpump.comm."""

import copy
import gc
import importlib.util
import pickle
import inspect
import subprocess
import sys
import weakref

import pytest

from leakcheck import assert_no_leak
from tarvelpump import comm

DeviceReturn = comm.DeviceReturn
DeviceReturnCode = comm.DeviceReturnCode
SUCCESS = DeviceReturnCode.SUCCESS


class Cmds(comm.Options):
    """A stand-in for comm.Command, which another Part defines."""

    GET_PUMP_STATUS = (75, "1.PUMP Status")
    GET_KVO_RATE = 80


class PyDeviceReturn:
    """The signature in Python, for the wording of argument errors."""

    def __init__(self, command, value=None, code=SUCCESS, message=""):
        pass


PyDeviceReturn.__init__.__qualname__ = "DeviceReturn.__init__"

CMD = Cmds.GET_PUMP_STATUS


def commands():
    """Our own table's entry, and comm.Command's once that table exists."""
    found = [Cmds.GET_PUMP_STATUS]
    command_table = getattr(comm, "Command", None)
    if command_table is not None and hasattr(command_table, "GET_PUMP_STATUS"):
        found.append(command_table.GET_PUMP_STATUS)
    return found


# --- DeviceReturnCode ------------------------------------------------------

CODES = [
    ("EXCEPTION", -2, "Exeception occured"),
    ("NOT_SET", -1, "Not set"),
    ("SUCCESS", 0, "Success"),
    ("NO_DATA_RETURN", 1, "No data returns."),
    ("INVALID_DATA_LENGTH", 2, "Data length must greater/equals than 7"),
    ("INVALID_CHECK_DATA", 3, "Check data is not correct"),
    ("INVALID_HEADER_DATA", 4, "Header data not match"),
    ("INVALID_APP_DATA", 5, "Application data not match"),
    (
        "INVALID_USER_DATA_LENGTH",
        6,
        "User data length should same as 2nd byte in application header",
    ),
]


def test_result_codes_literal():
    assert [(e.name, int(e), e.text) for e in DeviceReturnCode] == CODES
    assert DeviceReturnCode.codes == tuple(range(-2, 7))
    for name, code, text in CODES:
        entry = getattr(DeviceReturnCode, name)
        assert isinstance(entry, comm.Option)
        assert entry == code and entry.text == text and entry.name == name
        assert entry in DeviceReturnCode
        assert DeviceReturnCode.get_option_by_code(code) is entry
        assert str(entry) == name


def test_result_code_table_is_an_options_class():
    assert type(DeviceReturnCode) is type(comm.Options)
    assert DeviceReturnCode.__bases__ == (comm.Options,)
    assert DeviceReturnCode.__module__ == "tarvelpump.comm"
    assert DeviceReturnCode.__qualname__ == "DeviceReturnCode"
    assert DeviceReturnCode.__doc__ is None


def test_result_code_texts_are_not_translated(tmp_path):
    # A host's `_` in builtins would be seen by a class body that looked for
    # it; the result codes never ask for it.
    code = (
        "import builtins, gettext\n"
        "builtins._ = lambda s: 'X' + s\n"
        "gettext.gettext = lambda s: 'X' + s\n"
        "from tarvelpump import comm\n"
        "print(comm.DeviceReturnCode.SUCCESS.text)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout == "Success\n"


def test_module_order():
    names = list(vars(comm))
    assert names.index("PUMP2PC") < names.index("DeviceReturnCode")
    assert names.index("DeviceReturnCode") + 1 == names.index("DeviceReturn")


# --- the class -------------------------------------------------------------


def test_class_shape():
    assert DeviceReturn.__bases__ == (object,)
    assert DeviceReturn.__module__ == "tarvelpump.comm"
    assert DeviceReturn.__qualname__ == "DeviceReturn"
    assert DeviceReturn.__doc__ is None
    assert isinstance(DeviceReturn, type) and type(DeviceReturn) is type


def test_class_dict():
    ns = vars(DeviceReturn)
    # __signature__ tells inspect what it cannot read from a C++ __init__ on 3.13.
    own = [k for k in ns
           if k not in ("__module__", "__dict__", "__weakref__", "__doc__", "__signature__")]
    assert own == ["__init__", "__repr__", "command", "code", "message", "value"]
    methods = [k for k in ns if callable(ns[k]) and not isinstance(ns[k], type)]
    assert methods == ["__init__", "__repr__"]
    assert "__str__" not in ns and "__eq__" not in ns and "__hash__" not in ns


def test_class_level_defaults():
    assert DeviceReturn.command is None
    assert DeviceReturn.code is DeviceReturnCode.NOT_SET
    assert DeviceReturn.message == "Not set"
    assert DeviceReturn.value is None


def test_class_is_mutable_like_a_python_class(monkeypatch):
    monkeypatch.setattr(DeviceReturn, "extra", 5, raising=False)
    assert DeviceReturn(CMD).extra == 5


def test_signature():
    sig = inspect.signature(DeviceReturn)
    assert list(sig.parameters) == ["command", "value", "code", "message"]
    assert sig.parameters["value"].default is None
    assert sig.parameters["code"].default is SUCCESS
    assert sig.parameters["message"].default == ""


# --- construction ----------------------------------------------------------


@pytest.mark.parametrize("cmd", commands())
def test_defaults(cmd):
    r = DeviceReturn(cmd)
    assert r.command is cmd
    assert r.value is None
    assert r.code is SUCCESS
    assert r.message == "Success"
    assert vars(r) == {"value": None, "code": SUCCESS, "command": cmd, "message": "Success"}
    assert list(vars(r)) == ["value", "code", "command", "message"]


@pytest.mark.parametrize("message", ["", None, 0, [], False, b""])
def test_false_message_gives_the_code_text(message):
    r = DeviceReturn(CMD, code=DeviceReturnCode.INVALID_CHECK_DATA, message=message)
    assert r.message == "Check data is not correct"


@pytest.mark.parametrize("message", ["abc", 1, [0], b"x"])
def test_true_message_is_kept(message):
    r = DeviceReturn(CMD, code=DeviceReturnCode.INVALID_CHECK_DATA, message=message)
    assert r.message is message


def test_arguments_by_position_or_keyword():
    value = [1, 2]
    code = DeviceReturnCode.NO_DATA_RETURN
    for r in (
        DeviceReturn(CMD, value, code, "m"),
        DeviceReturn(CMD, value, code=code, message="m"),
        DeviceReturn(command=CMD, value=value, code=code, message="m"),
        DeviceReturn(message="m", code=code, value=value, command=CMD),
    ):
        assert (r.command, r.value, r.code, r.message) == (CMD, value, code, "m")
        assert r.value is value and r.code is code


def test_default_code_is_taken_when_the_class_was_made(monkeypatch):
    class Codes(comm.Options):
        SUCCESS = (0, "fine")

    monkeypatch.setattr(comm, "DeviceReturnCode", Codes)
    # The default is still the original SUCCESS, no member of the table now
    # bound under the name the check reads at call time.
    with pytest.raises(AssertionError):
        DeviceReturn(CMD)
    r = DeviceReturn(CMD, code=Codes.SUCCESS)
    assert r.message == "fine"


def test_reinit_sets_again():
    r = DeviceReturn(CMD, 1)
    r.__init__(Cmds.GET_KVO_RATE, 2, DeviceReturnCode.EXCEPTION, "again")
    assert (r.command, r.value, r.code, r.message) == (
        Cmds.GET_KVO_RATE,
        2,
        DeviceReturnCode.EXCEPTION,
        "again",
    )


def test_record_is_mutable_and_compares_by_identity():
    r = DeviceReturn(CMD, value=[1])
    r.value = 0x10
    r.extra = "x"
    assert r.value == 16 and r.extra == "x"
    assert r == r and r != DeviceReturn(CMD, value=[1])
    assert hash(r) == hash(r)
    del r.value
    assert r.value is None  # the class-level value shows through


def test_copy_and_pickle_like_a_python_object():
    r = DeviceReturn(CMD, value=[1], message="m")
    for other in (copy.copy(r), copy.deepcopy(r), pickle.loads(pickle.dumps(r))):
        assert type(other) is DeviceReturn and other is not r
        assert other.command is CMD and other.code is SUCCESS
        assert other.value == [1] and other.message == "m"
    assert copy.deepcopy(r).value is not r.value


def test_weakref_and_dict():
    r = DeviceReturn(CMD)
    w = weakref.ref(r)
    assert w() is r and r.__weakref__ is w
    r.__dict__ = {"value": 5}
    assert r.value == 5 and r.code is DeviceReturnCode.NOT_SET
    del r
    gc.collect()
    assert w() is None


def test_cycle_is_collected():
    r = DeviceReturn(CMD)
    r.value = [r]
    w = weakref.ref(r)
    del r
    gc.collect()
    assert w() is None


# --- argument errors, with Python's own wording ----------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((), {"value": 1}),
        ((CMD, 1, SUCCESS, "m", 5), {}),
        ((CMD,), {"colour": 1}),
        ((CMD,), {"mesage": "m"}),  # 3.13 asks "Did you mean 'message'?"
        ((CMD,), {"command": CMD}),
        ((CMD, 1), {"value": 2}),
    ],
)
def test_argument_errors_read_as_python(args, kwargs):
    with pytest.raises(TypeError) as expected:
        PyDeviceReturn(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        DeviceReturn(*args, **kwargs)
    assert str(got.value) == str(expected.value)


# --- assertions --------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((75,), {}),
        ((None,), {}),
        (("GET_PUMP_STATUS",), {}),
        ((CMD,), {"code": 0}),
        ((CMD,), {"code": 75}),
        ((CMD,), {"code": Cmds.GET_PUMP_STATUS}),
        ((CMD,), {"code": comm.Option(0, "SUCCESS", "Success")}),
        ((CMD,), {"code": None}),
        ((CMD,), {"code": []}),
    ],
)
def test_bad_command_or_code_asserts(args, kwargs):
    with pytest.raises(AssertionError) as info:
        DeviceReturn(*args, **kwargs)
    assert info.value.args == ()
    assert type(info.value) is AssertionError


def test_command_checked_before_code():
    # Both wrong: the command check comes first; a bad code is never tested.
    class Loud:
        def __eq__(self, other):
            raise RuntimeError("compared")

        __hash__ = None

    with pytest.raises(AssertionError):
        DeviceReturn(75, code=Loud())


def test_checks_read_the_globals_at_call_time(monkeypatch):
    monkeypatch.setattr(comm, "Option", int)
    r = DeviceReturn(75)
    assert r.command == 75 and r.message == "Success"


def test_checks_need_the_globals():
    # On a second instance of the module: deleting and restoring a name in
    # the shared one would move it to the end of the namespace.
    spec = importlib.util.find_spec("tarvelpump.comm")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other.DeviceReturn is not DeviceReturn
    del other.Option
    with pytest.raises(NameError, match="'Option'"):
        other.DeviceReturn(CMD)
    other.Option = comm.Option
    # The instance's own table and default, not the first instance's.
    with pytest.raises(AssertionError):
        other.DeviceReturn(CMD, code=SUCCESS)
    assert other.DeviceReturn(CMD).code is other.DeviceReturnCode.SUCCESS


def run_optimized(tmp_path, code):
    return subprocess.run(
        [sys.executable, "-O", "-c", code], capture_output=True, text=True, cwd=tmp_path
    )


def test_no_checks_under_optimisation(tmp_path):
    code = (
        "from tarvelpump import comm\n"
        "r = comm.DeviceReturn(75)\n"
        "print(r.command, r.code, r.message)\n"
        "r = comm.DeviceReturn(75, code=3, message='given')\n"
        "print(r.code, r.message)\n"
        "try:\n"
        "    comm.DeviceReturn(75, code=3)\n"
        "except AttributeError as e:\n"
        "    print('AttributeError', e.name if hasattr(e, 'name') else '')\n"
        "try:\n"
        "    repr(comm.DeviceReturn(75))\n"
        "except AttributeError:\n"
        "    print('no name')\n"
    )
    out = run_optimized(tmp_path, code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "75 SUCCESS Success",
        "3 given",
        "AttributeError text",
        "no name",
    ]


def test_checks_without_optimisation(tmp_path):
    out = subprocess.run(
        [sys.executable, "-c", "from tarvelpump import comm; comm.DeviceReturn(75)"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert out.returncode == 1
    assert out.stderr.rstrip().endswith("AssertionError")


# --- display form --------------------------------------------------------------


@pytest.mark.parametrize("cmd", commands())
def test_display_form(cmd):
    r = DeviceReturn(cmd, value=3)
    expected = (
        "<DeviceReturn command=GET_PUMP_STATUS code=SUCCESS, value=3, message=Success>"
    )
    assert repr(r) == expected
    assert str(r) == expected
    assert f"{r}" == expected


def test_display_form_of_values_and_codes():
    r = DeviceReturn(
        Cmds.GET_KVO_RATE,
        value=[0, 0, 1, 0x2C],
        code=DeviceReturnCode.INVALID_HEADER_DATA,
    )
    assert repr(r) == (
        "<DeviceReturn command=GET_KVO_RATE code=INVALID_HEADER_DATA, "
        "value=[0, 0, 1, 44], message=Header data not match>"
    )
    r = DeviceReturn(CMD, value="运行", message="状态")
    assert repr(r) == "<DeviceReturn command=GET_PUMP_STATUS code=SUCCESS, value=运行, message=状态>"
    r.code = 5
    r.message = None
    r.value = b"\x01"
    assert repr(r) == (
        "<DeviceReturn command=GET_PUMP_STATUS code=5, value=b'\\x01', message=None>"
    )


def test_display_form_uses_str():
    class Shown:
        def __str__(self):
            return "str-form"

        def __repr__(self):
            return "repr-form"

        def __format__(self, spec):
            return "format-form"

    r = DeviceReturn(CMD, value=Shown(), message=Shown())
    assert repr(r) == (
        "<DeviceReturn command=GET_PUMP_STATUS code=SUCCESS, value=str-form, message=str-form>"
    )


def test_display_form_needs_a_command_name():
    with pytest.raises(AttributeError):
        repr(DeviceReturn.__new__(DeviceReturn))  # command is None
    r = DeviceReturn(CMD)
    r.command = 75
    with pytest.raises(AttributeError):
        repr(r)


def test_display_form_of_a_value_holding_its_record():
    r = DeviceReturn(CMD)
    r.value = [r]
    assert repr(r) == (
        "<DeviceReturn command=GET_PUMP_STATUS code=SUCCESS, "
        "value=[<DeviceReturn ...>], message=Success>"
    )
    r.value = None  # break the cycle
    assert repr(r).endswith("value=None, message=Success>")


def test_display_form_propagates_str_errors():
    class Bad:
        def __str__(self):
            raise ValueError("no text")

    r = DeviceReturn(CMD, value=Bad())
    with pytest.raises(ValueError, match="no text"):
        repr(r)
    # The guard is released after an error.
    r.value = 1
    assert "value=1," in repr(r)


# --- subclasses --------------------------------------------------------------


def test_python_subclass():
    order = []

    class Traced(DeviceReturn):
        def __setattr__(self, name, value):
            order.append(name)
            super().__setattr__(name, value)

    r = Traced(CMD, value=7)
    assert order == ["value", "code", "command", "message"]
    assert isinstance(r, DeviceReturn)
    assert repr(r) == (
        "<DeviceReturn command=GET_PUMP_STATUS code=SUCCESS, value=7, message=Success>"
    )
    w = weakref.ref(r)
    del r
    gc.collect()
    assert w() is None


def test_subclass_property_sees_the_assignment():
    class Decoding(DeviceReturn):
        @property
        def value(self):
            return self._raw * 2

        @value.setter
        def value(self, raw):
            self._raw = raw

    r = Decoding(CMD, value=21)
    assert r.value == 42 and vars(r)["_raw"] == 21
    assert "value=42," in repr(r)


def test_subclass_overrides_and_extends():
    class Named(DeviceReturn):
        __slots__ = ()

        def __init__(self, command, value=None, **kw):
            super().__init__(command, value, **kw)
            self.extra = 1

        def __repr__(self):
            return "Named:" + super().__repr__()

    r = Named(CMD, 3, message="m")
    assert r.extra == 1 and r.message == "m"
    assert repr(r) == (
        "Named:<DeviceReturn command=GET_PUMP_STATUS code=SUCCESS, value=3, message=m>"
    )
    assert Named.code is DeviceReturnCode.NOT_SET


def test_subclass_argument_errors_keep_the_defining_name():
    class Sub(DeviceReturn):
        pass

    with pytest.raises(TypeError, match=r"^DeviceReturn\.__init__\(\) missing 1 required"):
        Sub()


def test_init_on_a_foreign_object():
    with pytest.raises(TypeError):
        DeviceReturn.__init__(object(), CMD)


# --- ownership -----------------------------------------------------------------


def test_refcounts_unchanged_around_construction():
    value = [1, 2, 3]
    message = "".join(["mes", "sage"])
    code = DeviceReturnCode.INVALID_APP_DATA
    rc = [sys.getrefcount(o) for o in (CMD, value, message, code)]

    def counts():
        return [sys.getrefcount(o) for o in (CMD, value, message, code)]

    r = DeviceReturn(CMD, value, code, message)
    repr(r)
    del r
    assert counts() == rc
    r = DeviceReturn(CMD, value=value, code=code)  # message from the code
    del r
    assert counts() == rc
    with pytest.raises(AssertionError):
        DeviceReturn(value, value, code, message)
    assert counts() == rc
    with pytest.raises(AssertionError):
        DeviceReturn(CMD, value, value, message)
    assert counts() == rc
    with pytest.raises(TypeError):
        DeviceReturn(CMD, value, code, message, value)
    assert counts() == rc
    with pytest.raises(TypeError):
        DeviceReturn(CMD, value, code=code, value=value)
    assert counts() == rc
    r = DeviceReturn(CMD)
    r.command = value
    with pytest.raises(AttributeError):
        repr(r)
    del r
    assert counts() == rc


def test_no_leak():
    value = [1, 2]

    def exchange():
        r = DeviceReturn(CMD, value, DeviceReturnCode.INVALID_CHECK_DATA)
        repr(r)
        r.value = [r]
        repr(r)
        DeviceReturn(command=CMD, message="m")
        try:
            DeviceReturn(75)
        except AssertionError:
            pass
        try:
            DeviceReturn(CMD, code=75)
        except AssertionError:
            pass
        try:
            DeviceReturn(CMD, colour=1)
        except TypeError:
            pass
        try:
            repr(DeviceReturn.__new__(DeviceReturn))
        except AttributeError:
            pass

    assert_no_leak(exchange)
