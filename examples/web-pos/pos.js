// A point-of-sale page over the vorlex client. Plain JavaScript, no build step: the client is
// imported by its path in the source tree. The agent's address: ?agent=ws://127.0.0.1:PORT/
// (and &token= where the agent wants one), else the agent's default port.
import { connect, agentReachable, ErrorCode, OutcomeUnknown, DEFAULT_URL } from "../../clients/js/vorlex.js";

const query = new URLSearchParams(location.search);
const agentUrl = query.get("agent") || DEFAULT_URL;
const token = query.get("token") || undefined;
const $ = (id) => document.getElementById(id);

let reader = null;
let sale = null; // { key, amount }: the key stays while the sale does, so a repeat never charges twice
let busy = false;

// ---- display helpers -----------------------------------------------------------------------

function money(cents) {
  const sign = cents < 0 ? "-" : "";
  const whole = Math.abs(cents);
  return `${sign}${Math.floor(whole / 100)}.${String(whole % 100).padStart(2, "0")}`;
}

function parseAmount(text) {
  const match = /^\s*(\d{1,7})(?:[.,](\d{1,2}))?\s*$/.exec(text);
  if (!match) return null;
  const cents = Number(match[1]) * 100 + Number((match[2] ?? "").padEnd(2, "0"));
  return cents > 0 ? cents : null;
}

function show(screen) {
  for (const id of ["pos", "refused", "unreachable"]) $(id).hidden = id !== screen;
}

function agentState(state, text) {
  $("agent-state").dataset.state = state;
  $("agent-state").textContent = text;
}

function readerState(state) {
  const names = { ready: "ready", lost: "lost: reconnecting to the reader…", busy: "in use by another program" };
  $("reader-state").dataset.state = state;
  $("reader-state").textContent = names[state] ?? state;
}

function cardState(present, uid) {
  $("card-state").dataset.state = present ? "present" : "absent";
  $("card-state").textContent = present ? `Card ${uid ?? ""} is on the reader`.replace("  ", " ")
    : "Put the card on the reader";
  if (!present) balance(null);
}

function balance(cents) {
  $("balance").dataset.cents = cents ?? "";
  $("balance").textContent = cents === null || cents === undefined ? "—" : money(cents);
}

function outcome(kind, title, detail) {
  const box = $("outcome");
  box.hidden = false;
  box.dataset.outcome = kind;
  $("outcome-title").textContent = title;
  $("outcome-detail").textContent = detail;
}

// Why a sale was not charged, in the cashier's words where the reason is a common one.
function notCharged(error) {
  if (error.statusHex === "0201") return "No card answered: put the card on the reader and press Charge again.";
  if (error.code === ErrorCode.NOT_CONNECTED) return "The card reader service is not connected: nothing was sent. Wait until it is back.";
  if (error.code === ErrorCode.READER_LOST) return "The reader is disconnected: nothing was charged. Check its cable.";
  if (error.code === ErrorCode.CARD_CHANGED) return "Another card answered: nothing was charged. Put the customer's card back and press Charge again.";
  return `${error.message}. Nothing was charged; the sale may be tried again.`;
}

function describe(error) {
  return error.hint ? `${error.message}. ${error.hint}` : error.message;
}

// ---- the agent -----------------------------------------------------------------------------

async function start() {
  agentState("connecting", "Connecting to the card reader service…");
  try {
    reader = await connect({ url: agentUrl, token });
  } catch (error) {
    if (error.code === ErrorCode.HANDSHAKE_REFUSED && (await agentReachable(agentUrl))) {
      refused();
    } else {
      unreachable();
    }
    return;
  }
  reader.on("card.present", (event) => {
    if (event.slot !== "field") return;
    cardState(true, event.uid);
    readBalance();
  });
  reader.on("card.absent", (event) => {
    if (event.slot === "field") cardState(false);
  });
  reader.on("reader.lost", () => readerState("lost"));
  reader.on("reader.back", () => {
    readerState("ready");
    lookForCard();
  });
  reader.on("disconnected", () => {
    agentState("reconnecting", "Card reader service gone: reconnecting…");
    readerState("unknown");
    $("card-state").dataset.state = "unknown";
    $("card-state").textContent = "Card: not known until the service is back";
    balance(null);
  });
  reader.on("connected", () => refresh());
  show("pos");
  await refresh();
}

function refused() {
  const origin = location.origin;
  agentState("refused", "Refused by the card reader service");
  $("refused-text").textContent = `The card reader service (vorlex-agent at ${agentUrl}) refused ` +
    `this page: its address ${origin} is not on the service's list of allowed pages.`;
  $("allow-command").textContent = `vorlex-agent allow ${origin}`;
  show("refused");
}

function unreachable() {
  agentState("unreachable", "No card reader service");
  $("unreachable-text").textContent = `Nothing answers at ${agentUrl}. Start the card reader ` +
    "service (vorlex-agent), or open this page with ?agent= and the service's address.";
  show("unreachable");
  setTimeout(start, 3000);
}

// After connecting (and reconnecting): the reader's state, the card, the journal.
async function refresh() {
  agentState("open", "Connected to the card reader service");
  try {
    const info = await reader.agentInfo();
    const mine = info.readers.find((r) => r.id === reader.readerId) ?? info.readers[0];
    readerState(mine ? mine.state : "none");
  } catch (error) {
    readerState("unknown");
  }
  await lookForCard();
  await loadJournal();
}

// Whether a card is there now (the events tell changes only). The purchase module's card
// information, not a card request: a card session would keep the agent from watching the field.
async function lookForCard() {
  try {
    const card = await reader.purse.cardInfo();
    cardState(true, card.card_id);
    await readBalance();
  } catch (error) {
    cardState(false);
  }
}

async function readBalance() {
  try {
    const result = await reader.purse.balance();
    balance(result.balance);
  } catch (error) {
    balance(null);
    if (error.code !== ErrorCode.READER_REFUSED) outcome("error", "Cannot read the balance", describe(error));
  }
}

async function loadJournal() {
  let purchases;
  try {
    ({ purchases } = await reader.journal.list({ limit: 8 }));
  } catch {
    return;
  }
  const names = { done: "charged", not_done: "not charged", unknown: "UNKNOWN: check" };
  const body = $("journal").tBodies[0];
  body.replaceChildren(
    ...purchases.map((entry) => {
      const row = document.createElement("tr");
      row.dataset.key = entry.key ?? "";
      const time = new Date(entry.time);
      const cells = [
        Number.isNaN(time.getTime()) ? String(entry.time) : time.toLocaleTimeString(),
        entry.card_id || "—",
        money(entry.amount),
        names[entry.outcome] ?? entry.outcome,
      ];
      cells.forEach((text, i) => {
        const cell = document.createElement("td");
        cell.textContent = text;
        if (i === 2) cell.className = "amount";
        row.append(cell);
      });
      return row;
    }),
  );
}

// ---- charging ------------------------------------------------------------------------------

async function charge(event) {
  event.preventDefault();
  if (busy || !reader) return;
  const amount = parseAmount($("amount").value);
  if (amount === null) {
    outcome("error", "Not charged: enter an amount", "An amount such as 12.50 (at most two decimals).");
    $("amount").focus();
    return;
  }
  if (!sale || sale.amount !== amount) sale = { key: crypto.randomUUID(), amount };
  busy = true;
  $("charge").disabled = true;
  outcome("pending", `Charging ${money(amount)}…`, "Keep the card on the reader.");
  try {
    const result = await reader.purse.purchase({ amount, key: sale.key });
    if (Number.isInteger(result.balance_after)) balance(result.balance_after);
    else readBalance();
    if (result.replayed) {
      outcome("replayed", `Already charged ${money(amount)} for this sale`,
        "Not charged again. Press New sale for the next customer.");
    } else if (result.answer_lost) {
      outcome("done-lost", `Charged ${money(amount)}`,
        "The reader's answer was lost, but the card's balance shows the charge: do not charge again." +
          ` Balance ${money(result.balance_after)}.`);
    } else {
      outcome("done", `Charged ${money(amount)}`, `Balance ${money(result.balance_after)}.`);
    }
  } catch (error) {
    if (error instanceof OutcomeUnknown) {
      // The sale keeps its key: charging again with it only asks what happened.
      outcome("unknown", "UNKNOWN: check before charging again",
        "The card may have been charged. Read the balance (or press Charge again, which never " +
          "charges twice for this sale) before anything else.");
    } else {
      sale = null; // not charged: a new attempt is a new sale
      outcome("not_done", `Not charged: ${money(amount)}`, notCharged(error));
    }
  } finally {
    busy = false;
    $("charge").disabled = false;
    loadJournal();
  }
}

$("charge-form").addEventListener("submit", charge);
$("amount").addEventListener("input", () => {
  sale = null;
});
$("new-sale").addEventListener("click", () => {
  sale = null;
  $("amount").value = "";
  $("outcome").hidden = true;
  $("amount").focus();
});
$("read-balance").addEventListener("click", () => reader && readBalance());
$("retry").addEventListener("click", () => location.reload());

start();
