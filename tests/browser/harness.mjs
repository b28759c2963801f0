// What the browser tests share: their arguments, a copy of build/site served
// by quorvix-host over a vekacs-sim of their own (both on free loopback
// ports, ended by process id), the sim's control port, and headless Chromium.
import { spawn } from "node:child_process";
import { cpSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { connect } from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

// --name value pairs of the command line.
export const args = Object.fromEntries(
  process.argv.slice(2).reduce((pairs, arg, i, all) => (arg.startsWith("--") ? [...pairs, [arg.slice(2), all[i + 1]]] : pairs), []));

function start(children, command, argv, readyPattern) {
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
    child.on("error", (error) => reject(error));
    child.on("exit", (code) => reject(new Error(`${command} exited with ${code}: ${output}`)));
  });
}

// One command to the simulator's control port; its answer without "END".
function control(port, command) {
  return new Promise((resolve, reject) => {
    const socket = connect(port, "127.0.0.1");
    let answer = "";
    const timer = setTimeout(() => { socket.destroy(); reject(new Error(`no answer to ${command}`)); }, 10000);
    socket.on("data", (data) => {
      answer += data;
      if (answer.endsWith("END\n") || answer.startsWith("ERR")) {
        clearTimeout(timer);
        socket.end();
        if (answer.startsWith("ERR")) reject(new Error(answer));
        else resolve(answer.slice(0, -4));
      }
    });
    socket.on("error", reject);
    socket.write(command + "\n");
  });
}

// Runs test({ base, control, browser, site }) against a fresh site (site: its folder); a failure sets
// the exit code. Everything started is ended afterwards.
export async function withSite(build, name, test) {
  const children = [];
  const site = mkdtempSync(join(tmpdir(), `quorvix-${name}-`));
  let browser;
  try {
    cpSync(join(build, "site"), site, { recursive: true });
    const [, simPort, controlPort] = await start(children, join(build, "vekacs-sim"),
      ["--listen", "127.0.0.1:0", "--control", "127.0.0.1:0", "--quiet"],
      /listening on 127\.0\.0\.1:(\d+)\s+vekacs-sim: control on 127\.0\.0\.1:(\d+)/);
    const ini = join(site, "RAVO.ini");
    writeFileSync(ini, readFileSync(ini, "utf8").replace(/^Port=.*$/m, `Port=${simPort}`));
    const [, hostPort] = await start(children, join(build, "quorvix-host"),
      ["--module", join(site, "quorvix.so"), "--listen", "127.0.0.1:0", "--no-access-log"], /serving http:\/\/127\.0\.0\.1:(\d+)\//);
    browser = await chromium.launch({
      executablePath: "/usr/bin/chromium",
      args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
        "--disable-component-update", "--disable-sync"],
    });
    await test({ base: `http://127.0.0.1:${hostPort}/webchat/quorvix.so`, control: (c) => control(controlPort, c), browser,
      site });
  } catch (error) {
    console.error(`${name} failed: ${error.stack ?? error}`);
    process.exitCode = 1;
  } finally {
    if (browser) await browser.close();
    for (const child of children) if (child.exitCode === null) child.kill("SIGTERM");
    rmSync(site, { recursive: true, force: true });
  }
}
