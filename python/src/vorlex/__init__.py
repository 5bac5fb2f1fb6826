"""VORLEX card readers from Python: both editions of the library over ctypes, and the reader
simulator for tests. See docs/python.md."""
from importlib import metadata

from .errors import (LibraryError, NoAnswer, OutcomeUnknown, PortError, ReaderError, Refused,
                     VorlexError)
from .reader import Card, Purse, Reader, Response, open
from .record import PurchaseRecord
from .simulator import Simulator, SimulatorError, find_simulator, simulator

try:
    __version__ = metadata.version(__name__)  # the project's version (_version.py)
except metadata.PackageNotFoundError:  # imported straight from the source tree
    __version__ = "0+source"
__all__ = [
    "Card", "LibraryError", "NoAnswer", "OutcomeUnknown", "PortError", "PurchaseRecord", "Purse", "Reader",
    "ReaderError", "Refused", "Response", "Simulator", "SimulatorError", "VorlexError",
    "find_simulator", "open", "simulator",
]
