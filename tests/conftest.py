import pytest


@pytest.fixture
def make_pump():
    """Start virtual pumps (same arguments as VirtualPump); all are stopped afterwards."""
    from tarvelpump.virtualpump import VirtualPump

    pumps = []

    def start(*args, **kwargs):
        pump = VirtualPump(*args, **kwargs).start()
        pumps.append(pump)
        return pump

    yield start
    for pump in pumps:
        pump.stop()
