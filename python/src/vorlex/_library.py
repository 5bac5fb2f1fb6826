"""Finding and loading an edition's shared library, with the C prototypes of its exports."""
from __future__ import annotations

import ctypes
import os
import sys
import sysconfig
from ctypes import POINTER, c_char_p, c_int, c_int32, c_void_p
from pathlib import Path

from .errors import LibraryError
from .record import PurchaseRecord

EDITIONS = ("epurse", "display")
# The versioned name first: the unversioned one is the development link.
_NAMES = ("vorlex.dll",) if sys.platform == "win32" else ("libvorlex.so.1", "libvorlex.so")
# What marks each edition: its own exports.
_MARK = {"epurse": "CPU_PBOC_PURCHASE", "display": "LED_DISPLAY"}

_buffer = c_char_p  # caller buffers are passed as ctypes string buffers
_COMMON = {
    "Open_Reader": (c_void_p, [c_char_p]),
    "Close_Reader": (c_int, [c_void_p]),
    "BELL_BEEP": (c_int, [c_void_p, c_int]),
    "GET_HARDWARE_VER": (c_int, [c_void_p, _buffer, _buffer]),
    "GET_SOFTWARE_VER": (c_int, [c_void_p, _buffer, _buffer]),
    "REQ_14443_CARD": (c_int, [c_void_p, c_int, _buffer, _buffer, _buffer]),
    "ATS_14443_CARD": (c_int, [c_void_p, _buffer, _buffer]),
    "MIFS_AUTH": (c_int, [c_void_p, c_int, c_int, c_char_p, _buffer]),
    "MIFS_READ": (c_int, [c_void_p, c_int, c_int, _buffer, _buffer]),
    "MIFS_WRITE": (c_int, [c_void_p, c_int, c_int, c_char_p, _buffer]),
    "MIFS_HALT": (c_int, [c_void_p, _buffer]),
    "CPUCARD_APDU": (c_int, [c_void_p, c_char_p, _buffer, _buffer]),
    "SAMCAR1_APDU": (c_int, [c_void_p, c_char_p, _buffer, _buffer]),
    "SAMCAR2_APDU": (c_int, [c_void_p, c_char_p, _buffer, _buffer]),
    "SAMCAR1_POWER_ON": (c_int, [c_void_p, _buffer, _buffer]),
    "SAMCAR2_POWER_ON": (c_int, [c_void_p, _buffer, _buffer]),
    "SAMCAR1_POWER_OFF": (c_int, [c_void_p, _buffer]),
    "SAMCAR2_POWER_OFF": (c_int, [c_void_p, _buffer]),
    "REQ_RFSIM_CARD": (c_int, [c_void_p, c_int, _buffer, _buffer]),
    "RFSIM_HALT": (c_int, [c_void_p, _buffer]),
    "RFSIMCARD_APDU": (c_int, [c_void_p, c_char_p, _buffer, _buffer]),
}
_RECORD = POINTER(PurchaseRecord)
_PURSE = {
    f"{prefix}_{name}": prototype
    for prefix in ("CPU_PBOC", "RFSIM")
    for name, prototype in {
        "INIT_MODULE": (c_int, [c_void_p, c_int, c_int, _buffer, _buffer]),
        "REQA_CARD": (c_int, [c_void_p, c_int, PurchaseRecord, _RECORD, _buffer]),
        "PURCHASE": (c_int, [c_void_p, _RECORD, _buffer]),
        "GET_BALANCE": (c_int, [c_void_p, POINTER(c_int32), _buffer]),
        "GET_CARDINFO": (c_int, [c_void_p, c_int, _RECORD, _buffer]),
    }.items()
}
PROTOTYPES = {
    "epurse": _COMMON | _PURSE,
    "display": _COMMON | {"LED_DISPLAY": (c_int, [c_void_p, c_char_p, c_int])},
}


def _checkout_root(module_file: str) -> Path | None:
    """The source checkout a module at `module_file` lies in: `<root>/python/src/vorlex/`, with
    the project's CMakeLists.txt at <root>. None for an installed package, wherever it is."""
    package = Path(module_file).resolve().parent
    # Checked name by name: a package one or two folders below / has no third parent.
    if (package.name, package.parent.name, package.parent.parent.name) != ("vorlex", "src", "python"):
        return None
    root = package.parent.parent.parent
    try:
        cmake = (root / "CMakeLists.txt").read_text(encoding="utf-8", errors="replace")
    except OSError:
        return None
    return root if "project(vorlex " in cmake else None


# Decided once, from where this very module was imported: never from a path recorded at install
# time, and never from the current directory.
_CHECKOUT = _checkout_root(__file__)


def _source_root() -> Path | None:
    """The source checkout the package is imported from, whose build trees it may use."""
    return _CHECKOUT


def candidate_folders(edition: str) -> list[Path]:
    """The folders searched for an edition's library, in order (after library=):
    $VORLEX_LIBRARY_DIR/<edition>, the build trees of the source checkout the package is imported
    from (none for an installed package), then the installed prefixes."""
    folders = []
    configured = os.environ.get("VORLEX_LIBRARY_DIR")
    if configured:
        if not Path(configured).is_absolute():
            # Relative would mean: wherever the program happens to run.
            raise LibraryError(f"VORLEX_LIBRARY_DIR is {configured!r}: it must be an absolute path")
        folders.append(Path(configured) / edition)
    root = _source_root()
    if root is not None:
        folders += [root / "build" / preset / edition for preset in ("release", "debug")]
    libdirs = {"lib", "lib64", Path(sysconfig.get_config_var("LIBDIR") or "lib").name}
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if multiarch:
        libdirs.add(f"lib/{multiarch}")
    for prefix in dict.fromkeys((sys.prefix, sys.base_prefix, "/usr/local", "/usr")):
        if Path(prefix).is_absolute():
            folders += [Path(prefix) / libdir / "vorlex" / edition for libdir in sorted(libdirs)]
    return folders


def find_library(edition: str) -> Path:
    tried = []
    for folder in candidate_folders(edition):
        for name in _NAMES:
            if (folder / name).is_file():
                return folder / name
        tried.append(str(folder))
    raise LibraryError(
        f"no {edition} edition library found; looked in:\n  " + "\n  ".join(tried)
        + "\nbuild it, set VORLEX_LIBRARY_DIR, or pass library=PATH"
    )


_loaded: dict[tuple[str, str], ctypes.CDLL] = {}


def load(edition: str, library: str | os.PathLike[str] | None) -> ctypes.CDLL:
    """The edition's library with every export's prototype set; loaded once per path."""
    if edition not in EDITIONS:
        raise LibraryError(f"unknown edition {edition!r}: 'epurse' or 'display'")
    path = Path(library) if library is not None else find_library(edition)
    if path.is_dir():
        found = [path / name for name in _NAMES if (path / name).is_file()]
        if not found:
            raise LibraryError(f"no {' or '.join(_NAMES)} in {path}")
        path = found[0]
    key = (edition, str(path.resolve()))
    if key in _loaded:
        return _loaded[key]
    # CDLL releases the GIL for the duration of every call; on 32-bit Windows the exports are
    # __stdcall.
    loader: type[ctypes.CDLL] = ctypes.CDLL
    if sys.platform == "win32":
        loader = ctypes.WinDLL
    try:
        lib = loader(str(path))
    except OSError as error:
        raise LibraryError(f"cannot load {path}: {error}") from error
    if not hasattr(lib, "Open_Reader"):
        raise LibraryError(f"{path} is not a VORLEX library (no Open_Reader)")
    if not hasattr(lib, _MARK[edition]):
        raise LibraryError(f"{path} is not the {edition} edition (it lacks {_MARK[edition]})")
    for name, (restype, argtypes) in PROTOTYPES[edition].items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    _loaded[key] = lib
    return lib
