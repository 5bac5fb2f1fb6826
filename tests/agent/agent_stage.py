#!/usr/bin/python3
"""The agent's stage cases, driven with Debian's python3-websockets (a client nobody here wrote).

Usage: agent_stage.py CASE. The stage (scripts/test-stages/48-agent) starts the simulators and
the agent and gives: AGENT_URL, AGENT_TOKEN_FILE, AGENT_CONFIG, AGENT_DOC (docs/agent.md),
SIM_LINK_EPURSE, SIM_LINK_DISPLAY, VORLEX_SIM. Each case prints what it saw and exits 0 when
every answer was the documented one.
"""

from __future__ import annotations

import asyncio
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import time
from typing import Any
from urllib.parse import urlparse

import websockets

URL = os.environ.get("AGENT_URL", "")
TOKEN = (
    open(os.environ["AGENT_TOKEN_FILE"]).read().strip() if "AGENT_TOKEN_FILE" in os.environ else ""
)
AUTH = {"Authorization": f"Bearer {TOKEN}"}
ALLOWED = "https://pos.example"
TIMEOUT = 10.0


OPEN: list["Client"] = []  # closed at the end of each case


class Failure(Exception):
    pass


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise Failure(what)


class Client:
    """One connection: calls by id, notifications kept aside in arrival order."""

    def __init__(self, ws: Any) -> None:
        self.ws = ws
        self.next_id = 0
        self.notifications: list[dict[str, Any]] = []

    @classmethod
    async def open(cls, url: str = "", **kwargs: Any) -> "Client":
        if "origin" not in kwargs and "extra_headers" not in kwargs:
            kwargs["extra_headers"] = AUTH
        client = cls(await websockets.connect(url or URL, max_size=None, **kwargs))
        OPEN.append(client)
        return client

    async def send(self, method: str, params: dict[str, Any] | None = None) -> int:
        self.next_id += 1
        message: dict[str, Any] = {"jsonrpc": "2.0", "id": self.next_id, "method": method}
        if params is not None:
            message["params"] = params
        await self.ws.send(json.dumps(message))
        return self.next_id

    async def answer(self, wanted: int | None = None) -> dict[str, Any]:
        while True:
            message = json.loads(await asyncio.wait_for(self.ws.recv(), TIMEOUT))
            if "method" in message:
                self.notifications.append(message)
                continue
            if wanted is None or message.get("id") == wanted:
                return message

    async def call(self, method: str, params: dict[str, Any] | None = None) -> dict[str, Any]:
        return await self.answer(await self.send(method, params))

    async def ok(self, method: str, params: dict[str, Any] | None = None) -> Any:
        answer = await self.call(method, params)
        expect("result" in answer, f"{method} {params}: {answer}")
        return answer["result"]

    async def error(self, method: str, params: dict[str, Any] | None, code: int) -> dict[str, Any]:
        answer = await self.call(method, params)
        expect(answer.get("error", {}).get("code") == code, f"{method}: wanted {code}, got {answer}")
        return answer["error"]

    async def notification(self, method: str, timeout: float = TIMEOUT) -> dict[str, Any]:
        deadline = time.monotonic() + timeout
        while True:
            for i, message in enumerate(self.notifications):
                if message["method"] == method:
                    return self.notifications.pop(i)
            left = deadline - time.monotonic()
            expect(left > 0, f"no {method} within {timeout} s (got {self.notifications})")
            try:
                message = json.loads(await asyncio.wait_for(self.ws.recv(), left))
            except asyncio.TimeoutError:
                continue
            if "method" in message:
                self.notifications.append(message)

    async def close(self) -> None:
        await self.ws.close()


def documented_methods() -> dict[str, str]:
    """The reader methods of docs/agent.md's table: name -> editions ("both", "e-purse", ...)."""
    text = open(os.environ["AGENT_DOC"], encoding="utf-8").read()
    section = text.split("## Methods", 1)[1].split("\n## ", 1)[0]
    return {
        name: editions
        for name, editions in re.findall(r"^\| `([a-z_.]+)` \| ([a-z-]+) \|", section, re.M)
    }


# One call of each method, in an order the simulator's reader accepts.
SEQUENCE: list[tuple[str, dict[str, Any]]] = [
    ("reader.beep", {"value": 10}),
    ("reader.versions", {}),
    ("reader.display", {"text": "VORLEX 欢迎", "value": 1}),
    ("card.request", {"wake_all": True}),
    ("card.ats", {}),
    ("mifare.authenticate", {"sector": 1, "key_type": "A", "key": "FFFFFFFFFFFF"}),
    ("mifare.write", {"sector": 1, "block": 0, "data": "00112233445566778899AABBCCDDEEFF"}),
    ("mifare.read", {"sector": 1, "block": 0}),
    ("apdu", {"unit": "card", "command": "0084000008"}),
    ("card.halt", {}),
    ("sam.power_on", {"slot": 1}),
    ("apdu", {"unit": "sam1", "command": "0084000008"}),
    ("sam.power_off", {"slot": 1}),
    ("rfsim.request", {"wake_all": True}),
    ("apdu", {"unit": "rfsim", "command": "0084000008"}),
    ("rfsim.halt", {}),
    ("purse.init", {"module": "cpu"}),
    ("purse.balance", {"module": "cpu"}),
    ("purse.card_info", {"module": "cpu"}),
    ("purse.request", {"module": "cpu", "amount": 100}),
    ("purse.purchase", {"module": "cpu", "amount": 100, "key": "stage-purchase-1"}),
    ("journal.list", {"limit": 5}),
]


async def every_method(reader: str, edition: str) -> None:
    methods = documented_methods()
    expect(len(methods) >= 20, f"the method table has {len(methods)} rows")
    client = await Client.open()
    called: set[str] = set()
    for method, params in SEQUENCE:
        applies = methods.get(method)
        expect(applies is not None, f"{method} is not in docs/agent.md")
        if applies not in ("both", edition):
            await client.error(method, {**params, "reader": reader}, -32601)
            continue
        result = await client.ok(method, {**params, "reader": reader})
        print(f"{reader}: {method} -> {json.dumps(result, ensure_ascii=False)[:100]}")
        called.add(method)
        if method == "mifare.read":
            expect(result["data"] == "00112233445566778899AABBCCDDEEFF", f"read back {result}")
        if method == "purse.purchase":
            expect(result["outcome"] == "done", f"purchase {result}")
            again = await client.ok(method, {**params, "reader": reader})
            expect(again["replayed"] is True and again["journal_id"] == result["journal_id"],
                   f"the same key charged again: {again}")
            balance = await client.ok("purse.balance", {"module": "cpu", "reader": reader})
            expect(balance["balance"] == result["balance_after"], f"{balance} after {result}")
    missing = {m for m, e in methods.items() if e in ("both", edition)} - called
    expect(not missing, f"methods of the {edition} edition not called: {sorted(missing)}")
    await client.close()


async def case_every_method_epurse() -> None:
    await every_method("purse", "e-purse")


async def case_every_method_display() -> None:
    await every_method("display", "display")


async def case_agent_info_and_readers() -> None:
    client = await Client.open()
    info = await client.ok("agent.info")
    print(info)
    ids = {r["id"]: r for r in info["readers"]}
    expect(set(ids) == {"purse", "display"}, f"readers {ids}")
    expect(ids["purse"]["edition"] == "epurse" and ids["display"]["edition"] == "display", str(ids))
    await client.error("reader.beep", {}, 1004)  # two readers: `reader` is needed
    await client.error("reader.beep", {"reader": "nope"}, 1004)
    await client.error("no.such.method", {}, -32601)
    await client.error("reader.beep", {"reader": "purse", "value": "loud"}, -32602)


async def case_claims() -> None:
    a, b = await Client.open(), await Client.open()
    await a.ok("reader.claim", {"reader": "purse"})
    busy = await b.error("reader.beep", {"reader": "purse", "value": 1}, 1003)
    expect(busy["data"]["reader"] == "purse", str(busy))
    await b.error("reader.claim", {"reader": "purse"}, 1003)
    await b.ok("reader.beep", {"reader": "display", "value": 1})  # the other reader is free
    state = {r["id"]: r["state"] for r in (await b.ok("agent.info"))["readers"]}
    expect(state["purse"] == "busy", str(state))
    await a.ok("reader.beep", {"reader": "purse", "value": 1})
    # A client that leaves in the middle of its calls: they run, its claim ends.
    for _ in range(5):
        await a.send("reader.versions", {"reader": "purse"})
    a.ws.transport.abort()  # gone without a close frame
    deadline = time.monotonic() + TIMEOUT
    while True:
        answer = await b.call("reader.beep", {"reader": "purse", "value": 1})
        if "result" in answer:
            break
        expect(time.monotonic() < deadline, f"the claim outlived its connection: {answer}")
        await asyncio.sleep(0.05)
    await b.ok("reader.claim", {"reader": "purse"})
    await b.ok("reader.release", {"reader": "purse"})


def ctl(link: str, *words: str) -> None:
    subprocess.run([os.environ["VORLEX_SIM"], "ctl", "--link", link, *words], check=True)


async def case_card_events() -> None:
    client = await Client.open()
    await client.ok("card.halt", {"reader": "purse"})  # no card session: presence is polled
    await client.ok("events.subscribe", {"reader": "purse"})
    link = os.environ["SIM_LINK_EPURSE"]
    for words, method in ((("remove",), "card.absent"), (("insert",), "card.present")):
        started = time.monotonic()
        ctl(link, *words)
        event = await client.notification(method)
        print(f"{method} {event['params']} after {1000 * (time.monotonic() - started):.0f} ms")
        expect(event["params"]["reader"] == "purse" and event["params"]["slot"] == "field",
               str(event))
    expect(event["params"].get("uid") == "3A5C719E", str(event))
    await client.ok("events.unsubscribe", {"reader": "purse"})


async def case_lost_and_back() -> None:
    """Run by the stage while it kills the simulator and starts it again on the same link:
    prints "subscribed" when ready, then waits for reader.lost and reader.back."""
    client = await Client.open()
    await client.ok("events.subscribe", {"reader": "purse"})
    print("subscribed", flush=True)
    lost = await client.notification("reader.lost", 30)
    print(f"reader.lost {lost['params']}", flush=True)
    error = await client.error("reader.beep", {"reader": "purse", "value": 1}, 1002)
    print(f"a call while lost: {error}", flush=True)
    state = {r["id"]: r["state"] for r in (await client.ok("agent.info"))["readers"]}
    expect(state["purse"] == "lost" and state["display"] == "ready", str(state))
    back = await client.notification("reader.back", 30)
    print(f"reader.back {back['params']}", flush=True)
    versions = await client.ok("reader.versions", {"reader": "purse"})
    print(f"then reader.versions {versions}")


def raw_handshake(host: str, headers: dict[str, str]) -> tuple[int, str]:
    """The agent's answer to a WebSocket handshake, with its body (http.client: the refusals
    are plain HTTP)."""
    address = urlparse(URL)
    connection = http.client.HTTPConnection(address.hostname, address.port, timeout=TIMEOUT)
    connection.putrequest("GET", "/", skip_host=True)
    for name, value in {
        "Host": host,
        "Upgrade": "websocket",
        "Connection": "Upgrade",
        "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==",
        "Sec-WebSocket-Version": "13",
        **headers,
    }.items():
        connection.putheader(name, value)
    connection.endheaders()
    response = connection.getresponse()
    body = response.read().decode() if response.status != 101 else ""
    connection.close()
    return response.status, body


async def refused(expected: int, **kwargs: Any) -> None:
    try:
        client = await Client.open(**kwargs)
    except websockets.exceptions.InvalidStatusCode as error:
        expect(error.status_code == expected, f"HTTP {error.status_code}, wanted {expected}")
        return
    await client.close()
    raise Failure(f"accepted; wanted HTTP {expected}")


async def served_meanwhile(other: Client) -> None:
    await other.ok("agent.info")


async def case_handshake_refusals() -> None:
    other = await Client.open()
    host = urlparse(URL).netloc
    # A page of an origin not on the allow-list: 403 naming the remedy.
    await refused(403, origin="https://evil.example")
    status, body = raw_handshake(host, {"Origin": "https://evil.example"})
    print(f"wrong Origin: {status} {body.strip()}")
    expect(status == 403 and "vorlex-agent allow https://evil.example" in body, body)
    # DNS rebinding: a foreign name resolving to the loopback.
    status, body = raw_handshake(f"evil.example:{urlparse(URL).port}", AUTH)
    print(f"foreign Host: {status} {body.strip()}")
    expect(status == 403 and "Host" in body, body)
    # A local program without the token, or with a wrong one.
    await refused(401, extra_headers={})
    status, body = raw_handshake(host, {})
    print(f"no token: {status} {body.strip()}")
    expect(status == 401 and "Bearer" in body, body)
    await refused(401, extra_headers={"Authorization": "Bearer " + "0" * 64})
    # Accepted: an allowed origin; the token as a query parameter.
    client = await Client.open(origin=ALLOWED)
    await client.ok("agent.info")
    await client.close()
    client = await Client.open(f"{URL}?token={TOKEN}", extra_headers={})
    await client.ok("agent.info")
    await client.close()
    await served_meanwhile(other)
    await other.close()


async def case_allow_applies_to_next_connection() -> None:
    agent = os.environ["VORLEX_AGENT"]
    config = os.environ["AGENT_CONFIG"]
    await refused(403, origin="https://new.example")
    subprocess.run([agent, "allow", "https://New.Example/", "--config", config], check=True)
    listed = subprocess.run([agent, "origins", "--config", config], check=True,
                            capture_output=True, text=True).stdout.split()
    expect("https://new.example" in listed, f"origins: {listed}")
    client = await Client.open(origin="https://new.example")
    await client.ok("agent.info")
    await client.close()
    subprocess.run([agent, "deny", "https://new.example", "--config", config], check=True)
    await refused(403, origin="https://new.example")
    # An origin of the file at the start is denied as well, without a restart.
    subprocess.run([agent, "deny", ALLOWED, "--config", config], check=True)
    await refused(403, origin=ALLOWED)
    subprocess.run([agent, "allow", ALLOWED, "--config", config], check=True)
    await (await Client.open(origin=ALLOWED)).ok("agent.info")
    bad = subprocess.run([agent, "allow", "*", "--config", config], capture_output=True, text=True)
    expect(bad.returncode == 2, f"allow '*': exit {bad.returncode}")


async def case_oversize_message() -> None:
    other = await Client.open()
    client = await Client.open()
    await client.ws.send(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "agent.info",
                                     "params": {"pad": "x" * 70000}}))
    answer = await client.answer()
    print(f"70 kB: {answer}")
    expect(answer["error"]["code"] == 1008 and answer["error"]["data"]["limit"] == 65536, str(answer))
    await client.ok("agent.info")  # the connection stays
    try:
        # The agent may close while the message is still on its way.
        await client.ws.send("x" * (2 * 1024 * 1024))
        await client.answer()
        raise Failure("a 2 MiB message was read")
    except websockets.exceptions.ConnectionClosed as closed:
        print(f"2 MiB: closed with {closed.code}")
        expect(closed.code == 1009, f"close code {closed.code}")
    await served_meanwhile(other)


async def case_malformed_json() -> None:
    client = await Client.open()
    for text, code in (
        ('{"jsonrpc":"2.0","id":1,', -32700),
        ("[" * 1000 + "]" * 1000, -32700),
        ('[{"jsonrpc":"2.0","id":1,"method":"agent.info"}]', -32600),
        ('{"jsonrpc":"2.0","id":1,"method":"agent.info","params":[1]}', -32602),
        ('{"id":1,"method":"agent.info"}', -32600),
    ):
        await client.ws.send(text)
        answer = await client.answer()
        print(f"{text[:40]!r}: {answer['error']}")
        expect(answer["error"]["code"] == code, f"{text[:40]}: {answer}")
    await client.ws.send(b"\x00\x01")  # a binary frame
    answer = await client.answer()
    expect(answer["error"]["code"] == -32600, str(answer))
    await client.ok("agent.info")


async def case_flood() -> None:
    other = await Client.open()
    flood = await Client.open()
    count = 400
    for _ in range(count):
        await flood.send("agent.info")
    limited = served = 0
    for _ in range(count):
        answer = await flood.answer()
        if "result" in answer:
            served += 1
        elif answer["error"]["code"] == 1007:
            limited += 1
            limit = answer["error"]["data"]["limit"]
    print(f"{count} calls at once: {served} served, {limited} refused with 1007 (limit {limit}/s)")
    expect(limited > 0 and served > 0, "no call was rate limited")
    await served_meanwhile(other)
    await asyncio.sleep(1.1)
    await flood.ok("agent.info")  # the bucket refills


async def case_connection_limit() -> None:
    limit = json.load(open(os.environ["AGENT_CONFIG"]))["limits"]["max_connections"]
    # Up to the limit (connections of earlier cases may still be closing), then one more: 503.
    clients: list[Client] = []
    while True:
        try:
            clients.append(await Client.open())
        except websockets.exceptions.InvalidStatusCode as error:
            expect(error.status_code == 503, f"HTTP {error.status_code}, wanted 503")
            break
        expect(len(clients) <= limit, f"{len(clients)} connections accepted, the limit is {limit}")
    status, body = raw_handshake(urlparse(URL).netloc, AUTH)
    print(f"{len(clients)} open, the next: {status} {body.strip()}")
    expect(status == 503, body)
    await clients[0].ok("agent.info")  # the open ones are served
    await clients.pop().close()
    deadline = time.monotonic() + TIMEOUT
    while True:  # a closed one makes room
        try:
            extra = await Client.open()
            break
        except websockets.exceptions.InvalidStatusCode:
            expect(time.monotonic() < deadline, "no room after a connection closed")
            await asyncio.sleep(0.05)
    await extra.ok("agent.info")


async def case_run_agent_program() -> None:
    """Run as the program of `vorlex-sim run --agent --allow https://pos.example`."""
    global URL, TOKEN, AUTH
    URL, TOKEN = os.environ["VORLEX_AGENT_URL"], os.environ["VORLEX_AGENT_TOKEN"]
    AUTH = {"Authorization": f"Bearer {TOKEN}"}
    client = await Client.open()
    versions = await client.ok("reader.versions")
    print(f"{URL}: {versions}")
    balance = await client.ok("purse.balance", {"module": "cpu"})
    expect(balance["balance"] == 10000, str(balance))
    page = await Client.open(origin=ALLOWED)
    await page.ok("agent.info")


def main() -> int:
    name = sys.argv[1] if len(sys.argv) > 1 else ""
    case = globals().get(f"case_{name}")
    if case is None:
        cases = [n[5:] for n in globals() if n.startswith("case_")]
        print(f"usage: agent_stage.py CASE ({', '.join(cases)})", file=sys.stderr)
        return 2
    async def run_and_close() -> None:
        try:
            await case()
        finally:
            for client in OPEN:
                if client.ws.open:
                    await client.ws.close()

    try:
        asyncio.run(run_and_close())
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
