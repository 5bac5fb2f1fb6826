"""Round trips to vorlex-agent with Debian's python3-websockets, for the side-by-side latency
figures of bench/latency.js. Usage: latency.py URL TOKEN METHOD COUNT; prints one JSON line
{"method":..., "us": [each call's microseconds]}."""
from __future__ import annotations

import asyncio
import json
import sys
import time

import websockets


async def main(url: str, token: str, method: str, count: int) -> None:
    async with websockets.connect(url, extra_headers={"Authorization": f"Bearer {token}"},
                                  compression=None) as socket:
        times = []
        for n in range(count):
            started = time.perf_counter_ns()
            await socket.send(json.dumps({"jsonrpc": "2.0", "id": n, "method": method,
                                          "params": {}}))
            answer = json.loads(await socket.recv())
            times.append((time.perf_counter_ns() - started) / 1000)
            if "error" in answer:
                raise SystemExit(f"{method}: {answer['error']}")
    print(json.dumps({"method": method, "us": times}))


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])))
