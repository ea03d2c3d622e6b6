"""The type stubs of tarvelpump.comm against the module itself.

mypy.stubtest compares every name, signature and class of the stub with the
built module; what it cannot see (class attributes that the stub has but the
module lacks) is compared here from the stub's syntax tree.
"""

import ast
import importlib.util
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tarvelpump import comm

HERE = Path(__file__).parent
STUB = Path(comm.__file__).with_name("__init__.pyi")

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is not installed")

# pyserial ships no types; the stub only names its module and port objects.
MYPY_CONFIG = """\
[mypy]
[mypy-serial.*]
ignore_missing_imports = True
"""


def run_module(tmp_path, *args):
    """Runs `python -m <args>` in an empty directory with a fresh mypy cache."""
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    env.pop("MYPYPATH", None)
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)


def config(tmp_path):
    path = tmp_path / "mypy.ini"
    path.write_text(MYPY_CONFIG)
    return str(path)


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"), str(STUB))


def module_level(body):
    """The stub's statements as a checker on this Python reads them: of each
    `if sys.version_info ...`, the branch that holds here."""
    for node in body:
        if isinstance(node, ast.If):
            holds = eval(compile(ast.Expression(node.test), str(STUB), "eval"), {"sys": sys})
            yield from module_level(node.body if holds else node.orelse)
        else:
            yield node


def stub_classes():
    return {node.name: node for node in module_level(stub_tree().body)
            if isinstance(node, ast.ClassDef)}


def annotated_names(cls):
    return [node.target.id for node in cls.body
            if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)]


def test_stub_and_marker_are_installed():
    assert STUB.is_file()
    assert Path(comm.__file__).parent.parent.joinpath("py.typed").is_file()


@needs_mypy
def test_stubtest_finds_no_drift(tmp_path):
    result = run_module(tmp_path, "mypy.stubtest", "--mypy-config-file", config(tmp_path),
                        "--allowlist", str(HERE / "stubtest-allowlist.txt"), "tarvelpump.comm")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout


def test_every_table_lists_its_entries_in_order():
    classes = stub_classes()
    tables = [name for name, value in vars(comm).items()
              if isinstance(value, type) and issubclass(value, comm.Options) and value is not comm.Options]
    assert tables == ["DeviceReturnCode", "PowerStatus", "PumpStatus", "PumpDoorStatus", "RateUnit",
                      "KeltPumpAlarmBits", "Command"]
    for name in tables:
        assert annotated_names(classes[name]) == [e.name for e in getattr(comm, name)], name
        # Entries are class-level: declared ClassVar[Option].
        for node in classes[name].body:
            assert ast.unparse(node.annotation) == "ClassVar[Option]", (name, ast.unparse(node))


def test_instance_attributes_match_real_objects():
    classes = stub_classes()
    kelt = comm.Kelt()
    assert [n for n in annotated_names(classes["Kelt"]) if not n.startswith("_")] == list(vars(kelt))
    record = comm.DeviceReturn(comm.Command.GET_PUMP_STATUS)
    assert sorted(annotated_names(classes["DeviceReturn"])) == sorted(vars(record))
    entry = comm.PumpStatus.RUN
    assert set(annotated_names(classes["Option"])) <= set(vars(entry))


def test_module_names_in_the_stub_are_the_module_names():
    names = []
    for node in module_level(stub_tree().body):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.append(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.append(node.target.id)
        elif isinstance(node, ast.Import):
            names += [a.asname for a in node.names if a.asname]
    public = [n for n in names if n != "_OptionsMeta" and n != "_HasCodes"]
    module = [n for n in vars(comm) if not n.startswith("__")]
    assert sorted(public) == sorted(module)


@needs_mypy
def test_stub_types_a_client_program(tmp_path):
    program = tmp_path / "client.py"
    program.write_text(textwrap.dedent("""\
        from tarvelpump import comm
        from tarvelpump.comm import Command, DeviceReturn, Kelt, PumpStatus

        records: list[DeviceReturn] = Kelt("/dev/ttyUSB0", 9600, 0.5).get_all_status(addr=801, channel=23)
        for rc in records:
            name: str = rc.command.name
            number: int = rc.code + 1
            message: str = rc.message
        text: str | None = PumpStatus.RUN.text
        codes: tuple[int, ...] = PumpStatus.codes
        drawn: int = comm.fake_random_options_code(PumpStatus)
        names = [entry.name for entry in Command]
        size: int = len(Command)
        member: bool = PumpStatus.RUN in PumpStatus
        header: list[int] = comm.CommandSendAppHeader[Command.GET_PUMP_STATUS]
        rendered: str | None = Kelt.get_value_str(Command.GET_PUMP_STATUS, [2])
        simulated: list[DeviceReturn] = comm.fake_get_all_status(None)
        code, msg = comm.fake_return_code_msg(Command.GET_REMAIN_TIME, [2, 30])
        shown: str = comm.hex_str(b"U")
        comm.log.info("fine")
        reveal_type(PumpStatus.get_option_by_code(2))
        reveal_type(Kelt()._Kelt__sr([1, 2]))
        wrong: int = comm.hex_str(1)
        Kelt().get_pump_status(address=801)
        """))
    result = run_module(tmp_path, "mypy", "--config-file", config(tmp_path), "--no-error-summary",
                        "--show-error-codes", str(program))
    found = []
    for line in result.stdout.splitlines():
        match = re.match(r"client\.py:(\d+): (error|note): (.*)", line)
        assert match, result.stdout + result.stderr
        number, kind, text = match.groups()
        if kind == "error":
            found.append((int(number), text.rsplit("[", 1)[1]))
        elif text.startswith("Revealed type is"):
            found.append((int(number), re.sub(r"builtins\.", "", text)))
    assert found == [
        (21, 'Revealed type is "tarvelpump.comm.Option | None"'),
        (22, 'Revealed type is "list[int]"'),
        (23, "assignment]"),
        (24, "call-arg]"),
    ], result.stdout + result.stderr


@needs_mypy
def test_radio_address_may_be_a_list_of_bytes(tmp_path):
    # As the README shows; a tuple or a string is refused at run time, and here.
    program = tmp_path / "radio.py"
    program.write_text(textwrap.dedent("""\
        from tarvelpump.comm import Command, DeviceReturn, Kelt

        pump = Kelt("/dev/ttyUSB0")
        one: DeviceReturn = pump.get_pump_status(addr=[3, 0x21])
        all_: list[DeviceReturn] = pump.get_all_status([3, 0x21], 23)
        kvo: DeviceReturn = pump.get_kvo_rate([1], addr=[3, 0x21], channel=23)
        alarm: DeviceReturn = pump.get_pump_alarm(801)
        sent = pump._Kelt__send_commands([(Command.GET_PUMP_STATUS, [])], addr=[3, 0x21])
        raw = pump._Kelt__send_and_recv(Command.GET_PUMP_STATUS, to_addr=[3, 0x21], to_channel=23)
        pump.get_pump_status(addr=(3, 0x21))
        pump.get_all_status(addr="801")
        """))
    result = run_module(tmp_path, "mypy", "--strict", "--config-file", config(tmp_path), "--no-error-summary",
                        "--show-error-codes", str(program))
    errors = [(int(n), code) for n, code in re.findall(r"radio\.py:(\d+): error: .*\[([\w-]+)\]$",
                                                       result.stdout, re.M)]
    assert errors == [(10, "arg-type"), (11, "arg-type")], result.stdout + result.stderr
