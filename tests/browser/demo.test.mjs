// The browser host end to end: the built binary serving the demo page to headless Chromium, and
// the server's refusals seen from a plain HTTP client.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn, execFileSync } from "node:child_process";
import { createInterface } from "node:readline";
import http from "node:http";
import { mkdtempSync, rmSync, readFileSync, mkdirSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

const binary = process.env.MUSICSHELL_BINARY;
const screenshots = process.env.SCREENSHOT_DIR ?? tmpdir();
const container = mkdtempSync(join(tmpdir(), "musicshell-browser-"));

let shell;
let address;
let origin;
let port;
let browser;
let songServer;
let bus;
let busAddress;
const shellMessages = [];

// The desktop's media widget, on the test's own session bus.
function playerctl(...args) {
  return execFileSync("playerctl", ["-p", "musicshell", ...args],
    { env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: busAddress }, encoding: "utf8" }).trim();
}

// Host requests go to the shell's standard input; its answers and events come back on stdout.
async function hostRequest(request, timeout = 10000) {
  shell.stdin.write(JSON.stringify(request) + "\n");
  const deadline = Date.now() + timeout;
  while (Date.now() < deadline) {
    const found = shellMessages.find((message) => message.id === request.id);
    if (found) {
      return found;
    }
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  throw new Error(`no answer to ${JSON.stringify(request)} within ${timeout} ms`);
}

function rawRequest(path, headers = {}) {
  return new Promise((resolve, reject) => {
    const request = http.request({ host: "127.0.0.1", port, path, headers: { Host: `127.0.0.1:${port}`, ...headers } },
      (response) => {
        let body = "";
        response.on("data", (chunk) => { body += chunk; });
        response.on("end", () => resolve({ status: response.statusCode, headers: response.headers, body }));
      });
    request.on("error", reject);
    request.end();
  });
}

async function openDemo() {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(address);
  await page.waitForFunction(() => document.getElementById("device").textContent.length === 36);
  return page;
}

before(async () => {
  songServer = http.createServer((request, response) => {
    response.writeHead(200, { "Content-Type": "audio/mpeg" });
    response.end("downloaded song");
  });
  await new Promise((resolve) => songServer.listen(0, "127.0.0.1", resolve));

  bus = spawn("dbus-daemon", ["--session", "--nofork", "--print-address=1"], { stdio: ["ignore", "pipe", "ignore"] });
  busAddress = (await new Promise((resolve) => createInterface({ input: bus.stdout }).once("line", resolve))).trim();

  shell = spawn(binary, ["serve", "--container", container, "--max-request-bytes", "200000"], {
    stdio: ["pipe", "pipe", "inherit"],
    env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: busAddress },
  });
  const lines = createInterface({ input: shell.stdout });
  address = await new Promise((resolve) => lines.once("line", resolve));
  lines.on("line", (line) => { if (line.startsWith("{")) shellMessages.push(JSON.parse(line)); });
  const url = new URL(address);
  port = Number(url.port);
  origin = url.origin;

  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--autoplay-policy=no-user-gesture-required"],
  });
});

after(async () => {
  await browser?.close();
  shell?.kill("SIGTERM");
  await new Promise((resolve) => shell.once("exit", resolve));
  songServer?.close();
  bus?.kill("SIGTERM");
  rmSync(container, { recursive: true, force: true });
});

test("the server lets in only its own pages", async () => {
  const token = new URL(address).searchParams.get("token");
  assert.equal((await rawRequest("/")).status, 403, "no token");
  assert.equal((await rawRequest("/?token=0123")).status, 403, "wrong token");
  assert.equal((await rawRequest(`/?token=${token}`, { Host: `evil.example:${port}` })).status, 403, "rebinding host");

  const swap = await rawRequest(`/?token=${token}`);
  assert.equal(swap.status, 302);
  assert.equal(swap.headers.location, "/");
  const cookie = swap.headers["set-cookie"][0];
  assert.match(cookie, /HttpOnly/);
  assert.match(cookie, /SameSite=Strict/);
  const session = cookie.split(";")[0];

  const page = await rawRequest("/", { Cookie: session });
  assert.equal(page.status, 200);
  assert.equal(page.headers["x-content-type-options"], "nosniff");
  for (const path of ["/../CMakeLists.txt", "/tracks/../../musicshell-bridge.js", "/%2e%2e/x", "/tracks/"]) {
    assert.equal((await rawRequest(path, { Cookie: session })).status, 404, path);
  }
  const upgrade = { Cookie: session, Connection: "Upgrade", Upgrade: "websocket",
                    "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==" };
  for (const foreign of ["http://evil.example", `http://evil.example:${port}`, `https://127.0.0.1:${port}`]) {
    assert.equal((await rawRequest("/bridge", { ...upgrade, Origin: foreign })).status, 403, foreign);
  }
  assert.equal((await rawRequest("/bridge", { ...upgrade, Cookie: "musicshell=wrong", Origin: origin })).status, 403);
  assert.equal((await rawRequest("/x", { Cookie: session, "X-Big": "y".repeat(20000) })).status, 413);
});

test("the demo page stores, reads back and downloads through the bridge", async () => {
  const page = await openDemo();
  assert.ok(!page.url().includes("token"), "the token leaves the address bar");

  const roundTrip = await page.evaluate(async () => {
    const { Plugins } = await import("/musicshell-bridge.js");
    const written = await Plugins.OfflineStoragePlugin.writeFile({ filename: "browser.txt", data: btoa("hello") });
    const read = await Plugins.OfflineStoragePlugin.readFile({ filename: "browser.txt" });
    return { path: written.path, text: atob(read.data) };
  });
  assert.equal(roundTrip.text, "hello");
  assert.equal(roundTrip.path, join(container, "Library/Application Support/offline/browser.txt"));

  await page.click("#save");
  await page.waitForSelector("#files li >> text=morning.wav");
  assert.equal(readFileSync(join(container, "Library/Application Support/offline/morning.wav")).length, 48044);

  await page.fill("#download-url", `http://127.0.0.1:${songServer.address().port}/song.mp3`);
  await page.fill("#download-name", "typed.mp3");
  await page.click("#download");
  await page.waitForSelector("#message >> text=Downloaded to");
  assert.equal(readFileSync(join(container, "Documents/Downloads/typed.mp3"), "utf8"), "downloaded song");

  await page.fill("#download-url", "");
  await page.click("#download");
  await page.waitForSelector("#message.error >> text=URL is required");
  const refused = await page.evaluate(async () => {
    const { Plugins } = await import("/musicshell-bridge.js");
    return Plugins.OfflineStoragePlugin.readFile({ filename: "missing" }).catch((error) => error.message);
  });
  assert.equal(refused, "File not found");

  mkdirSync(screenshots, { recursive: true });
  await page.screenshot({ path: join(screenshots, "demo.png"), fullPage: true });
  await page.context().close();
});

test("media controls reach every page, and the page's report reaches now playing", async () => {
  const first = await openDemo();
  const second = await openDemo();
  const heard = (page) => page.evaluate(async () => {
    const { Plugins } = await import("/musicshell-bridge.js");
    window.heard = [];
    Plugins.PlaybackStatusPlugin.addListener("changeTrack", (data) => window.heard.push(data));
  });
  await heard(first);
  await heard(second);

  await first.click("#play");
  await first.waitForFunction(() => document.getElementById("state").textContent === "playing");
  await hostRequest({ id: "pause", host: "remoteCommand", command: "pause" });
  await first.waitForFunction(() => document.getElementById("audio").paused);
  const deadline = Date.now() + 10000;
  let state;
  for (let i = 0; Date.now() < deadline; i++) {
    state = (await hostRequest({ id: `now${i}`, host: "nowPlaying" })).data.playbackState;
    if (state === 2) break;
  }
  assert.equal(state, 2, "the page reported itself paused");

  await hostRequest({ id: "next", host: "remoteCommand", command: "nextTrack" });
  for (const page of [first, second]) {
    await page.waitForFunction(() => window.heard.length === 1);
    assert.deepEqual(await page.evaluate(() => window.heard[0]), { dir: 1, event: "changeTrack" });
  }
  await first.context().close();
  await second.context().close();
});

test("an oversized message closes the connection and its call is rejected clearly", async () => {
  const page = await openDemo();
  const message = await page.evaluate(async () => {
    const { Plugins } = await import("/musicshell-bridge.js");
    const data = btoa("x".repeat(300000));
    return Plugins.OfflineStoragePlugin.writeFile({ filename: "big", data }).catch((error) => error.message);
  });
  assert.match(message, /connection to the shell was lost/);
  // The page reconnects by itself and goes on.
  const after = await page.evaluate(async () => {
    const { Plugins } = await import("/musicshell-bridge.js");
    return (await Plugins.OfflineStoragePlugin.fileExists({ filename: "browser.txt" })).exists;
  });
  assert.equal(after, true);
  await page.context().close();
});

test("the desktop's media widget pauses the page, and then shows it paused", async () => {
  const page = await openDemo();
  await page.click("#play");
  await page.waitForFunction(() => document.getElementById("state").textContent === "playing");
  // The page reports asynchronously: wait for the widget to show each report.
  const statusBecomes = async (expected) => {
    const deadline = Date.now() + 10000;
    let status = playerctl("status");
    while (status !== expected && Date.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 50));
      status = playerctl("status");
    }
    return status;
  };
  assert.equal(await statusBecomes("Playing"), "Playing");
  playerctl("pause");
  await page.waitForFunction(() => document.getElementById("audio").paused);
  assert.equal(await statusBecomes("Paused"), "Paused", "the page reported itself paused");
  assert.equal(playerctl("metadata", "title"), "Morning");
  await page.context().close();
});
