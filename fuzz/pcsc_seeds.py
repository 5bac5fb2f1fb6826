#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_pcsc: a storage card and a CPU card taken through power-up,
pseudo-APDUs and APDUs, in the layout fuzz/fuzz_pcsc.cpp reads. Usage: pcsc_seeds.py OUTPUT_DIR"""
import hashlib
import sys
from pathlib import Path

OK = b"\x00\x00"
CARD = OK + bytes.fromhex("00043A5C719E")
ATS = OK + bytes.fromhex("0B78807002564F524C45581234")
NO_ATS = b"\x02\x03"


def answers(*payloads: bytes) -> bytes:
    out = bytes([len(payloads)])
    for payload in payloads:
        out += len(payload).to_bytes(2, "big") + payload
    return out


def power_up(slot: int, *payloads: bytes) -> bytes:
    return bytes([slot]) + answers(*payloads)


def transmit(slot: int, apdu_hex: str, *payloads: bytes, room: int = 258) -> bytes:
    apdu = bytes.fromhex(apdu_hex)
    return bytes([slot | 1 << 2]) + len(apdu).to_bytes(2, "big") + apdu + \
        room.to_bytes(2, "big") + answers(*payloads)


SEEDS = {
    "storage": power_up(0, CARD, NO_ATS, CARD)
    + transmit(0, "FFCA000000")
    + transmit(0, "FF82000006FFFFFFFFFFFF")
    + transmit(0, "FF860000050100046000", OK)
    + transmit(0, "FFB0000410", OK + bytes(16))
    + transmit(0, "FFD600051000112233445566778899AABBCCDDEEFF", OK)
    + transmit(0, "FF860000050100086000", b"\x03\x01", CARD),
    "cpu": power_up(0, CARD, ATS)
    + transmit(0, "00A404000E325041592E5359532E444446303100", OK + b"\x6F\x00\x90\x00")
    + transmit(0, "0084000008", b"\x02\x02"),
    "sam": power_up(1, OK + bytes.fromhex("3B680000564F524C45585331"))
    + transmit(1, "0084000008", OK + bytes(8) + b"\x90\x00")
    + bytes([2 | 2 << 2]) + answers(OK)
    + bytes([5 << 2]) + answers() + b"\x10"
    + bytes([6 << 2]) + answers() + b"\x1f",
    "rfsim": power_up(3, OK + bytes.fromhex("860123456789ABCD"))
    + transmit(3, "00B0000000", OK + b"\x90\x00"),
}


def main() -> None:
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (out / f"{name}-{hashlib.sha1(data).hexdigest()[:8]}").write_bytes(data)


if __name__ == "__main__":
    main()
