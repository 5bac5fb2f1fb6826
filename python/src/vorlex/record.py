"""The e-purse edition's 140-byte purchase record, laid out as in vorlex_epurse.h."""
from __future__ import annotations

import ctypes
from ctypes import c_char, c_int32, c_ubyte, c_uint32



class PurchaseRecord(ctypes.Structure):
    """The inputs (Amount, PrepData), card fields and purchase results of one purchase.

    Text fields are hex text with a NUL (ctypes gives them as bytes up to the NUL); the
    integers are in the platform's byte order."""

    _pack_ = 1
    _fields_ = [
        ("CallerBytes", c_ubyte * 15),
        ("CardId", c_char * 21),
        ("CardInfo", c_char * 21),
        ("Unused57", c_ubyte * 3),
        ("Amount", c_int32),
        ("PrepData", c_char * 16),
        ("PrepValue32", c_uint32),
        ("PrepValue16", c_uint32),
        ("PrepByte1", c_ubyte),
        ("PrepByte2", c_ubyte),
        ("PrepText", c_char * 10),
        ("CardValue24", c_uint32),
        ("ResultText4", c_char * 7),
        ("ResultText1", c_char * 9),
        ("ResultText2", c_char * 9),
        ("ResultText3", c_char * 9),
        ("Unused138", c_ubyte * 2),
    ]

    # Not in the 140 bytes: set by Purse.purchase() when the module debited the card but its
    # answer was lost, so the ResultText fields were never filled.
    answer_lost: bool = False

    def __repr__(self) -> str:
        fields = []
        for name, _ in self._fields_:
            if not name.startswith(("Caller", "Unused")):
                value = getattr(self, name)
                if isinstance(value, bytes):
                    value = value.decode("ascii", "replace")
                fields.append(f"{name}={value!r}")
        return f"PurchaseRecord({', '.join(fields)})"


assert ctypes.sizeof(PurchaseRecord) == 140
