"""pytest plugin: the `appliance` fixture.

Loaded by the package's pytest11 entry point once mif is installed, or
with `pytest -p mif.pytest_plugin` from a build tree.

By default every test gets a fresh simulated appliance (mif-sim and mifd
in a root of its own, on a free loopback port), stopped after the test
with the daemon's end checked. With --mif-host the same tests run against
a real appliance instead; --mif-key names the private key to sign with
(else the role the test asks for, from MIF_KEY_DIR).
"""
import pytest

from . import DEFAULT_PORT, connect
from .appliance import SimulatedAppliance


def pytest_addoption(parser):
    group = parser.getgroup("mif", "Machine Interface appliance")
    group.addoption("--mif-host", default=None, help="run against the appliance at this address, not a simulated one")
    group.addoption("--mif-port", type=int, default=DEFAULT_PORT, help="the real appliance's port (default %(default)s)")
    group.addoption("--mif-key", default=None, help="private key for the real appliance (default: the test's role)")
    group.addoption("--mif-bin", default=None, help="directory of mif-sim and mifd (default: MIF_BIN_DIR, the build tree)")


class RealAppliance:
    """An appliance on the network: sessions only, no simulator."""

    root = None

    def __init__(self, host, port, key):
        self.host, self.port, self.key = host, port, key
        self._sessions = []

    def session(self, role="testlab", **kwargs):
        if self.key:
            s = connect(self.host, self.port, key=self.key, **kwargs)
        else:
            s = connect(self.host, self.port, role=role, **kwargs)
        self._sessions.append(s)
        return s

    def sim(self, command):
        pytest.skip(f"needs the simulator ({command}); this run is against a real appliance")

    def stop(self):
        for s in self._sessions:
            s.close()
        return []


@pytest.fixture
def appliance(request):
    """An appliance for one test: .session(role), .sim(command), .root
    (None for a real one), .host, .port."""
    config = request.config
    host = config.getoption("--mif-host")
    if host:
        unit = RealAppliance(host, config.getoption("--mif-port"), config.getoption("--mif-key"))
    else:
        unit = SimulatedAppliance(bin_dir=config.getoption("--mif-bin")).start()
    yield unit
    problems = unit.stop()
    if problems:
        pytest.fail("the appliance did not end cleanly: " + "; ".join(problems) +
                    (f" (root kept: {unit.root})" if unit.root else ""), pytrace=False)
