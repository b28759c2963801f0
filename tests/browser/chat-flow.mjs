// A visitor's whole chat in headless Chromium: main page, chat start, the
// agent's greeting, a line with markup in it shown as text, the agent's
// answer and typing notice, hang-up and the summary with the transcript.
//
//   node chat-flow.mjs --build DIR [--screenshot FILE]
import { join } from "node:path";
import { args, withSite } from "./harness.mjs";

const build = args.build;
const screenshot = args.screenshot ?? join(build, "chat-screenshot.png");

async function expectText(locator, text, timeout = 15000) {
  await locator.filter({ hasText: text }).first().waitFor({ timeout });
}

await withSite(build, "chat flow", async ({ base, browser }) => {
  const page = await browser.newPage({ viewport: { width: 420, height: 760 } });
  const scriptErrors = [];
  page.on("pageerror", (error) => scriptErrors.push(error.message));
  page.on("dialog", (dialog) => { scriptErrors.push(`dialog: ${dialog.message()}`); dialog.dismiss(); });

  await page.goto(`${base}?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en&varBusinessUnitName=Sales`);
  await page.fill("#name", "Ann <i>Lee</i>");
  await page.fill("#question", "Where is my order?");
  await page.click("#chat-form button[type=submit]");

  const lines = page.locator("#transcript li .text");
  await expectText(lines, "Hello Ann <i>Lee</i>, how can I help you?");
  await page.fill("#message", "I need <b>help</b> & more");
  await page.press("#message", "Enter");
  // The visitor's own bubble, delivered: in the transcript, no longer on its way.
  const own = page.locator("#transcript li.visitor:not(.pending) .text");
  await expectText(own, "I need <b>help</b> & more");
  await expectText(page.locator("#typing"), "Alex is typing…");
  await expectText(lines, "Alex: Thank you, I am looking into");
  if (await page.locator("#transcript b, #transcript i").count() !== 0) throw new Error("markup was rendered");
  const sent = await lines.filter({ hasText: /^I need <b>help<\/b> & more$/ }).count();
  if (sent !== 1) throw new Error(`the line appears ${sent} times`);
  if (!(await page.locator("#callme").isVisible())) throw new Error("call me is not offered");
  await page.screenshot({ path: screenshot, fullPage: true });

  await page.click("#hangup");
  await page.click("#end-now");
  await page.locator("#summary").waitFor({ timeout: 15000 });
  const summary = await page.locator("#summary").innerText();
  for (const expected of ["Hello Ann <i>Lee</i>", "I need <b>help</b> & more", "Alex: Thank you"]) {
    if (!summary.includes(expected)) throw new Error(`summary lacks ${expected}: ${summary}`);
  }
  if ((await page.locator("#customer").innerText()) !== "Ann <i>Lee</i>") throw new Error("customer name not shown as text");
  if (scriptErrors.length) throw new Error(`script errors: ${scriptErrors.join("; ")}`);
  console.log(`chat flow passed; screenshot in ${screenshot}`);
});
