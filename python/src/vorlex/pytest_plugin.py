"""pytest fixtures over the simulator (registered through the pytest11 entry point).

vorlex_sim: the simulator to test against. Under `vorlex-sim run --com N -- pytest`, which sets
VORLEX_SIM_LINK, the one that run started (on VORLEX_PORT, edition VORLEX_EDITION); otherwise a
vorlex-sim started for the test on a pty (display edition). VORLEX_PORT alone is the tool's
setting for a real reader, never taken for a simulator. vorlex_reader: a Reader open on it,
closed after the test.

    @pytest.mark.vorlex(edition="epurse", balance=500)

asks for an edition (a test that the running simulator cannot serve is skipped with the reason)
and for simulator options (which only a simulator started for the test can take)."""
from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import pytest

from ._library import EDITIONS
from .reader import Reader
from .reader import open as open_reader
from .simulator import Simulator


@dataclass
class ExternalSimulator:
    """The simulator that `vorlex-sim run` started around this process."""

    port: str
    edition: str
    lines: list[str] = field(default_factory=list)

    def stop(self) -> None:
        """Not ours to stop."""


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "vorlex(edition=..., **options): edition and simulator options of the "
        "vorlex_sim and vorlex_reader fixtures")


def _wanted(request: pytest.FixtureRequest) -> tuple[str | None, dict[str, Any]]:
    options: dict[str, Any] = {}
    for marker in request.node.iter_markers("vorlex"):  # closest first: it wins
        options = marker.kwargs | options
    edition = options.pop("edition", None)
    if edition not in (None, *EDITIONS):
        # A misspelt edition would otherwise run the test against the default one.
        pytest.fail(f"mark.vorlex(edition={edition!r}): the editions are "
                    f"{' and '.join(map(repr, EDITIONS))}", pytrace=False)
    return edition, options


# Set by `vorlex-sim run` for its program: the one sign that a simulator surrounds this process.
SIMULATOR_MARK = "VORLEX_SIM_LINK"


def surrounding_simulator() -> tuple[str, str] | None:
    """The port and edition of the simulator `vorlex-sim run` started around this process."""
    link = os.environ.get(SIMULATOR_MARK)
    if not link:
        return None
    return os.environ.get("VORLEX_PORT") or link, os.environ.get("VORLEX_EDITION", "epurse")


@pytest.fixture
def vorlex_sim(request: pytest.FixtureRequest) -> Iterator[Simulator | ExternalSimulator]:
    edition, options = _wanted(request)
    surrounding = surrounding_simulator()
    if surrounding:
        port, external = surrounding
        # A simulator of the test's own cannot start there either: the private /dev of
        # `vorlex-sim run --com` has no pty multiplexer.
        if edition not in (None, external):
            pytest.skip(f"needs the {edition} edition; VORLEX_EDITION is {external}")
        if options:
            pytest.skip(f"needs simulator options {options}; the simulator on {port} is "
                        "already running")
        yield ExternalSimulator(port, external)
        return
    if edition == "epurse":
        pytest.skip("the e-purse edition opens only COMn names: run the tests under "
                    "`vorlex-sim run --com 33 -- pytest ...` (which sets VORLEX_SIM_LINK)")
    simulator = Simulator(**options)
    try:
        yield simulator
    finally:
        simulator.stop()


@pytest.fixture
def vorlex_reader(vorlex_sim: Simulator | ExternalSimulator) -> Iterator[Reader]:
    with open_reader(vorlex_sim.port, vorlex_sim.edition) as reader:  # type: ignore[arg-type]
        yield reader
