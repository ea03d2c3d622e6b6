"""The ward station: many pumps behind one or more radios, polled safely.

Run it with ``tarvelpump station``. The driver (``tarvelpump.comm``) does
every exchange; the station decides when, in what order and on which line.
"""
