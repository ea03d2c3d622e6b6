"""Drivers for Kelt syringe infusion pumps on a serial line or a LoRa radio."""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("tarvelpump")
except _metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"
