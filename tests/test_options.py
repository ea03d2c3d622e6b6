"""The option-table facility of tarvelpump.comm: Options, Option,
the tables' metaclass, and tables declared by a class statement."""

import copy
import gc
import importlib.util
import pickle
import subprocess
import sys

import weakref

import pytest

from leakcheck import assert_no_leak
from tarvelpump import comm

Options = comm.Options
Option = comm.Option
OptionsMeta = type(Options)


class Sample(Options):
    """Module level, so that pickle finds it by name."""

    A = 1
    B = (2, "two")
    C = (-3, "minus three")
    BIG = (1 << 70, "big")
    lower = 5
    _PRIVATE = 6

    def method(self):
        return "method"


class Other(Options):
    A = (1, "one")
    B = 2


# --- helpers ---------------------------------------------------------------


def raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return True
    return False


# --- the module surface ----------------------------------------------------


def test_options_then_option_bound_in_order():
    names = list(vars(comm))
    assert names.index("Options") < names.index("Option")
    # Option and Options come right after serial, at start-up step 2.
    assert names.index("serial") < names.index("Options")


def test_metaclass_is_reachable_only_through_options():
    assert OptionsMeta.__name__ == "OptionsMeta"
    assert OptionsMeta.__module__ == "tarvelpump.comm"
    assert OptionsMeta.__bases__ == (type,)
    assert "OptionsMeta" not in vars(comm)
    assert type(Sample) is OptionsMeta


def test_option_is_an_int_subclass():
    assert Option.__bases__ == (int,)
    assert Option.__module__ == "tarvelpump.comm"
    assert Option.__qualname__ == "Option"


def test_options_is_empty():
    assert Options.__module__ == "tarvelpump.comm"
    assert Options.__bases__ == (object,)
    assert Options.codes == ()
    assert len(Options) == 0
    assert list(Options) == []
    assert bool(Options) is True  # a class stays true, as an empty enum does
    assert 0 not in Options
    assert Options.get_option_by_code(0) is None


# --- declaring a table -----------------------------------------------------


def test_entries_are_options_with_name_and_text():
    assert isinstance(Sample.A, Option)
    assert Sample.A.name == "A" and Sample.A.text is None
    assert Sample.B.name == "B" and Sample.B.text == "two"
    assert Sample.C == -3 and Sample.C.text == "minus three"
    assert Sample.BIG == 1 << 70
    for entry in Sample:
        assert entry.__objclass__ is Sample


def test_every_access_gives_the_same_entry():
    assert Sample.A is Sample.A
    assert vars(Sample)["A"] is Sample.A
    assert list(Sample)[1] is Sample.B
    assert getattr(Sample, "B") is Sample.B


def test_other_attributes_are_left_alone():
    assert Sample.lower == 5 and type(Sample.lower) is int
    assert Sample._PRIVATE == 6 and type(Sample._PRIVATE) is int
    assert Sample.method(None) == "method"
    assert Sample.__doc__.startswith("Module level")


def test_codes_in_declaration_order_as_plain_ints():
    assert Sample.codes == (1, 2, -3, 1 << 70)
    assert type(Sample.codes) is tuple
    assert all(type(c) is int for c in Sample.codes)
    assert len(Sample.codes) == 4 and Sample.codes[1] == 2


def test_codes_is_read_only_and_follows_the_entries():
    with pytest.raises(AttributeError):
        Sample.codes = (9,)
    with pytest.raises(AttributeError):
        del Sample.codes
    assert Sample.codes == (1, 2, -3, 1 << 70)
    assert "codes" in vars(Sample)  # a class attribute, read as any other

    class T(Options):
        A = 1
        B = 2

    entries = T._options_
    # What codes cannot be made of is refused before anything changes.
    for bad, error in (([T.B], TypeError), ((T.A, "x"), TypeError)):
        with pytest.raises(error):
            T._options_ = bad
        assert T._options_ is entries and T.codes == (1, 2)
    T._options_ = (T.B,)
    assert T.codes == (2,) and T.get_option_by_code(1) is None
    T.other = 5  # any other attribute as type() sets it
    assert T.other == 5 and T.codes == (2,)
    del T._options_
    assert "codes" not in vars(T) and T.codes == () == Options.codes


def test_iteration_and_len():
    assert list(Sample) == [Sample.A, Sample.B, Sample.C, Sample.BIG]
    assert [e.name for e in Sample] == ["A", "B", "C", "BIG"]
    assert len(Sample) == 4


def test_declaration_order_kept_for_many_entries():
    names = [f"E{i}" for i in range(40)]
    ns = {name: (39 - i, name.lower()) for i, name in enumerate(names)}
    Big = OptionsMeta("Big", (Options,), ns)
    assert [e.name for e in Big] == names
    assert Big.codes == tuple(range(39, -1, -1))


def test_metaclass_call_as_the_cpp_side_makes_tables():
    ns = {"__module__": "somewhere", "__qualname__": "Made", "X": (7, "seven"), "Y": 8}
    before = dict(ns)
    Made = OptionsMeta("Made", (Options,), ns)
    assert ns == before  # the caller's namespace is not rewritten
    assert Made.__module__ == "somewhere" and Made.__qualname__ == "Made"
    assert Made.X.text == "seven" and Made.Y.text is None
    assert Made.X.__objclass__ is Made


def test_entry_code_may_be_an_int_subclass_or_entry():
    class Derived(Options):
        X = Sample.B  # an entry is an int: a new entry of this table
        Y = (Sample.A, "again")

    assert Derived.X == 2 and Derived.X is not Sample.B
    assert Derived.X.__objclass__ is Derived
    assert type(Derived.codes[0]) is int
    assert Derived.Y.text == "again"


def test_aliases_share_a_code_first_wins():
    class Alias(Options):
        FIRST = (4, "first")
        SECOND = (4, "second")

    assert Alias.get_option_by_code(4) is Alias.FIRST
    assert Alias.codes == (4, 4)
    assert Alias.SECOND in Alias


def test_empty_table_may_be_extended():
    class Empty(Options):
        pass

    class Full(Empty):
        X = 1

    assert list(Full) == [Full.X]
    assert list(Empty) == []


def test_table_with_entries_cannot_be_extended():
    with pytest.raises(TypeError, match="cannot extend option table 'Sample'"):

        class More(Sample):
            D = 4

    with pytest.raises(TypeError, match="cannot extend"):

        class Same(Sample):
            pass

    with pytest.raises(TypeError, match="cannot extend"):
        OptionsMeta("Made", (Sample,), {})


@pytest.mark.parametrize(
    "value, shown",
    [
        ([1, "x"], "not 'list'"),
        ((1,), "not a tuple of 1 items"),
        ((1, "x", 3), "not a tuple of 3 items"),
        ((1, 2), r"not \(int, int\)"),
        (("1", "x"), r"not \(str, str\)"),
        ((1, None), r"not \(int, NoneType\)"),
        ((True, "x"), r"not \(bool, str\)"),
        (True, "not 'bool'"),
        (1.5, "not 'float'"),
        (None, "not 'NoneType'"),
        ("1", "not 'str'"),
    ],
)
def test_malformed_entry_raises_type_error_naming_it(value, shown):
    gc.collect()
    before = set(Options.__subclasses__())
    with pytest.raises(TypeError) as info:

        class Broken(Options):
            GOOD = 1
            RUN = value

    message = str(info.value)
    assert message.startswith(
        "Broken.RUN: an option is an int code or an (int, str) pair, "
    ), message
    assert __import__("re").search(shown, message), message
    assert "Broken" not in locals()
    # No half-built table is left behind: the class was never made.
    assert set(Options.__subclasses__()) == before


def test_malformed_method_entry():
    with pytest.raises(TypeError, match=r"^Broken\.RUN: .* not 'function'$"):

        class Broken(Options):
            def RUN(self):
                pass


def test_metaclass_rejects_what_type_rejects():
    with pytest.raises(TypeError):
        OptionsMeta("X", (Options,))
    with pytest.raises(TypeError):
        OptionsMeta("X", (Options,), [("A", 1)])
    with pytest.raises(TypeError):
        OptionsMeta.__new__(5, "X", (Options,), {})


# --- membership and lookup -------------------------------------------------


def test_membership_is_identity_with_own_entries():
    for entry in Sample:
        assert entry in Sample
    assert 1 not in Sample  # a bare int is no entry
    assert Other.A not in Sample  # the same code in another table
    assert Sample.A not in Other
    assert Option(1, "A") not in Sample  # an equal free-standing entry


class Unfriendly:
    __hash__ = None

    def __eq__(self, other):
        raise RuntimeError("compared")


@pytest.mark.parametrize("odd", [[], {}, set(), Unfriendly(), None, "A", 1.0, object()])
def test_membership_never_raises(odd):
    assert (odd in Sample) is False


def test_get_option_by_code():
    assert Sample.get_option_by_code(2) is Sample.B
    assert Sample.get_option_by_code(-3) is Sample.C
    assert Sample.get_option_by_code(1 << 70) is Sample.BIG
    assert Sample.get_option_by_code(Other.A) is Sample.A  # by value


def test_get_option_by_code_miss_gives_none():
    missing = Sample.get_option_by_code(99)
    assert missing is None
    # Value rendering relies on `.text` of a miss raising an Exception.
    with pytest.raises(Exception):
        missing.text


def test_get_option_by_code_propagates_a_failing_comparison():
    with pytest.raises(RuntimeError, match="compared"):
        Sample.get_option_by_code(Unfriendly())


def test_look_ups_follow_the_entries_wherever_they_come_from():
    class T(Options):
        A = 1
        B = (2, "two")
        ALIAS = (2, "again")

    assert T.codes == (1, 2, 2) and T.codes is T.codes  # made once
    assert T.get_option_by_code(2) is T.B and T.get_option_by_code(Sample.B) is T.B
    assert T.get_option_by_code(2.0) is T.B and T.get_option_by_code(True) is T.A
    # Rebinding the entries is seen at once, as `cls._options_` would be.
    T._options_ = (T.ALIAS,)
    assert T.codes == (2,) and T.get_option_by_code(2) is T.ALIAS
    assert T.get_option_by_code(1) is None and T.A not in T and list(T) == [T.ALIAS]
    T._option_index_ = (T._options_, (99,), {99: T.A})  # made by hand: not believed
    assert T.codes == (2,) and T.get_option_by_code(99) is None
    del T._options_  # Options' own empty tuple shows through
    assert T.codes == () and T.get_option_by_code(2) is None and len(T) == 0

    # A table made without OptionsMeta.__new__ inherits its base's entries.
    class Empty(Options):
        pass

    Sub = type.__new__(OptionsMeta, "Sub", (Empty,), {})
    assert Sub.codes == ()
    Empty._options_ = (Sample.A,)
    assert Sub.codes == (1,) and Sub.get_option_by_code(1) is Sample.A and Sample.A in Sub

    # A metaclass that answers `_options_` itself is asked each time.
    class Meta(OptionsMeta):
        _options_ = property(lambda cls: (Sample.C,))

    class M(Options, metaclass=Meta):
        X = 5

    assert M.codes == (-3,) and M.get_option_by_code(-3) is Sample.C
    assert M.get_option_by_code(5) is None and len(M) == 1

    # Entries with an == of their own are compared one by one, in order.
    class Loose(Option):
        __hash__ = Option.__hash__

        def __eq__(self, other):
            return True

    class LooseMeta(OptionsMeta):
        _option_class = Loose

    class L(Options, metaclass=LooseMeta):
        X = 1
        Y = 2

    assert L.codes == (1, 2) and L.get_option_by_code(2) is L.X

    # The look-ups keep no table alive.
    gone = weakref.ref(T), weakref.ref(Sub), weakref.ref(M), weakref.ref(L)
    del T, Sub, M, L, Empty, Meta, Loose, LooseMeta
    gc.collect()
    assert [r() for r in gone] == [None] * 4


def test_a_second_module_instance_has_its_own_state():
    spec = importlib.util.find_spec("tarvelpump.comm")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    table = other.PumpStatus
    assert table is not comm.PumpStatus and type(table) is not OptionsMeta
    assert table.codes == comm.PumpStatus.codes
    del other
    gc.collect()
    # Its classes keep the module's state: names, look-ups, entries.
    assert table.get_option_by_code(2).name == "RUN" and repr(table.RUN) == "<PumpStatus.RUN: 2>"
    made = type(table)("Made", (table.__base__,), {"A": (1, "a")})
    assert made.codes == (1,) and made.get_option_by_code(1).text == "a"
    assert comm.PumpStatus.get_option_by_code(2) is comm.PumpStatus.RUN


# --- entries as numbers ----------------------------------------------------


def test_entries_stand_for_their_code():
    e = Sample.B
    assert hex(e) == "0x2"
    assert hex(Sample.C) == "-0x3"
    assert bytes([Sample.A, e]) == b"\x01\x02"
    assert e + 1 == 3 and 1 + e == 3
    assert type(e + 1) is int
    assert e == 2 and 2 == e and e != 3
    assert hash(e) == hash(2)
    assert int(e) == 2 and type(int(e)) is int
    assert [1, 2, 3].index(e) == 1
    assert sorted([Sample.B, Sample.A, Sample.C]) == [-3, 1, 2]


def test_entries_as_dict_keys():
    table = {Sample.A: "a", Sample.B: "b"}
    assert table[1] == "a" and table[Sample.B] == "b"
    assert {1: "x"}[Sample.A] == "x"
    assert list(table) == [Sample.A, Sample.B]
    assert all(type(k) is Option for k in table)


def test_str_is_the_name():
    assert str(Sample.B) == "B"
    assert f"{Sample.B}" == "B"
    assert "{}".format(Sample.C) == "C"
    assert f"{Sample.B:d}" == "2"  # a format spec formats the number
    assert f"{Sample.B:#04x}" == "0x02"


def test_repr():
    assert repr(Sample.B) == "<Sample.B: 2>"
    assert repr(Sample.C) == "<Sample.C: -3>"
    assert repr([Sample.A]) == "[<Sample.A: 1>]"


# --- read-only entries -----------------------------------------------------


@pytest.mark.parametrize("attr", ["name", "text", "__objclass__", "other", "__dict__"])
def test_entries_are_read_only(attr):
    e = Sample.B
    before = dict(vars(e))
    with pytest.raises(AttributeError, match="read-only"):
        setattr(e, attr, "changed")
    with pytest.raises(AttributeError, match="read-only"):
        delattr(e, attr)
    assert vars(e) == before
    assert e.name == "B" and e.text == "two"


def test_setattr_with_a_non_str_name():
    with pytest.raises(TypeError):
        Option.__setattr__(Sample.A, 5, "x")
    with pytest.raises(TypeError):
        Option.__setattr__(Sample.A, "x")


# --- copies and pickles ----------------------------------------------------


def test_copy_and_deepcopy_give_the_same_entry():
    for entry in Sample:
        assert copy.copy(entry) is entry
        assert copy.deepcopy(entry) is entry
    deep = copy.deepcopy({Sample.A: [Sample.B]})
    assert next(iter(deep)) is Sample.A and deep[1][0] is Sample.B


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_gives_the_same_entry(protocol):
    for entry in Sample:
        assert pickle.loads(pickle.dumps(entry, protocol)) is entry
    assert pickle.loads(pickle.dumps(comm.DeviceReturnCode.SUCCESS, protocol)) is (
        comm.DeviceReturnCode.SUCCESS
    )


def test_reduce():
    assert Sample.B.__reduce_ex__(2) == (getattr, (Sample, "B"))
    assert Sample.B.__reduce__() == (getattr, (Sample, "B"))


# --- free-standing entries -------------------------------------------------


def test_free_standing_entry():
    x = Option(5, "X")
    assert x == 5 and x.name == "X" and x.text is None
    assert x.__objclass__ is None
    assert str(x) == "X" and repr(x) == "<Option X: 5>"
    y = Option(code=6, name="Y", text="why")
    assert y.text == "why"
    z = copy.copy(y)
    assert z == y and z.name == "Y" and z.text == "why"
    assert pickle.loads(pickle.dumps(y)).text == "why"


def test_free_standing_entry_bad_arguments():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'name'"):
        Option(5)
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        Option(5, "X", colour=1)
    with pytest.raises(TypeError, match="takes from 3 to 4 positional arguments"):
        Option(5, "X", None, 4)
    with pytest.raises(TypeError, match="name must be str"):
        Option(5, 5)
    with pytest.raises(TypeError):
        Option("5", "X")
    with pytest.raises(TypeError):
        Option.__new__()
    with pytest.raises(TypeError):
        Option.__new__(str, 5, "X")  # not a subtype of int


def test_option_subclass_via_the_metaclass():
    class Special(Option):
        pass

    class SpecialMeta(OptionsMeta):
        _option_class = Special

    class T(Options, metaclass=SpecialMeta):
        X = (1, "one")

    assert type(T.X) is Special
    assert T.X in T and T.codes == (1,)
    assert repr(T.X) == "<T.X: 1>"
    assert repr(Special(3, "Z")) == "<Special Z: 3>"


# --- ownership -------------------------------------------------------------


def test_refcounts_of_arguments_unchanged():
    code = 1 << 80  # a fresh int object we own
    text = "".join(["te", "xt"])
    odd = object()
    rc_code, rc_text, rc_odd = sys.getrefcount(code), sys.getrefcount(text), sys.getrefcount(odd)

    Sample.get_option_by_code(code)
    Sample.get_option_by_code(odd)
    odd in Sample
    code in Sample
    assert (sys.getrefcount(code), sys.getrefcount(odd)) == (rc_code, rc_odd)

    T = OptionsMeta("T", (Options,), {"X": (code, text)})
    assert T.codes == (code,) and T.get_option_by_code(code) is T.X
    assert T.get_option_by_code(text) is None and T.X in T
    del T
    gc.collect()
    assert (sys.getrefcount(code), sys.getrefcount(text)) == (rc_code, rc_text)

    with pytest.raises(TypeError):
        OptionsMeta("T", (Options,), {"X": (code, text), "Y": [odd]})
    gc.collect()
    assert sys.getrefcount(odd) == rc_odd
    assert (sys.getrefcount(code), sys.getrefcount(text)) == (rc_code, rc_text)

    e = Option(code, text)
    del e
    assert (sys.getrefcount(code), sys.getrefcount(text)) == (rc_code, rc_text)


def test_no_leak_declaring_tables():
    def declare():
        T = OptionsMeta("T", (Options,), {"A": 1, "B": (2, "two"), "c": 3})
        list(T), T.codes, len(T), T.A in T, T.get_option_by_code(2)
        str(T.A), repr(T.B), copy.copy(T.B), T.B.__reduce_ex__(4)
        raises(TypeError, OptionsMeta, "Bad", (Options,), {"A": 1, "B": [2]})
        raises(TypeError, OptionsMeta, "Bad", (T,), {})
        raises(AttributeError, setattr, T.A, "name", "x")
        raises(TypeError, Option, 5)
        Option(5, "X", "text")

    assert_no_leak(declare)


def test_no_leak_reading_tables():
    def read():
        Sample.codes, list(Sample), Sample.get_option_by_code(99)
        [] in Sample, Sample.B in Sample, str(Sample.B), repr(Sample.C)
        copy.deepcopy(Sample.A), pickle.dumps(Sample.B)

    assert_no_leak(read)


def test_optimize_flag_does_not_change_tables(tmp_path):
    code = (
        "from tarvelpump import comm\n"
        "class T(comm.Options):\n"
        "    A = (1, 'one')\n"
        "try:\n"
        "    class U(comm.Options):\n"
        "        A = [1]\n"
        "except TypeError as e:\n"
        "    print(e)\n"
        "print(T.codes, repr(T.A))\n"
    )
    out = subprocess.run(
        [sys.executable, "-O", "-c", code], capture_output=True, text=True, cwd=tmp_path
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "U.A: an option is an int code or an (int, str) pair, not 'list'",
        "(1,) <T.A: 1>",
    ]
