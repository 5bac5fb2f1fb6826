#!/usr/bin/python3
"""pyscard against the driver: connect, transmit, and see a removal and an insertion made with
`vorlex-sim ctl`. Usage: pyscard_client.py READER SIMULATOR LINK. Exit 0 when all held."""

import subprocess
import sys
import time

from smartcard.Exceptions import NoCardException  # type: ignore
from smartcard.scard import (  # type: ignore
    SCARD_S_SUCCESS,
    SCARD_SCOPE_USER,
    SCARD_STATE_EMPTY,
    SCARD_STATE_PRESENT,
    SCARD_STATE_UNAWARE,
    SCardEstablishContext,
    SCardGetStatusChange,
    SCardReleaseContext,
)
from smartcard.System import readers  # type: ignore

UID_APDU = [0xFF, 0xCA, 0x00, 0x00, 0x00]
UID = [0x3A, 0x5C, 0x71, 0x9E]


def reader_named(name: str) -> object:
    for reader in readers():
        if str(reader) == name:
            return reader
    raise SystemExit(f"no reader {name!r} in {[str(r) for r in readers()]}")


def wait_for_state(name: str, wanted: int, seconds: float) -> bool:
    """Waits through SCardGetStatusChange until the reader's state has `wanted`."""
    result, context = SCardEstablishContext(SCARD_SCOPE_USER)
    assert result == SCARD_S_SUCCESS
    try:
        states = [(name, SCARD_STATE_UNAWARE)]
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            result, states = SCardGetStatusChange(context, 1000, states)
            if result == SCARD_S_SUCCESS and states[0][1] & wanted:
                return True
            states = [(state[0], state[1]) for state in states] if states else states
        return False
    finally:
        SCardReleaseContext(context)


def transmit_uid(name: str) -> list[int]:
    connection = reader_named(name).createConnection()  # type: ignore[attr-defined]
    connection.connect()
    try:
        data, sw1, sw2 = connection.transmit(UID_APDU)
        assert (sw1, sw2) == (0x90, 0x00), f"SW {sw1:02X}{sw2:02X}"
        atr: list[int] = connection.getATR()
        print("ATR", " ".join(f"{b:02X}" for b in atr), "UID", " ".join(f"{b:02X}" for b in data))
        return list(data)
    finally:
        connection.disconnect()


def ctl(simulator: str, link: str, *words: str) -> None:
    subprocess.run([simulator, "ctl", "--link", link, *words], check=True)


def main() -> int:
    name, simulator, link = sys.argv[1:4]
    assert transmit_uid(name) == UID
    ctl(simulator, link, "remove")
    assert wait_for_state(name, SCARD_STATE_EMPTY, 10), "the removal was not seen"
    print("removal seen")
    try:
        reader_named(name).createConnection().connect()  # type: ignore[attr-defined]
        print("connected to an empty slot")
        return 1
    except NoCardException:
        print("empty slot: NoCardException")
    ctl(simulator, link, "insert")
    assert wait_for_state(name, SCARD_STATE_PRESENT, 10), "the insertion was not seen"
    print("insertion seen")
    assert transmit_uid(name) == UID
    return 0


if __name__ == "__main__":
    sys.exit(main())
