// Compiled by tsc (no output) to check vorlex.d.ts: the documented uses type-check.
import { connect, OutcomeUnknown, VorlexError, ErrorCode, toHex, type PurchaseResult } from "../vorlex.js";

export async function sale(amount: number, key: string): Promise<string> {
  const reader = await connect({ url: "ws://127.0.0.1:47511/", token: "t", bytes: "array" });
  const stop = reader.on("card.present", (event) => console.log(event.slot, event.uid));
  reader.on("disconnected", ({ url }) => console.log(url));
  const card = await reader.card.request({ wakeAll: true });
  const block = await reader.mifare.read(1, 0);
  const reply = await reader.apdu("sam1", new Uint8Array([0, 0x84, 0, 0, 8]));
  const sw: number = reply.sw;
  const { balance } = await reader.purse.balance({ module: "rfsim" });
  try {
    const result: PurchaseResult = await reader.purse.purchase({ amount, key });
    return `${toHex(card.uid as Uint8Array)} ${String(block.data)} ${sw} ${balance} ${result.balance_after}`;
  } catch (error) {
    if (error instanceof OutcomeUnknown) return `unknown, key ${error.key}`;
    if (error instanceof VorlexError && error.code === ErrorCode.NOT_CHARGED) return error.hint ?? "";
    throw error;
  } finally {
    stop();
    reader.close();
  }
}
