// examples/web-pos in Debian's Chromium (playwright-core), against a real vorlex-agent and the
// simulator. The page is served from the source tree by a static server on 127.0.0.1; a second
// server on another port is an origin the agent does not allow. Screenshots of each state go to
// $VORLEX_WEB_RESULTS (default build/test-results/web-pos).
import assert from "node:assert/strict";
import { createReadStream, mkdtempSync, mkdirSync, rmSync, statSync } from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { chromium } from "playwright-core";

import { connect } from "../vorlex.js";
import { repo, startReader } from "./harness.js";

const shots = process.env.VORLEX_WEB_RESULTS ?? path.join(repo, "build/test-results/web-pos");
mkdirSync(shots, { recursive: true });
const TYPES = { ".html": "text/html; charset=utf-8", ".js": "text/javascript", ".css": "text/css" };

function serveTree() {
  const server = http.createServer((request, response) => {
    const file = path.join(repo, decodeURIComponent(new URL(request.url, "http://x").pathname));
    let ok = file.startsWith(repo + path.sep);
    try {
      ok = ok && statSync(file).isFile();
    } catch {
      ok = false;
    }
    if (!ok) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { "Content-Type": TYPES[path.extname(file)] ?? "application/octet-stream" });
    createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

const origin = (server) => `http://127.0.0.1:${server.address().port}`;
const pageUrl = (server, sim) =>
  `${origin(server)}/examples/web-pos/index.html?agent=${encodeURIComponent(sim.url)}`;

describe("the point-of-sale page", { timeout: 120000 }, () => {
  let allowed;
  let other;
  let browser;
  let profile;
  let sim;
  let check; // the test's own client, to see what the card holds
  let page;

  const shot = (name) => page.screenshot({ path: path.join(shots, `${name}.png`), fullPage: true });
  const balanceOnCard = async () => (await check.purse.balance()).balance;

  before(async () => {
    allowed = await serveTree();
    other = await serveTree();
    profile = mkdtempSync(path.join(os.tmpdir(), "vorlex-chromium-"));
    browser = await chromium.launchPersistentContext(profile, {
      executablePath: process.env.VORLEX_CHROMIUM ?? "/usr/bin/chromium",
      headless: true,
      args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync"],
      viewport: { width: 1000, height: 900 },
    });
    sim = await startReader({ allow: [origin(allowed)] });
    check = await connect({ url: sim.url, token: sim.token });
    page = await browser.newPage();
    page.on("pageerror", (error) => console.log(`page error: ${error.message}`));
  });
  after(async () => {
    check?.close();
    await browser?.close();
    await sim?.stop();
    allowed?.close();
    other?.close();
    if (profile) rmSync(profile, { recursive: true, force: true });
  });

  test("on an allowed origin it charges an amount and shows the new balance", async () => {
    await page.goto(pageUrl(allowed, sim));
    await page.locator("#balance[data-cents='10000']").waitFor({ timeout: 5000 });
    assert.equal(await page.locator("#reader-state").textContent(), "ready");
    await shot("1-ready");
    await page.getByLabel("Amount to charge").fill("1.25");
    await page.getByLabel("Amount to charge").press("Enter"); // the keyboard alone charges
    await page.locator("#outcome[data-outcome='done']").waitFor({ timeout: 10000 });
    assert.equal(await page.locator("#balance").textContent(), "98.75");
    assert.equal(await balanceOnCard(), 9875);
    await page.locator("#journal tbody tr").first().waitFor();
    assert.match(await page.locator("#journal tbody tr").first().textContent(), /1\.25.*charged/);
    await shot("2-charged");
    // Keyboard order: the amount, Charge, New sale.
    await page.getByLabel("Amount to charge").focus();
    await page.keyboard.press("Tab");
    assert.equal(await page.evaluate(() => document.activeElement.id), "charge");
    await page.keyboard.press("Tab");
    assert.equal(await page.evaluate(() => document.activeElement.id), "new-sale");
  });

  test("a repeated click with the same sale charges once", async () => {
    await page.getByRole("button", { name: "Charge", exact: true }).click();
    await page.locator("#outcome[data-outcome='replayed']").waitFor({ timeout: 10000 });
    assert.equal(await balanceOnCard(), 9875);
    await shot("3-repeated-click-charged-once");
  });

  test("a card taken away and put back shows within 1.5 s", async () => {
    await sim.ctl("remove");
    await page.locator("#card-state[data-state='absent']").waitFor({ timeout: 1500 });
    assert.equal(await page.locator("#card-state").textContent(), "Put the card on the reader");
    await shot("4-put-the-card-on-the-reader");
    await page.getByRole("button", { name: "New sale" }).click();
    await page.getByLabel("Amount to charge").fill("2");
    await page.getByRole("button", { name: "Charge", exact: true }).click();
    await page.locator("#outcome[data-outcome='not_done']").waitFor({ timeout: 10000 });
    await shot("5-not-charged");
    await sim.ctl("insert");
    await page.locator("#card-state[data-state='present']").waitFor({ timeout: 1500 });
    await page.locator("#balance[data-cents='9875']").waitFor({ timeout: 5000 });
  });

  test("the agent stopped and started again: the page reconnects", async () => {
    await sim.stopAgent();
    await page.locator("#agent-state[data-state='reconnecting']").waitFor({ timeout: 5000 });
    await shot("6-agent-gone-reconnecting");
    await sim.startAgent();
    await page.locator("#agent-state[data-state='open']").waitFor({ timeout: 10000 });
    await page.locator("#card-state[data-state='present']").waitFor({ timeout: 5000 });
    // The events are renewed: a card taken away shows again (once the new agent has polled: a
    // change before its first polls is the state it starts from).
    await new Promise((r) => setTimeout(r, 700));
    await sim.ctl("remove");
    await page.locator("#card-state[data-state='absent']").waitFor({ timeout: 1500 });
    await sim.ctl("insert");
    await page.locator("#card-state[data-state='present']").waitFor({ timeout: 1500 });
    check.close();
    check = await connect({ url: sim.url, token: sim.token });
  });

  test("a page on another origin is refused and says what to do", async () => {
    const refused = await browser.newPage();
    try {
      await refused.goto(pageUrl(other, sim));
      await refused.locator("#refused:not([hidden])").waitFor({ timeout: 10000 });
      assert.equal(await refused.locator("#allow-command").textContent(),
        `vorlex-agent allow ${origin(other)}`);
      await refused.screenshot({ path: path.join(shots, "7-refused-origin.png"), fullPage: true });
    } finally {
      await refused.close();
    }
  });

  test("a purchase whose answer is lost shows as charged once", async () => {
    const lost = await startReader({ allow: [origin(allowed)], simArgs: ["--lose-answer", "PURCHASE"] });
    const lostPage = await browser.newPage();
    try {
      await lostPage.goto(pageUrl(allowed, lost));
      await lostPage.locator("#balance[data-cents='10000']").waitFor({ timeout: 5000 });
      await lostPage.getByLabel("Amount to charge").fill("3.00");
      await lostPage.getByRole("button", { name: "Charge", exact: true }).click();
      await lostPage.locator("#outcome[data-outcome='done-lost']").waitFor({ timeout: 15000 });
      assert.equal(await lostPage.locator("#balance").textContent(), "97.00");
      await lostPage.screenshot({ path: path.join(shots, "8-charged-answer-lost.png"), fullPage: true });
      const own = await connect({ url: lost.url, token: lost.token });
      try {
        assert.equal((await own.purse.balance()).balance, 9700);
      } finally {
        own.close();
      }
    } finally {
      await lostPage.close();
      await lost.stop();
    }
  });

  test("a purchase cut off by the agent's end shows as unknown: check before charging again", async () => {
    // Slow answers keep the purchase running while the agent is killed.
    const slow = await startReader({ allow: [origin(allowed)], simArgs: ["--slow-bytes", "5000"] });
    const slowPage = await browser.newPage();
    try {
      await slowPage.goto(pageUrl(allowed, slow));
      await slowPage.locator("#balance[data-cents='10000']").waitFor({ timeout: 10000 });
      await slowPage.getByLabel("Amount to charge").fill("4.00");
      await slowPage.getByRole("button", { name: "Charge", exact: true }).click();
      await slowPage.locator("#outcome[data-outcome='pending']").waitFor({ timeout: 2000 });
      await new Promise((r) => setTimeout(r, 150));
      await slow.killAgent();
      await slowPage.locator("#outcome[data-outcome='unknown']").waitFor({ timeout: 5000 });
      assert.match(await slowPage.locator("#outcome-title").textContent(), /check before charging again/);
      await slowPage.screenshot({ path: path.join(shots, "9-unknown-check-first.png"), fullPage: true });
    } finally {
      await slowPage.close();
      await slow.stop();
    }
  });
});
