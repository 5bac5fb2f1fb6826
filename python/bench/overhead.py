#!/usr/bin/env python3
"""What the package adds to an exchange: the same calls from C (overhead_c.c, built here with
cc) and through vorlex, in alternating rounds against one simulator answering at line speed,
with the same library file. Prints the median wall time per call of each side and the
difference. A benchmark: it prints figures and fails only when a side cannot run.

Usage: overhead.py [--rounds N] [--count N]"""
from __future__ import annotations

import argparse
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import vorlex
from vorlex import _library

ROOT = Path(__file__).resolve().parents[2]
CALLS = {"read_block": lambda r: r.read_block(1, 0), "beep": lambda r: r.beep(10)}


def python_round(port: str, library: Path, count: int) -> dict[str, float]:
    medians = {}
    with vorlex.open(port, "display", library=library) as reader:
        reader.request_card()
        reader.authenticate(1, b"\xff" * 6)
        for name, call in CALLS.items():
            samples = []
            for _ in range(count):
                started = time.perf_counter_ns()
                call(reader)
                samples.append(time.perf_counter_ns() - started)
            medians[name] = statistics.median(samples)
    return medians


class _Succeeds:
    """Stands in for the library: every export returns 0 at once."""

    def __getattr__(self, name: str):
        return lambda *args: 0


def wrapper_cost(port: str, library: Path, count: int = 20000) -> dict[str, float]:
    """The package's own work per call (checks, buffers, lock, result), without the C call."""
    with vorlex.open(port, "display", library=library) as reader:
        real, reader.lib = reader.lib, _Succeeds()
        try:
            costs = {}
            for name, call in CALLS.items():
                started = time.perf_counter_ns()
                for _ in range(count):
                    call(reader)
                costs[name] = (time.perf_counter_ns() - started) / count
        finally:
            reader.lib = real
    return costs


def c_round(program: Path, port: str, library: Path, count: int) -> dict[str, float]:
    output = subprocess.run([str(program), str(library), port, str(count)], check=True,
                            capture_output=True, text=True).stdout
    return {name: float(value) for name, value in (line.split() for line in output.splitlines())}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=200)
    options = parser.parse_args()
    library = _library.find_library("display")
    with tempfile.TemporaryDirectory() as work:
        program = Path(work) / "overhead_c"
        subprocess.run(["cc", "-O2", "-std=c11", "-Wall", "-Wextra", "-Werror",
                        "-D_POSIX_C_SOURCE=200809L",
                        f"-I{ROOT / 'include'}",
                        str(Path(__file__).with_name("overhead_c.c")), "-o", str(program), "-ldl"],
                       check=True)
        c_side: dict[str, list[float]] = {name: [] for name in CALLS}
        py_side: dict[str, list[float]] = {name: [] for name in CALLS}
        with vorlex.simulator(pace=True) as sim:
            for _ in range(options.rounds):
                for name, value in c_round(program, sim.port, library, options.count).items():
                    c_side[name].append(value)
                for name, value in python_round(sim.port, library, options.count).items():
                    py_side[name].append(value)
            own = wrapper_cost(sim.port, library)
    print(f"Python overhead per exchange: {options.rounds} alternating rounds of {options.count} "
          f"calls each side, simulator at line speed, {library}")
    print(f"{'call':<12}{'C median':>12}{'Python median':>16}{'added':>12}{'added %':>10}"
          f"{'package work':>15}")
    for name in CALLS:
        c_us = statistics.median(c_side[name]) / 1000
        py_us = statistics.median(py_side[name]) / 1000
        print(f"{name:<12}{c_us:>10.1f}us{py_us:>14.1f}us{py_us - c_us:>10.1f}us"
              f"{100 * (py_us - c_us) / c_us:>9.2f}%{own[name] / 1000:>13.1f}us")
    print("added: the difference of the medians (scheduling noise included); package work: the "
          "package's own time per call with the C call replaced by a stub")


if __name__ == "__main__":
    main()
