"""The ward station: many pumps behind one or more radios, polled safely.

Run it with ``tarvelpump station``. The driver (``tarvelpump.comm``) does
every exchange; the station decides when, in what order and on which line.

Its parts, each a package of its own:

- ``watch``: watching pumps. ``link`` owns a radio's port, ``pump`` asks one
  pump, ``schedule`` decides what to read in a pass, ``tracking`` and
  ``projection`` turn answers into what a pump shows, ``presence`` says who
  is unheard, online or offline, ``poller`` runs the passes.
- ``records``: what is kept. ``model`` (the records every part shares),
  ``kinds`` (every event kind, declared once), ``events`` (what a change
  means), ``store`` (SQLite: rounds, readings, events, pumps, with
  ``tables`` its schema) and its ``outbox`` (what each output has still to
  deliver), ``order`` and ``since``.
- ``outputs``: what leaves the station: ``web`` (the page and its API),
  ``mqtt``, ``hl7`` with ``mllp`` (the hospital's engine) and ``metrics``.
- ``patients``: which patient each pump serves, from ADT and IHE PCIM
  association reports over MLLP; the HL7 messages name them.
- ``hospital``: ``station view``, one page over many gateways fed by MQTT.
- ``settings``: the configuration's ``schema``, how it is loaded (``config``),
  broker URLs and password hashes.
- ``cli``: the ``tarvelpump station`` command, its terminal rendering and the demo.

``app`` puts a station together; ``hub`` hands committed rounds to whoever
shows them.
"""
