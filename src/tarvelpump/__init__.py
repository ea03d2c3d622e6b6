"""Drivers for Kelt syringe infusion pumps on a serial line or a LoRa radio."""
