// A visitor's callback request in headless Chromium on a phone-sized screen:
// main page, the callback link, the form with the back end's call types, a
// number the page refuses before sending, a time in the past, a valid request
// sent by keyboard and its confirmation; a rejected number; the not-available
// page outside opening hours; the confirmation repeats the number and the
// times; the pages follow dark mode. Every page is checked with axe-core.
//
//   node callback-flow.mjs --build DIR [--shots DIR]
import { createRequire } from "node:module";
import { join } from "node:path";
import { args, withSite } from "./harness.mjs";

const require = createRequire(import.meta.url);
const build = args.build;
const shots = args.shots ?? build;

function check(condition, message) {
  if (!condition) throw new Error(message);
}

async function accessible(page, what) {
  await page.addScriptTag({ path: require.resolve("axe-core/axe.min.js") });
  const result = await page.evaluate(async () => await window.axe.run(document));
  const found = result.violations.map((v) => `${v.id} (${v.impact}): ${v.nodes.map((n) => n.target.join(" ")).join(", ")}`);
  check(found.length === 0, `${what}: accessibility violations: ${found.join("; ")}`);
}

async function fitsTheScreen(page, what) {
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
  check(overflow <= 0, `${what}: ${overflow} pixels wider than the screen`);
}

function inMinutes(minutes) {
  const d = new Date(Date.now() + minutes * 60000);
  const pad = (n) => String(n).padStart(2, "0");
  return { local: `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:${pad(d.getMinutes())}`,
    clock: `${pad(d.getHours())}:${pad(d.getMinutes())}` };
}

await withSite(build, "callback flow", async ({ base, control, browser }) => {
  const page = await browser.newPage({ viewport: { width: 390, height: 844 } });
  const scriptErrors = [];
  page.on("pageerror", (error) => scriptErrors.push(error.message));
  page.on("dialog", (dialog) => { scriptErrors.push(`dialog: ${dialog.message()}`); dialog.dismiss(); });

  // Main page to the form, by keyboard.
  await page.goto(`${base}?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en&varBusinessUnitName=Sales`);
  await fitsTheScreen(page, "main page");
  await page.screenshot({ path: join(shots, "callback-main-390.png"), fullPage: true });
  await page.focus("#callback-form button[type=submit]");
  await Promise.all([page.waitForNavigation(), page.keyboard.press("Enter")]);
  await page.locator("#callback-request").waitFor({ timeout: 15000 });
  const options = await page.$$eval("#call-type option", (all) => all.map((o) => `${o.value}=${o.textContent}`));
  check(options.length === 3 && ["S-ORDER=New order", "S-QUOTE=Quote", "S-RETURN=Returns & refunds"].every((o) => options.includes(o)),
    `call types: ${options}`);
  await accessible(page, "form");
  await fitsTheScreen(page, "form");
  await page.screenshot({ path: join(shots, "callback-form-390.png"), fullPage: true });

  // Checks in the page: nothing goes to the back end.
  await page.fill("#name", "Ann <i>Lee</i>");
  await page.fill("#phone", "030 12x45");
  await page.fill("#time1", inMinutes(-120).local);
  await page.click("#callback-request button[type=submit]");
  check((await page.locator("#phone-error").innerText()).includes("digits"), "no error beside the number");
  check(await page.getAttribute("#phone", "aria-invalid") === "true", "number not marked invalid");
  check((await page.locator("#time1-error").innerText()).includes("future"), "past time accepted");
  check((await page.locator("#form-errors").innerText()).length > 0, "nothing announced");
  check(await page.evaluate(() => document.activeElement.id) === "phone", "focus not on the first wrong field");
  await page.screenshot({ path: join(shots, "callback-errors-390.png"), fullPage: true });
  check((await control("callbacks")) === "", "a refused form reached the back end");

  // Corrected and sent by keyboard.
  const first = inMinutes(24 * 60).local;
  const second = inMinutes(26 * 60).local;
  await page.fill("#time1", first);
  await page.fill("#time2", second);
  await page.selectOption("#call-type", "S-QUOTE");
  await page.fill("#caption", "A quote for 500 chairs");
  await page.fill("#phone", "+49 (30) 123-456");
  check(await page.getAttribute("#phone", "aria-invalid") === null, "corrected number still marked");
  await Promise.all([page.waitForNavigation(), page.press("#phone", "Enter")]);
  await page.locator("#callback-confirmed").waitFor({ timeout: 15000 });
  // The confirmation repeats the number and both times.
  const details = await page.$$eval("#callback-details li", (all) => all.map((li) => li.textContent));
  check(details.length === 3 && details[0].includes("+49 (30) 123-456"), `confirmation details: ${details}`);
  await accessible(page, "confirmation");
  await fitsTheScreen(page, "confirmation");
  await page.screenshot({ path: join(shots, "callback-confirmed-390.png"), fullPage: true });
  const stored = (await control("callbacks")).trim().split("|");
  const offset = String(await page.evaluate(() => new Date().getTimezoneOffset()));
  const expected = ["CB1", "Sales", "0000", "Ann <i>Lee</i>", "+49 (30) 123-456", "A quote for 500 chairs", "2", "S-QUOTE",
    `${first};${second}`, offset, ""];
  check(JSON.stringify(stored) === JSON.stringify(expected), `stored ${stored}, expected ${expected}`);

  // A number the back end will not call.
  await page.goBack();
  await page.locator("#callback-request").waitFor({ timeout: 15000 });
  await page.fill("#phone", "0900 123456");
  await Promise.all([page.waitForNavigation(), page.click("#callback-request button[type=submit]")]);
  await page.locator("#callback-rejected").waitFor({ timeout: 15000 });
  check((await page.locator("#reason").innerText()).includes("premium-rate"), "no reason shown");
  await accessible(page, "rejection");
  await page.screenshot({ path: join(shots, "callback-rejected-390.png"), fullPage: true });

  // Names from the back end that need escaping arrive as they were meant.
  await page.goto(`${base}?varUserRequest=REQ_CALLBACK_AVAILABILITY&varUserLanguage=de&varBusinessUnitName=Lab`);
  const lab = await page.$$eval("#call-type option", (all) => all.map((o) => `${o.value}=${o.textContent}`));
  for (const o of ["L-1=Tom's line", "L-2=<b>Bold</b> & \"quoted\"", "L-'3'=Id with quotes"]) check(lab.includes(o), `Lab lacks ${o}: ${lab}`);
  await accessible(page, "German form");
  await fitsTheScreen(page, "German form");
  await page.screenshot({ path: join(shots, "callback-form-de-390.png"), fullPage: true });

  // Wide screen.
  await page.setViewportSize({ width: 1280, height: 800 });
  await page.goto(`${base}?varUserRequest=REQ_CALLBACK_AVAILABILITY&varUserLanguage=en&varBusinessUnitName=Sales`);
  await page.screenshot({ path: join(shots, "callback-form-1280.png"), fullPage: true });
  // Dark like the chat.
  await page.emulateMedia({ colorScheme: "dark" });
  const dark = await page.evaluate(() => getComputedStyle(document.querySelector("main")).backgroundColor);
  check(dark !== "rgb(255, 255, 255)", "the callback form has no dark scheme");
  await accessible(page, "dark form");
  await page.screenshot({ path: join(shots, "callback-form-1280-dark.png"), fullPage: true });
  await page.emulateMedia({ colorScheme: "light" });

  // Outside opening hours.
  await control(`callback-hours Sales ${inMinutes(120).clock}-${inMinutes(180).clock}`);
  await page.goto(`${base}?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en&varBusinessUnitName=Sales`);
  await Promise.all([page.waitForNavigation(), page.click("#callback-form button[type=submit]")]);
  await page.locator("#callback-not-available").waitFor({ timeout: 15000 });
  await accessible(page, "not available");
  await page.screenshot({ path: join(shots, "callback-not-available-1280.png"), fullPage: true });

  check(scriptErrors.length === 0, `script errors: ${scriptErrors.join("; ")}`);
  console.log(`callback flow passed; screenshots in ${shots}`);
});
