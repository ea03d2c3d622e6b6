"""The configuration's schema: each TOML table a frozen dataclass whose fields say what they hold.

A field declared with ``setting(default, kind, help)`` is one key: its kind
(``Integer(1, 1000)``, ``Number(0, 60)``, ``Text()``, ``Choice(...)``...)
checks a value and says its bounds, its default is the dataclass's, its help
is one line of the reference. A table of tables is ``table(Cls)`` (``[store]``)
or ``entries(Cls)`` (``[[link]]``) on the file's root class. From these come
the file's checks (unknown keys, types, bounds: ``read_file``), the defaults,
the same checks for settings made in code (``Section.__post_init__``) and the
README's reference block (``reference``); nothing about a key is said twice.

A mistake is a ``ConfigError`` naming the key as the file has it
(``pump[2].addr``, counted from 0) and what is wrong, in one line.
"""

from __future__ import annotations

import dataclasses
import enum
import json
import os
import re
import textwrap
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import Any, ClassVar, TypeVar

__all__ = ["Choice", "ConfigError", "FilePath", "Flag", "Integer", "Kind", "Number", "NumberTable", "Section", "Text",
           "TextTable", "Texts", "entries", "read_file", "read_table", "reference", "setting", "settings_of", "table", "values"]


class ConfigError(ValueError):
    """A bad configuration: ``key`` names where, ``message`` says what is wrong."""

    def __init__(self, key: str, message: str) -> None:
        super().__init__(f"{key}: {message}")
        self.key = key
        self.message = message


def show(value: object) -> str:
    """A value as a message quotes it: briefly, and as the file would write it."""
    if isinstance(value, str):
        if len(value) > 80:  # the key is named; a runaway value is not repeated whole
            value = value[:60] + f"... ({len(value)} characters)"
        return '"' + value.replace('"', '\\"') + '"'
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int) and value.bit_length() > 64:
        return f"an integer of {value.bit_length()} bits"
    if isinstance(value, dict):
        return "a table"
    if isinstance(value, (list, tuple)):
        return "an array"
    return str(value)


# -- kinds: what one key holds -------------------------------------------------

class Kind:
    """Checks one key's value (``take``: the value as kept, or ``ConfigError``) and describes it."""

    def take(self, value: Any, key: str, base: Path | None) -> Any:
        raise NotImplementedError

    def bounds(self) -> str:
        """What values are allowed, for the reference ("" if the help says it all)."""
        return ""

    def default(self, value: Any, base: Path | None) -> Any:
        """The default as a file that leaves the key out gets it."""
        return value


@dataclasses.dataclass(frozen=True)
class Integer(Kind):
    low: int
    high: int

    def take(self, value: Any, key: str, base: Path | None) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or not self.low <= value <= self.high:
            raise ConfigError(key, f"must be an integer {self.low}..{self.high}, got {show(value)}")
        return value

    def bounds(self) -> str:
        return f"{_big(self.low)}..{_big(self.high)}"


@dataclasses.dataclass(frozen=True)
class Number(Kind):
    """A number from ``low`` (or just above it: ``above``) to ``high``, kept as a float;
    ``none``: the word "none" (``None`` in code) is allowed too."""

    low: float
    high: float
    above: bool = False
    none: bool = False

    def take(self, value: Any, key: str, base: Path | None) -> float | None:
        if self.none and (value is None or value == "none"):
            return None
        ok = isinstance(value, (int, float)) and not isinstance(value, bool)
        # An integer is compared as it is: one beyond any float is out of bounds, not an overflow.
        if ok and isinstance(value, float) and value != value:
            ok = False
        if ok:
            ok = (value > self.low if self.above else value >= self.low) and value <= self.high
        if not ok:
            what = (f"a number over {self.low:g} and at most {self.high:g}" if self.above
                    else f"a number {self.low:g}..{self.high:g}")
            if self.none:
                what += ' (or "none")'
            raise ConfigError(key, f"must be {what}, got {show(value)}")
        return float(value)

    def bounds(self) -> str:
        text = f"over {self.low:g}, at most {self.high:g}" if self.above else f"{self.low:g}..{self.high:g}"
        return text + (', or "none"' if self.none else "")


@dataclasses.dataclass(frozen=True)
class Text(Kind):
    """A non-empty string without NUL; ``limit``: at most that many characters;
    ``check``: a further rule, raising ``ValueError`` with what is wrong."""

    limit: int | None = None
    check: Callable[[str], object] | None = None

    def take(self, value: Any, key: str, base: Path | None) -> Any:
        if not isinstance(value, str) or not value.strip():
            raise ConfigError(key, f"must be a non-empty string, got {show(value)}")
        if "\0" in value:  # no path, label or URL holds one; the system would refuse it later, less clearly
            raise ConfigError(key, "must not hold a NUL character")
        if self.limit is not None and len(value) > self.limit:
            raise ConfigError(key, f"must be at most {self.limit} characters, got {len(value)}")
        if self.check is not None:
            try:
                self.check(value)
            except ValueError as exc:
                raise ConfigError(key, str(exc)) from None
        return value

    def bounds(self) -> str:
        return "" if self.limit is None else f"at most {self.limit} characters"


class FilePath(Kind):
    """A path (a non-empty string); a relative one is taken from the configuration file's folder.
    Kept as ``type``: str or Path."""

    def __init__(self, type: type = str) -> None:
        self.type = type

    def take(self, value: Any, key: str, base: Path | None) -> Any:
        if isinstance(value, os.PathLike):
            value = os.fspath(value)
        text = _TEXT.take(value, key, base)
        if base is not None and not os.path.isabs(text):
            text = os.fspath(Path(base) / text)
        return self.type(text)

    def default(self, value: Any, base: Path | None) -> Any:
        return value if value is None else self.take(value, "", base)  # from the file's folder too


_TEXT = Text()


class Choice(Kind):
    """One of some words; given an Enum class, its values, kept as its members."""

    def __init__(self, *options: str | type[enum.Enum]) -> None:
        self.enum: type[enum.Enum] | None = None
        if len(options) == 1 and isinstance(options[0], type) and issubclass(options[0], enum.Enum):
            self.enum = options[0]
            self.options: tuple[str, ...] = tuple(str(m.value) for m in self.enum)
        else:
            self.options = tuple(str(o) for o in options)

    def take(self, value: Any, key: str, base: Path | None) -> Any:
        if self.enum is not None and isinstance(value, self.enum):
            return value
        if not isinstance(value, str) or value not in self.options:
            what = (f'"{self.options[0]}" or "{self.options[1]}"' if len(self.options) == 2
                    else "one of " + ", ".join(self.options))
            raise ConfigError(key, f"must be {what}, got {show(value)}")
        return value if self.enum is None else self.enum(value)

    def bounds(self) -> str:
        return " | ".join(self.options)


class Flag(Kind):
    def take(self, value: Any, key: str, base: Path | None) -> bool:
        if not isinstance(value, bool):
            raise ConfigError(key, f"must be true or false, got {show(value)}")
        return value


@dataclasses.dataclass(frozen=True)
class Texts(Kind):
    """An array of strings (each as ``item`` says), kept as a tuple."""

    item: Text = Text()

    def take(self, value: Any, key: str, base: Path | None) -> tuple[Any, ...]:
        if not isinstance(value, (list, tuple)):
            raise ConfigError(key, f"must be an array of strings, got {show(value)}")
        return tuple(self.item.take(v, f"{key}[{i}]", base) for i, v in enumerate(value))


@dataclasses.dataclass(frozen=True)
class TextTable(Kind):
    """A table of names to strings (``{ nurse = "..." }``), kept as a dict."""

    item: Text = Text()

    def take(self, value: Any, key: str, base: Path | None) -> dict[str, Any]:
        if not isinstance(value, Mapping):
            raise ConfigError(key, f"must be a table of strings, got {show(value)}")
        return {name: self.item.take(v, f"{key}.{name}", base) for name, v in value.items()}


@dataclasses.dataclass(frozen=True)
class NumberTable(Kind):
    """A table of some known names to numbers (``{ door = 20 }``), each as ``item`` says; kept as a dict."""

    names: tuple[str, ...]
    item: Number

    def take(self, value: Any, key: str, base: Path | None) -> dict[str, Any]:
        if not isinstance(value, Mapping):
            raise ConfigError(key, f"must be a table of numbers, got {show(value)}")
        for name in value:
            if name not in self.names:
                raise ConfigError(f"{key}.{name}", f"unknown name (known here: {', '.join(self.names)})")
        return {name: self.item.take(v, f"{key}.{name}", base) for name, v in value.items()}

    def bounds(self) -> str:
        return f"{', '.join(self.names)}: {self.item.bounds()}"


# -- declaring tables ----------------------------------------------------------

REQUIRED: Any = dataclasses.MISSING


@dataclasses.dataclass(frozen=True)
class Spec:
    kind: Kind
    help: str
    example: Any = REQUIRED  #: shown in the reference where there is no default to show
    superseded_by: str | None = None  #: still read, bounded and kept, but nothing uses it


@dataclasses.dataclass(frozen=True)
class Part:
    cls: type[Section]
    array: bool
    required: bool = False


def setting(default: Any, kind: Kind, help: str, *, example: Any = REQUIRED,
            superseded_by: str | None = None) -> Any:
    """One key of a table: ``default`` (``REQUIRED`` for none), its kind, one line of help."""
    metadata = {"schema": Spec(kind, help, example, superseded_by)}
    if default is REQUIRED:
        return dataclasses.field(metadata=metadata)
    if isinstance(default, (dict, list)):
        return dataclasses.field(default_factory=lambda: type(default)(default), metadata=metadata)
    return dataclasses.field(default=default, metadata=metadata)


def table(cls: type[Section]) -> Any:
    """A ``[name]`` table of the file (on the root class), its settings ``cls``'s."""
    return dataclasses.field(default=cls(), metadata={"schema": Part(cls, array=False)})


def entries(cls: type[Section], *, required: bool = False) -> Any:
    """An array of ``[[name]]`` tables of the file (on the root class), kept as a tuple."""
    return dataclasses.field(default=(), metadata={"schema": Part(cls, array=True, required=required)})


class Section:
    """Base of a table's dataclass: ``class PollConfig(Section, table="poll")``.

    Made in code, its settings are checked and converted as the file's are
    (an int for a number becomes a float, a word its Enum member); a
    field left at its default is taken as it is. A rule over several keys
    goes in the subclass's ``__post_init__``, after ``super().__post_init__()``,
    raising ``ConfigError(f"{self.toml_name}.KEY", ...)``: read from a
    ``[[name]]`` array it is named ``name[i].KEY``.
    """

    toml_name: ClassVar[str] = ""

    def __init_subclass__(cls, table: str | None = None, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if table is not None:
            cls.toml_name = table

    def __post_init__(self) -> None:
        for name, spec, default in settings_of(type(self)):
            value = getattr(self, name)
            if value is None and default is None:
                continue
            if default is not REQUIRED and type(value) is type(default) and value == default:
                continue
            kept = spec.kind.take(value, f"{self.toml_name}.{name}", None)
            if kept is not value:
                object.__setattr__(self, name, kept)


S = TypeVar("S", bound=Section)


_settings: dict[type, tuple[tuple[str, Spec, Any], ...]] = {}
_parts: dict[type, tuple[tuple[str, Part], ...]] = {}


def settings_of(cls: type[Section]) -> tuple[tuple[str, Spec, Any], ...]:
    """(name, spec, default or ``REQUIRED``) of each key of ``cls``'s own table, in declared order."""
    known = _settings.get(cls)
    if known is not None:
        return known
    found = []
    for f in dataclasses.fields(cls):  # type: ignore[arg-type]
        spec = f.metadata.get("schema")
        if isinstance(spec, Spec):
            default = f.default if f.default is not dataclasses.MISSING else (
                f.default_factory() if f.default_factory is not dataclasses.MISSING else REQUIRED)
            found.append((f.name, spec, default))
    known = _settings[cls] = tuple(found)
    return known


def parts_of(cls: type[Section]) -> tuple[tuple[str, Part], ...]:
    """(name, part) of each ``table``/``entries`` field of a root class."""
    known = _parts.get(cls)
    if known is None:
        known = _parts[cls] = tuple((f.name, f.metadata["schema"])
                                    for f in dataclasses.fields(cls)  # type: ignore[arg-type]
                                    if isinstance(f.metadata.get("schema"), Part))
    return known


def values(section: Section) -> dict[str, Any]:
    """A table's settings as they are used (the superseded left out), e.g. to show them."""
    return {name: getattr(section, name) for name, spec, _ in settings_of(type(section)) if not spec.superseded_by}


# -- reading -------------------------------------------------------------------

def read_file(root: type[S], data: Mapping[str, Any], base: Path | None = None) -> S:
    """Check a whole parsed file against ``root``: its own table (``root.toml_name``), then each
    ``table``/``entries`` field's, in declared order. ``base``: the folder relative paths are from."""
    parts = parts_of(root)
    _known(data, "", {root.toml_name, *(part.cls.toml_name for _, part in parts)})
    kept = _read(root, _table(data, root.toml_name), root.toml_name, base)
    for name, part in parts:
        where = part.cls.toml_name
        if part.array:
            items = _array(data, where)
            kept[name] = tuple(_section(part.cls, item, f"{where}[{i}]", base) for i, item in enumerate(items))
            if part.required and not items:
                raise ConfigError(where, f"at least one [[{where}]] is needed")
        else:
            kept[name] = _section(part.cls, _table(data, where), where, base)
    return root(**kept)


def read_table(cls: type[S], data: Mapping[str, Any], base: Path | None = None) -> S:
    """One table of a parsed file on its own (``data`` is the whole file), as ``read_file`` reads it."""
    return _section(cls, _table(data, cls.toml_name), cls.toml_name, base)


def _section(cls: type[S], data: Mapping[str, Any], where: str, base: Path | None) -> S:
    kept = _read(cls, data, where, base)
    try:
        return cls(**kept)
    except ConfigError as exc:  # a rule of the section's own __post_init__: named as in the file
        if where == cls.toml_name or not exc.key.startswith(f"{cls.toml_name}."):
            raise
        raise ConfigError(where + exc.key[len(cls.toml_name):], exc.message) from None


def _read(cls: type[Section], data: Mapping[str, Any], where: str, base: Path | None) -> dict[str, Any]:
    known = settings_of(cls)
    _known(data, where, {name for name, _, _ in known})
    kept: dict[str, Any] = {}
    for name, spec, default in known:
        key = f"{where}.{name}"
        if name in data:
            kept[name] = spec.kind.take(data[name], key, base)
        elif default is REQUIRED:
            raise ConfigError(key, "is required")
        else:
            value = spec.kind.default(default, base)
            if value is not default:
                kept[name] = value
    return kept


def _known(data: Mapping[str, Any], where: str, names: set[str]) -> None:
    for name in data:
        if name not in names:
            key = f"{where}.{name}" if where else name
            raise ConfigError(key, f"unknown key (known here: {', '.join(sorted(names))})")


def _table(data: Mapping[str, Any], name: str) -> Mapping[str, Any]:
    value = data.get(name, {})
    if not isinstance(value, dict):
        raise ConfigError(name, f"must be a table ([{name}]), got {show(value)}")
    return value


def _array(data: Mapping[str, Any], name: str) -> list[Mapping[str, Any]]:
    value = data.get(name, [])
    if not isinstance(value, list) or not all(isinstance(v, dict) for v in value):
        raise ConfigError(name, f"must be an array of tables ([[{name}]]), got {show(value)}")
    return value


# -- the reference ---------------------------------------------------------------

COMMENT_AT = 27  #: the column the help starts in
WIDTH = 110


def reference(root: type[Section]) -> str:
    """Every key of the file with its default (or, where it has none, an example), its bounds and its help,
    as TOML: commented out where leaving it out is the default."""
    lines = [f"[{root.toml_name}]", *_lines(root)]
    for _, part in parts_of(root):
        name = part.cls.toml_name
        lines += ["", f"[[{name}]]" if part.array else f"[{name}]", *_lines(part.cls)]
    return "\n".join(lines) + "\n"


def _lines(cls: type[Section]) -> Iterator[str]:
    for name, spec, default in settings_of(cls):
        empty = default is None or (default is not REQUIRED and not isinstance(default, (bool, int, float))
                                    and not default)
        shown = spec.example if default is REQUIRED or (empty and spec.example is not REQUIRED) else default
        commented = default is not REQUIRED and (empty or spec.superseded_by is not None)
        entry = ("# " if commented else "") + f"{name} = {_toml(shown)}"
        words = f"superseded by {spec.superseded_by}: read and ignored" if spec.superseded_by else spec.help
        if spec.kind.bounds():
            words = f"{words}; {spec.kind.bounds()}" if words else spec.kind.bounds()
        if not words:
            yield entry
            continue
        first = WIDTH - max(COMMENT_AT, len(entry) + 1) - 2
        wrapped = textwrap.wrap(words, width=max(first, 30))
        head, rest = wrapped[0], " ".join(wrapped[1:])
        yield f"{entry.ljust(COMMENT_AT - 1)} # {head}"
        for more in textwrap.wrap(rest, width=WIDTH - COMMENT_AT - 2):
            yield f"{'':{COMMENT_AT - 1}} # {more}"


def _toml(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, enum.Enum):
        return _toml(value.value)
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, (str, os.PathLike)):
        return json.dumps(os.fspath(value), ensure_ascii=False)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml(v) for v in value) + "]"
    if isinstance(value, Mapping):
        items = [f"{k if re.fullmatch(r'[A-Za-z0-9_-]+', k) else _toml(k)} = {_toml(v)}" for k, v in value.items()]
        return "{ " + ", ".join(items) + " }" if items else "{}"
    raise TypeError(f"no TOML for {value!r}")


def _big(n: int) -> str:
    """2^63-1 rather than its 19 digits."""
    if n >= 2 ** 32 and (n + 1) & n == 0:
        return f"2^{(n + 1).bit_length() - 1}-1"
    return str(n)
