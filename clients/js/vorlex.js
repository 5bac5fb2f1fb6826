// vorlex: the card reader from JavaScript, through the local vorlex-agent (JSON-RPC 2.0 over
// WebSocket). One ES module without dependencies in browsers; Node.js uses the `ws` package (or
// a global WebSocket where there is one). docs/web.md describes every method.

export const DEFAULT_URL = "ws://127.0.0.1:47511/";

// error.code: the agent's JSON-RPC codes, and the client's own (negative, above -32000).
export const ErrorCode = Object.freeze({
  PARSE_ERROR: -32700,
  INVALID_REQUEST: -32600,
  METHOD_NOT_FOUND: -32601,
  INVALID_PARAMS: -32602,
  READER_REFUSED: 1000,
  NO_ANSWER: 1001,
  READER_LOST: 1002,
  READER_BUSY: 1003,
  UNKNOWN_READER: 1004,
  CARD_CHANGED: 1005,
  JOURNAL_UNAVAILABLE: 1006,
  RATE_LIMITED: 1007,
  MESSAGE_TOO_LARGE: 1008,
  // The client's own:
  NOT_CONNECTED: -1, // no connection to the agent now (down, restarting, closed)
  HANDSHAKE_REFUSED: -2, // the agent closed the connection before it opened (origin, token)
  TIMEOUT: -3, // no answer from the agent within the call's timeout
  CONNECTION_LOST: -4, // the connection ended while the call was running
  NOT_CHARGED: -5, // purse.purchase: outcome not_done (the card was not debited)
  OUTCOME_UNKNOWN: -6, // purse.purchase: the card may have been debited; check first
});

const HINTS = {
  [-1]: "the agent is not reachable now; the client reconnects by itself (listen for \"connected\")",
  [-2]: "the agent refused this page or program: a page's origin must be allowed by the " +
    "administrator (vorlex-agent allow ORIGIN); a program must send the agent's token",
  [-3]: "the agent did not answer in time",
  [-4]: "the connection to the agent ended during the call; the client reconnects by itself",
  [-6]: "check the card's balance (or call purse.purchase again with the same key, which never " +
    "charges twice) before charging again",
  1002: "the reader's port is gone; the agent reopens it (event reader.back)",
  1003: "another program has claimed the reader",
  1004: "name a reader from agentInfo().readers",
  1005: "the card was taken away or changed: put it back and start again",
  1006: "the purchase journal cannot be written: nothing was charged; tell the administrator",
  1007: "too many calls per second: slow down",
};

/** Every error of this package: code (ErrorCode), status/statusHex (the reader's status word,
 * when the reader answered one), message, hint (what to do), data (the agent's error data),
 * method. */
export class VorlexError extends Error {
  constructor(message, { code, status, statusHex, hint, data, method, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = "VorlexError";
    this.code = code;
    this.status = status;
    this.statusHex = statusHex;
    this.hint = hint ?? HINTS[code];
    this.data = data;
    this.method = method;
  }
}

/** A purchase that may have debited the card: its outcome is unknown. Never retry with a new
 * key: check the balance, or call purse.purchase again with the same key (error.key), which
 * returns the recorded outcome and never charges twice. */
export class OutcomeUnknown extends VorlexError {
  constructor(message, options = {}) {
    super(message, { ...options, code: ErrorCode.OUTCOME_UNKNOWN });
    this.name = "OutcomeUnknown";
    this.outcome = "unknown";
    this.result = options.result;
    this.key = options.key;
  }
}

// ---- bytes ---------------------------------------------------------------------------------

/** Upper-case hex of a Uint8Array (or an array of numbers). */
export function toHex(bytes) {
  let text = "";
  for (const byte of bytes) text += (byte & 0xff).toString(16).padStart(2, "0");
  return text.toUpperCase();
}

/** The bytes of a hex string (spaces allowed, any case). */
export function fromHex(text) {
  const clean = String(text).replace(/\s+/g, "");
  if (clean.length % 2 !== 0 || /[^0-9a-fA-F]/.test(clean)) {
    throw invalid(`not hex bytes: ${JSON.stringify(String(text).slice(0, 40))}`);
  }
  const bytes = new Uint8Array(clean.length / 2);
  for (let i = 0; i < bytes.length; i++) bytes[i] = parseInt(clean.slice(2 * i, 2 * i + 2), 16);
  return bytes;
}

function invalid(reason) {
  return new VorlexError(reason, { code: ErrorCode.INVALID_PARAMS, data: { reason } });
}

// A byte argument for the agent: a Uint8Array (or ArrayBuffer, number array) or a hex string.
function hexArg(name, value, length) {
  let bytes;
  if (typeof value === "string") bytes = fromHex(value);
  else if (value instanceof Uint8Array) bytes = value;
  else if (value instanceof ArrayBuffer) bytes = new Uint8Array(value);
  else if (Array.isArray(value) && value.every((b) => Number.isInteger(b) && b >= 0 && b <= 255)) {
    bytes = Uint8Array.from(value);
  } else {
    throw invalid(`${name} must be a Uint8Array or a hex string`);
  }
  if (length !== undefined && bytes.length !== length) {
    throw invalid(`${name} must be ${length} bytes, not ${bytes.length}`);
  }
  return toHex(bytes);
}

const BYTE_FIELDS = ["atqa", "uid", "ats", "data", "reply", "atr", "id"];

// ---- the WebSocket -------------------------------------------------------------------------

const isBrowser = typeof window !== "undefined" && typeof window.document !== "undefined";

async function webSocketClass(given) {
  if (given) return { Socket: given, library: "given" };
  if (!isBrowser) {
    // Node: ws lets a program send the token as a header and read a refusal's status and body.
    try {
      const module = await import("ws");
      return { Socket: module.WebSocket ?? module.default, library: "ws" };
    } catch (error) {
      if (typeof globalThis.WebSocket !== "function") {
        throw new VorlexError(
          "no WebSocket: install the ws package (npm install ws) or use a Node.js with a global WebSocket",
          { code: ErrorCode.NOT_CONNECTED, cause: error },
        );
      }
    }
  }
  return { Socket: globalThis.WebSocket, library: "global" };
}

// ---- the connection ------------------------------------------------------------------------

/** Connects to the agent; resolves once the connection is open. options: url (default
 * DEFAULT_URL), token, reader (a reader id; may be left out with one reader), bytes ("hex", the
 * default, or "array": Uint8Array results), timeout (ms per call, default 30000), reconnect
 * (default true), WebSocket (a class to use), origin (Node with ws: an Origin header to send). */
export async function connect(options = {}) {
  const reader = new Reader(options);
  await reader._start();
  return reader;
}

class Emitter {
  constructor() {
    this._handlers = new Map();
  }
  _emit(name, value) {
    for (const handler of [...(this._handlers.get(name) ?? [])]) {
      try {
        handler(value);
      } catch (error) {
        setTimeout(() => {
          throw error;
        });
      }
    }
  }
}

export class Reader extends Emitter {
  constructor(options = {}) {
    super();
    this.url = options.url ?? DEFAULT_URL;
    this.readerId = options.reader;
    this._token = options.token;
    this._origin = options.origin;
    this._bytes = options.bytes === "array" ? "array" : "hex";
    this._timeout = options.timeout ?? 30000;
    this._reconnect = options.reconnect !== false;
    this._givenSocket = options.WebSocket;
    this._socket = null;
    this._state = "connecting";
    this._nextId = 1;
    this._pending = new Map();
    this._subscribed = false;
    this._claimed = false;
    this._retryMs = 0;
    this._retryTimer = null;
    this._closedByUser = false;

    this.card = {
      request: ({ wakeAll = false } = {}) =>
        this._call("card.request", { wake_all: !!wakeAll }),
      ats: () => this._call("card.ats", {}),
      halt: () => this._call("card.halt", {}),
    };
    this.mifare = {
      authenticate: async (sector, { keyType = "A", key = "FFFFFFFFFFFF" } = {}) =>
        this._call("mifare.authenticate", { sector, key_type: keyType, key: hexArg("key", key, 6) }),
      read: (sector, block) => this._call("mifare.read", { sector, block }),
      write: async (sector, block, data, { allowTrailer = false, allowBlock0 = false } = {}) =>
        this._call("mifare.write", {
          sector,
          block,
          data: hexArg("data", data, 16),
          allow_trailer: !!allowTrailer,
          allow_block0: !!allowBlock0,
        }),
    };
    this.sam = {
      powerOn: (slot) => this._call("sam.power_on", { slot }),
      powerOff: (slot) => this._call("sam.power_off", { slot }),
    };
    this.rfsim = {
      request: ({ wakeAll = false } = {}) =>
        this._call("rfsim.request", { wake_all: !!wakeAll }),
      halt: () => this._call("rfsim.halt", {}),
    };
    this.purse = {
      init: ({ module = "cpu" } = {}) => this._call("purse.init", { module }),
      balance: async ({ module = "cpu" } = {}) => this._call("purse.balance", { module }),
      cardInfo: ({ module = "cpu" } = {}) => this._call("purse.card_info", { module }),
      purchase: (options) => this._purchase(options),
    };
    this.journal = {
      list: ({ limit = 20 } = {}) => this._call("journal.list", { limit }),
    };
  }

  /** "connecting", "open", "reconnecting" or "closed". */
  get state() {
    return this._state;
  }

  get connected() {
    return this._state === "open";
  }

  // ---- methods -----------------------------------------------------------------------------

  agentInfo() {
    return this._call("agent.info", {}, { noReader: true });
  }
  claim() {
    return this._call("reader.claim", {}).then((result) => {
      this._claimed = true;
      return result;
    });
  }
  release() {
    this._claimed = false;
    return this._call("reader.release", {});
  }
  beep(value = 10) {
    return this._call("reader.beep", { value });
  }
  versions() {
    return this._call("reader.versions", {});
  }
  display(text, value = 0) {
    return this._call("reader.display", { text, value });
  }
  async apdu(unit, command) {
    return this._call("apdu", { unit, command: hexArg("command", command) }).then((result) => {
      const sw = result.sw_hex;
      result.sw = typeof sw === "string" && sw.length === 4 ? parseInt(sw, 16) : -1;
      return result;
    });
  }

  /** Any method of the agent, as it is (params as the agent takes them). */
  call(method, params = {}) {
    return this._call(method, params);
  }

  /** Listens for an event: "card.present", "card.absent", "reader.lost", "reader.back" (from
   * the agent: the first such listener subscribes, renewed after every reconnection), or the
   * client's own "connected", "disconnected", "error". Returns a function that stops it. */
  on(name, handler) {
    if (!this._handlers.has(name)) this._handlers.set(name, new Set());
    this._handlers.get(name).add(handler);
    if (AGENT_EVENTS.includes(name) && !this._subscribed) {
      this._subscribed = true;
      if (this.connected) {
        this._call("events.subscribe", {}).catch((error) => this._emit("error", error));
      }
    }
    return () => this.off(name, handler);
  }

  off(name, handler) {
    this._handlers.get(name)?.delete(handler);
  }

  /** Ends the connection for good (no reconnection); pending calls fail. */
  close() {
    this._closedByUser = true;
    clearTimeout(this._retryTimer);
    this._setState("closed");
    const socket = this._socket;
    this._socket = null;
    if (socket) socket.close(1000);
    this._failPending(ErrorCode.NOT_CONNECTED, "the connection was closed by the program");
  }

  // ---- purchase ----------------------------------------------------------------------------

  async _purchase({ amount, key, module = "cpu" } = {}) {
    if (!Number.isInteger(amount) || amount <= 0) {
      throw invalid(`amount must be a positive whole number of cents, not ${amount}`);
    }
    // The key is made here, not by the agent: if the answer is lost on the way back, the same
    // key asks the agent what happened without charging again.
    const saleKey = key ?? newKey();
    let result;
    try {
      result = await this._call("purse.purchase", { module, amount, key: saleKey });
    } catch (error) {
      if (error.code === ErrorCode.CONNECTION_LOST || error.code === ErrorCode.TIMEOUT) {
        throw new OutcomeUnknown(
          `the purchase of ${amount} was sent but its answer did not come back (${error.message}): ` +
            "the card may have been debited",
          { key: saleKey, method: "purse.purchase", cause: error },
        );
      }
      throw error;
    }
    if (result.outcome === "done") return result;
    if (result.outcome === "not_done") {
      const status = result.status;
      throw new VorlexError(
        `not charged: ${result.message ?? result.reason ?? "the card was not debited"}`,
        {
          code: ErrorCode.NOT_CHARGED,
          status,
          statusHex: result.status_hex,
          hint: result.hint ?? "nothing was charged: the sale may be tried again (with a new key)",
          data: result,
          method: "purse.purchase",
        },
      );
    }
    throw new OutcomeUnknown(
      `the outcome of the purchase of ${amount} is unknown: the card may have been debited`,
      { key: saleKey, result, data: result, method: "purse.purchase" },
    );
  }

  // ---- plumbing ----------------------------------------------------------------------------

  _setState(state) {
    this._state = state;
  }

  async _start() {
    const { Socket, library } = await webSocketClass(this._givenSocket);
    this._Socket = Socket;
    this._library = library;
    await this._open(true);
  }

  _socketUrl() {
    if (!this._token || this._library === "ws") return this.url;
    const url = new URL(this.url);
    url.searchParams.set("token", this._token);
    return url.toString();
  }

  // Opens one connection; resolves when it is open. first: rejects (instead of retrying) when
  // it cannot open.
  _open(first) {
    return new Promise((resolve, reject) => {
      let socket;
      let refusal = null; // ws: the HTTP answer to a refused handshake
      let failure = null; // ws: why the connection failed (ECONNREFUSED: nothing listens)
      let opened = false;
      try {
        if (this._library === "ws") {
          const headers = {};
          if (this._token) headers.Authorization = `Bearer ${this._token}`;
          const options = { headers, perMessageDeflate: false };
          if (this._origin) options.origin = this._origin;
          socket = new this._Socket(this.url, options);
          socket.on("unexpected-response", (request, response) => {
            let body = "";
            response.setEncoding("utf8");
            response.on("data", (chunk) => {
              if (body.length < 4096) body += chunk;
            });
            response.on("end", () => {
              refusal = { status: response.statusCode, body: body.trim() };
              request.destroy();
              socket.emit("close", 1006, Buffer.alloc(0));
            });
          });
          socket.on("error", (error) => {
            failure = error; // a close follows
          });
        } else {
          socket = new this._Socket(this._socketUrl());
        }
      } catch (error) {
        reject(new VorlexError(`cannot connect to ${this.url}: ${error.message}`, {
          code: ErrorCode.NOT_CONNECTED,
          cause: error,
        }));
        return;
      }
      this._socket = socket;
      const onOpen = () => {
        opened = true;
        const again = this._retryMs !== 0;
        this._retryMs = 0;
        this._setState("open");
        resolve();
        this._renew().finally(() => {
          if (again) this._emit("connected", { url: this.url, reconnected: true });
        });
        if (!again) this._emit("connected", { url: this.url, reconnected: false });
      };
      const onMessage = (event) => this._receive(typeof event === "string" ? event : event.data);
      let closed = false;
      const onClose = (event) => {
        if (closed) return;
        closed = true;
        if (this._socket === socket) this._socket = null;
        if (!opened) {
          const error = failure?.code === "ECONNREFUSED"
            ? new VorlexError(`no agent listens at ${this.url}: is vorlex-agent running?`, {
              code: ErrorCode.NOT_CONNECTED,
              hint: "start the agent (systemctl start vorlex-agent), or pass its url",
              cause: failure,
            })
            : this._refusal(refusal);
          if (first) {
            this._setState("closed");
            reject(error);
          } else {
            this._lastError = error;
            this._scheduleRetry();
          }
          return;
        }
        this._failPending(ErrorCode.CONNECTION_LOST, "the connection to the agent ended");
        if (this._closedByUser) return;
        this._emit("disconnected", { url: this.url, code: event?.code });
        if (this._reconnect) this._scheduleRetry();
        else this._setState("closed");
      };
      if (this._library === "ws") {
        socket.on("open", onOpen);
        socket.on("message", (data) => onMessage(data.toString("utf8")));
        socket.on("close", (code) => onClose({ code }));
      } else {
        socket.onopen = onOpen;
        socket.onmessage = onMessage;
        socket.onclose = onClose;
        socket.onerror = () => {};
      }
    });
  }

  _refusal(refusal) {
    if (refusal) {
      const what = refusal.status === 401 ? "it needs the agent's token" :
        refusal.status === 403 ? "this origin or host is not allowed" : `HTTP ${refusal.status}`;
      return new VorlexError(`the agent at ${this.url} refused the connection: ${what}` +
        (refusal.body ? ` (${refusal.body})` : ""), {
        code: ErrorCode.HANDSHAKE_REFUSED,
        status: refusal.status,
        data: { http_status: refusal.status, body: refusal.body },
        hint: refusal.status === 401
          ? "pass the token (connect({ token })): vorlex-agent's --token-file, or VORLEX_AGENT_TOKEN"
          : undefined,
      });
    }
    // A browser cannot see why: a refused handshake and an agent that is not running both
    // close before open. The page can tell them apart with agentReachable().
    const origin = isBrowser ? globalThis.location?.origin : undefined;
    return new VorlexError(
      `the connection to the agent at ${this.url} closed before it opened: the agent is not ` +
        "running, or it refused " + (origin ? `this page's origin ${origin}` : "this program"),
      {
        code: ErrorCode.HANDSHAKE_REFUSED,
        data: { origin },
        hint: origin
          ? `if the agent runs, the administrator allows this page with: vorlex-agent allow ${origin}`
          : undefined,
      },
    );
  }

  _scheduleRetry() {
    if (this._closedByUser) return;
    this._setState("reconnecting");
    // 250 ms doubling to 5 s, with a little jitter so that many pages do not come at once.
    this._retryMs = Math.min(5000, this._retryMs === 0 ? 250 : this._retryMs * 2);
    const delay = this._retryMs * (0.8 + 0.4 * Math.random());
    this._retryAt = Date.now() + delay;
    clearTimeout(this._retryTimer);
    this._retryTimer = setTimeout(() => {
      if (this._closedByUser) return;
      this._open(false).catch(() => {});
    }, delay);
  }

  // After a reconnection: the subscription and the claim the program had.
  async _renew() {
    const calls = [];
    if (this._subscribed) calls.push(this._call("events.subscribe", {}));
    if (this._claimed) calls.push(this._call("reader.claim", {}));
    for (const call of calls) {
      try {
        await call;
      } catch (error) {
        this._emit("error", error);
      }
    }
  }

  _failPending(code, why) {
    const pending = [...this._pending.values()];
    this._pending.clear();
    for (const call of pending) {
      clearTimeout(call.timer);
      call.reject(new VorlexError(`${call.method}: ${why}`, { code, method: call.method }));
    }
  }

  _call(method, params, { noReader = false } = {}) {
    if (this._state !== "open" || !this._socket) {
      const when = this._state === "reconnecting" && this._retryAt
        ? ` (next attempt in ${Math.max(0, Math.round((this._retryAt - Date.now()) / 100) / 10)} s)`
        : "";
      const reason = this._state === "closed" ? "the connection is closed" :
        `not connected to the agent at ${this.url}${when}`;
      return Promise.reject(new VorlexError(`${method}: ${reason}`, {
        code: ErrorCode.NOT_CONNECTED,
        method,
        hint: this._state === "closed" ? "connect again" : undefined,
      }));
    }
    const id = this._nextId++;
    const body = { ...params };
    if (!noReader && this.readerId !== undefined && body.reader === undefined) {
      body.reader = this.readerId;
    }
    const message = JSON.stringify({ jsonrpc: "2.0", id, method, params: body });
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        if (!this._pending.delete(id)) return;
        reject(new VorlexError(`${method}: no answer from the agent in ${this._timeout} ms`, {
          code: ErrorCode.TIMEOUT,
          method,
        }));
      }, this._timeout);
      this._pending.set(id, { resolve, reject, method, timer });
      try {
        this._socket.send(message);
      } catch (error) {
        this._pending.delete(id);
        clearTimeout(timer);
        reject(new VorlexError(`${method}: ${error.message}`, {
          code: ErrorCode.NOT_CONNECTED,
          method,
          cause: error,
        }));
      }
    });
  }

  _receive(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      this._emit("error", new VorlexError("the agent sent a message that is not JSON", {
        code: ErrorCode.PARSE_ERROR,
      }));
      return;
    }
    if (message === null || typeof message !== "object") return;
    if (message.id === undefined || message.id === null) {
      if (typeof message.method === "string") this._emit(message.method, message.params ?? {});
      return;
    }
    const call = this._pending.get(message.id);
    if (!call) return;
    this._pending.delete(message.id);
    clearTimeout(call.timer);
    if (message.error) {
      call.reject(agentError(call.method, message.error));
    } else {
      call.resolve(this._bytes === "array" ? asArrays(message.result) : message.result ?? {});
    }
  }
}

const AGENT_EVENTS = ["card.present", "card.absent", "reader.lost", "reader.back"];

function agentError(method, error) {
  const data = error.data && typeof error.data === "object" ? error.data : {};
  const text = data.message || data.reason || error.message || "error";
  return new VorlexError(`${method}: ${text}`, {
    code: error.code,
    status: typeof data.status === "number" ? data.status : undefined,
    statusHex: data.status_hex,
    hint: data.hint || undefined,
    data: error.data,
    method,
  });
}

function asArrays(result) {
  if (!result || typeof result !== "object") return result ?? {};
  const out = { ...result };
  for (const field of BYTE_FIELDS) {
    if (typeof out[field] === "string" && /^([0-9A-Fa-f]{2})*$/.test(out[field])) {
      out[field] = fromHex(out[field]);
    }
  }
  return out;
}

function newKey() {
  const crypto = globalThis.crypto;
  if (crypto?.randomUUID) return crypto.randomUUID();
  const bytes = new Uint8Array(16);
  crypto.getRandomValues(bytes);
  return toHex(bytes);
}

/** A page's check: does anything answer HTTP at the agent's address? (A refused WebSocket and an
 * agent that is not running look alike to a page; this tells them apart.) */
export async function agentReachable(url = DEFAULT_URL, { timeout = 2000 } = {}) {
  const http = new URL(url);
  http.protocol = http.protocol === "wss:" ? "https:" : "http:";
  http.search = "";
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), timeout);
  try {
    await fetch(http, { mode: "no-cors", signal: controller.signal, cache: "no-store" });
    return true;
  } catch {
    return false;
  } finally {
    clearTimeout(timer);
  }
}
