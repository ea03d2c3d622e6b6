"""Generated hostile cases for tarvelpump.comm: a case is a short list of
Python statements over the names of kit.py, made from a seed and an index, so
the same pair always gives the same case whatever else runs beside it.

The operations are wrapped in `with attempt():` so that any ordinary exception
passes; what a case may not do is crash, hang, raise SystemError or write a
frame that contradicts itself.
"""

import random

MUTATORS = ["clearing", "growing", "shrinking", "swapping"]


def mutated(items, positions=(0,)):
    return [f"{m}({items})" if at == 0 else f"{m}({items}, {at})" for m in MUTATORS for at in positions]


ADDRS = [
    "None", "0", "801", "0x0321", "65535", "65536", "-1", "1 << 70", "True", "1.5", "float('nan')", "'801'",
    "b'\\x03\\x21'", "bytearray(b'\\x03\\x21')", "[3, 0x21]", "[]", "[256]", "[-1]", "[Idx(3), 0x21]",
    "[RaiseIndex()]", "[StrIndex()]", "[BigIndex()]", "(3, 0x21)", "RaiseBool()", "LyingBool()", "RaiseEq(801)",
    "Idx(801)", "BigIndex()", "RaiseHash()", "itertools.count()", "iter([3, 0x21])", "C.GET_PUMP_STATUS",
    "[C.GET_PUMP_STATUS]", "lying([3, 0x21], 9)", "lying([3, 0x21], 0)", "EvilSeq(5, [3])",
    "MutatingIter([3, 0x21])", "[RaiseEq(3), 0x21]", "[None, 1]", "[1.5]", "[0] * 300",
    *mutated("[3, 0x21]", (0, 1)),
]

CHANNELS = [
    "None", "0", "23", "0x17", "255", "256", "-1", "1 << 70", "True", "1.5", "'23'", "[23]", "RaiseBool()",
    "LyingBool()", "RaiseEq(23)", "Idx(23)", "BigIndex()", "StrIndex()", "RaiseIndex()", "RaiseHash()",
    "C.GET_PUMP_STATUS", "b'\\x17'", *mutated("[23]"),
]

# User data: the honest ones first; those after HONEST_DATA may lie about
# their length, so a frame built from them may legitimately disagree with itself.
DATA = [
    "[]", "[1]", "[1, 2]", "[0] * 300", "[256]", "[-1]", "[Idx(5)]", "[RaiseIndex()]", "[StrIndex()]",
    "[BigIndex()]", "[RaiseEq(1)]", "[1.5]", "[True]", "[1 << 70]", "[None]", "[C.GET_PUMP_STATUS]", "(1,)",
    "b'\\x01'", "bytearray(b'\\x01')", "memoryview(b'\\x01')", "'a'", "None", "5", "RaiseLen([1])",
    "{1: 2}", "{1}", "range(1)", "itertools.count()", "iter([1])",
    *mutated("[]"), *mutated("[7]"), *mutated("[7, 8]"), *mutated("[1, 2, 3]", (1,)),
]
LYING_DATA = [
    "NegLen()", "EvilSeq(1, [])", "EvilSeq(1, [7, 8, 9])", "EvilSeq(3, [1])", "lying([1], 0)",
    "lying([], 1)", "lying([1, 2, 3], 1)", "lying([1], 1000)", "MutatingIter([1])",
]

COMMANDS = [
    "C.GET_PUMP_STATUS", "C.GET_KVO_RATE", "C.GET_PUMP_ALARM", "C.GET_REMAIN_TIME", "C.GET_RATE_UNIT",
    "C.GET_PUMPDOOR_STATUS", "C.SET_START_CONTROL", "C.GET_BUBBLE", "C.GET_TOTAL_VALUE", "0x4B", "0x50",
    "RaiseHash()", "RaiseEq(0x4B)", "'x'", "None", "Idx(0x4B)", "1.5", "comm.PumpStatus.RUN", "Unhashable()",
    "-1", "1 << 70",
]

VALUES = [
    "[2]", "[]", "[1, 25]", "[1, 8, 0, 0]", "[0, 0, 1, 44]", "[255, 255, 255, 255]", "[Idx(2)]",
    "[RaiseIndex()]", "[RaiseEq(1), 2]", "[1 << 70]", "[-1]", "[1.5]", "[float('nan')]", "[None]", "None",
    "5", "'ab'", "b'\\x01\\x02'", "(1, 25)", "lying([1, 25], 9)", "lying([1, 25], 0)", "EvilSeq(4, [1])",
    "RaiseLen([1])", "itertools.count()", "[RaiseStr()]",
    *mutated("[1, 25]", (0, 1)), *mutated("[1, 8, 0, 0]", (0, 2)),
]

# What an overridden __sr hands back; `data` is the request it was given.
REPLIES = [
    "good_reply(data)", "tuple(good_reply(data))", "iter(good_reply(data))", "bytes(good_reply(data))",
    "bytearray(good_reply(data))", "None", "5", "'U'", "[]", "[0] * 7", "good_reply(data)[:7]",
    "good_reply(data)[:8]", "good_reply(data) + [1] * 300", "[Idx(x) for x in good_reply(data)]",
    "[RaiseEq(x) for x in good_reply(data)]", "[x + 0.0 for x in good_reply(data)]",
    "[x + 256 for x in good_reply(data)]", "[x - 256 for x in good_reply(data)]", "[1 << 70] * 9",
    "[RaiseIndex()] * 9", "good_reply(data)[:-1] + [RaiseIndex()]", "itertools.count()",
    "EvilSeq(9, good_reply(data))", "MutatingIter(good_reply(data))", "lying(good_reply(data), 100)",
    "lying(good_reply(data), 3)", "good_reply(data)[:5] + [RaiseHash()] + good_reply(data)[6:]",
    "[0x55, 0xAA, 5, 6, 0, 0x4B, 200, 1]", "[0x55, 0xAA, 5, 6, 0, Idx(0x4B), 1, 2, 0xA7]",
    *mutated("good_reply(data)", (0, 5, 6, 7)),
]

CHECKS = [
    "0", "0xA9", "RaiseEq(0xA9)", "Idx(0xA9)", "1.5", "None", "'a'", "1 << 70", "-1", "256", "raising()",
    "data.clear() or 0", "BigIndex()", "RaiseBool()", "data.extend([0] * 4096) or 0xA9",
]

FRAME_HEADS = [
    "(0x55, 0xAA, 5, 6, 1)", "[0x55, 0xAA, 5, 6]", "[0x55, 0xAA, 5, 6, 0, 9, 9]", "[]", "None", "5", "'U'",
    "[RaiseEq(0x55), 0xAA, 5, 6, 0]", "[Idx(0x55), 0xAA, 5, 6, 1]", "[RaiseIndex()] * 5",
    "lying([0x55, 0xAA, 5, 6, 1], 50)", "lying([0x55, 0xAA, 5, 6, 0], 2)", "EvilSeq(5, [0x55])",
    "MutatingIter([0x55, 0xAA, 5, 6, 0])", "[0x55, 0xAA, 5, 6, 1 << 70]", "[0x155, 0xAA, 5, 6, 1]",
    "[RaiseHash()] * 5",
    *mutated("[0x55, 0xAA, 5, 6, 1]", (0, 3)), *mutated("[0x55, 0xAA, 5, 6, 0]", (0, 4)),
]

APP_HEADS = [
    "[0x4B, 0]", "[0x4B, 1]", "[0x4B, 300]", "[0x4B, -1]", "[0x4B, 1 << 70]", "[0x4B]", "[]", "None",
    "(0x4B, 1)", "[RaiseEq(0x4B), 1]", "[0x4B, Idx(1)]", "[0x4B, RaiseIndex()]", "[0x4B, StrIndex()]",
    "lying([0x4B, 1], 9)", "EvilSeq(2, [0x4B])", "[0x4B, 1, 2]", "'K\\x01'", "itertools.count()",
    "[0x4B, 1.5]", "[0x50, 4]", *mutated("[0x4B, 1]", (0, 1)),
]

QUERIED = ["C.GET_PUMP_STATUS", "C.GET_KVO_RATE", "C.GET_PUMP_ALARM", "C.GET_REMAIN_TIME"]

S_EQ = "type('S', (str,), {'__eq__': raising, '__hash__': str.__hash__})"

# Rebound module globals, by what they stand for; a case picks a kind, then one.
GLOBALS = {
    "hex_str": [
        "comm.hex_str = lambda d: nul_text()", "comm.hex_str = lambda d: None", "comm.hex_str = lambda d: 5",
        "comm.hex_str = raising", "comm.hex_str = lambda d: RaiseStr()", "comm.hex_str = mutating_hex",
        "comm.hex_str = lambda d: type('S', (str,), {})('x')", "comm.hex_str = None",
    ],
    "log": [
        "comm.log = ClearingLog()", "comm.log = ClearingLog(RaiseBool())", "comm.log = ClearingLog(LyingBool())",
        "comm.log = types.SimpleNamespace()", "comm.log = None",
        "comm.log = types.SimpleNamespace(isEnabledFor=lambda l: True, debug=raising, info=raising, error=raising)",
        "comm.log = types.SimpleNamespace(isEnabledFor=raising)",
    ],
    "serial": [
        "comm.serial = types.SimpleNamespace()", "comm.serial = types.SimpleNamespace(Serial=serial.Serial)",
        "comm.serial = types.SimpleNamespace(serialutil=serial.serialutil)",
        "comm.serial = types.SimpleNamespace(Serial=serial.Serial, serialutil=None)",
        "comm.serial = types.SimpleNamespace(Serial=serial.Serial, "
        "serialutil=types.SimpleNamespace(SerialException=5))",
        "comm.serial = types.SimpleNamespace(Serial=serial.Serial, "
        "serialutil=types.SimpleNamespace(SerialException=RaiseHash()))",
        "comm.serial = None", "serial.Serial = raising", "serial.Serial = None",
        "serial.Serial = lambda **kw: None", "serial.Serial = lambda **kw: types.SimpleNamespace()",
        "serial.serialutil.SerialException = Exception",
    ],
    "_": [
        "comm._ = lambda s: 5", "comm._ = raising", "comm._ = lambda s: nul_text()", "comm._ = lambda s: s + '%s'",
        "comm._ = lambda s: '%d%d%d'", "comm._ = None", "comm._ = lambda s: RaiseStr()",
    ],
    "time": [
        "comm.time = None", "comm.time = types.SimpleNamespace()", "comm.time = types.SimpleNamespace(sleep=raising)",
    ],
    "random and round": [
        "comm.random = types.SimpleNamespace(random=lambda: float('nan'))",
        "comm.random = types.SimpleNamespace(random=lambda: float('inf'))",
        "comm.random = types.SimpleNamespace(random=lambda: -float('inf'))",
        "comm.random = types.SimpleNamespace(random=lambda: 1e300)",
        "comm.random = types.SimpleNamespace(random=lambda: 'x')",
        "comm.random = types.SimpleNamespace(random=lambda: None)",
        "comm.random = types.SimpleNamespace(random=raising)",
        "comm.random = types.SimpleNamespace(random=lambda: RaiseEq(0))",
        "comm.random = types.SimpleNamespace(random=lambda: 0.9999999999999999)",
        "comm.random = types.SimpleNamespace(random=lambda: -0.5)", "comm.random = None",
        "comm.round = lambda x, n=0: 'x'", "comm.round = raising", "comm.round = lambda *a: float('nan')",
        "comm.round = lambda *a: 1 << 70", "comm.round = lambda *a: RaiseEq(1)",
    ],
    "converters": [
        "comm.ConvertFunc = {}", "comm.ConvertFunc = None", "comm.ConvertFunc = 5",
        "comm.ConvertFunc = dict.fromkeys(comm.ConvertFunc, raising)",
        "comm.ConvertFunc = dict.fromkeys(comm.ConvertFunc, lambda v: nul_text())",
        "comm.ConvertFunc = dict.fromkeys(comm.ConvertFunc, lambda v: v.clear())",
        "comm.ConvertFunc = dict.fromkeys(comm.ConvertFunc, lambda v: 5)",
        "comm.ConvertFunc = dict.fromkeys(comm.ConvertFunc, None)",
    ],
    "tables": [
        "comm.Command = types.SimpleNamespace()", "comm.Command = None",
        "comm.Option = None", "comm.Options = None", "comm.PROD_ID = RaiseEq(6)",
    ],
    "records": [
        "comm.DeviceReturnCode = types.SimpleNamespace()", "comm.DeviceReturnCode = None",
        "comm.DeviceReturnCode = types.SimpleNamespace(**{e.name: RaiseEq(e) for e in comm.DeviceReturnCode})",
        "comm.DeviceReturnCode = types.SimpleNamespace(**{e.name: e.name for e in comm.DeviceReturnCode})",
        "comm.DeviceReturn = lambda *a, **k: None", "comm.DeviceReturn = raising", "comm.DeviceReturn = None",
        "comm.DeviceReturn = lambda *a, **k: 5", "comm.DeviceReturn = types.SimpleNamespace",
        "comm.DeviceReturn = lambda *a, **k: types.SimpleNamespace(code=RaiseEq(0), value=clearing([2]), message=None)",
    ],
    "simulation": [
        "comm.Kelt = None", "comm.Kelt = types.SimpleNamespace(get_value_str=raising)",
        "comm.Kelt = types.SimpleNamespace(get_value_str=lambda c, v: nul_text())",
        "comm.fake_random_options_code = lambda o: RaiseEq(1)", "comm.fake_random_options_code = raising",
        "comm.fake_random_options_code = lambda o: 'x'", "comm.fake_random_options_code = lambda o: 1 << 70",
        "comm.fake_random_options_code = lambda o: None",
        "comm.fake_return_code_msg = lambda c, v: 5", "comm.fake_return_code_msg = lambda c, v: (1, 2, 3)",
        "comm.fake_return_code_msg = lambda c, v: itertools.count()",
        "comm.fake_return_code_msg = lambda c, v: (RaiseEq(0), nul_text())",
        "comm.fake_return_code_msg = lambda c, v: (None, None)", "comm.fake_return_code_msg = raising",
        "comm.fake_return_code_msg = lambda c, v: iter([RaiseEq(0), 'x'])",
        "comm.fake_return_code_msg = lambda c, v: EvilSeq(2, [0])",
    ],
}

# Rebinding these changes the frame a healthy call writes.
FRAME_GLOBALS = ("comm.CommandSendAppHeader", "comm.Command ")

PORT_MODES = ["good", "closed", "open-fails", "odd-exception", "write-fails", "write-boom", "silent", "short",
              "seven", "echo", "stray", "garbage", "bad-check", "odd-count", "trickle", "str", "list", "none",
              "int", "memoryview", "bytearray", "huge", "read-fails", "close-boom", "is-open-boom"]

PORTS = ["'COM1'", "'/dev/null'", "RaiseHash()", "Unhashable()", "RaiseEq(1)", "None", "b'COM1'", "RaiseStr()",
         "type('P', (str,), {'__hash__': raising})('COM1')", f"{S_EQ}('COM1')"]
BAUDS = ["9600", "RaiseIndex()", "None", "-1", "1 << 70", "'fast'"]
TIMEOUTS = ["1", "float('nan')", "float('inf')", "None", "-1", "RaiseBool()"]

RECORDS = [
    "None", "5", "comm.DeviceReturn(kw['command'], clearing([2]), comm.DeviceReturnCode.SUCCESS)",
    "comm.DeviceReturn(kw['command'], [], comm.DeviceReturnCode.SUCCESS)",
    "comm.DeviceReturn(kw['command'], None, comm.DeviceReturnCode.SUCCESS)",
    "comm.DeviceReturn(kw['command'], EvilSeq(1, []), comm.DeviceReturnCode.SUCCESS)",
    "types.SimpleNamespace(code=RaiseEq(0), value=[2])", "types.SimpleNamespace(code=0, value=EvilSeq(1, []))",
    "types.SimpleNamespace(code=0, value=itertools.count())", "types.SimpleNamespace(code=RaiseBool(), value=[2])",
    "types.SimpleNamespace(code=comm.DeviceReturnCode.SUCCESS)", "raising()",
    "types.SimpleNamespace(code=0, value=lying([2], 0))",
]

RENDERED = ["nul_text()", "5", "raising()", "RaiseStr()", "v.clear()", "type('S', (str,), {})('x')", "None"]

HEADS = [
    "[]", "[(C.GET_PUMP_STATUS, [])]", "[(C.GET_PUMP_STATUS, []), (C.GET_KVO_RATE, [1])]", "[itertools.count()]",
    "[(C.GET_PUMP_STATUS,)]", "[(1, 2, 3)]", "[5]", "[None]", "[iter([C.GET_PUMP_STATUS, [], 7])]",
    "[RaiseLen([C.GET_PUMP_STATUS, []])]", "[lying([C.GET_PUMP_STATUS, []], 5)]",
    "[EvilSeq(2, [C.GET_PUMP_STATUS])]", "[[C.GET_PUMP_STATUS, clearing([])]]", "[(RaiseHash(), [])]",
    "[(RaiseEq(0x4B), [])]", "iter([(C.GET_PUMP_STATUS, [])])", "MutatingIter([(C.GET_PUMP_STATUS, [])] * 3)",
    "(x for x in [(C.GET_PUMP_STATUS, [])])", "{C.GET_PUMP_STATUS: []}", "'ab'", "None", "5",
    "[MutatingIter([C.GET_PUMP_STATUS, [], 9])]", "[(C.GET_PUMP_STATUS, [], 7)]",
    "[(x for x in [C.GET_PUMP_STATUS, []])]",
]

CHECKED = [
    "[0x55, 0xAA, 5, 6, 0, 0x4B, 1, 2]", "[0x55, 0xAA, 5, 6, 0, 0x4B, 1, 2, 0xA7]", "[0x55] * 6 + [Idx(200)] + [1]",
    "[1] * 6 + [RaiseIndex()]", "[1] * 6 + [300]", "[1] * 6 + [-5, 1]", "[1] * 6 + [1 << 62, 1]", "[1] * 3",
    "[]", "None", "b'\\x55\\xaa\\x05\\x06\\x00\\x4b\\x01\\x02'", "'abcdefgh'", "lying([1] * 9, 3)",
    "EvilSeq(9, [1] * 9)", "[1] * 6 + [2, Idx(1), RaiseEq(1)]", "itertools.count()",
    *mutated("[0x55, 0xAA, 5, 6, 0, 0x4B, 1, 2, 0xA7]", (0, 6, 7)),
]

SR_DATA = ["b'\\x55\\xaa\\x05\\x06\\x01\\x4b\\x00\\xa9'", "bytearray(b'\\x55\\xaa\\x05\\x06\\x01\\x4b\\x00\\xa9')",
           "[0x55, 0xAA]", "clearing([0x55, 0xAA, 5, 6, 1, 0x4B, 0, 0xA9])", "'text'", "None", "5",
           "memoryview(b'\\x55\\xaa\\x05\\x06\\x01\\x4b\\x00\\xa9')", "RaiseStr()", "[RaiseIndex()]"]
RECV_LENS = ["9", "0", "-1", "1 << 70", "Idx(9)", "RaiseIndex()", "1.5", "None", "100000", "True"]

HEX = [v for v in DATA + VALUES + ADDRS if "itertools.count" not in v] + ["0", "-1", "1 << 100", "RaiseIndex()"]

OPTION_ENTRIES = ["(1, 'x')", "1", "(1,)", "(1, 2, 3)", "'s'", "RaiseIndex()", "(Idx(1), 'x')", "(1 << 70, None)",
                  "(1, RaiseStr())", "(RaiseEq(1), 'x')", "(RaiseHash(), 'x')", "clearing([1, 'x'])",
                  "lying([1, 'x'], 9)", "EvilSeq(2, [1])", "(1.5, 'x')", "(None, None)", "(1, nul_text())",
                  "(True, 'x')", "(-1, 'x')"]
NAMES = ["'A'", "None", "5", "RaiseStr()", "b'A'", "type('S', (str,), {'__hash__': raising})('A')", f"{S_EQ}('A')"]
CODES = ["comm.DeviceReturnCode.SUCCESS", "RaiseEq(0)", "5", "None", "Idx(0)", "'x'", "RaiseHash()", "-3",
         "comm.DeviceReturnCode.EXCEPTION"]
MESSAGES = ["''", "'m'", "None", "nul_text()", "RaiseStr()", "5", "type('S', (str,), {'__str__': raising})('x')"]
PROBES = ["1", "0x4B", "RaiseEq(0x4B)", "RaiseHash()", "Idx(0x4B)", "None", "'GET_PUMP_STATUS'", "1 << 70",
          "comm.PumpStatus.RUN", "1.0", "Unhashable()"]


class Case:
    """Statements of one case, and whether its frames must agree with themselves."""

    def __init__(self, rng):
        self.rng = rng
        self.frames_honest = True
        self.raw_writes = True  # may call __sr itself

    def pick(self, pool):
        value = self.rng.choice(pool)
        if any(word in value for word in ("lying(", "EvilSeq(", "MutatingIter(", "NegLen(")):
            self.frames_honest = False
        return value

    def data(self):
        return self.pick(DATA + LYING_DATA if self.rng.random() < 0.25 else DATA)

    def link(self):
        """addr and channel, by keyword or position, or left out."""
        r = self.rng.random()
        if r < 0.2:
            return ""
        if r < 0.4:
            return f"addr={self.pick(ADDRS)}"
        if r < 0.55:
            return f"channel={self.pick(CHANNELS)}"
        if r < 0.75:
            return f"{self.pick(ADDRS)}, {self.pick(CHANNELS)}"
        return f"addr={self.pick(ADDRS)}, channel={self.pick(CHANNELS)}"

    def operation(self, kinds=None):
        rng = self.rng
        link = self.link()
        comma = ", " + link if link else ""
        if kinds is None:
            kinds = ["status", "status", "alarm", "kvo", "kvo", "all", "transaction", "transaction", "commands",
                     "chkd", "sr", "render", "hex", "simulate", "record", "options", "construct"]
        if not self.raw_writes:
            kinds = [k for k in kinds if k != "sr"] or ["status"]
        kind = rng.choice(kinds)
        if kind == "status":
            return f"k.get_pump_status({link})"
        if kind == "alarm":
            return f"k.get_pump_alarm({link})"
        if kind == "kvo":
            return f"k.get_kvo_rate({self.data()}{comma})"
        if kind == "all":
            return f"k.get_all_status({link})"
        if kind == "transaction":
            return f"k._Kelt__send_and_recv({self.pick(COMMANDS)}, {self.data()}{comma})"
        if kind == "commands":
            return f"k._Kelt__send_commands({self.pick(HEADS)}{comma})"
        if kind == "chkd":
            return f"k._Kelt__chkd({self.pick(CHECKED)})"
        if kind == "sr":  # writes whatever it is given
            self.frames_honest = False
            return f"k._Kelt__sr({self.pick(SR_DATA)}, {self.pick(RECV_LENS)})"
        if kind == "render":
            owner = rng.choice(["comm.Kelt", "k"])
            return f"{owner}.get_value_str({self.pick(COMMANDS)}, {self.pick(VALUES)})"
        if kind == "hex":
            return f"comm.hex_str({self.pick(HEX)})"
        if kind == "simulate":
            return rng.choice([
                f"comm.fake_get_all_status({self.pick(ADDRS)})",
                f"comm.fake_return_code_msg({self.pick(COMMANDS)}, {self.pick(VALUES)})",
                f"comm.fake_random_options_code(types.SimpleNamespace(codes={self.pick(VALUES)}))",
                "comm.fake_random_options_code(comm.PumpStatus)",
            ])
        if kind == "record":
            return (f"r = comm.DeviceReturn({self.pick(COMMANDS)}, {self.pick(VALUES)}, {self.pick(CODES)}, "
                    f"{self.pick(MESSAGES)}); r.code = {self.pick(CODES)}; r.message = {self.pick(MESSAGES)}; "
                    f"repr(r); str(r)")
        if kind == "options":
            return rng.choice([
                f"{self.pick(PROBES)} in comm.Command",
                f"comm.Command.get_option_by_code({self.pick(PROBES)})",
                f"comm.Option({self.pick(PROBES)}, {self.pick(NAMES)}, {self.pick(NAMES)})",
                f"T = type('T', (comm.Options,), {{'A': {self.pick(OPTION_ENTRIES)}, "
                f"'B': {self.pick(OPTION_ENTRIES)}}}); T.codes; list(T); len(T); "
                f"T.get_option_by_code({self.pick(PROBES)}); {self.pick(PROBES)} in T; repr(T.A)",
            ])
        return rng.choice([
            "k = K(*range(20), x=1)",
            f"k = K({self.pick(PORTS)}, {self.pick(BAUDS)}, {self.pick(TIMEOUTS)})",
            f"k = K(port={self.pick(PORTS)}, timeout={self.pick(TIMEOUTS)})",
            f"k = K(**{{{S_EQ}('port'): 'COM1'}})",
            f"k = K('COM1', **{{{S_EQ}('baud_rate'): 1, 'timeout': 2}})",
        ])

    def globals(self):
        rng = self.rng
        r = rng.random()
        if r < 0.15:
            table = rng.choice(["comm.CommandSendAppHeader", "comm.CommandRecvAppHeader"])
            if table == "comm.CommandSendAppHeader":
                self.frames_honest = False
            return (f"{table} = dict({table}); {table}[{rng.choice(QUERIED)}] = {self.pick(APP_HEADS)}")
        if r < 0.2:
            self.frames_honest = False
            return f"comm.CommandSendAppHeader = {rng.choice(['{}', 'None', '5', 'Unhashable()'])}"
        statement = rng.choice(GLOBALS[rng.choice(list(GLOBALS))])
        if statement.startswith(FRAME_GLOBALS) or "PROD_ID" in statement:
            self.frames_honest = False
        return statement

    def override(self):
        rng = self.rng
        what = rng.choice(["sr", "sr", "sr", "chkd", "gsh", "grh", "grh", "prop", "sar", "commands", "render",
                           "getattribute", "hash"])
        if what == "sr":
            return f"K._Kelt__sr = lambda self, data, recv_len=32: {self.pick(REPLIES)}"
        if what == "chkd":
            self.frames_honest = False
            return f"K._Kelt__chkd = lambda self, data: {self.pick(CHECKS)}"
        if what == "gsh":
            self.frames_honest = False
            return f"K._Kelt__gsh = {self.pick(FRAME_HEADS)}"
        if what == "grh":
            return f"K._Kelt__grh = {self.pick(FRAME_HEADS)}"
        if what == "prop":
            return f"K.{rng.choice(['port', 'baud_rate', 'timeout'])} = raising_property()"
        if what == "sar":
            return f"K._Kelt__send_and_recv = lambda self, **kw: {self.pick(RECORDS)}"
        if what == "commands":
            return f"K._Kelt__send_commands = lambda self, *a, **kw: {rng.choice(['None', '5', 'itertools.count()', '[None]', '[5, 6]'])}"
        if what == "render":
            return f"K.get_value_str = staticmethod(lambda c, v: {self.pick(RENDERED)})"
        if what == "getattribute":
            name = rng.choice(["_Kelt__sr", "port", "_Kelt__send_and_recv", "_Kelt__chkd", "_Kelt__gsh",
                               "__dict__", "timeout"])
            return (f"K.__getattribute__ = lambda self, n: raising() if n == {name!r} "
                    "else object.__getattribute__(self, n)")
        return "K.__eq__ = K.__hash__ = raising"


def make_case(seed, index):
    """The statements of case `index` under `seed`. One case in four looks
    closer at the serial link: a rebound `serial`, port settings that raise,
    a port that misbehaves."""
    rng = random.Random(f"hostile:{seed}:{index}")
    case = Case(rng)
    link = rng.random() < 0.25
    setup = ["class K(Kelt): pass"]
    if link and rng.random() < 0.6:
        setup.append(rng.choice(GLOBALS["serial"]))
    for _ in range(rng.choice([0, 0, 1, 1, 2])):
        setup.append(case.globals())
    if rng.random() < (0.8 if link else 0.5):
        setup.append(f"use_port({rng.choice(PORT_MODES)!r})")
    if rng.random() < 0.5:
        setup.append("debug_on()")
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        setup.append(case.override())
    if rng.random() < (0.6 if link else 0.15):
        setup.append(f"K.{rng.choice(['port', 'baud_rate', 'timeout'])} = raising_property()")
    setup.append("k = K()")
    r = rng.random()
    if r < 0.1:
        case.frames_honest = False
        setup.append(f"k._Kelt__chkd = lambda data: {case.pick(CHECKS)}")
    elif r < 0.16:
        # An override of the check rule, on the class or the instance, makes
        # the last byte of every frame the transaction writes.
        case.frames_honest, case.raw_writes = False, False
        setup.append(rng.choice(["K._Kelt__chkd = lambda self, data: 0x11; expect_check(0x11)",
                                 "k._Kelt__chkd = lambda data: 0x22; expect_check(0x22)"]))
    kinds = ["sr", "sr", "status", "alarm", "kvo", "all"] if link else None
    if rng.random() < 0.08:
        heads = rng.choice(["[(C.GET_PUMP_STATUS, []), (C.GET_PUMP_ALARM, [])] * 3",
                            "[(C.GET_KVO_RATE, [1]), (C.GET_PUMP_STATUS, [])] * 2"])
        setup.append(f"H = {heads}; comm.time = ClearingSleep(H)")
        operations = [f"k._Kelt__send_commands(H, {case.pick(ADDRS)})"]
    else:
        operations = [case.operation(kinds) for _ in range(rng.choice([1, 2, 2, 3, 4]))]
    if case.frames_honest:
        setup.append("strict_frames()")
    return setup + [f"with attempt(): {op}" for op in operations]
