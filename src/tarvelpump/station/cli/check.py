"""``tarvelpump station check``: the configuration as the station will take
it: paths resolved, defaults filled in, what HL7 messages will name, who may
log in. No port, store or broker is opened; the password never shown."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any

from ..settings.config import load_config

__all__ = ["run"]


def run(args: argparse.Namespace) -> int:
    """The configuration as the station will take it: paths resolved, defaults
    filled in, the password never shown. No port, store or broker is opened."""
    from ..settings.broker_url import parse_url
    from ..settings.schema import values

    config = load_config(args.config)
    p = config.poll
    mqtt = None if config.mqtt is None else str(parse_url(config.mqtt, ward=True))
    links: list[dict[str, Any]] = []
    for lc in config.links:
        real = os.path.realpath(lc.port)
        links.append({
            "name": lc.name, "port": lc.port, "device": real if os.path.exists(real) else None,
            "baud": lc.baud, "timeout": lc.timeout, "mode": lc.mode.value,
            "guard": lc.timeout / 2 if lc.guard is None else lc.guard,
            "pumps": [{"label": pc.label, "id": pc.id, "addr": pc.addr, "channel": pc.channel}
                      for pc in config.pumps if pc.link == lc.name],
        })
    resolved = {
        "config": os.path.abspath(args.config), "name": config.name, "store": os.fspath(config.store.path),
        "retention_days": config.store.retention_days, "http": config.http, "mqtt": mqtt,
        "tls": None if not config.page.tls else {"cert": os.fspath(config.page.cert or ""),
                                                 "key": os.fspath(config.page.key or "")},
        "poll": values(p),
        "links": links,
    }
    hl7: dict[str, Any] | None = None
    if config.hl7.url is not None:  # what the messages will name, as sent; two pumps as one bed refused
        from ..outputs.hl7_fields import places

        sent = places(config)
        hl7 = {"url": config.hl7.url, "msh_3": sent.application, "msh_4": sent.facility,
               "msh_5": config.hl7.receiving_application, "msh_6": config.hl7.receiving_facility,
               "pv1_3": {label: sent.pv1_3(label) for label in sent.beds}}
    resolved["hl7"] = hl7
    from ..patients import device_names

    pa = config.patients  # who may send, what is taken, and how ADT and PCIM name each pump
    resolved["patients"] = {
        "listen": pa.listen, "allow_from": list(pa.allow_from), "by_location": pa.by_location,
        "use_unvalidated": pa.use_unvalidated, "show_without_login": pa.show_without_login,
        "pumps": {pc.label: {"location": pc.location or None, "device_ids": list(device_names(config, pc))}
                  for pc in config.pumps}}
    resolved["login"] = {"users": sorted(config.page.users), "allow_anonymous": config.page.allow_anonymous}
    if args.json:
        print(json.dumps(resolved, ensure_ascii=False))
        return 0
    print(f"{resolved['config']}: station {config.name!r}")
    print(f"  store  {resolved['store']}")
    fresher = "".join(f", {name} within {s:g} s" for name, s in p.fresh.items())
    print(f"  poll   gap {p.gap} s, whole status within {p.status_within:g} s{fresher}, offline after "
          f"{p.offline_after} silent passes, retried at least every {p.retry_ceiling:g} s, "
          f"near end under {p.near_end_s} s")
    print(f"  page   {config.http or 'none'}; MQTT {mqtt or 'none'}")
    if config.page.tls:  # the pair was loaded as the server will: they belong together
        print(f"  tls    certificate {config.page.cert}, its key {config.page.key}")
    if config.page.users:
        print(f"  log-in {len(config.page.users)} users ({', '.join(sorted(config.page.users))}); "
              "everyone else is asked to log in")
    else:
        print("  log-in none: " + ("anyone who reaches the page sees it" if config.page.allow_anonymous
                                   else "the page answers on loopback only"))
    for link in links:
        where = link["device"] or "missing now (its pumps show offline until it is plugged in)"
        print(f"  link {link['name']!r}: {link['port']} -> {where}; {link['baud']} baud, "
              f"time-out {link['timeout']} s, {link['mode']}, guard {link['guard']:g} s, "
              f"{len(link['pumps'])} pumps")
        for pump in link["pumps"]:
            print(f"    {pump['label']!r} (id {pump['id']}): address {pump['addr']}, channel {pump['channel']}")
    if hl7 is not None:
        print(f"  HL7    {hl7['url']} as MSH-3 {hl7['msh_3']!r}, MSH-4 {hl7['msh_4']!r}, to MSH-5 "
              f"{hl7['msh_5']!r}, MSH-6 {hl7['msh_6']!r}; PV1-3 of each pump:")
        for label, pv1 in hl7["pv1_3"].items():
            print(f"    {label!r}: {pv1!r}")
    if pa.listen is None:
        print("  patients none: no patient context, every HL7 message names no one")
    else:
        print(f"  patients ADT and PCIM in on {pa.listen} from " + (", ".join(pa.allow_from) or "loopback only")
              + f"; by location {'yes' if pa.by_location else 'no'}; not validated named in HL7 "
              f"{'yes' if pa.use_unvalidated else 'no'}; shown without a log-in "
              f"{'yes' if pa.show_without_login else 'no'}")
        for label, pump in resolved["patients"]["pumps"].items():
            print(f"    {label!r}: location {pump['location'] or '(none: no patient by location)'}; PRT-10 "
                  + " or ".join(repr(n) for n in pump["device_ids"]))
    print(f"ok: {len(links)} links, {len(config.pumps)} pumps; nothing was opened")
    return 0
