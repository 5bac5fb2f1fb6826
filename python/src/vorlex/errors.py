"""The package's exceptions."""
from __future__ import annotations


class VorlexError(Exception):
    """Base of every error the package raises but Refused (a ValueError)."""


class LibraryError(VorlexError):
    """The edition's library is missing, cannot be loaded, or is the other edition."""


class PortError(VorlexError, OSError):
    """Open_Reader gave no handle: no such port, in use, or not a serial port."""


class Refused(ValueError):
    """An argument refused before anything was sent to the reader (one the library would
    refuse, or one that would reach another block or card state than the one named).

    argument: the name of the argument refused (a keyword of the call, or the allowance, such
    as allow_trailer, that is missing), or None."""

    def __init__(self, message: str, argument: str | None = None) -> None:
        self.argument = argument
        super().__init__(message)


class ReaderError(VorlexError):
    """A call returned a non-zero status word.

    status: the result (the reader's status word); message: the call's status text (GBK in
    the library, decoded here); call: the export's name."""

    def __init__(self, call: str, status: int, message: str) -> None:
        self.call, self.status, self.message = call, status, message
        super().__init__(f"{call}: status {status:04X}" + (f" ({message})" if message else ""))


class NoAnswer(ReaderError):
    """Result 1 after an exchange: three attempts without a usable answer, or an answer too
    short for the call's outputs. (A reader status word of 0001 looks the same.)"""


class OutcomeUnknown(VorlexError):
    """A purchase failed and what it did could not be found out: its answer was lost and the
    balance could not be read (or moved by another sum than the amount). The card may have
    been debited: check the balance before charging again. Not a ReaderError, so that code
    that retries on reader errors does not charge twice.

    call: the purchase export; amount; balance_before; balance_after (None: unreadable);
    cause: the purchase's own error."""

    def __init__(self, call: str, amount: int, balance_before: int, balance_after: int | None,
                 cause: ReaderError, why: str) -> None:
        self.call, self.amount, self.cause = call, amount, cause
        self.balance_before, self.balance_after = balance_before, balance_after
        super().__init__(f"{call}: unknown: check the balance before charging again ({why})")
