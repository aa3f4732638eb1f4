// The built musicshell binary serving over loopback, as the browser tests drive it.
import { spawn, execFileSync } from "node:child_process";
import { createInterface } from "node:readline";
import http from "node:http";
import { chromium } from "playwright-core";

const binary = process.env.MUSICSHELL_BINARY;

// Resolves with what `condition` gives once it is truthy, polling; rejects after the deadline.
export async function eventually(condition, what, timeoutMs = 10000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) {
      return value;
    }
    if (Date.now() > deadline) {
      throw new Error(`timed out waiting for ${what}`);
    }
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

// Starts `musicshell serve ARGS` and resolves once it has printed its address. Host requests go
// to its standard input; its answers and events come back on standard output.
export async function startShell(args, env = {}) {
  const child = spawn(binary, ["serve", ...args], {
    stdio: ["pipe", "pipe", "inherit"],
    env: { ...process.env, ...env },
  });
  const lines = createInterface({ input: child.stdout });
  const address = await new Promise((resolve, reject) => {
    lines.once("line", resolve);
    child.once("exit", () => reject(new Error("the shell ended before printing its address")));
  });
  const messages = [];
  lines.on("line", (line) => { if (line.startsWith("{")) messages.push(JSON.parse(line)); });
  const url = new URL(address);
  const port = Number(url.port);
  return {
    address,
    port,
    origin: url.origin,
    messages,
    hostRequest(request, timeoutMs) {
      child.stdin.write(JSON.stringify(request) + "\n");
      return eventually(() => messages.find((message) => message.id === request.id),
        `the answer to ${request.id}`, timeoutMs);
    },
    // SIGTERM, and SIGKILL if that has not ended it within the deadline.
    async stop() {
      const exited = new Promise((resolve) => child.once("exit", resolve));
      child.kill("SIGTERM");
      const deadline = setTimeout(() => child.kill("SIGKILL"), 10000);
      if (child.exitCode === null && child.signalCode === null) {
        await exited;
      }
      clearTimeout(deadline);
    },
    // A plain HTTP request to this shell, Host header set as a browser would.
    request(path, headers = {}, method = "GET") {
      return new Promise((resolve, reject) => {
        const request = http.request({ host: "127.0.0.1", port, path, method,
          headers: { Host: `127.0.0.1:${port}`, ...headers } }, (response) => {
          const chunks = [];
          response.on("data", (chunk) => chunks.push(chunk));
          response.on("end", () => resolve({ status: response.statusCode, headers: response.headers,
            body: Buffer.concat(chunks).toString() }));
        });
        request.on("error", reject);
        request.end();
      });
    },
  };
}

// The session cookie a login answer sets, as a Cookie header gives it back.
export function sessionCookie(response) {
  return response.headers["set-cookie"][0].split(";")[0];
}

// Logs in with the printed address, which works once, and gives the session's Cookie header.
export async function logIn(shell) {
  return sessionCookie(await shell.request("/" + new URL(shell.address).search));
}

// A page of the shell in a browser context of its own, logged in with the session cookie.
export async function openPage(browser, shell, cookie, path = "/") {
  const context = await browser.newContext();
  const [name, value] = cookie.split("=");
  await context.addCookies([{ name, value, url: shell.origin }]);
  const page = await context.newPage();
  await page.goto(shell.origin + path);
  return page;
}

export function launchChromium() {
  return chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--autoplay-policy=no-user-gesture-required"],
  });
}

// A D-Bus session bus of the test's own, so nothing reaches the desktop the tests run on, and
// the desktop's media widget on it.
export async function startSessionBus() {
  const daemon = spawn("dbus-daemon", ["--session", "--nofork", "--print-address=1"],
    { stdio: ["ignore", "pipe", "ignore"] });
  const address = (await new Promise((resolve) =>
    createInterface({ input: daemon.stdout }).once("line", resolve))).trim();
  const playerctl = (...args) => execFileSync("playerctl", ["-p", "musicshell", ...args],
    { env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: address }, encoding: "utf8" }).trim();
  return {
    address,
    playerctl,
    // What the widget shows, once it shows `expected` or the deadline has passed.
    async statusBecomes(expected) {
      let status;
      await eventually(() => (status = playerctl("status")) === expected, `status ${expected}`)
        .catch(() => {});
      return status;
    },
    stop: () => daemon.kill("SIGTERM"),
  };
}
