#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_agent: a JSON-RPC request of every reader method with the
reader's answers, in the layout fuzz/fuzz_agent.cpp reads. Usage: agent_seeds.py OUTPUT_DIR"""
import hashlib
import json
import sys
from pathlib import Path


def frame(payload):
    body = len(payload).to_bytes(2, "big") + bytes(payload)
    return b"\x02" + body + bytes([sum(body) & 0xFF]) + b"\x03"


def ok(data=b""):
    return frame(b"\x00\x00" + bytes(data))


def status(word):
    return frame(word.to_bytes(2, "big"))


def seed(method, params, answers=(), display=False):
    text = json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": params}).encode()
    out = bytes([1 if display else 0]) + len(text).to_bytes(2, "big") + text
    for answer in answers:
        out += len(answer).to_bytes(2, "big") + answer
    return out


CARD = bytes.fromhex("00043A5C719E")
SEARCH = bytes.fromhex("3A5C719E") + bytes(10) + b"PREP" + bytes([1, 2]) + bytes(9)
SEEDS = [
    seed("reader.beep", {"value": 10}, [ok()]),
    seed("reader.versions", {}, [ok(b"HW 1.0"), ok(b"SW 1.0\x00")]),
    seed("reader.display", {"text": "余额 12.50", "value": 1}, [ok()], display=True),
    seed("card.request", {"wake_all": True}, [ok(CARD)]),
    seed("card.request", {}, [status(0x0201)]),
    seed("card.ats", {}, [ok(bytes.fromhex("0578807002") + b"\x90\x00")]),
    seed("card.halt", {}, [ok()]),
    seed("mifare.authenticate", {"sector": 1, "key_type": "B", "key": "FFFFFFFFFFFF"}, [ok()]),
    seed("mifare.read", {"sector": 1, "block": 2}, [ok(bytes(range(16)))]),
    seed("mifare.read", {"sector": 1, "block": 2}, [status(0x0202), status(0x0201)]),
    seed("mifare.write", {"sector": 1, "block": 3, "data": "FFFFFFFFFFFFFF078069FFFFFFFFFFFF",
                          "allow_trailer": True}, [ok()]),
    seed("apdu", {"unit": "card", "command": "0084000008"}, [ok(bytes(8) + b"\x90\x00")]),
    seed("apdu", {"unit": "rfsim", "command": "00A404000E315041592E5359532E444446303100"},
         [ok(b"\x6a\x82")]),
    seed("apdu", {"unit": "sam1", "command": "00 84 00 00 04"}, [b"", b"", b""]),
    seed("sam.power_on", {"slot": 1}, [ok(bytes.fromhex("3B6800000073C84013009000"))]),
    seed("sam.power_off", {"slot": 2}, [ok()]),
    seed("rfsim.request", {"wake_all": False}, [ok(bytes(range(8)))]),
    seed("rfsim.halt", {}, [ok()]),
    seed("purse.init", {"module": "rfsim", "p1": 1, "p2": 2}, [ok(bytes(6))]),
    seed("purse.balance", {}, [ok(bytes.fromhex("00002710"))]),
    seed("purse.card_info", {"module": "rfsim"}, [ok(bytes(8) + bytes(13))]),
    seed("purse.request", {"amount": 100, "prep_data": "20261210093000"}, [ok(SEARCH)]),
    seed("purse.purchase", {"amount": 100, "key": "k1"}, []),
    seed("journal.list", {"limit": 3}, []),
]

if __name__ == "__main__":
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for data in SEEDS:
        (out / hashlib.sha1(data).hexdigest()).write_bytes(data)
