// The built musicshell binary serving over loopback, as the browser tests drive it.
import { spawn, execFileSync } from "node:child_process";
import { createInterface } from "node:readline";
import http from "node:http";
import { chromium } from "playwright-core";

// Resolves with what `condition` gives once it is truthy, polling; rejects after the deadline.
export async function eventually(condition, what, timeoutMs = 10000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

// The first of these lines a program prints, or a rejection if it ends first.
function firstLine(lines, child) {
  return new Promise((resolve, reject) => {
    lines.once("line", resolve);
    child.once("exit", () => reject(new Error(`${child.spawnfile} ended before printing a line`)));
  });
}

// Starts `musicshell serve ARGS` and resolves once it has printed its address. Host requests go
// to its standard input; its answers come back on standard output.
export async function startShell(args, env = {}) {
  const child = spawn(process.env.MUSICSHELL_BINARY, ["serve", ...args],
    { stdio: ["pipe", "pipe", "inherit"], env: { ...process.env, ...env } });
  const lines = createInterface({ input: child.stdout });
  const address = await firstLine(lines, child);
  const messages = [];
  lines.on("line", (line) => { if (line.startsWith("{")) messages.push(JSON.parse(line)); });
  const url = new URL(address);
  return {
    address,
    port: Number(url.port),
    origin: url.origin,
    hostRequest(request, timeoutMs) {
      child.stdin.write(JSON.stringify(request) + "\n");
      return eventually(() => messages.find((message) => message.id === request.id),
        `the answer to ${request.id}`, timeoutMs);
    },
    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        const exited = new Promise((resolve) => child.once("exit", resolve));
        child.kill("SIGTERM");
        const deadline = setTimeout(() => child.kill("SIGKILL"), 10000);
        await exited;
        clearTimeout(deadline);
      }
    },
    // A plain HTTP request to this shell, Host header set as a browser would.
    request(path, headers = {}, method = "GET", body = undefined) {
      return new Promise((resolve, reject) => {
        http.request({ host: "127.0.0.1", port: url.port, path, method, headers: { Host: url.host, ...headers } },
          (response) => {
            const chunks = [];
            response.on("data", (chunk) => chunks.push(chunk));
            response.on("end", () => resolve({ status: response.statusCode, headers: response.headers,
              body: Buffer.concat(chunks).toString() }));
          }).on("error", reject).end(body);
      });
    },
  };
}

export const sessionCookie = (response) => response.headers["set-cookie"][0].split(";")[0];

// Logs in with the printed address, which works once, and gives the session's Cookie header.
export async function logIn(shell) {
  return sessionCookie(await shell.request("/" + new URL(shell.address).search));
}

// A page of the shell at `path`, in a browser context of its own, logged in with the session
// cookie. `page.problems` gathers the console's errors and warnings and what the page throws.
export async function openPage(browser, shell, cookie, viewport = undefined, path = "/") {
  const context = await browser.newContext({ viewport });
  const [name, value] = cookie.split("=");
  await context.addCookies([{ name, value, url: shell.origin }]);
  const page = await context.newPage();
  page.problems = [];
  page.on("console", (message) => ["error", "warning"].includes(message.type()) &&
    page.problems.push(`${message.type()}: ${message.text()}`));
  page.on("pageerror", (error) => page.problems.push(`thrown: ${error.message}`));
  await page.goto(new URL(path, shell.origin).href);
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
  const address = (await firstLine(createInterface({ input: daemon.stdout }), daemon)).trim();
  const playerctl = (...args) => execFileSync("playerctl", ["-p", "musicshell", ...args],
    { env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: address }, encoding: "utf8" }).trim();
  return {
    address,
    playerctl,
    showsStatus: (status) => eventually(() => playerctl("status") === status, `the widget to show ${status}`),
    stop: () => daemon.kill("SIGTERM"),
  };
}
