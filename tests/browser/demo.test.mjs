// The built binary serving the demo page to headless Chromium.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import http from "node:http";
import { mkdtempSync, rmSync, readFileSync, mkdirSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { startShell, eventually, logIn, openPage, launchChromium, startSessionBus } from "./shell.mjs";

const screenshots = process.env.SCREENSHOT_DIR ?? tmpdir();
const container = mkdtempSync(join(tmpdir(), "musicshell-browser-"));

let shell;
let session; // the Cookie header of a logged-in browser
let browser;
let songServer;
let bus;
let releaseSong;

async function openDemo() {
  const page = await openPage(browser, shell, session);
  await page.waitForFunction(() => document.body.dataset.ready === "yes");
  return page;
}

before(async () => {
  // The song is held back until the test has seen the page show the download under way.
  songServer = http.createServer(async (request, response) => {
    await new Promise((resolve) => { releaseSong = resolve; });
    response.writeHead(200, { "Content-Type": "audio/mpeg" });
    response.end("downloaded song");
  });
  await new Promise((resolve) => songServer.listen(0, "127.0.0.1", resolve));

  bus = await startSessionBus();
  shell = await startShell(["--container", container, "--max-request-bytes", "200000"],
    { DBUS_SESSION_BUS_ADDRESS: bus.address });
  // The printed address logs in once: every page of these tests shares that login.
  session = await logIn(shell);
  browser = await launchChromium();
});

after(async () => {
  await browser?.close();
  await shell?.stop();
  songServer?.close();
  bus?.stop();
  rmSync(container, { recursive: true, force: true });
});

// Host, Origin, cookie and path rules have unit tests; this shows they guard the real upgrade.
test("the bridge lets in only the shell's own pages, and long headers are refused", async () => {
  const upgrade = { Connection: "Upgrade", Upgrade: "websocket",
                    "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==" };
  const refused = [{ Cookie: session, Origin: `http://evil.example:${shell.port}` },
                   { Cookie: session, Origin: shell.origin, Host: `evil.example:${shell.port}` },
                   { Cookie: `musicshell-${shell.port}=wrong`, Origin: shell.origin }];
  for (const headers of refused) {
    assert.equal((await shell.request("/bridge", { ...upgrade, ...headers })).status, 403, JSON.stringify(headers));
  }
  assert.equal((await shell.request("/x", { Cookie: session, "X-Big": "y".repeat(20000) })).status, 413);
});

test("the demo page stores and downloads through the bridge", async () => {
  const page = await openDemo();

  await page.click("#save");
  await page.waitForSelector("#files li >> text=morning.wav");
  assert.equal(readFileSync(join(container, "Library/Application Support/offline/morning.wav")).length, 48044);

  await page.fill("#download-url", `http://127.0.0.1:${songServer.address().port}/song.mp3`);
  await page.fill("#download-name", "typed.mp3");
  await page.click("#download");
  await page.waitForSelector("#download:disabled >> text=Downloading…");
  await page.waitForSelector("#message >> text=Downloading typed.mp3…");
  await eventually(() => releaseSong, "the download to reach the server");
  releaseSong();
  await page.waitForSelector("#message >> text=Downloaded typed.mp3");
  assert.equal(readFileSync(join(container, "Documents/Downloads/typed.mp3"), "utf8"), "downloaded song");
  await page.waitForSelector("#downloads li >> text=typed.mp3");
  assert.equal(await page.evaluate(() => [...document.querySelectorAll("#tracks li")].at(-1).textContent),
    "typed.mp3downloadsPlay", "the download joins the track list");

  await page.fill("#download-url", "");
  await page.click("#download");
  await page.waitForSelector("#message.error >> text=URL is required");

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
  await shell.hostRequest({ id: "pause", host: "remoteCommand", command: "pause" });
  await first.waitForFunction(() => document.getElementById("audio").paused);
  let asked = 0;
  await eventually(async () =>
    (await shell.hostRequest({ id: `now${asked++}`, host: "nowPlaying" })).data.playbackState === 2,
  "the page to report itself paused");

  await shell.hostRequest({ id: "next", host: "remoteCommand", command: "nextTrack" });
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
    return (await Plugins.OfflineStoragePlugin.fileExists({ filename: "morning.wav" })).exists;
  });
  assert.equal(after, true);
  await page.context().close();
});

test("the desktop's media widget pauses the page, shows it paused, and stopped once it is gone", async () => {
  const page = await openDemo();
  await page.click("#play");
  await page.waitForFunction(() => document.getElementById("state").textContent === "playing");
  // The page reports asynchronously: wait for the widget to show each report.
  assert.equal(await bus.statusBecomes("Playing"), "Playing");
  bus.playerctl("pause");
  await page.waitForFunction(() => document.getElementById("audio").paused);
  assert.equal(await bus.statusBecomes("Paused"), "Paused", "the page reported itself paused");
  assert.equal(bus.playerctl("metadata", "title"), "Morning");
  await page.context().close();
  assert.equal(await bus.statusBecomes("Stopped"), "Stopped", "no page is left");
});
