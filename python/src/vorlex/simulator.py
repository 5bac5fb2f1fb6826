"""Starting the reader simulator, vorlex-sim, on a pseudo-terminal."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from typing import Any

from . import _library
from .errors import VorlexError

START_TIMEOUT = 10.0


class SimulatorError(VorlexError):
    """vorlex-sim is missing, refused its options or did not start."""


def find_simulator() -> Path:
    """$VORLEX_SIM, the build tree the package came from, PATH, then the installed prefixes."""
    candidates = []
    if os.environ.get("VORLEX_SIM"):
        candidates.append(Path(os.environ["VORLEX_SIM"]))
    root = _library._source_root()
    if root is not None:
        candidates += [root / "build" / preset / "bin" / "vorlex-sim"
                       for preset in ("release", "debug")]
    on_path = shutil.which("vorlex-sim")
    if on_path:
        candidates.append(Path(on_path))
    for prefix in dict.fromkeys((sys.prefix, sys.base_prefix, "/usr/local", "/usr")):
        candidates.append(Path(prefix) / "bin" / "vorlex-sim")
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    raise SimulatorError("vorlex-sim not found; looked at:\n  "
                         + "\n  ".join(map(str, candidates)) + "\nbuild it or set VORLEX_SIM")


def _arguments(options: dict[str, Any]) -> list[str]:
    """balance=500 -> --balance 500, no_card=True -> --no-card; False and None are left out; a
    list or tuple repeats the option: lose_answer=["PURCHASE", "GET_BALANCE:2"] ->
    --lose-answer PURCHASE --lose-answer GET_BALANCE:2."""
    arguments = []
    for key, value in options.items():
        for one in value if isinstance(value, (list, tuple)) else [value]:
            if one is None or one is False:
                continue
            arguments.append("--" + key.replace("_", "-"))
            if one is not True:
                arguments.append(str(one))
    return arguments


class Simulator:
    """A running vorlex-sim. port is its device path (for the display edition), lines what it
    printed after that (display texts, beeps, purchases, --trace lines)."""

    edition = "display"

    def __init__(self, program: str | os.PathLike[str] | None = None, **options: Any) -> None:
        command = [str(program or find_simulator()), *_arguments(options)]
        self.lines: list[str] = []
        self.port = ""
        self._errors = tempfile.TemporaryFile()
        self._started = threading.Event()
        try:
            self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                             stdout=subprocess.PIPE, stderr=self._errors,
                                             encoding="utf-8", errors="replace")
        except OSError as error:
            self._errors.close()
            raise SimulatorError(f"{command[0]} cannot be started: {error.strerror or error}"
                                 ) from error
        self._output = threading.Thread(target=self._collect, daemon=True)
        self._output.start()
        if not self._started.wait(START_TIMEOUT) or not self.port:
            ended = None
            if self._started.is_set():  # its output ended: it is ending
                try:
                    ended = self._process.wait(5)
                except subprocess.TimeoutExpired:
                    pass
            # What it said is read before stop() closes the file it went to.
            self._end()
            self._errors.seek(0)
            errors = self._errors.read().decode("utf-8", "replace").strip()
            self.stop()
            why = (f"no port within {START_TIMEOUT:g} s" if ended is None
                   else f"exit {ended}" if ended >= 0 else f"killed by signal {-ended}")
            raise SimulatorError(f"{' '.join(command)} did not start ({why})"
                                 + (f": {errors}" if errors else ""))

    def _collect(self) -> None:
        assert self._process.stdout is not None
        for line in self._process.stdout:
            if not self._started.is_set():
                self.port = line.strip()
                self._started.set()
            else:
                self.lines.append(line.rstrip("\n"))
        self._started.set()

    def _end(self) -> None:
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._output.join(5)

    def stop(self) -> None:
        """Stops the simulator; a second stop does nothing."""
        self._end()
        if self._process.stdout is not None:
            self._process.stdout.close()
        self._errors.close()

    def __enter__(self) -> Simulator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"<vorlex.Simulator {self.port or 'not started'}>"


def simulator(**options: Any) -> Simulator:
    """Starts vorlex-sim on a new pty with its command-line options as keywords
    (balance=500, no_card=True, drop_every=2, trace=True...); stop() it, or use it in a with."""
    return Simulator(**options)
