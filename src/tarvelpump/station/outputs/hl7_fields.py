"""HL7 v2.6 values that fit their fields: escaped, and no longer than v2.6 allows.

A strict engine refuses a whole message for one component too long, so every
value made of a name is fitted here. Codes (MSH-3 and MSH-4, PV1-3's point of
care and bed, a local code's identifier) hold 20 characters, texts 199.

The station's name and the pumps' labels are longer than that as often as
not. The places sent in HL7 are short codes: ``[hl7] facility`` (MSH-4),
``[hl7] point_of_care`` (PV1-3.1) and each pump's ``hl7_bed`` (PV1-3.3),
each derived from the station's name or the pump's label where not given:
the name as it is when it fits, else shortened the same way every time
(``abbreviate``). Two pumps sent as one bed would pass one pump's values for
another's: ``places`` refuses that before the station starts.
"""

from __future__ import annotations

import dataclasses
import re
from typing import TYPE_CHECKING

from ..settings.schema import ConfigError

if TYPE_CHECKING:
    from ..settings.config import StationConfig

__all__ = ["CODE_MAX", "TEXT_MAX", "Places", "abbreviate", "check_code", "escape", "fit", "places"]

CODE_MAX = 20  #: IS, ID and HD.1 values; PL components; CWE.1 and EI.2
TEXT_MAX = 199  #: ST values: CWE.2 and CWE.9, EI.1

_DELIMITERS = "|^&~\\"
_WORD_BREAK = re.compile(r"([ _]+)")


def escape(text: str) -> str:
    """Text as an HL7 value: the delimiters escaped, line breaks as spaces."""
    out = text.replace("\\", "\\E\\").replace("|", "\\F\\").replace("^", "\\S\\")
    out = out.replace("&", "\\T\\").replace("~", "\\R\\")
    return " ".join(out.splitlines())


def check_code(text: str) -> None:
    """A code given in the configuration is sent as it is: it must fit as it is."""
    if len(text) > CODE_MAX:
        raise ValueError(f"an HL7 code is at most {CODE_MAX} characters, got {len(text)}")
    if any(c in _DELIMITERS or not c.isprintable() for c in text):
        raise ValueError("an HL7 code holds no control characters and none of | ^ & ~ \\")


def abbreviate(text: str, limit: int) -> str:
    """``text`` in at most ``limit`` characters, the same way every time.

    As it is when it fits. Else its words (between blanks or underscores) are
    cut to its initial (in capitals), the first word first, and initials next
    to each other are run together ("Paediatric Intensive Care Unit" -> "PI
    Care Unit"); a word with a digit in it (a bed's number) is kept whole. What is
    still too long then loses its end.
    """
    text = " ".join(text.split())
    if len(text) <= limit:
        return text
    parts = _WORD_BREAK.split(text)
    words, breaks = parts[0::2], parts[1::2]
    short = [False] * len(words)

    def joined() -> str:
        out = ""
        for i, word in enumerate(words):
            if i and not (short[i] and short[i - 1]):
                out += breaks[i - 1]
            out += word[:1].upper() if short[i] else word
        return out

    result = text
    for i, word in enumerate(words):
        if len(word) > 1 and not any(c.isdigit() for c in word):
            short[i] = True
            result = joined()
            if len(result) <= limit:
                return result
    return result[:limit].rstrip(" _")


def fit(text: str, limit: int) -> str:
    """``text`` as an HL7 value (escaped) of at most ``limit`` characters."""
    value = escape(text)
    if len(value) <= limit:
        return value
    # Shortened, it had better not spend three characters on each delimiter.
    plain = "".join(" " if c in _DELIMITERS or not c.isprintable() else c for c in text)
    return abbreviate(plain, limit) or "-"


def facility_code(given: str, station: str) -> str:
    """MSH-4: ``[hl7] facility``, else the station's name fitted."""
    return fit(given or station or "station", CODE_MAX)


def point_of_care_code(given: str, station: str) -> str:
    """PV1-3.1: ``[hl7] point_of_care``, else the station's name fitted."""
    return fit(given or station or "station", CODE_MAX)


def bed_code(given: str, label: str) -> str:
    """PV1-3.3: the pump's ``hl7_bed``, else its label fitted."""
    return fit(given or label, CODE_MAX)


@dataclasses.dataclass(frozen=True)
class Places:
    """Where the station's messages say they come from, as sent."""

    application: str  #: MSH-3
    facility: str  #: MSH-4
    point_of_care: str  #: PV1-3.1
    beds: dict[str, str]  #: PV1-3.3 by the pump's label
    locations: dict[str, str] = dataclasses.field(default_factory=dict)  #: PV1-3 of pumps with a ``location``

    def pv1_3(self, label: str) -> str:
        return self.locations.get(label) or f"{self.point_of_care}^^{self.beds[label]}"


def places(config: StationConfig) -> Places:
    """The places a configuration's messages will name; ``ConfigError`` when
    two pumps would be sent as one bed."""
    h = config.hl7
    beds: dict[str, str] = {}
    holder: dict[str, str] = {}  # bed -> the label it was given to first
    for i, pump in enumerate(config.pumps):
        bed = bed_code(pump.hl7_bed, pump.label)
        if pump.location:  # the hospital's own name of the bed: pumps at one bed share it
            beds[pump.label] = bed
            continue
        first = holder.setdefault(bed, pump.label)
        if first != pump.label:
            raise ConfigError(f"pump[{i}].hl7_bed", f'"{pump.label}" would be sent to HL7 as bed "{bed}", as '
                                                    f'"{first}" is: give one of them an hl7_bed of its own '
                                                    f"(at most {CODE_MAX} characters)")
        beds[pump.label] = bed
    return Places(fit(h.application, CODE_MAX), facility_code(h.facility, config.name),
                  point_of_care_code(h.point_of_care, config.name), beds,
                  {p.label: p.location for p in config.pumps if p.location})
