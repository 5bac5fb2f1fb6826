"""What the package refuses before anything is sent, as the vorlex tool refuses it: the blocks
an edition can address, and writes that can ruin a card. tests/guard_cases.json is the table
of cases that this package's tests and the tool's tests both run."""
from __future__ import annotations

from .errors import Refused

_MAX_SECTORS = 40  # a 4K card's; sectors 0-31 have 4 blocks, 32-39 have 16
_DISPLAY_SECTORS, _DISPLAY_BLOCKS = 15, 4  # the display edition sends sector % 15, block % 4
# Trailer access conditions (C1C2C3) under which a key may still change the access bits.
_CHANGEABLE = (0b001, 0b011, 0b101)


def sector(edition: str, value: int) -> int:
    """A sector the edition reaches as named (value is already an int)."""
    limit = _DISPLAY_SECTORS if edition == "display" else _MAX_SECTORS
    if not 0 <= value < limit:
        note = (" in the display edition (it sends sector mod 15)" if edition == "display"
                else " (a 4K card's are 0-39)")
        raise Refused(f"sector {value} is outside 0..{limit - 1}{note}", "sector")
    return value


def block(edition: str, at_sector: int, value: int) -> int:
    """A block of `at_sector` that the edition reaches as named."""
    if edition == "display":
        limit, note = _DISPLAY_BLOCKS, " in the display edition (it sends block mod 4)"
    else:
        limit = 4 if at_sector < 32 else 16
        note = f" (sector {at_sector} has {limit} blocks)"
    if not 0 <= value < limit:
        raise Refused(f"block {value} is outside 0..{limit - 1}{note}", "block")
    return value


def _access_conditions(trailer: bytes) -> list[int] | None:
    """C1C2C3 of blocks 0, 1, 2 and the trailer; None when an inverted copy does not match."""
    b6, b7, b8 = trailer[6], trailer[7], trailer[8]
    conditions = []
    for group in range(4):
        c1, c2, c3 = b7 >> (4 + group) & 1, b8 >> group & 1, b8 >> (4 + group) & 1
        n1, n2, n3 = b6 >> group & 1, b6 >> (4 + group) & 1, b7 >> group & 1
        if c1 == n1 or c2 == n2 or c3 == n3:
            return None
        conditions.append(c1 << 2 | c2 << 1 | c3)
    return conditions


def block_write(at_sector: int, at_block: int, data: bytes, allow_trailer: bool,
                allow_permanent_lock: bool, allow_block0: bool) -> None:
    """Refuses a write to block 0 of sector 0 or to a trailer unless allowed, and even then
    a wrong check byte, access bits that are not valid, or a trailer no key could change
    again (unless allow_permanent_lock)."""
    where = f"sector {at_sector} block {at_block}"
    if at_sector == 0 and at_block == 0:
        if not allow_block0:
            raise Refused(f"{where} is the manufacturer block (UID and check byte); pass "
                          "allow_block0=True to write it", "allow_block0")
        check = data[0] ^ data[1] ^ data[2] ^ data[3]
        if check != data[4]:
            raise Refused(f"block 0: byte 4 must be the check byte of the UID in bytes 0-3 "
                          f"(their XOR), {check:02X}, not {data[4]:02X}", "data")
        return
    if at_block != (3 if at_sector < 32 else 15):
        return
    if not allow_trailer:
        raise Refused(f"{where} is the sector trailer (key A, access bits, key B): a wrong one "
                      "locks the sector for good; pass allow_trailer=True to write it",
                      "allow_trailer")
    conditions = _access_conditions(data)
    if conditions is None:
        raise Refused(f"the access bits {data[6:9].hex().upper()} (bytes 6-8) are not a valid "
                      "combination: each inverted copy must match its plain copy", "data")
    if conditions[3] not in _CHANGEABLE and not allow_permanent_lock:
        raise Refused(f"the trailer's access condition {conditions[3]:03b} lets no key change "
                      "the access bits again; use 001, 011 or 101, or pass "
                      "allow_permanent_lock=True if that is intended", "allow_permanent_lock")
