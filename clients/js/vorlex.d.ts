// Types of the vorlex client (vorlex.js). docs/web.md describes every method.

export declare const DEFAULT_URL: string;

export declare const ErrorCode: {
  readonly PARSE_ERROR: -32700;
  readonly INVALID_REQUEST: -32600;
  readonly METHOD_NOT_FOUND: -32601;
  readonly INVALID_PARAMS: -32602;
  readonly READER_REFUSED: 1000;
  readonly NO_ANSWER: 1001;
  readonly READER_LOST: 1002;
  readonly READER_BUSY: 1003;
  readonly UNKNOWN_READER: 1004;
  readonly CARD_CHANGED: 1005;
  readonly JOURNAL_UNAVAILABLE: 1006;
  readonly RATE_LIMITED: 1007;
  readonly MESSAGE_TOO_LARGE: 1008;
  readonly NOT_CONNECTED: -1;
  readonly HANDSHAKE_REFUSED: -2;
  readonly TIMEOUT: -3;
  readonly CONNECTION_LOST: -4;
  readonly NOT_CHARGED: -5;
  readonly OUTCOME_UNKNOWN: -6;
};

/** Bytes in: a Uint8Array, an ArrayBuffer, an array of 0..255, or a hex string (spaces allowed). */
export type BytesInput = Uint8Array | ArrayBuffer | number[] | string;
/** Bytes out: upper-case hex strings, or Uint8Array with connect({ bytes: "array" }). */
export type Bytes = string | Uint8Array;

export declare class VorlexError extends Error {
  constructor(message: string, options?: {
    code?: number; status?: number; statusHex?: string; hint?: string; data?: unknown;
    method?: string; cause?: unknown;
  });
  /** ErrorCode: the agent's JSON-RPC error code, or the client's own (negative). */
  code: number;
  /** The reader's status word, when the reader answered one (codes 1000, 1001); for a refused
   * handshake in Node.js, the HTTP status (401, 403). */
  status?: number;
  /** The status word as four hex digits ("0201"). */
  statusHex?: string;
  /** What to do about it. */
  hint?: string;
  /** The agent's error data as sent. */
  data?: any;
  /** The agent method that failed. */
  method?: string;
}

/** A purchase whose outcome is unknown: the card may have been debited. Never retry it with a
 * new key: check the balance, or call purse.purchase again with the same key. */
export declare class OutcomeUnknown extends VorlexError {
  readonly outcome: "unknown";
  /** The purchase's idempotency key: purse.purchase({ amount, key }) with it never charges twice. */
  key: string;
  /** The agent's result when it answered (outcome "unknown"); undefined when its answer was lost. */
  result?: PurchaseResult;
}

export interface ConnectOptions {
  /** The agent's address (default ws://127.0.0.1:47511/). */
  url?: string;
  /** The agent's token: a header in Node.js with ws, the query parameter ?token= elsewhere. */
  token?: string;
  /** A reader id from agentInfo(); may be left out when the agent has one reader. */
  reader?: string;
  /** "hex" (default): byte results as upper-case hex strings; "array": as Uint8Array. */
  bytes?: "hex" | "array";
  /** Milliseconds a call may take (default 30000). */
  timeout?: number;
  /** Reconnect after the agent restarts (default true). */
  reconnect?: boolean;
  /** A WebSocket class to use instead of the browser's, ws or the global one. */
  WebSocket?: unknown;
  /** Node.js with ws only: an Origin header to send (as a browser would). */
  origin?: string;
}

export interface ReaderInfo { id: string; port: string; edition: "epurse" | "display"; state: "ready" | "lost" | "busy"; }
export interface AgentInfo { version: string; readers: ReaderInfo[]; }
export interface CardAnswer { atqa: Bytes; uid: Bytes; }
export interface ApduResult { reply: Bytes; data: Bytes; sw_hex: string; /** -1 when shorter than 2 bytes */ sw: number; }
export interface PurchaseResult {
  outcome: "done" | "not_done" | "unknown";
  answer_lost: boolean;
  balance_before?: number;
  balance_after?: number;
  journal_id?: number;
  key: string;
  /** True when the key was already in the journal: nothing was sent, the recorded outcome is returned. */
  replayed: boolean;
  [field: string]: unknown;
}
export interface JournalEntry { id: number; time: string; card_id: string; amount: number; outcome: "done" | "not_done" | "unknown"; key: string; }
export type Module = "cpu" | "rfsim";
export type Unit = "card" | "sam1" | "sam2" | "rfsim";
export type Slot = "field" | "sam1" | "sam2" | "rfsim";

export interface Events {
  "card.present": { reader: string; slot: Slot; uid?: string };
  "card.absent": { reader: string; slot: Slot };
  "reader.lost": { reader: string; message: string };
  "reader.back": { reader: string };
  /** The connection opened: reconnected is true after the agent came back. */
  connected: { url: string; reconnected: boolean };
  /** The connection ended; the client reconnects (back-off 250 ms doubling to 5 s). */
  disconnected: { url: string; code?: number };
  /** Renewing a subscription or claim after a reconnection failed, or a malformed message. */
  error: VorlexError;
}

export declare class Reader {
  readonly url: string;
  readonly readerId?: string;
  readonly state: "connecting" | "open" | "reconnecting" | "closed";
  readonly connected: boolean;

  agentInfo(): Promise<AgentInfo>;
  claim(): Promise<{}>;
  release(): Promise<{}>;
  beep(value?: number): Promise<{ value: number }>;
  versions(): Promise<Record<string, unknown>>;
  display(text: string, value?: number): Promise<Record<string, unknown>>;
  apdu(unit: Unit, command: BytesInput): Promise<ApduResult>;
  /** Any agent method with its params as the agent takes them. */
  call(method: string, params?: Record<string, unknown>): Promise<any>;

  card: {
    request(options?: { wakeAll?: boolean }): Promise<CardAnswer>;
    ats(): Promise<{ ats: Bytes }>;
    halt(): Promise<{}>;
  };
  mifare: {
    authenticate(sector: number, options?: { keyType?: "A" | "B"; key?: BytesInput }): Promise<{}>;
    read(sector: number, block: number): Promise<{ data: Bytes }>;
    write(sector: number, block: number, data: BytesInput,
      options?: { allowTrailer?: boolean; allowBlock0?: boolean }): Promise<{}>;
  };
  sam: {
    powerOn(slot: 1 | 2): Promise<{ atr: Bytes }>;
    powerOff(slot: 1 | 2): Promise<{}>;
  };
  rfsim: {
    request(options?: { wakeAll?: boolean }): Promise<{ id: Bytes }>;
    halt(): Promise<{}>;
  };
  purse: {
    init(options?: { module?: Module }): Promise<{ module_data: string; [field: string]: unknown }>;
    balance(options?: { module?: Module }): Promise<{ balance: number; [field: string]: unknown }>;
    cardInfo(options?: { module?: Module }): Promise<{ card_id: string; card_info: string; [field: string]: unknown }>;
    /** Resolves when the card was charged (outcome "done", answer_lost tells whether the reader's
     * answer was lost and the balance settled it). Rejects with VorlexError code NOT_CHARGED
     * when it was not, with OutcomeUnknown when nobody can tell. */
    purchase(options: { amount: number; key?: string; module?: Module }): Promise<PurchaseResult>;
  };
  journal: {
    list(options?: { limit?: number }): Promise<{ purchases: JournalEntry[] }>;
  };

  on<K extends keyof Events>(name: K, handler: (value: Events[K]) => void): () => void;
  off<K extends keyof Events>(name: K, handler: (value: Events[K]) => void): void;
  close(): void;
}

export declare function connect(options?: ConnectOptions): Promise<Reader>;
export declare function toHex(bytes: Uint8Array | number[]): string;
export declare function fromHex(text: string): Uint8Array;
/** Does anything answer HTTP at the agent's address? Tells a refused page from a stopped agent. */
export declare function agentReachable(url?: string, options?: { timeout?: number }): Promise<boolean>;
