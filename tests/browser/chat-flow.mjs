// A visitor's whole chat in headless Chromium: main page, chat start, the
// agent's greeting, a line with markup in it shown as text, the agent's
// answer and typing notice, hang-up and the summary with the transcript.
//
//   node chat-flow.mjs --build DIR [--screenshot FILE]
import { spawn } from "node:child_process";
import { cpSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

const args = Object.fromEntries(
  process.argv.slice(2).reduce((pairs, arg, i, all) => (arg.startsWith("--") ? [...pairs, [arg.slice(2), all[i + 1]]] : pairs), []));
const build = args.build;
const screenshot = args.screenshot ?? join(build, "chat-screenshot.png");
const children = [];

function start(command, argv, readyPattern) {
  const child = spawn(command, argv, { stdio: ["ignore", "pipe", "pipe"] });
  children.push(child);
  return new Promise((resolve, reject) => {
    let output = "";
    const timer = setTimeout(() => reject(new Error(`${command} did not start: ${output}`)), 20000);
    const onData = (data) => {
      output += data;
      const match = readyPattern.exec(output);
      if (match) {
        clearTimeout(timer);
        resolve(match);
      }
    };
    child.stdout.on("data", onData);
    child.stderr.on("data", onData);
    child.on("exit", (code) => reject(new Error(`${command} exited with ${code}: ${output}`)));
  });
}

function stopAll() {
  for (const child of children) if (child.exitCode === null) child.kill("SIGTERM");
}

async function expectText(locator, text, timeout = 15000) {
  await locator.filter({ hasText: text }).first().waitFor({ timeout });
}

const site = mkdtempSync(join(tmpdir(), "quorvix-browser-"));
let browser;
try {
  cpSync(join(build, "site"), site, { recursive: true });
  const [, simPort] = await start(join(build, "vekacs-sim"), ["--listen", "127.0.0.1:0", "--quiet"], /listening on 127\.0\.0\.1:(\d+)/);
  const ini = join(site, "RAVO.ini");
  writeFileSync(ini, readFileSync(ini, "utf8").replace(/^Port=.*$/m, `Port=${simPort}`));
  const [, hostPort] = await start(join(build, "quorvix-host"),
    ["--module", join(site, "quorvix.so"), "--listen", "127.0.0.1:0", "--no-access-log"], /serving http:\/\/127\.0\.0\.1:(\d+)\//);
  const base = `http://127.0.0.1:${hostPort}/webchat/quorvix.so`;

  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync"],
  });
  const page = await browser.newPage({ viewport: { width: 420, height: 760 } });
  const scriptErrors = [];
  page.on("pageerror", (error) => scriptErrors.push(error.message));
  page.on("dialog", (dialog) => { scriptErrors.push(`dialog: ${dialog.message()}`); dialog.dismiss(); });

  await page.goto(`${base}?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en&varBusinessUnitName=Sales`);
  await page.fill("#name", "Ann <i>Lee</i>");
  await page.fill("#question", "Where is my order?");
  await page.click("#chat-form button[type=submit]");

  const lines = page.locator("#transcript li");
  await expectText(lines, "Hello Ann <i>Lee</i>, how can I help you?");
  await page.fill("#message", "I need <b>help</b> & more");
  await page.press("#message", "Enter");
  await expectText(lines, "Ann <i>Lee</i>: I need <b>help</b> & more");
  await expectText(page.locator("#typing"), "Alex typing...");
  await expectText(lines, "Alex: Thank you, I am looking into");
  if (await page.locator("#transcript b, #transcript i").count() !== 0) throw new Error("markup was rendered");
  const sent = await lines.filter({ hasText: /^Ann <i>Lee<\/i>: I need <b>help<\/b> & more$/ }).count();
  if (sent !== 1) throw new Error(`the line appears ${sent} times`);
  if (!(await page.locator("#callme").isVisible())) throw new Error("call me is not offered");
  await page.screenshot({ path: screenshot, fullPage: true });

  await page.click("#hangup");
  await page.locator("#summary").waitFor({ timeout: 15000 });
  const summary = await page.locator("#summary").innerText();
  for (const expected of ["Hello Ann <i>Lee</i>", "I need <b>help</b> & more", "Alex: Thank you"]) {
    if (!summary.includes(expected)) throw new Error(`summary lacks ${expected}: ${summary}`);
  }
  if ((await page.locator("#customer").innerText()) !== "Ann <i>Lee</i>") throw new Error("customer name not shown as text");
  if (scriptErrors.length) throw new Error(`script errors: ${scriptErrors.join("; ")}`);
  console.log(`chat flow passed; screenshot in ${screenshot}`);
} catch (error) {
  console.error(`chat flow failed: ${error.stack ?? error}`);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close();
  stopAll();
  rmSync(site, { recursive: true, force: true });
}
