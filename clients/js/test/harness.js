// The tests' reader: a simulator (vorlex-sim --link) behind a private vorlex-agent on a free
// port, with a token file and an allow-list; both ended by PID when the test ends.
// VORLEX_BIN: the folder of vorlex-sim and vorlex-agent (default build/release/bin).
import { spawn } from "node:child_process";
import { randomBytes } from "node:crypto";
import { mkdtempSync, rmSync, writeFileSync } from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

export const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../../..");
const bin = process.env.VORLEX_BIN ?? path.join(repo, "build/release/bin");
export const simProgram = path.join(bin, "vorlex-sim");
export const agentProgram = path.join(bin, "vorlex-agent");

// Every simulator and agent started here, ended when this process ends in any ordinary way
// (a test runner's time-out sends SIGTERM), so that none outlives the tests.
const children = new Set();
const folders = new Set();
function track(child) {
  children.add(child);
  child.once("exit", () => children.delete(child));
  return child;
}
process.once("exit", () => {
  for (const child of children) child.kill("SIGKILL");
  for (const folder of folders) rmSync(folder, { recursive: true, force: true });
});
for (const signal of ["SIGTERM", "SIGINT", "SIGHUP"]) {
  process.once(signal, () => process.exit(128 + ({ SIGTERM: 15, SIGINT: 2, SIGHUP: 1 })[signal]));
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function run(program, args) {
  return new Promise((resolve) => {
    const child = spawn(program, args, { stdio: ["ignore", "pipe", "pipe"] });
    let out = "";
    child.stdout.on("data", (d) => (out += d));
    child.stderr.on("data", (d) => (out += d));
    child.on("close", (status) => resolve({ status, out }));
  });
}

// Starts a process and waits until `ready(output)` says so.
function start(program, args, ready, what) {
  return new Promise((resolve, reject) => {
    const child = track(spawn(program, args, { stdio: ["ignore", "pipe", "pipe"] }));
    let out = "";
    let done = false;
    const timer = setTimeout(() => finish(new Error(`${what} did not start in 10 s:\n${out}`)), 10000);
    const finish = (error) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      if (error) {
        child.kill("SIGKILL");
        reject(error);
      } else {
        resolve({ child, output: () => out });
      }
    };
    const look = (d) => {
      out += d;
      if (ready(out)) finish();
    };
    child.stdout.on("data", look);
    child.stderr.on("data", look);
    child.on("error", (error) => finish(error));
    child.on("exit", (status) => finish(new Error(`${what} ended (${status}) before it was ready:\n${out}`)));
  });
}

function stop(process_) {
  if (!process_ || process_.child.exitCode !== null || process_.child.signalCode !== null) {
    return Promise.resolve();
  }
  return new Promise((resolve) => {
    process_.child.once("exit", () => resolve());
    process_.child.kill("SIGTERM");
    setTimeout(() => process_.child.kill("SIGKILL"), 3000).unref();
  });
}

async function untilListening(port) {
  for (let i = 0; i < 200; i++) {
    const ok = await new Promise((resolve) => {
      const socket = net.connect(port, "127.0.0.1");
      socket.once("connect", () => {
        socket.destroy();
        resolve(true);
      });
      socket.once("error", () => resolve(false));
    });
    if (ok) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`the agent does not listen on ${port}`);
}

/** A simulator and an agent. options: simArgs (more simulator options), allow (origins),
 * agentArgs (more agent options). */
export async function startReader({ simArgs = [], allow = [], agentArgs: moreAgentArgs = [] } = {}) {
  const dir = mkdtempSync(path.join(os.tmpdir(), "vorlex-web-"));
  folders.add(dir);
  const link = path.join(dir, "reader");
  const token = randomBytes(16).toString("hex");
  const tokenFile = path.join(dir, "token");
  writeFileSync(tokenFile, `${token}\n`, { mode: 0o600 });
  const port = await freePort();
  const sim = await start(simProgram, ["--link", link, "--log", path.join(dir, "sim.log"), ...simArgs],
    (out) => out.includes("/dev/pts/"), "vorlex-sim");
  const agentArgs = ["--port", link, "--edition", "epurse", "--listen", String(port),
    "--token-file", tokenFile, "--journal", path.join(dir, "journal.sqlite")];
  for (const origin of allow) agentArgs.push("--allow", origin);
  agentArgs.push(...moreAgentArgs);

  const reader = {
    url: `ws://127.0.0.1:${port}/`,
    token,
    link,
    dir,
    agent: null,
    startAgent: null, // below
    async stopAgent() {
      await stop(reader.agent);
      reader.agent = null;
    },
    /** Ends the agent at once (SIGKILL): nothing it was doing gets finished. */
    async killAgent() {
      const agent = reader.agent;
      reader.agent = null;
      if (!agent || agent.child.exitCode !== null) return;
      await new Promise((resolve) => {
        agent.child.once("exit", () => resolve());
        agent.child.kill("SIGKILL");
      });
    },
    /** vorlex-sim ctl: remove, insert, remove sam1, ... */
    async ctl(...args) {
      const { status, out } = await run(simProgram, ["ctl", "--link", link, ...args]);
      if (status !== 0) throw new Error(`vorlex-sim ctl ${args.join(" ")}: exit ${status}: ${out}`);
      return out;
    },
    async stop() {
      await stop(reader.agent);
      await stop(sim);
      rmSync(dir, { recursive: true, force: true });
    },
  };
  // The agent is ready once it listens.
  reader.startAgent = async () => {
    const child = track(spawn(agentProgram, agentArgs, { stdio: ["ignore", "pipe", "pipe"] }));
    let out = "";
    child.stdout.on("data", (d) => (out += d));
    child.stderr.on("data", (d) => (out += d));
    reader.agent = { child, output: () => out };
    const ended = new Promise((_, reject) =>
      child.once("exit", (status) => reject(new Error(`vorlex-agent ended (${status}):\n${out}`))));
    ended.catch(() => {});
    await Promise.race([untilListening(port), ended]);
  };
  try {
    await reader.startAgent();
  } catch (error) {
    await reader.stop();
    throw error;
  }
  return reader;
}
