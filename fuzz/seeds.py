#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets: the worked exchanges of every export, in the input
layout that fuzz/fuzz_exports.cpp reads. Usage: seeds.py EDITION OUTPUT_DIR"""
import hashlib
import struct
import sys
from pathlib import Path


def frame(payload):
    body = len(payload).to_bytes(2, "big") + bytes(payload)
    return b"\x02" + body + bytes([sum(body) & 0xFF]) + b"\x03"


def ok(data=b""):
    return frame(b"\x00\x00" + bytes(data))


def seed(selector, answers=(), text=b"", a=0, b=0, record=b"", flags=0):
    out = bytes([selector, flags]) + struct.pack("<ii", a, b)
    out += len(text).to_bytes(2, "big") + text + bytes([len(record)]) + record
    for answer in answers:
        header = 0
        if answer is None:  # the write fails
            answer, header = b"", 0x8000
        out += (header | len(answer)).to_bytes(2, "big") + answer
    return out


def purchase_record(amount, prep_data):
    record = bytearray(b"\x5a" * 80)
    record[60:64] = struct.pack("<i", amount)
    record[64:80] = prep_data.ljust(16, b"\x00")
    return bytes(record)


def common_seeds(edition):
    card = bytes.fromhex("0400A1B2C3D4")
    block = bytes(range(16))
    yield seed(0, text=b"COM3" if edition == "epurse" else b"/dev/pts/5")
    yield seed(1, [ok()], a=100)
    yield seed(1, [ok()], a=-1)
    yield seed(2, [ok(b"VLX-R1 2.04")])
    yield seed(3, [ok(b"\x01\x02")])
    yield seed(4, [ok(card)], a=1)
    yield seed(4, [b"", frame(b"\x00"), ok(card)])  # silence, no status, then the card
    yield seed(4, [frame(bytes.fromhex("0001"))])  # reader status 1: no card
    yield seed(5, [ok(bytes.fromhex("0578807002") + b"\x90\x00")])
    yield seed(6, [ok()], text=b"FFFFFFFFFFFF", a=1, b=0)
    yield seed(7, [ok(block)], a=1, b=2)
    yield seed(8, [ok()], text=block.hex().upper().encode(), a=1, b=2)
    yield seed(9, [ok()])
    for selector in (10, 11, 12):
        yield seed(selector, [ok(bytes(range(8)) + b"\x90\x00")], text=b"0084000008")
        yield seed(selector, [ok(b"\x90\x00")], text=b"00A404000E315041592E5359532E4444463031")
        yield seed(selector, [ok(b"\x6a\x82")], text=b"00b0950000")
    for selector in (13, 14):
        yield seed(selector, [ok(bytes.fromhex("3B6800000073C84013009000"))])
    for selector in (15, 16, 18):
        yield seed(selector, [ok()])
    yield seed(17, [ok(bytes.fromhex("0102030405060708"))])
    yield seed(19, [ok(b"\x90\x00")], text=b"00A4040007A000000003101000")
    yield seed(19, [ok(b"\x90\x00")], text=b"0084000008F")
    yield seed(2, [None, frame(b"\x00\x00" + b"V" * 293)])  # longest answer after a failed write
    yield seed(2, [b"\x02\x01\x28" + b"\x00" * 300])  # declared length 296


def epurse_seeds():
    for base, id_bytes in ((20, 4), (25, 8)):
        yield seed(base, [ok(bytes.fromhex("112233445566"))], a=1, b=2)
        yield seed(base + 1, [ok(bytes(range(1, 26 + id_bytes)))], a=1,
                   record=purchase_record(100, b"01020304050607"))
        yield seed(base + 2, [ok(bytes(range(1, 17)))])
        yield seed(base + 2, [ok(bytes(range(1, 11)))])  # some results missing
        yield seed(base + 3, [ok(bytes.fromhex("00000100"))])
        yield seed(base + 4, [ok(bytes(range(1, 14 + id_bytes)))])


def display_seeds():
    yield seed(20, [ok()], text=b"HELLO", a=100)
    yield seed(20, [ok()], text="欢迎光临".encode("gbk"), a=-1)


def dump_format_seeds():
    """One small file per dump format, the first byte picking its reader (see
    fuzz_dump_formats.cpp: text, bin, json, nfc, eml, then detection)."""
    trailer = "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"
    blocks = [("00" * 16 if b % 4 != 3 else trailer) for b in range(64)]
    yield b"\x00uid   3A5C719E\nsector  block  data\n     0      0  " + blocks[0].encode() + b"\n"
    yield b"\x01" + b"".join(bytes.fromhex(block) for block in blocks)
    yield b"\x02" + (
        '{"FileType": "mfc v2", "Card": {"UID": "3A5C719E", "ATQA": "0400", "SAK": "08"}, '
        '"blocks": {"3": "' + trailer + '"}, "SectorKeys": {"0": {"KeyA": "FFFFFFFFFFFF"}}}'
    ).encode()
    yield b"\x03" + (
        "Filetype: Flipper NFC device\nVersion: 4\nDevice type: Mifare Classic\nUID: 3A 5C 71 9E\n"
        "Mifare Classic type: 1K\nData format version: 1\nKey A map: 0000000000000001\n"
        "Key B map: 0000000000000000\nBlock 3: ?? ?? ?? ?? ?? ?? FF 07 80 69 FF FF FF FF FF FF\n"
    ).encode()
    yield b"\x04# comment\n" + "\n".join(blocks).encode() + b"\n"


def main():
    target, out = sys.argv[1], Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    if target == "dump_formats":
        seeds = list(dump_format_seeds())
    else:
        extra = epurse_seeds() if target == "epurse" else display_seeds()
        seeds = list(common_seeds(target)) + list(extra)
    for data in seeds:
        (out / ("seed-" + hashlib.sha1(data).hexdigest()[:16])).write_bytes(data)


if __name__ == "__main__":
    main()
