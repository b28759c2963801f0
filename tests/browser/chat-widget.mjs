// The visitor's chat widget in headless Chromium, one flow per promise it
// makes, each checked by what the visitor sees and, on every page reached,
// by axe-core:
//   delivery   nothing lost, nothing doubled: an answer dropped after the
//              line was stored, a back end that is down, a line truly lost
//              (sent again by itself); End chat asks once; a summary and its
//              download with the time of every line
//   resume     reload and the start form again resume the same chat; a chat
//              the back end ended keeps its transcript for download
//   outage     a slow back end shows "Reconnecting…" at once, the transcript
//              stays put, lines typed meanwhile go out once and in order;
//              polls answered with nothing of the chat's own wait too; a
//              chat started while the back end is down is busy at once, then
//              the error page, with no dead "Back to your chat"
//   layout     fixed header and input bar, scrolling transcript, bubbles,
//              the question as first line, time stamps, waiting state, room
//              left in the message box, title notice, dark, 200 % zoom
//   static     scripts and styles from the static folder, behind a proxy
//              that adds nosniff; the embedded panel (close state, Escape,
//              unread count, the chat again after the site's page reloads,
//              the whole screen of a phone); the noscript text
//   prechat    blank fields and a bad number refused in the page; error
//              pages in the visitor's language that keep the business unit;
//              no team: refused in the page; a German chat in German
//
//   node chat-widget.mjs --build DIR --flow NAME [--shots DIR]
import { createServer, request as httpRequest } from "node:http";
import { readFileSync, renameSync } from "node:fs";
import { join } from "node:path";
import AxeBuilder from "@axe-core/playwright";
import { args, withSite } from "./harness.mjs";

const build = args.build;
const shots = args.shots ?? build;
const WAIT = 15000;

function check(condition, message) {
  if (!condition) throw new Error(message);
}

async function accessible(page, what) {
  const result = await new AxeBuilder({ page }).analyze();
  const found = result.violations.map((v) => `${v.id} (${v.impact}): ${v.nodes.map((n) => n.target.join(" ")).join(", ")}`);
  check(found.length === 0, `${what}: accessibility violations: ${found.join("; ")}`);
}

// Polls fn until it returns something truthy or the deadline passes.
async function until(what, fn, timeout = WAIT) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await fn();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

async function newPage(browser, options = {}) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, ...options });
  const page = await context.newPage();
  const errors = [];
  page.on("pageerror", (error) => errors.push(error.message));
  page.on("dialog", (dialog) => { errors.push(`dialog: ${dialog.message()}`); dialog.dismiss(); });
  page.scriptErrors = errors;
  // Whether a line was ever offered for sending again.
  await context.addInitScript(() => {
    window.addEventListener("DOMContentLoaded", () => {
      const t = document.getElementById("transcript");
      if (!t) return;
      new MutationObserver(() => { if (t.querySelector("li.failed")) window.failedSeen = true; })
        .observe(t, { subtree: true, childList: true, attributes: true });
      // The agent's typing notice shows for under a second: every text it had.
      const typing = document.getElementById("typing");
      window.typingSeen = [];
      new MutationObserver(() => window.typingSeen.push(typing.textContent))
        .observe(typing, { subtree: true, childList: true, characterData: true });
    });
  });
  return page;
}

function mainPage(base, lang = "en", unit = "Sales") {
  return `${base}?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=${lang}&varBusinessUnitName=${unit}`;
}

async function startChat(page, base, name = "Ann Lee") {
  await page.goto(mainPage(base));
  await page.fill("#name", name);
  await page.fill("#question", "Where is my order?");
  await Promise.all([page.waitForURL(/REQ_STAT_PAGE.*ChatFrame/, { timeout: WAIT }), page.click("#chat-form button[type=submit]")]);
  await agentLine(page, `Hello ${name}, how can I help you?`);
}

// The texts of the bubbles, in order, as the visitor sees them.
async function bubbles(page, kind = "") {
  return page.$$eval(`#transcript li${kind} .text`, (all) => all.map((e) => e.textContent));
}

async function agentLine(page, text) {
  await page.locator("#transcript li.agent .text").filter({ hasText: text }).first().waitFor({ timeout: WAIT });
}

async function say(page, line) {
  await page.fill("#message", line);
  await page.press("#message", "Enter");
}

// Waits until the visitor's line shows as delivered (in the transcript, not
// on its way) and checks that it is there exactly once.
async function delivered(page, line) {
  await until(`"${line}" delivered`, async () => (await bubbles(page, ".visitor:not(.pending):not(.failed)")).includes(line));
  const all = await bubbles(page);
  check(all.filter((t) => t === line).length === 1, `"${line}" shown ${all.filter((t) => t === line).length} times`);
}

async function sentLines(control, type) {
  return (await control("log")).split("\n").filter((l) => l.includes(` type=${type} `)).length;
}

// Ends the chat and checks the summary: the greeting and every line of the
// visitor and of the agent's answers exactly once; the visitor's lines in
// the order typed, each answer after its line.
async function summaryHolds(page, lines) {
  // End chat asks first; the visitor may keep chatting.
  await page.click("#hangup");
  await page.locator("#confirm-end").waitFor({ timeout: WAIT });
  await accessible(page, "asking to end the chat");
  await page.click("#keep-chatting");
  check(await page.locator("#confirm-end").isHidden() && await page.locator("#message").isEnabled(), "keep chatting ended the chat");
  await page.click("#hangup");
  await Promise.all([page.waitForURL(/ChatSummary/, { timeout: WAIT }), page.click("#end-now")]);
  const summary = await page.locator("#summary").innerText();
  const untimed = await page.$$eval("#summary p", (all) => all.filter((p) => !p.querySelector("time")).map((p) => p.textContent));
  check(untimed.length === 0, `summary lines without their time: ${untimed}`);
  const once = (text) => {
    const count = summary.split(text).length - 1;
    check(count === 1, `summary has "${text}" ${count} times: ${summary}`);
    return summary.indexOf(text);
  };
  once("Alex: Hello Ann Lee");
  let previous = -1;
  for (const line of lines) {
    const at = once(`Ann Lee: ${line}`);
    check(at > previous, `"${line}" out of order in the summary: ${summary}`);
    check(once(`Alex: Thank you, I am looking into "${line}".`) > at, `the answer to "${line}" comes before it`);
    previous = at;
  }
  return summary;
}

const flows = {
  async delivery({ base, control, browser }) {
    const page = await newPage(browser, { acceptDownloads: true });
    await startChat(page, base);
    const lines = [];

    // The back end stores the line, its answer never arrives.
    await control("fault close 1 type 40");
    await say(page, "first: stored, answer lost");
    await delivered(page, "first: stored, answer lost");
    lines.push("first: stored, answer lost");
    check(await page.locator("#transcript li.failed").count() === 0, "a stored line was offered again");

    // The back end is down: shown at once, lines wait visibly, go out in order.
    await control("fault down 0");
    await page.locator("#status").filter({ hasText: "Reconnecting…" }).waitFor({ timeout: 4000 });
    await say(page, "second: typed while down");
    await say(page, "third: also while down");
    const pending = page.locator("#transcript li.pending");
    await until("two lines waiting", async () => (await pending.count()) === 2);
    check((await pending.first().innerText()).includes("sending…"), "a waiting line does not say so");
    await page.screenshot({ path: join(shots, "chat-reconnecting-1280.png") });
    await until("polls refused while down", async () => (await control("log")).split(" down").length > 2);
    await control("clear");
    await delivered(page, "second: typed while down");
    await delivered(page, "third: also while down");
    lines.push("second: typed while down", "third: also while down");
    await page.locator("#status").waitFor({ state: "hidden", timeout: WAIT });

    // A line the back end never got goes out again by itself and arrives once.
    await control("fault down 1 type 40");
    await say(page, "fourth: truly lost");
    await delivered(page, "fourth: truly lost");
    lines.push("fourth: truly lost");
    check(await page.evaluate(() => !window.failedSeen), "the visitor was asked to send a line the page could send again");

    for (const line of lines) await agentLine(page, `I am looking into "${line}"`);
    await summaryHolds(page, lines);
    check(await sentLines(control, 40) === 5, "not exactly one send per line plus the one sent again");
    await accessible(page, "summary");
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#save")]);
    const saved = readFileSync(await download.path(), "utf8").trim().split("\n");
    check(saved.every((line) => /^\[\d\d:\d\d( [AP]M)?\] /.test(line)), `saved summary lines without their time: ${saved}`);
    // The summary survives a reload.
    await page.reload();
    check((await page.locator("#summary").innerText()).includes("fourth: truly lost"), "reloaded summary lost its transcript");
    const back = await page.getAttribute("a[data-keep-unit]", "href");
    check(back.includes("varBusinessUnitName=Sales"), `the way back drops the business unit: ${back}`);
    check(page.scriptErrors.length === 0, `script errors: ${page.scriptErrors}`);
  },

  async resume({ base, control, browser }) {
    const page = await newPage(browser, { viewport: { width: 390, height: 844 }, acceptDownloads: true });
    await startChat(page, base);
    await say(page, "before the reload");
    await delivered(page, "before the reload");
    await page.reload();
    await agentLine(page, "Hello Ann Lee");
    await delivered(page, "before the reload");
    await say(page, "after the reload");
    await delivered(page, "after the reload");
    // The start form once more brings the visitor back to this chat.
    await page.goto(mainPage(base));
    await page.locator("#resume").waitFor({ timeout: WAIT });
    await page.fill("#name", "Ann Lee");
    await page.fill("#question", "Again?");
    await Promise.all([page.waitForURL(/ChatFrame/, { timeout: WAIT }), page.click("#chat-form button[type=submit]")]);
    await delivered(page, "after the reload");
    check((await bubbles(page, ".agent")).filter((t) => t.startsWith("Alex: Hello")).length === 1, "greeting doubled");
    check(await sentLines(control, 20) === 1, "a second chat was started");

    // The back end forgets the chat: it ends, the transcript can be saved.
    const session = await page.evaluate(() => JSON.parse(sessionStorage.getItem("quorvix.chat")).session);
    const gone = await fetch(`${base}?varUserRequest=REQ_HANG_UP&varSessionID=${session}&varUserLanguage=en`);
    check(gone.ok, "could not end the chat behind the page's back");
    await page.locator("#ended").filter({ hasText: "This chat has ended" }).waitFor({ timeout: WAIT });
    check(await page.locator("#message").isHidden() || await page.locator("#message").isDisabled(), "input still open");
    check(await page.locator("#hangup").isDisabled(), "End chat still offered");
    await accessible(page, "ended chat");
    await page.screenshot({ path: join(shots, "chat-ended-390.png") });
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#save")]);
    const saved = readFileSync(await download.path(), "utf8");
    for (const line of ["Alex: Hello Ann Lee", "before the reload", "after the reload", "This chat has ended"]) {
      check(saved.includes(line), `saved transcript lacks "${line}": ${saved}`);
    }
    await page.reload();
    await page.locator("#ended").waitFor({ timeout: WAIT });
    check((await bubbles(page)).includes("after the reload"), "an ended chat lost its transcript on reload");
    check(page.scriptErrors.length === 0, `script errors: ${page.scriptErrors}`);
  },

  async outage({ base, control, browser, site }) {
    const page = await newPage(browser);
    await startChat(page, base);
    const first = page.locator("#transcript li").first();
    const before = await first.boundingBox();
    // Every poll takes 3 s: the page says so after about 2 s.
    await control("fault delay 3000 0 type 50");
    const shownAt = Date.now();
    await page.locator("#status").filter({ hasText: "Reconnecting…" }).waitFor({ timeout: 6000 });
    check(Date.now() - shownAt < 5500, "the slow connection was shown late");
    const during = await first.boundingBox();
    check(before.y === during.y && before.x === during.x, "the transcript moved when the notice came");
    // Posts are slow too; lines typed meanwhile wait and keep their order.
    await control("fault delay 3000 0");
    await say(page, "one while slow");
    await say(page, "two while slow");
    await say(page, "three while slow");
    const waitingTexts = await page.$$eval("#transcript li.pending .meta", (all) => all.map((e) => e.textContent));
    check(waitingTexts.length === 3 && waitingTexts.every((t) => t.includes("sending…")), `waiting lines: ${waitingTexts}`);
    await page.screenshot({ path: join(shots, "chat-slow-1280.png") });
    await control("clear");
    for (const line of ["one while slow", "two while slow", "three while slow"]) await delivered(page, line);
    await page.locator("#status").waitFor({ state: "hidden", timeout: WAIT });
    // After the question that opens the conversation.
    const own = (await bubbles(page, ".visitor")).slice(1);
    check(own.join("|") === "one while slow|two while slow|three while slow", `order: ${own}`);
    for (const line of own) await agentLine(page, `I am looking into "${line}"`);
    // Polls answered with nothing of the chat's own (here the poll's page
    // cannot be read, so the answer is empty): the chat waits, it does not end.
    const dispatch = join(site, "html", "en", "JSDispatch.htm");
    renameSync(dispatch, `${dispatch}.away`);
    await page.locator("#status").filter({ hasText: "Reconnecting…" }).waitFor({ timeout: WAIT });
    check(await page.locator("#ended").isHidden(), "an answer that is not the chat's ended the chat");
    renameSync(`${dispatch}.away`, dispatch);
    await page.locator("#status").waitFor({ state: "hidden", timeout: WAIT });
    await say(page, "back again");
    await delivered(page, "back again");
    await agentLine(page, 'I am looking into "back again"');
    await summaryHolds(page, [...own, "back again"]);

    // A chat started while the back end is down: busy at once, then the error page.
    await control("fault down 0");
    await page.goto(mainPage(base));
    await page.fill("#name", "Ann Lee");
    await page.fill("#question", "Anyone there?");
    const clicked = Date.now();
    const busy = await page.evaluate(() => {
      document.getElementById("chat-form").requestSubmit();
      const note = document.querySelector(".busy");
      return `${note ? note.textContent : ""}|${document.querySelector("#chat-form button").getAttribute("aria-disabled")}`;
    });
    check(busy === "Starting your chat…|true", `no busy state at once: ${busy}`);
    await page.locator("#error-code").waitFor({ timeout: 30000 });
    check((await page.locator("main").innerText()).includes("cannot reach our chat service"), "the error page does not explain");
    console.log(`error page after ${((Date.now() - clicked) / 1000).toFixed(1)} s`);
    check(await page.locator("#back-to-chat").isHidden(), "a way back to a chat that is not there");
    await control("clear");
    check(page.scriptErrors.length === 0, `script errors: ${page.scriptErrors}`);
  },

  async layout({ base, browser }) {
    const page = await newPage(browser, { timezoneId: "Pacific/Auckland", locale: "en-GB" });
    await page.goto(mainPage(base));
    await page.fill("#name", "Ann Lee");
    await page.fill("#question", "Where is my order?");
    await Promise.all([page.waitForURL(/ChatFrame/), page.click("#chat-form button[type=submit]")]);
    check(await page.locator("#waiting").isVisible(), "no waiting state before the agent");
    await agentLine(page, "Hello Ann Lee");
    check(await page.locator("#waiting").isHidden(), "still waiting after the agent came");
    check((await bubbles(page))[0] === "Where is my order?" && (await bubbles(page, ".visitor"))[0] === "Where is my order?",
      `the question does not open the conversation: ${await bubbles(page)}`);
    // Near the box's limit it says how much room is left.
    check(await page.locator("#room").isHidden(), "room shown for an empty box");
    await page.fill("#message", "x".repeat(3700));
    await page.locator("#room").filter({ hasText: "300 characters left" }).waitFor({ timeout: WAIT });
    await page.fill("#message", "");
    // Own lines appear at once as "sending…", then with the visitor's time.
    const shownAtOnce = await page.evaluate(() => {
      document.getElementById("message").value = "Hi there";
      document.getElementById("compose").requestSubmit();
      const own = [...document.querySelectorAll("#transcript li.visitor")].pop();
      return own ? own.textContent : "";
    });
    check(shownAtOnce.includes("Hi there") && shownAtOnce.includes("sending…"), `own line not shown at once: ${shownAtOnce}`);
    await delivered(page, "Hi there");
    const stamp = await page.locator("#transcript li.visitor time").last().innerText();
    const local = new Intl.DateTimeFormat("en-GB", { hour: "2-digit", minute: "2-digit", timeZone: "Pacific/Auckland" });
    const near = [0, -60000, 60000].map((d) => local.format(new Date(Date.now() + d)));
    check(near.includes(stamp), `time stamp ${stamp} is not the visitor's time (${near})`);
    const looks = await page.evaluate(() => ["agent", "visitor", "system"].map((kind) => {
      const style = getComputedStyle(document.querySelector(`#transcript li.${kind} .text`));
      return `${style.backgroundColor} ${style.color} ${style.textAlign}`;
    }));
    check(new Set(looks).size === 3, `visitor, agent and system look alike: ${looks}`);

    // The README's picture: a short chat on a phone.
    await agentLine(page, 'looking into "Hi there"');
    await page.setViewportSize({ width: 390, height: 700 });
    await page.screenshot({ path: join(shots, "chat-readme-390.png") });
    await page.setViewportSize({ width: 1280, height: 800 });

    // Enough lines to scroll: header and input stay, the newest line is in view.
    for (let i = 1; i <= 16; i++) await say(page, `line ${i}`);
    await delivered(page, "line 16");
    await agentLine(page, 'looking into "line 16"');
    for (const [width, height] of [[1280, 800], [390, 844]]) {
      await page.setViewportSize({ width, height });
      await page.evaluate(() => { const t = document.getElementById("transcript"); t.scrollTop = t.scrollHeight; });
      const layout = await page.evaluate(() => {
        const t = document.getElementById("transcript");
        const box = (id) => document.getElementById(id).getBoundingClientRect();
        const last = t.lastElementChild.getBoundingClientRect();
        return { scrolls: t.scrollHeight > t.clientHeight, page: document.documentElement.scrollHeight <= innerHeight,
          header: box("hangup").top >= 0, input: box("message").bottom <= innerHeight,
          last: last.bottom <= t.getBoundingClientRect().bottom + 1, wide: document.documentElement.scrollWidth <= innerWidth };
      });
      check(Object.values(layout).every(Boolean), `layout at ${width}x${height}: ${JSON.stringify(layout)}`);
      await page.screenshot({ path: join(shots, `chat-${width}.png`) });
      // 200 % zoom: the same window in half as many CSS pixels.
      await page.setViewportSize({ width: width / 2, height: height / 2 });
      const zoomed = await page.evaluate(() => {
        const box = (id) => document.getElementById(id).getBoundingClientRect();
        return { wide: document.documentElement.scrollWidth <= innerWidth, send: box("send").right <= innerWidth,
          input: box("message").bottom <= innerHeight && box("message").height > 20,
          header: box("hangup").bottom <= innerHeight / 2, room: document.getElementById("transcript").clientHeight > 40 };
      });
      check(Object.values(zoomed).every(Boolean), `200 % zoom at ${width}x${height}: ${JSON.stringify(zoomed)}`);
      await page.screenshot({ path: join(shots, `chat-${width}-zoom200.png`) });
    }
    await page.setViewportSize({ width: 390, height: 844 });
    await accessible(page, "chat at 390x844");

    // Scrolled up: new lines do not pull the visitor down, a button offers them.
    await say(page, "while reading above");
    await page.evaluate(() => { document.getElementById("transcript").scrollTop = 0; });
    await agentLine(page, 'looking into "while reading above"');
    await page.locator("#new-messages").waitFor({ timeout: WAIT });
    check(await page.evaluate(() => document.getElementById("transcript").scrollTop) < 50, "the transcript jumped down");
    await page.click("#new-messages");
    check(await page.locator("#new-messages").isHidden(), "the new-messages button stays");

    // A hidden tab is told in its title.
    await page.evaluate(() => {
      Object.defineProperty(document, "hidden", { configurable: true, get: () => true });
      document.dispatchEvent(new Event("visibilitychange"));
    });
    await say(page, "title please");
    await until("title notice", async () => /^\(\d+\) /.test(await page.title()));

    await page.emulateMedia({ colorScheme: "dark" });
    const dark = await page.evaluate(() => getComputedStyle(document.querySelector(".chat-app")).backgroundColor);
    check(dark !== "rgb(255, 255, 255)", "no dark scheme");
    await accessible(page, "dark chat");
    await page.screenshot({ path: join(shots, "chat-390-dark.png") });
    check(page.scriptErrors.length === 0, `script errors: ${page.scriptErrors}`);
  },
  async static({ base, browser }) {
    // A proxy that forbids type guessing, as many sites' proxies do.
    const target = new URL(base);
    const proxy = createServer((req, res) => {
      if (req.url === "/shop.html") {
        // A site that embeds the chat with the README's one tag.
        res.writeHead(200, { "content-type": "text/html; charset=utf-8" });
        res.end(`<!DOCTYPE html><html lang="en"><head><title>Shop</title></head><body><main><h1>Shop</h1></main>
<script src="${target.pathname.replace(/[^/]*$/, "")}static/embed.js" data-unit="Sales" data-lang="en" async></script></body></html>`);
        return;
      }
      const upstream = httpRequest({ host: target.hostname, port: target.port, path: req.url, method: req.method, headers: req.headers },
        (answer) => {
          res.writeHead(answer.statusCode, { ...answer.headers, "x-content-type-options": "nosniff" });
          answer.pipe(res);
        });
      upstream.on("error", () => { res.writeHead(502); res.end(); });
      req.pipe(upstream);
    });
    await new Promise((resolve) => proxy.listen(0, "127.0.0.1", resolve));
    try {
      const proxied = `http://127.0.0.1:${proxy.address().port}${target.pathname}`;
      const page = await newPage(browser);
      const types = {};
      page.on("response", (r) => {
        const name = r.url().split("/static/")[1];
        if (name && r.status() === 200 && !types[name]) types[name] = r.headers()["content-type"];
      });
      await startChat(page, proxied);
      await say(page, "through the proxy");
      await delivered(page, "through the proxy");
      check(types["chat.js"] === "text/javascript; charset=utf-8", `chat.js came as ${types["chat.js"]}`);
      check(types["chat.css"] === "text/css; charset=utf-8", `chat.css came as ${types["chat.css"]}`);
      check(page.scriptErrors.length === 0, `script errors: ${page.scriptErrors}`);
      await page.context().close();
      // Embedded: the launcher opens the chat in a panel and turns into its close mark.
      const shop = await newPage(browser);
      await shop.goto(`http://127.0.0.1:${proxy.address().port}/shop.html`);
      const launcher = shop.locator("#quorvix-chat-launcher");
      await shop.getByRole("button", { name: "Chat with us" }).click();
      check(await launcher.getAttribute("aria-expanded") === "true" && (await launcher.innerText()) === "×", "the launcher shows no close state");
      const frame = shop.frameLocator("#quorvix-chat-panel iframe");
      await frame.locator("#name").fill("Eve Embedded");
      await frame.locator("#question").fill("From the shop");
      await frame.locator("#chat-form button[type=submit]").click();
      await frame.locator("#transcript li.agent .text").filter({ hasText: "Hello Eve Embedded" }).waitFor({ timeout: WAIT });
      await accessible(shop, "page with the embedded chat");
      await shop.screenshot({ path: join(shots, "chat-embedded-1280.png") });
      // Escape in the chat closes the panel and gives the launcher the focus;
      // the answer that comes meanwhile shows on the launcher.
      await frame.locator("#message").fill("while the panel is closed");
      await frame.locator("#message").press("Enter");
      await frame.locator("#message").press("Escape");
      await shop.locator("#quorvix-chat-panel").waitFor({ state: "hidden", timeout: WAIT });
      check(await shop.evaluate(() => document.activeElement.id) === "quorvix-chat-launcher", "focus did not return to the launcher");
      await shop.locator("#quorvix-chat-launcher .quorvix-badge").waitFor({ timeout: WAIT });
      check(/new messages/.test(await launcher.getAttribute("aria-label")), "the unread count is not announced");
      await shop.screenshot({ path: join(shots, "chat-embedded-unread-1280.png") });
      // The site's page reloaded, on a phone: the running chat, on the whole screen.
      await shop.setViewportSize({ width: 390, height: 844 });
      await shop.reload();
      await shop.getByRole("button", { name: "Chat with us" }).click();
      await frame.locator("#transcript li.agent .text").filter({ hasText: 'looking into "while the panel is closed"' }).waitFor({ timeout: WAIT });
      const fits = await shop.evaluate(() => {
        const panel = document.getElementById("quorvix-chat-panel").getBoundingClientRect();
        const inner = document.querySelector("#quorvix-chat-panel iframe").contentDocument;
        const box = (id) => inner.getElementById(id).getBoundingClientRect();
        const view = inner.documentElement;
        return { whole: panel.width === innerWidth && panel.height === innerHeight,
          send: box("send").right <= view.clientWidth && box("send").bottom <= view.clientHeight,
          hangup: box("hangup").top >= 0, wide: view.scrollWidth <= view.clientWidth };
      });
      check(Object.values(fits).every(Boolean), `the panel on a phone: ${JSON.stringify(fits)}`);
      await accessible(shop, "embedded chat on a phone");
      await shop.screenshot({ path: join(shots, "chat-embedded-390.png") });
      await shop.getByRole("button", { name: "Close chat" }).click();
      check(await shop.locator("#quorvix-chat-panel").isHidden(), "the panel's close button does not close it");
      check(shop.scriptErrors.length === 0, `script errors: ${shop.scriptErrors}`);
      await shop.context().close();
      // Without script the pages say what to do.
      const plain = await newPage(browser, { javaScriptEnabled: false });
      await plain.goto(`${proxied}?varUserRequest=REQ_STAT_PAGE&varPageName=ChatFrame.htm&varUserLanguage=en`);
      check((await plain.locator("noscript").first().textContent()).includes("needs JavaScript"), "no noscript text");
      await plain.context().close();
    } finally {
      proxy.close();
    }
  },

  async prechat({ base, control, browser }) {
    const page = await newPage(browser, { viewport: { width: 390, height: 844 } });
    await page.goto(mainPage(base));
    await accessible(page, "start page");
    await page.fill("#name", "   ");
    await page.fill("#question", " \n ");
    await page.click("#chat-form button[type=submit]");
    check((await page.locator("#name-error").innerText()).includes("name"), "a blank name was not refused");
    check((await page.locator("#question-error").innerText()).includes("question"), "a blank question was not refused");
    check(await page.evaluate(() => document.activeElement.id) === "name", "focus not on the first wrong field");
    await accessible(page, "start page with errors");
    check(await sentLines(control, 20) === 0, "a blank form reached the back end");

    await page.fill("#name", "Ann Lee");
    await page.fill("#question", "Where is my order?");
    await Promise.all([page.waitForURL(/ChatFrame/), page.click("#chat-form button[type=submit]")]);
    await agentLine(page, "Hello Ann Lee");
    await page.locator("#callme summary").click();
    await page.fill("#phone", "12x");
    await page.click("#callme-form button[type=submit]");
    check((await page.locator("#phone-error").innerText()).includes("digits"), "a bad number was not refused");
    check(await sentLines(control, 80) === 0, "a bad number reached the back end");
    await page.fill("#phone", "+49 30 1234");
    await page.click("#callme-form button[type=submit]");
    await page.locator("#callme-result").filter({ hasText: "1234" }).waitFor({ timeout: WAIT });

    // Error pages: what happened, what to do, in the visitor's language, the unit kept.
    for (const [lang, expected] of [["en", "not one of ours"], ["de", "nicht zu uns"]]) {
      await page.goto(`${base}?varUserRequest=REQ_NO_SUCH_THING&varUserLanguage=${lang}`);
      check((await page.locator("main").innerText()).includes(expected), `error page (${lang}) does not explain`);
      check(await page.getAttribute("html", "lang") === lang, `error page not in ${lang}`);
      const back = await page.getAttribute("a[data-keep-unit]", "href");
      check(back.includes("varBusinessUnitName=Sales"), `error page drops the business unit: ${back}`);
      await accessible(page, `error page (${lang})`);
    }
    await page.screenshot({ path: join(shots, "chat-error-390.png") });
    // After the summary the start page keeps the team.
    await Promise.all([page.waitForURL(/ChatFrame/), page.click("#back-to-chat")]);
    await page.click("#hangup");
    await Promise.all([page.waitForURL(/ChatSummary/, { timeout: WAIT }), page.click("#end-now")]);
    check((await page.getAttribute("a[data-keep-unit]", "href")).includes("varBusinessUnitName=Sales"), "the summary drops the team");
    await page.goto(`${base}?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en`);
    check(await page.inputValue("#chat-form [name=varBusinessUnitName]") === "Sales", "the start page lost the team");
    // The page nginx shows for a wrong path leads to the start page, the team kept.
    await page.goto(base.replace(/[^/]*$/, "static/not-found.html"));
    check((await page.getAttribute("a[data-keep-unit]", "href")).includes("varBusinessUnitName=Sales"), "the not-found page drops the team");
    check(await page.evaluate(() => getComputedStyle(document.querySelector("main")).borderRadius) !== "0px", "the not-found page is not styled");
    await accessible(page, "not-found page");
    await page.screenshot({ path: join(shots, "chat-not-found-390.png") });
    check(page.scriptErrors.length === 0, `script errors: ${page.scriptErrors}`);

    // A visitor who never had a team is told so in the page, and nothing goes out.
    const lost = await newPage(browser, { viewport: { width: 390, height: 844 }, locale: "de-DE" });
    await lost.goto(`${base}?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=de`);
    await lost.locator("#no-unit").waitFor({ timeout: WAIT });
    check(await lost.getAttribute("#chat-form button[type=submit]", "aria-disabled") === "true", "the start button looks usable");
    await lost.fill("#name", "Eva");
    await lost.fill("#question", "Hallo?");
    await lost.press("#name", "Enter");
    await lost.click("#callback-form button[type=submit]", { force: true });
    check(lost.url().includes("REQ_WEBCHAT_MAIN"), `a start without a team left the page: ${lost.url()}`);
    check(await sentLines(control, 20) === 1, "a start without a team reached the back end");
    await accessible(lost, "start page without a team");
    await lost.screenshot({ path: join(shots, "chat-no-team-de-390.png") });
    // An error page with no chat behind it offers no way back to one.
    await lost.goto(`${base}?varUserRequest=REQ_NO_SUCH_THING&varUserLanguage=de`);
    check(await lost.locator("#back-to-chat").isHidden(), "a dead \"back to your chat\"");

    // A German chat is German, the agent's typing notice too.
    await lost.goto(mainPage(base, "de"));
    await lost.fill("#name", "Eva Schmidt");
    await lost.fill("#question", "Wo ist meine Bestellung?");
    await Promise.all([lost.waitForURL(/ChatFrame/), lost.click("#chat-form button[type=submit]")]);
    await agentLine(lost, "Hello Eva Schmidt");
    // Lines close together keep the agent typing for longer than a poll's interval.
    for (const line of ["Guten Tag", "Eine Frage", "Noch eine"]) await say(lost, line);
    await until("the German typing notice", () => lost.evaluate(() => window.typingSeen.includes("Alex schreibt…")));
    await lost.emulateMedia({ colorScheme: "dark" });
    await accessible(lost, "German chat, dark");
    await lost.screenshot({ path: join(shots, "chat-de-390-dark.png") });
    check(lost.scriptErrors.length === 0, `script errors: ${lost.scriptErrors}`);
  },
};

const flow = flows[args.flow];
if (!flow) {
  console.error(`unknown --flow ${args.flow}; one of ${Object.keys(flows).join(", ")}`);
  process.exit(2);
}
const started = Date.now();
await withSite(build, `chat ${args.flow}`, flow);
if (!process.exitCode) console.log(`chat ${args.flow} passed in ${((Date.now() - started) / 1000).toFixed(1)} s`);
