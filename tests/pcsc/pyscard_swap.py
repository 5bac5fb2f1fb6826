#!/usr/bin/python3
"""A PC/SC connection bound to its card: through pcscd and the driver, the Mifare card of one
connection is swapped for another (`vorlex-sim ctl load`) or taken off (`ctl remove`) before,
during and after its writes. Every later transmit of that connection fails (no retried
authentication, no write reaches the other card, GET DATA never answers the old UID), the other
card's image is unchanged, and a new connection sees the other card. And the keys one
connection loaded are gone for the next.
Usage: pyscard_swap.py READER SIMULATOR LINK CARD_FILE FOLDER. Exit 0 when all held."""

import os
import subprocess
import sys
import time
from dataclasses import dataclass

from smartcard.Exceptions import CardConnectionException, NoCardException  # type: ignore
from smartcard.System import readers  # type: ignore

FIRST_UID = [0x3A, 0x5C, 0x71, 0x9E]
OTHER_UID = [0x11, 0x22, 0x33, 0x44]
GET_UID = [0xFF, 0xCA, 0x00, 0x00, 0x00]
LOAD_KEY = [0xFF, 0x82, 0x00, 0x00, 0x06] + [0xFF] * 6
AUTH_BLOCK_4 = [0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, 0x04, 0x60, 0x00]


def write_block(block: int) -> list[int]:
    return [0xFF, 0xD6, 0x00, block, 0x10] + [0xA0 + block] * 16


def card_image(uid: list[int]) -> bytes:
    """A fresh Mifare Classic 1K: block 0 with the UID and its BCC, transport trailers."""
    bcc = uid[0] ^ uid[1] ^ uid[2] ^ uid[3]
    image = bytearray(1024)
    image[0:8] = bytes(uid + [bcc, 0x08, 0x04, 0x00])
    for sector in range(16):
        image[sector * 64 + 48 : sector * 64 + 64] = bytes.fromhex("FFFFFFFFFFFFFF078069FFFFFFFFFFFF")
    return bytes(image)


@dataclass
class Case:
    name: str
    before: list[list[int]]  # sent on the first card
    swap: str  # "load" or "remove"
    after: list[list[int]]  # each must fail


CASES = [
    Case("before_its_writes", [LOAD_KEY], "load", [AUTH_BLOCK_4, write_block(5), GET_UID]),
    Case("during_its_writes", [LOAD_KEY, AUTH_BLOCK_4, write_block(5)], "load",
         [write_block(6), AUTH_BLOCK_4, write_block(6), GET_UID]),
    Case("after_its_writes", [LOAD_KEY, AUTH_BLOCK_4, write_block(5), write_block(6)], "load",
         [GET_UID, AUTH_BLOCK_4, write_block(4)]),
    Case("removed_during_its_writes", [LOAD_KEY, AUTH_BLOCK_4, write_block(5)], "remove",
         [GET_UID, write_block(6)]),
]


class Rig:
    def __init__(self, reader: str, simulator: str, link: str, card_file: str, folder: str):
        self.reader, self.simulator, self.link = reader, simulator, link
        self.card_file = card_file
        self.first = os.path.join(folder, "first.bin")
        self.other = os.path.join(folder, "other.bin")
        with open(self.first, "wb") as out:
            out.write(card_image(FIRST_UID))
        with open(self.other, "wb") as out:
            out.write(card_image(OTHER_UID))

    def ctl(self, *words: str) -> None:
        subprocess.run([self.simulator, "ctl", "--link", self.link, *words], check=True,
                       stdout=subprocess.DEVNULL)

    def connect(self) -> object:
        for reader in readers():
            if str(reader) == self.reader:
                connection = reader.createConnection()
                connection.connect()
                return connection
        raise SystemExit(f"no reader {self.reader!r}")

    def uid_of_a_new_connection(self, seconds: float = 10) -> list[int] | None:
        """The UID a fresh connection reads, once pcscd has seen the card that is there now."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                connection = self.connect()
                try:
                    data, sw1, sw2 = connection.transmit(GET_UID)  # type: ignore[attr-defined]
                    if (sw1, sw2) == (0x90, 0x00):
                        return list(data)
                finally:
                    connection.disconnect()  # type: ignore[attr-defined]
            except (CardConnectionException, NoCardException):
                pass
            time.sleep(0.2)
        return None

    def card_file_bytes(self) -> bytes:
        """The simulator's card file; empty before its first write."""
        try:
            with open(self.card_file, "rb") as source:
                return source.read()
        except FileNotFoundError:
            return b""


def run(rig: Rig, case: Case) -> bool:
    rig.ctl("load", rig.first)
    if rig.uid_of_a_new_connection() != FIRST_UID:
        print(f"{case.name}: the first card did not show")
        return False
    connection = rig.connect()
    ok = True
    for apdu in case.before:
        _, sw1, sw2 = connection.transmit(apdu)  # type: ignore[attr-defined]
        ok &= (sw1, sw2) == (0x90, 0x00)
    # The simulator saves its card file after every write: unchanged from here means nothing
    # was written to the other card.
    saved = rig.card_file_bytes()
    rig.ctl(case.swap, *([rig.other] if case.swap == "load" else []))
    refused = 0
    for apdu in case.after:
        try:
            data, sw1, sw2 = connection.transmit(apdu)  # type: ignore[attr-defined]
            print(f"{case.name}: {bytes(apdu[:2]).hex()} answered {bytes(data).hex()} {sw1:02X}{sw2:02X}")
            ok = False
        except CardConnectionException:
            refused += 1
    try:
        connection.disconnect()  # type: ignore[attr-defined]
    except CardConnectionException:
        pass
    if rig.card_file_bytes() != saved:
        print(f"{case.name}: the other card was written")
        ok = False
    seen = None
    if case.swap == "load":
        seen = rig.uid_of_a_new_connection()
        ok &= seen == OTHER_UID
    else:
        rig.ctl("insert")
    uid = "" if seen is None else ", a new connection reads UID " + bytes(seen).hex().upper()
    print(f"{case.name}: {refused}/{len(case.after)} transmits failed{uid}: {'ok' if ok else 'FAILED'}")
    return ok


def keys_end_with_the_connection(rig: Rig) -> bool:
    """One program's keys do not reach the next connection (pyscard unpowers on disconnect)."""
    rig.ctl("load", rig.first)
    rig.uid_of_a_new_connection()
    first = rig.connect()
    answers = [first.transmit(apdu)[1:] for apdu in (LOAD_KEY, AUTH_BLOCK_4)]  # type: ignore
    first.disconnect()  # type: ignore[attr-defined]
    second = rig.connect()
    _, sw1, sw2 = second.transmit(AUTH_BLOCK_4)  # type: ignore[attr-defined]
    second.disconnect()  # type: ignore[attr-defined]
    ok = answers == [(0x90, 0x00), (0x90, 0x00)] and (sw1, sw2) == (0x69, 0x84)
    print(f"keys_end_with_the_connection: the next connection's authentication: {sw1:02X}{sw2:02X}: "
          f"{'ok' if ok else 'FAILED'}")
    return ok


def main() -> int:
    rig = Rig(*sys.argv[1:6])
    results = [run(rig, case) for case in CASES]
    results.append(keys_end_with_the_connection(rig))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
