"""The reader: one handle of one edition, every call as a method."""
from __future__ import annotations

import ctypes
import os
import re
import threading
import time
from ctypes import c_int32, create_string_buffer
from dataclasses import dataclass
from typing import Any, Literal

from . import _guard, _library
from .errors import NoAnswer, OutcomeUnknown, PortError, ReaderError, Refused
from .record import PurchaseRecord

Edition = Literal["epurse", "display"]
Unit = Literal["card", "sam1", "sam2", "rfsim"]

MESSAGE_SIZE = 50
VERSION_SIZE = 293
ATS_TEXT_SIZE = 583
REPLY_TEXT_SIZE = 587
DISPLAY_TEXT_MAX = 291
_APDU_MAX_BYTES = 199
_APDU_CALLS = {"card": "CPUCARD_APDU", "sam1": "SAMCAR1_APDU", "sam2": "SAMCAR2_APDU",
               "rfsim": "RFSIMCARD_APDU"}
_COM_NAME = re.compile(r"COM[1-9][0-9]*")
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1
_BYTE_MAX, _WORD_MAX = 255, 65535


@dataclass(frozen=True)
class Card:
    """A card's answer to a request: ATQA (2 bytes) and UID (4 bytes)."""

    atqa: bytes
    uid: bytes


@dataclass(frozen=True)
class Response:
    """An APDU reply: raw is every byte the card sent, sw its last two (-1 when there are
    fewer than two), data the rest."""

    raw: bytes

    @property
    def data(self) -> bytes:
        return self.raw[:-2] if len(self.raw) >= 2 else self.raw

    @property
    def sw(self) -> int:
        return int.from_bytes(self.raw[-2:], "big") if len(self.raw) >= 2 else -1

    def __repr__(self) -> str:
        return f"Response(data={self.data.hex().upper()!r}, sw=0x{self.sw & 0xFFFF:04X})"


def _int(name: str, value: Any, low: int = _INT_MIN, high: int = _INT_MAX) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise Refused(f"{name} must be an int, not {type(value).__name__}", name)
    if not low <= value <= high:
        raise Refused(f"{name} {value} is outside {low}..{high}", name)
    return value


def _bytes(name: str, value: Any, length: int | None = None) -> bytes:
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise Refused(f"{name} must be bytes, not {type(value).__name__}", name)
    value = bytes(value)
    if length is not None and len(value) != length:
        raise Refused(f"{name} must be {length} bytes, not {len(value)}", name)
    return value


def _hex(value: bytes) -> bytes:
    return value.hex().upper().encode("ascii")


def _from_hex(buffer: ctypes.Array[ctypes.c_char]) -> bytes:
    return bytes.fromhex(buffer.value.decode("ascii"))


def _check_apdu(unit: str, command: bytes) -> None:
    """The library's APDU rules: refused commands are never sent."""
    if not 5 <= len(command) <= _APDU_MAX_BYTES:
        raise Refused(f"an APDU is 5 to {_APDU_MAX_BYTES} bytes, not {len(command)}")
    if len(command) == 5:
        return  # header and Le
    lc = command[4]
    if unit == "rfsim":
        if len(command) < 5 + lc:
            raise Refused(f"Lc {lc} announces more data than the APDU holds")
    elif len(command) != 5 + lc:
        raise Refused(f"Lc {lc} does not match the {len(command) - 5} data bytes (the card and "
                      "SAM calls take a header and Le, or a header, Lc and exactly Lc bytes)")


class Reader:
    """An open reader. Calls on one Reader are serialised by its lock; calls on different
    readers run at once (the GIL is released during each C call).

    lib and handle are the raw library and ReaderHandle, for calling the exports directly."""

    def __init__(self, port: str | os.PathLike[str], edition: Edition = "epurse",
                 library: str | os.PathLike[str] | None = None) -> None:
        self.edition: Edition = edition
        self.lib = _library.load(edition, library)
        self._lock = threading.Lock()
        self.handle: int | None = None
        name = self._port_name(port)
        handle = self.lib.Open_Reader(name)
        if not handle:
            raise PortError(f"cannot open {os.fsdecode(name)}: no such port, in use, or not "
                            "a serial port")
        self.handle = handle

    def _port_name(self, port: str | os.PathLike[str]) -> bytes:
        if not isinstance(port, (str, os.PathLike)):
            raise Refused(f"port must be a str or path, not {type(port).__name__}")
        name = os.fsencode(port)
        if b"\0" in name or not name:
            raise Refused("port must be a non-empty name without NUL")
        if self.edition == "epurse" and not _COM_NAME.fullmatch(os.fsdecode(name)):
            raise Refused(f"the e-purse edition opens COMn names, not {port!r} "
                          "(under `vorlex-sim run --com N`, VORLEX_PORT holds the name)")
        return name

    # ---- plumbing ------------------------------------------------------------------------

    def _handle(self) -> int:
        if self.handle is None:
            raise Refused("the reader is closed")
        return self.handle

    def _run(self, call: str, *args: Any) -> None:
        """Calls an export that takes a message buffer last; raises on a non-zero result."""
        message = create_string_buffer(MESSAGE_SIZE)
        with self._lock:
            result = getattr(self.lib, call)(self._handle(), *args, message)
        if result:
            text = message.value.decode("gbk", "replace")
            raise (NoAnswer if result == 1 else ReaderError)(call, result, text)

    def _run_bare(self, call: str, *args: Any) -> None:
        """BELL_BEEP and LED_DISPLAY: no message buffer."""
        with self._lock:
            result = getattr(self.lib, call)(self._handle(), *args)
        if result:
            if result == 1:
                raise NoAnswer(call, result, "no answer from the reader")
            raise ReaderError(call, result, "")

    def _edition_only(self, edition: str, what: str) -> None:
        if self.edition != edition:
            raise Refused(f"{what} is in the {edition} edition only")

    def close(self) -> None:
        """Closes the port; a second close does nothing."""
        with self._lock:
            handle, self.handle = self.handle, None
            if handle is not None and self.lib.Close_Reader(handle) != 0:
                raise PortError("Close_Reader failed")

    def __enter__(self) -> Reader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        return f"<vorlex.Reader {self.edition} {'closed' if self.handle is None else 'open'}>"

    # ---- housekeeping --------------------------------------------------------------------

    def beep(self, value: int = 10) -> None:
        self._run_bare("BELL_BEEP", _int("value", value, 0, _WORD_MAX))

    def _version(self, call: str) -> bytes:
        # The library does not say how many bytes it wrote: trailing NULs cannot be told from
        # the untouched part of the buffer and are dropped.
        version = create_string_buffer(VERSION_SIZE)
        self._run(call, version)
        return version.raw.rstrip(b"\0")

    def hardware_version(self) -> bytes:
        return self._version("GET_HARDWARE_VER")

    def software_version(self) -> bytes:
        return self._version("GET_SOFTWARE_VER")

    def display(self, text: str | bytes, value: int = 0) -> None:
        """Shows text on the LED display (display edition); a str is sent as GBK."""
        self._edition_only("display", "display()")
        if isinstance(text, str):
            try:
                text = text.encode("gbk")
            except UnicodeEncodeError as error:
                raise Refused(f"text has characters GBK cannot encode: {error}") from None
        text = _bytes("text", text)
        if b"\0" in text:
            raise Refused("text must not contain NUL")
        if len(text) > DISPLAY_TEXT_MAX:
            raise Refused(f"text is {len(text)} bytes; the display takes {DISPLAY_TEXT_MAX}")
        self._run_bare("LED_DISPLAY", text, _int("value", value, 0, _WORD_MAX))

    # ---- ISO 14443-A and Mifare Classic --------------------------------------------------

    def request_card(self, wake_all: bool = False) -> Card:
        """Looks for a card; wake_all also wakes a halted one."""
        atqa, uid = create_string_buffer(5), create_string_buffer(9)
        self._run("REQ_14443_CARD", 1 if wake_all else 0, atqa, uid)
        return Card(_from_hex(atqa), _from_hex(uid))

    def ats(self) -> bytes:
        ats = create_string_buffer(ATS_TEXT_SIZE)
        self._run("ATS_14443_CARD", ats)
        return _from_hex(ats)

    def authenticate(self, sector: int, key: bytes, key_type: Literal["A", "B"] | int = "A"
                     ) -> None:
        types = {"A": 0, "B": 1}
        if isinstance(key_type, str):
            if key_type.upper() not in types:
                raise Refused(f"key_type must be 'A' or 'B', not {key_type!r}", "key_type")
            key_type = types[key_type.upper()]
        self._run("MIFS_AUTH", self._sector(sector), _int("key_type", key_type, 0, 1),
                  _hex(_bytes("key", key, 6)))

    def _sector(self, sector: int) -> int:
        return _guard.sector(self.edition, _int("sector", sector))

    def _block(self, sector: int, block: int) -> tuple[int, int]:
        at_sector = self._sector(sector)
        return at_sector, _guard.block(self.edition, at_sector, _int("block", block))

    def read_block(self, sector: int, block: int) -> bytes:
        """Sectors 0-39 (blocks 0-3, 0-15 in sectors 32-39); the display edition 0-14 and 0-3."""
        data = create_string_buffer(33)
        self._run("MIFS_READ", *self._block(sector, block), data)
        return _from_hex(data)

    def write_block(self, sector: int, block: int, data: bytes, *, allow_trailer: bool = False,
                    allow_permanent_lock: bool = False, allow_block0: bool = False) -> None:
        """Writes a data block. A sector trailer needs allow_trailer (and valid access bits
        that a key can still change, or allow_permanent_lock), block 0 of sector 0
        allow_block0 (and the right check byte), as `vorlex write` needs its options."""
        at_sector, at_block = self._block(sector, block)
        data = _bytes("data", data, 16)
        _guard.block_write(at_sector, at_block, data, allow_trailer, allow_permanent_lock,
                           allow_block0)
        self._run("MIFS_WRITE", at_sector, at_block, _hex(data))

    def halt(self) -> None:
        self._run("MIFS_HALT")

    # ---- APDUs, SAM slots, RF-SIM --------------------------------------------------------

    def apdu(self, unit: Unit, command: bytes) -> Response:
        """Sends a command APDU to the card, a SAM or the RF-SIM card.

        The card and SAM calls take a header and Le, or a header, Lc and exactly Lc data
        bytes; the RF-SIM call also takes an Le after the data."""
        if unit not in _APDU_CALLS:
            raise Refused(f"unit must be one of {', '.join(_APDU_CALLS)}, not {unit!r}")
        command = _bytes("command", command)
        _check_apdu(unit, command)
        reply = create_string_buffer(REPLY_TEXT_SIZE)
        self._run(_APDU_CALLS[unit], _hex(command), reply)
        return Response(_from_hex(reply))

    def _slot(self, slot: int) -> int:
        if _int("slot", slot) not in (1, 2):
            raise Refused(f"slot must be 1 or 2, not {slot}")
        return slot

    def sam_power_on(self, slot: int) -> bytes:
        """Resets the SAM in slot 1 or 2; returns its answer to reset."""
        answer = create_string_buffer(REPLY_TEXT_SIZE)
        self._run(f"SAMCAR{self._slot(slot)}_POWER_ON", answer)
        return _from_hex(answer)

    def sam_power_off(self, slot: int) -> None:
        self._run(f"SAMCAR{self._slot(slot)}_POWER_OFF")

    def request_rfsim(self, wake_all: bool = False) -> bytes:
        """Looks for an RF-SIM card; returns its 8-byte identifier."""
        identifier = create_string_buffer(17)
        self._run("REQ_RFSIM_CARD", 1 if wake_all else 0, identifier)
        return _from_hex(identifier)

    def rfsim_halt(self) -> None:
        self._run("RFSIM_HALT")

    # ---- purchase modules ----------------------------------------------------------------

    def purse(self, module: Literal["cpu", "rfsim"] = "cpu") -> Purse:
        """One of the e-purse edition's purchase modules: the CPU card's or the RF-SIM's."""
        self._edition_only("epurse", "purse()")
        if module not in ("cpu", "rfsim"):
            raise Refused(f"module must be 'cpu' or 'rfsim', not {module!r}")
        return Purse(self, "CPU_PBOC" if module == "cpu" else "RFSIM")


def _bcd_now() -> bytes:
    return bytes.fromhex(time.strftime("%Y%m%d%H%M%S"))


class Purse:
    """A purchase module: init, request (search and prepare), purchase; balance, card_info."""

    def __init__(self, reader: Reader, prefix: str) -> None:
        self.reader, self._prefix = reader, prefix

    def __repr__(self) -> str:
        return f"<vorlex.Purse {self._prefix}>"

    def init(self, p1: int = 0, p2: int = 0) -> bytes:
        """Initialises the module; returns its 6 bytes of module data."""
        data = create_string_buffer(13)
        self.reader._run(f"{self._prefix}_INIT_MODULE", _int("p1", p1, 0, _BYTE_MAX),
                         _int("p2", p2, 0, _BYTE_MAX), data)
        return _from_hex(data)

    def request(self, amount: int, prep: bytes | None = None, param: int = 0) -> PurchaseRecord:
        """Searches for a card and prepares a purchase of amount.

        prep is the 7 bytes of preparation data (the simulator reads them as the BCD date and
        time YYYYMMDDhhmmss; None sends the current local time)."""
        record = PurchaseRecord()
        record.Amount = _int("amount", amount, 1, _INT_MAX)
        record.PrepData = _hex(_bcd_now() if prep is None else _bytes("prep", prep, 7))
        self.reader._run(f"{self._prefix}_REQA_CARD", _int("param", param, 0, _BYTE_MAX), record,
                         ctypes.byref(record))
        return record

    def purchase(self, record: PurchaseRecord) -> PurchaseRecord:
        """Carries out the prepared purchase; fills record's ResultText fields, returns it.

        The balance is read first. When the purchase fails it is read again: debited by
        record.Amount, the purchase happened and its answer was lost (the library's retry
        found nothing prepared): record is returned with answer_lost True and no ResultText.
        Not debited: the purchase's ReaderError. Unreadable, or moved by another sum:
        OutcomeUnknown."""
        if not isinstance(record, PurchaseRecord):
            raise Refused(f"record must be a PurchaseRecord, not {type(record).__name__}")
        call = f"{self._prefix}_PURCHASE"
        before = self.balance()
        try:
            self.reader._run(call, ctypes.byref(record))
        except ReaderError as failure:
            try:
                after = self.balance()
            except ReaderError as error:
                raise OutcomeUnknown(call, record.Amount, before, None, failure,
                                     f"{failure}; then the balance could not be read: {error}"
                                     ) from failure
            if after == before:
                raise
            if before - after != record.Amount:
                raise OutcomeUnknown(call, record.Amount, before, after, failure,
                                     f"{failure}; the balance moved from {before} to {after}, "
                                     f"not by the amount {record.Amount}") from failure
            record.answer_lost = True
            return record
        record.answer_lost = False
        return record

    def balance(self) -> int:
        balance = c_int32()
        self.reader._run(f"{self._prefix}_GET_BALANCE", ctypes.byref(balance))
        return balance.value

    def card_info(self) -> PurchaseRecord:
        """Searches for a card; returns a record with CardId, CardInfo and CardValue24."""
        record = PurchaseRecord()
        self.reader._run(f"{self._prefix}_GET_CARDINFO", 0, ctypes.byref(record))
        return record


def open(port: str | os.PathLike[str], edition: Edition = "epurse",
         library: str | os.PathLike[str] | None = None) -> Reader:
    """Opens a reader: port is "COMn" for the e-purse edition, a device path for display."""
    return Reader(port, edition, library)
