#!/usr/bin/env python3
"""Writes the seed files of the tools' file-parser fuzz targets (fuzz/tool_files/): realistic
files of each kind, as users hand them to the tools. Usage: tool_seeds.py TARGET OUTPUT_DIR
with TARGET one of dump_file, key_list, apdu_script, recording, card_file."""
import json
import sys
from pathlib import Path

TRANSPORT_TRAILER = bytes.fromhex("FFFFFFFFFFFF" "FF078069" "FFFFFFFFFFFF")
# Key A FFFF..., key B readable and writable with key A (access bits 7F0788, user byte 69).
READABLE_B_TRAILER = bytes.fromhex("A0A1A2A3A4A5" "7F078869" "B0B1B2B3B4B5")


def card(blocks=64, trailer=TRANSPORT_TRAILER, uid=bytes.fromhex("3A5C719E")):
    """A card image: block 0 from the UID, a label in sector 1, trailers as given."""
    image = []
    for b in range(blocks):
        trailer_block = (b < 128 and b % 4 == 3) or (b >= 128 and b % 16 == 15)
        if b == 0:
            bcc = uid[0] ^ uid[1] ^ uid[2] ^ uid[3]
            image.append(uid + bytes([bcc, 0x08, 0x04, 0x00]) + bytes.fromhex("6263646566676869"))
        elif trailer_block:
            image.append(trailer)
        elif b == 4:
            image.append(b"VORLEX SIM CARD ")
        else:
            image.append(bytes(16))
    return image


def eml(image, unknown=()):
    return "".join(("-" * 32 if b in unknown else block.hex().upper()) + "\n"
                   for b, block in enumerate(image)).encode()


def nfc(image, unknown=(), version=4, data_format=2):
    lines = ["Filetype: Flipper NFC device", f"Version: {version}",
             "# Device type can be ISO14443-3A, ISO14443-3B, ISO14443-4A, NTAG/Ultralight, "
             "Mifare Classic, Mifare DESFire", "Device type: Mifare Classic",
             "# UID is common for all formats", "UID: 3A 5C 71 9E",
             "# ISO14443-3A specific data", "ATQA: 00 04", "SAK: 08",
             "# Mifare Classic specific data",
             "Mifare Classic type: " + {20: "MINI", 64: "1K", 128: "2K", 256: "4K"}[len(image)],
             f"Data format version: {data_format}",
             "# Mifare Classic blocks, '??' means unknown data"]
    for b, block in enumerate(image):
        text = " ".join("??" for _ in block) if b in unknown else " ".join(f"{x:02X}" for x in block)
        lines.append(f"Block {b}: {text}")
    return ("\n".join(lines) + "\n").encode()


def json_dump(image, unknown=()):
    doc = {"Created": "vorlex", "FileType": "mfc v2",
           "Card": {"UID": "3A5C719E", "ATQA": "0400", "SAK": "08"},
           "blocks": {str(b): block.hex().upper() for b, block in enumerate(image)
                      if b not in unknown},
           "SectorKeys": {str(s): {"KeyA": "FFFFFFFFFFFF", "KeyB": "FFFFFFFFFFFF",
                                   "AccessConditions": "FF078069"} for s in range(len(image) // 4)
                          if s < 32}}
    return (json.dumps(doc, indent=2) + "\n").encode()


def dump_file():
    one_k = card()
    return {
        "card.bin": b"".join(one_k),
        "mini.mfd": b"".join(card(20)),
        "4k.dump": b"".join(card(256)),
        "keys-b.bin": b"".join(card(trailer=READABLE_B_TRAILER)),
        "card.eml": eml(one_k),
        "partial.eml": eml(one_k, unknown=range(8, 16)),
        "commented.eml": b"# dumped from the shop's card\n" + eml(one_k),
        "card.nfc": nfc(one_k),
        "partial.nfc": nfc(one_k, unknown=range(8, 16)),
        "format1.nfc": nfc(card(20), version=2, data_format=1),
        "card.json": json_dump(one_k),
        "partial.json": json_dump(one_k, unknown=range(8, 16)),
        "huge-number.json": b'{"blocks": 1E400}',
        "crlf.eml": eml(one_k).replace(b"\n", b"\r\n"),
        "bom.json": b"\xef\xbb\xbf" + json_dump(card(20)),
    }


def key_list():
    return {
        "std.keys": b"# transport and well-known keys\nFFFFFFFFFFFF\nA0A1A2A3A4A5\nD3F7D3F7D3F7\n"
                    b"000000000000\nB0B1B2B3B4B5\n4D3A99C351DD\n1A982C7E459A\nAABBCCDDEEFF\n",
        "comments.dic": b"FFFFFFFFFFFF # transport\n\n   a0a1a2a3a4a5\t# lower case\n"
                        b"# a comment line\nffffffffffff\n",
        "crlf.keys": b"FFFFFFFFFFFF\r\nA0A1A2A3A4A5\r\n",
        "no-newline.keys": b"FFFFFFFFFFFF",
    }


def apdu_script():
    return {
        "select.apdu": b"# select the purse and read its identity\n"
                       b"00A404000E 325041592E5359532E4444463031 = ..9000\n"
                       b"00A4040009 F0564F524C45580100 = ..9000\n"
                       b"00B0950000 = ..9000\n",
        "continued.apdu": b"00 84 00 00 \\\n08 = ..9000\nreset\n0084000004\nexit\n00B0950000\n",
        "colons.apdu": b"00:84:00:00:08 = ..90:00\nRESET\n00A40000020015 = 9000\n",
        "crlf.apdu": b"0084000008 = ..9000\r\nexit\r\n",
    }


def frame(payload):
    body = len(payload).to_bytes(2, "big") + bytes(payload)
    return b"\x02" + body + bytes([sum(body) & 0xFF]) + b"\x03"


def record(t_us, side, raw, end_us=None):
    return json.dumps({"t_us": t_us, "end_us": t_us if end_us is None else end_us, "from": side,
                       "kind": "frame", "raw": raw.hex().upper()})


def recording():
    request = frame(b"\x04\x01\x01")
    answer = frame(b"\x00\x00\x00\x04\x3A\x5C\x71\x9E")
    auth = frame(b"\x04\x02\x01\x00" + b"\xff" * 6)
    lines = [
        json.dumps({"note": "tap started", "device": "/dev/ttyUSB0"}),
        record(1000, "reader", b"\x00\x00"),
        record(300000, "host", request, 300900),
        record(301036, "reader", answer, 301500),
        record(320000, "host", auth),
        record(321344, "reader", frame(b"\x00\x00")),
        record(330000, "host", frame(b"\xff\x01")),
        record(331000, "reader", answer[:5]),
        record(331500, "reader", answer[5:]),
        json.dumps({"summary": {"frames_from_host": 3, "frames_from_reader": 3}}),
    ]
    text = "\n".join(lines) + "\n"
    return {"session.jsonl": text.encode(), "crlf.jsonl": text.replace("\n", "\r\n").encode(),
            "lost-answer.jsonl": "\n".join(lines[:5]).encode()}


def card_file():
    bad_access = bytes.fromhex("FFFFFFFFFFFF" "000000" "00" "FFFFFFFFFFFF")
    mixed = card()
    mixed[7] = READABLE_B_TRAILER
    mixed[11] = bad_access
    mixed[15] = bytes.fromhex("FFFFFFFFFFFF" "0F00FF" "69" "FFFFFFFFFFFF")
    return {"fresh.mfd": b"".join(card()), "readable-b.mfd": b"".join(card(trailer=READABLE_B_TRAILER)),
            "mixed.mfd": b"".join(mixed), "zeros.mfd": bytes(1024)}


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("dump_file", "key_list", "apdu_script",
                                                 "recording", "card_file"):
        sys.exit(__doc__)
    out = Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    for name, content in globals()[sys.argv[1]]().items():
        (out / name).write_bytes(content)


if __name__ == "__main__":
    main()
