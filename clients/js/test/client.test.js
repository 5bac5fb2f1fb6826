// The client against a real vorlex-agent and the simulator (test/harness.js).
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";

import { ErrorCode, OutcomeUnknown, VorlexError, connect, fromHex } from "../vorlex.js";
import { startReader } from "./harness.js";

const ORIGIN = "http://127.0.0.1:9";

function nextEvent(reader, name) {
  return new Promise((resolve) => {
    const stop = reader.on(name, (value) => {
      stop();
      resolve(value);
    });
  });
}

// The agent learns the slots' presence at its first polls after a subscription: a change made
// before that is the state it starts from, not an event.
const settle = () => new Promise((r) => setTimeout(r, 700));

async function rejects(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  assert.fail("expected a rejection");
}

describe("one reader", { timeout: 60000 }, () => {
  let sim;
  let reader;
  before(async () => {
    sim = await startReader({ allow: [ORIGIN] });
    reader = await connect({ url: sim.url, token: sim.token });
  });
  after(async () => {
    reader?.close();
    await sim?.stop();
  });

  test("agentInfo names the one e-purse reader", async () => {
    const info = await reader.agentInfo();
    assert.equal(info.readers.length, 1);
    assert.equal(info.readers[0].edition, "epurse");
    assert.equal(info.readers[0].state, "ready");
  });

  test("card, Mifare and SAM calls give hex strings", async () => {
    const card = await reader.card.request();
    assert.deepEqual(card, { atqa: card.atqa, uid: "3A5C719E" });
    await reader.mifare.authenticate(1, { keyType: "A", key: "FF FF FF FF FF FF" });
    const block = await reader.mifare.read(1, 0);
    assert.match(block.data, /^[0-9A-F]{32}$/);
    const atr = await reader.sam.powerOn(1);
    assert.equal(atr.atr, "3B680000" + Buffer.from("VORLEXS1").toString("hex").toUpperCase());
    const challenge = await reader.apdu("sam1", Uint8Array.of(0x00, 0x84, 0x00, 0x00, 0x08));
    assert.equal(challenge.sw_hex, "9000");
    assert.equal(challenge.sw, 0x9000);
    assert.match(challenge.data, /^[0-9A-F]{16}$/);
    // A card session and a powered SAM are never probed for presence: end them.
    await reader.card.halt();
    await reader.sam.powerOff(1);
  });

  test("bytes: 'array' gives Uint8Array, and a write takes one", async () => {
    const arrays = await connect({ url: sim.url, token: sim.token, bytes: "array" });
    try {
      const data = fromHex("00112233445566778899AABBCCDDEEFF");
      await arrays.card.request({ wakeAll: true }); // the card was halted
      await arrays.mifare.authenticate(2, { key: new Uint8Array(6).fill(0xff) });
      await arrays.mifare.write(2, 1, data);
      const read = await arrays.mifare.read(2, 1);
      assert.ok(read.data instanceof Uint8Array);
      assert.deepEqual(read.data, data);
      await arrays.card.halt();
    } finally {
      arrays.close();
    }
  });

  test("bad arguments are refused before anything is sent", async () => {
    const local = await rejects(reader.mifare.write(1, 0, "00 11"));
    assert.equal(local.code, ErrorCode.INVALID_PARAMS);
    const remote = await rejects(reader.mifare.read(99, 0));
    assert.ok(remote instanceof VorlexError);
    assert.equal(remote.code, ErrorCode.INVALID_PARAMS);
  });

  test("a purchase charges once; the same key again is a replay", async () => {
    const { balance } = await reader.purse.balance();
    const key = `client-test-${Date.now()}`;
    const first = await reader.purse.purchase({ amount: 100, key });
    assert.equal(first.outcome, "done");
    assert.equal(first.answer_lost, false);
    assert.equal(first.balance_after, balance - 100);
    const again = await reader.purse.purchase({ amount: 100, key });
    assert.equal(again.replayed, true);
    assert.equal((await reader.purse.balance()).balance, balance - 100);
    const { purchases } = await reader.journal.list({ limit: 5 });
    assert.equal(purchases.filter((p) => p.key === key).length, 1);
  });

  test("events: a card taken away and put back", async () => {
    const absent = nextEvent(reader, "card.absent");
    await settle();
    await sim.ctl("remove");
    assert.equal((await absent).slot, "field");
    const present = nextEvent(reader, "card.present");
    await sim.ctl("insert");
    assert.equal((await present).slot, "field");
  });

  test("the reader's refusal carries status, statusHex and hint; not charged is not unknown",
    async () => {
      await sim.ctl("remove");
      try {
        const error = await rejects(reader.card.request());
        assert.equal(error.code, ErrorCode.READER_REFUSED);
        assert.equal(error.statusHex, "0201");
        assert.equal(error.status, 0x0201);
        assert.ok(error.hint);
        const purchase = await rejects(reader.purse.purchase({ amount: 100 }));
        assert.ok(purchase instanceof VorlexError);
        assert.ok(!(purchase instanceof OutcomeUnknown), purchase.message);
      } finally {
        await sim.ctl("insert");
      }
    });

  test("a program without the token, and a page of another origin, are refused", async () => {
    const noToken = await rejects(connect({ url: sim.url, reconnect: false }));
    assert.equal(noToken.code, ErrorCode.HANDSHAKE_REFUSED);
    assert.equal(noToken.status, 401);
    const page = await rejects(connect({ url: sim.url, origin: "http://elsewhere.example" }));
    assert.equal(page.code, ErrorCode.HANDSHAKE_REFUSED);
    assert.equal(page.status, 403);
    assert.match(page.message, /vorlex-agent allow/);
    const allowed = await connect({ url: sim.url, origin: ORIGIN });
    allowed.close();
  });

  test("the agent restarted: calls fail at once meanwhile, then the connection and the events come back",
    async () => {
      const subscribed = await connect({ url: sim.url, token: sim.token });
      try {
        subscribed.on("card.absent", () => {});
        await settle();
        const down = nextEvent(subscribed, "disconnected");
        await sim.stopAgent();
        await down;
        const error = await rejects(subscribed.purse.balance());
        assert.equal(error.code, ErrorCode.NOT_CONNECTED);
        assert.match(error.message, /not connected/);
        const back = nextEvent(subscribed, "connected");
        await sim.startAgent();
        assert.equal((await back).reconnected, true);
        await settle();
        const absent = nextEvent(subscribed, "card.absent");
        await sim.ctl("remove");
        await absent;
        await sim.ctl("insert");
      } finally {
        subscribed.close();
      }
    });
});

describe("lost answers", { timeout: 60000 }, () => {
  test("a purchase cut off by the agent's end is OutcomeUnknown, not a failure to retry", async () => {
    // Slow answers keep the purchase running while the agent is killed.
    const sim = await startReader({ simArgs: ["--slow-bytes", "5000"] });
    const reader = await connect({ url: sim.url, token: sim.token, reconnect: false })
      .catch(async (error) => {
        await sim.stop();
        throw error;
      });
    try {
      const purchase = rejects(reader.purse.purchase({ amount: 100, key: "cut-off-1" }));
      await new Promise((r) => setTimeout(r, 150));
      await sim.killAgent();
      const error = await purchase;
      assert.ok(error instanceof OutcomeUnknown, error.message);
      assert.equal(error.key, "cut-off-1");
      assert.equal(error.cause.code, ErrorCode.CONNECTION_LOST);
    } finally {
      reader.close();
      await sim.stop();
    }
  });

  test("a purchase whose answer is lost is charged once, answer_lost", async () => {
    const sim = await startReader({ simArgs: ["--lose-answer", "PURCHASE"] });
    const reader = await connect({ url: sim.url, token: sim.token }).catch(async (error) => {
      await sim.stop();
      throw error;
    });
    try {
      const result = await reader.purse.purchase({ amount: 250 });
      assert.equal(result.outcome, "done");
      assert.equal(result.answer_lost, true);
      assert.equal(result.balance_before - result.balance_after, 250);
      assert.equal((await reader.purse.balance()).balance, result.balance_before - 250);
    } finally {
      reader.close();
      await sim.stop();
    }
  });

  test("a purchase nobody can settle is OutcomeUnknown, and its key never charges again", async () => {
    const lost = ["--lose-answer", "PURCHASE"];
    for (const n of [2, 3, 4, 5, 6, 7]) lost.push("--lose-answer", `GET_BALANCE:${n}`);
    const sim = await startReader({ simArgs: lost });
    const reader = await connect({ url: sim.url, token: sim.token }).catch(async (error) => {
      await sim.stop();
      throw error;
    });
    try {
      const error = await rejects(reader.purse.purchase({ amount: 300, key: "unknown-1" }));
      assert.ok(error instanceof OutcomeUnknown, error.message);
      assert.equal(error.code, ErrorCode.OUTCOME_UNKNOWN);
      assert.equal(error.key, "unknown-1");
      const again = await rejects(reader.purse.purchase({ amount: 300, key: "unknown-1" }));
      assert.ok(again instanceof OutcomeUnknown);
      assert.equal(again.result?.replayed, true);
    } finally {
      reader.close();
      await sim.stop();
    }
  });
});
