"""Which patient each pump serves: ADT and IHE PCIM association reports in, over MLLP.

- ``messages``: an ADT event or a PCIM (DEV-52) association report as the
  station reads it, and the acknowledgement it answers.
- ``rules``: how a pump is given a patient, and which one its messages
  name: every rule in one place.
- ``bindings``: the rules applied to each message, committed before the
  answer, and handed to the HL7 composer and the page.
- ``store``: the claims, when each was named, which messages named it, and
  the rules' state, in the station's store.
- ``listener``: the MLLP listener. ``cli``: ``tarvelpump station patients``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ..settings.config import PumpConfig, StationConfig

__all__ = ["device_names"]


def device_names(config: StationConfig, pump: PumpConfig) -> tuple[str, ...]:
    """How association reports (PRT-10) may name ``pump``: its ``device_id``, else
    its label, its id or its OBX-18 ``<station>/<link>/<addr>/<channel>``."""
    if pump.device_id:
        return (pump.device_id,)
    return pump.label, pump.id, f"{config.name or 'station'}/{pump.link}/{pump.addr}/{pump.channel}"
