// The client's added latency per call, side by side in one run against one agent and simulator:
// the same JSON-RPC call through this client, through bare ws (no client), and through Debian's
// python3-websockets (latency.py). Prints figures; asserts nothing.
// Usage: node bench/latency.js [COUNT]   (VORLEX_BIN as for the tests)
import { execFile } from "node:child_process";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { WebSocket } from "ws";

import { connect } from "../vorlex.js";
import { startReader } from "../test/harness.js";

const count = Number(process.argv[2] ?? 400);
const here = path.dirname(fileURLToPath(import.meta.url));

function stats(us) {
  const sorted = [...us].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  return { median: at(0.5), p90: at(0.9), mean: us.reduce((a, b) => a + b, 0) / us.length };
}

async function bare(url, token, method, n) {
  const socket = new WebSocket(url, { headers: { Authorization: `Bearer ${token}` }, perMessageDeflate: false });
  await new Promise((resolve, reject) => {
    socket.once("open", resolve);
    socket.once("error", reject);
  });
  const us = [];
  for (let id = 0; id < n; id++) {
    const started = process.hrtime.bigint();
    socket.send(JSON.stringify({ jsonrpc: "2.0", id, method, params: {} }));
    const answer = JSON.parse(await new Promise((resolve) => socket.once("message", (d) => resolve(d.toString()))));
    us.push(Number(process.hrtime.bigint() - started) / 1000);
    if (answer.error) throw new Error(`${method}: ${JSON.stringify(answer.error)}`);
  }
  socket.close();
  return us;
}

async function client(reader, method, n) {
  const us = [];
  for (let i = 0; i < n; i++) {
    const started = process.hrtime.bigint();
    await reader.call(method, {});
    us.push(Number(process.hrtime.bigint() - started) / 1000);
  }
  return us;
}

function python(url, token, method, n) {
  return new Promise((resolve, reject) => {
    execFile("/usr/bin/python3", [path.join(here, "latency.py"), url, token, method, String(n)], (error, out, err) => {
      if (error) reject(new Error(`${error.message}\n${err}`));
      else resolve(JSON.parse(out).us);
    });
  });
}

// The agent's limit of calls a second on a connection is raised: calls here follow each other
// as fast as they are answered.
const sim = await startReader({ agentArgs: ["--calls-per-second", "1000000"] });
try {
  const reader = await connect({ url: sim.url, token: sim.token });
  const rows = [];
  for (const [method, n] of [["agent.info", count], [process.env.VORLEX_BENCH_READER_METHOD ?? "purse.balance", Math.max(20, count / 10)]]) {
    // Warm up each path, then measure them in turn, twice, and keep all samples.
    await client(reader, method, 5);
    await bare(sim.url, sim.token, method, 5);
    const samples = { "vorlex client": [], "bare ws (Node)": [], "python3-websockets": [] };
    for (let round = 0; round < 2; round++) {
      samples["vorlex client"].push(...(await client(reader, method, n / 2)));
      samples["bare ws (Node)"].push(...(await bare(sim.url, sim.token, method, n / 2)));
      samples["python3-websockets"].push(...(await python(sim.url, sim.token, method, n / 2)));
    }
    for (const [path_, us] of Object.entries(samples)) rows.push({ method, path: path_, calls: us.length, ...stats(us) });
  }
  reader.close();
  console.log("method         path                 calls  median us  p90 us  mean us");
  for (const r of rows) {
    console.log(`${r.method.padEnd(14)} ${r.path.padEnd(20)} ${String(r.calls).padStart(5)} ` +
      `${r.median.toFixed(0).padStart(10)} ${r.p90.toFixed(0).padStart(7)} ${r.mean.toFixed(0).padStart(8)}`);
  }
  for (const method of new Set(rows.map((r) => r.method))) {
    const of = (p) => rows.find((r) => r.method === method && r.path === p).median;
    const added = of("vorlex client") - of("bare ws (Node)");
    const python = of("python3-websockets") - of("vorlex client");
    console.log(`${method}: client median - bare ws median = ${added.toFixed(0)} us a call; ` +
      `python3-websockets takes ${Math.abs(python).toFixed(0)} us ${python >= 0 ? "more" : "less"} than the client`);
  }
} finally {
  await sim.stop();
}
