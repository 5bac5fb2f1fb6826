#!/usr/bin/env python3
"""Lists, and with --end ends, the processes left running below a process: its descendants
(orphans included, when it is a child subreaper, as scripts/test is), except this program and
the processes between it and that process. Usage: leftover_processes.py [--end] PID
Prints "PID COMMAND LINE" per process left; with --end sends each SIGTERM, and SIGKILL to what
is still there after 5 s, by process id. Exits 1 when any was left, 0 otherwise."""
import os
import signal
import sys
import time
from pathlib import Path


def parents() -> dict[int, int]:
    found = {}
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] != "Z":  # a zombie runs nothing; its parent reaps it
            found[int(entry.name)] = int(fields[1])
    return found


def command_line(pid: int) -> str:
    try:
        return (Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(
            "utf-8", "replace").strip() or f"[{Path(f'/proc/{pid}/comm').read_text().strip()}]")
    except OSError:
        return "(gone)"


def left_below(root: int) -> list[int]:
    tree = parents()
    mine = set()  # this program and its ancestors up to root
    pid = os.getpid()
    while pid in tree and pid != root:
        mine.add(pid)
        pid = tree[pid]
    below, queue = [], [root]
    while queue:
        parent = queue.pop()
        for pid, ppid in tree.items():
            if ppid == parent and pid not in mine:
                below.append(pid)
                queue.append(pid)
            elif ppid == parent:
                queue.append(pid)
    return below


def main() -> int:
    end = sys.argv[1:2] == ["--end"]
    args = sys.argv[2:] if end else sys.argv[1:]
    if len(args) != 1 or not args[0].isdigit():
        print(__doc__, file=sys.stderr)
        return 2
    left = left_below(int(args[0]))
    for pid in left:
        print(pid, command_line(pid))
    if end and left:
        for number in (signal.SIGTERM, signal.SIGKILL):
            for pid in left:
                try:
                    os.kill(pid, number)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and set(left) & set(parents()):
                time.sleep(0.1)
    return 1 if left else 0


if __name__ == "__main__":
    sys.exit(main())
