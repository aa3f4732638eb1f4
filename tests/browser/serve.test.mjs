// The built binary serving over loopback: logging in, then the demo page and the container's
// media in headless Chromium, with the desktop's media widget on a session bus of the test's own.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import http from "node:http";
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync, readFileSync, writeFileSync, mkdirSync, symlinkSync, statSync, existsSync,
  openSync, writeSync, closeSync, readdirSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { startShell, eventually, logIn, sessionCookie, openPage, launchChromium, startSessionBus } from "./shell.mjs";

const root = mkdtempSync(join(tmpdir(), "musicshell-browser-"));
const container = join(root, "container");
const offline = join(container, "Library/Application Support/offline");
// The printed address logs in once: every page here shares that `session`.
let shell, session, browser, songServer, bus, releaseSong;
const get = (path, headers = {}, method, body) => shell.request(path, { Cookie: session, ...headers }, method, body);

async function openDemo(viewport) {
  const page = await openPage(browser, shell, session, viewport);
  await page.waitForFunction(() => document.body.dataset.ready === "yes");
  return page;
}

async function onDemo(body, viewport) {
  const page = await openDemo(viewport);
  return body(page).finally(() => page.context().close());
}

before(async () => {
  // The song is held back until the test has seen the page show the download under way.
  songServer = http.createServer(async (request, response) => {
    // "/body" sends 100000 bytes; "/body?held" stops half-way and never goes on.
    if (request.url === "/missing") return response.writeHead(404).end();
    if (request.url.startsWith("/body")) {
      response.writeHead(200, { "Content-Length": 100000 }).write(Buffer.alloc(50000, 7));
      if (!request.url.endsWith("?held")) response.end(Buffer.alloc(50000, 7));
      return;
    }
    await new Promise((resolve) => { releaseSong = resolve; });
    response.end("downloaded song");
  });
  await new Promise((resolve) => songServer.listen(0, "127.0.0.1", resolve));
  bus = await startSessionBus();
  shell = await startShell(["--container", container, "--max-request-bytes", "4000000"],
    { DBUS_SESSION_BUS_ADDRESS: bus.address });
  session = await logIn(shell);
  browser = await launchChromium();
});

after(async () => {
  await browser?.close();
  await shell?.stop();
  songServer?.close();
  bus?.stop();
  rmSync(root, { recursive: true, force: true });
});

test("--open hands the browser a private page, nothing waits for it, and the printed address logs in once", async () => {
  const folder = mkdtempSync(join(tmpdir(), "musicshell-launcher-"));
  // Stands in for the browser: notes its arguments, then stays as long as the folder does.
  writeFileSync(join(folder, "chromium"), `#!/bin/sh\nprintf '%s\\n' "$@" > "${folder}/arguments"\n` +
    `while [ -d "${folder}" ]; do sleep 0.05; done\n`, { mode: 0o755 });
  // Without a display no browser is started; the stand-in needs none, so any name will do.
  const shell = await startShell(["--container", join(folder, "c"), "--open"], { PATH: `${folder}:${process.env.PATH}`, DISPLAY: ":404" });
  try {
    await eventually(() => existsSync(join(folder, "arguments")), "the browser to start");
    assert.equal((await shell.hostRequest({ id: "while-opening", host: "audioSession" }, 5000)).ok, true);
    const [app, flags, ...rest] = readFileSync(join(folder, "arguments"), "utf8").trim().split("\n");
    assert.deepEqual([flags, rest], ["--disable-features=HardwareMediaKeyHandling,MediaSessionService", []]);
    const page = decodeURIComponent(new URL(app.replace(/^--app=/, "")).pathname);
    assert.equal(statSync(page).mode & 0o777, 0o600);
    const address = new URL(readFileSync(page, "utf8").match(/url=([^"]+)"/)[1]);
    assert.notEqual(address.href, shell.address, "the page's address is not the printed one");
    assert.equal((await shell.request(address.pathname + address.search)).status, 302);

    // The printed address logs in once too, onto a path of the server's own.
    const token = new URL(shell.address).searchParams.get("token");
    const login = await shell.request(`//evil.example/?token=${token}`);
    assert.deepEqual([login.status, login.headers.location], [302, `${shell.origin}//evil.example/`]);
    // Browsers keep cookies by host, not port: named by port, two shells keep their pages apart.
    assert.match(login.headers["set-cookie"][0], new RegExp(`^musicshell-${shell.port}=\\w+; Path=/; HttpOnly; SameSite=Strict$`));
    const again = await shell.request(`/?token=${token}`, { Cookie: sessionCookie(login) });
    assert.deepEqual([again.status, again.headers.location], [302, `${shell.origin}/`], "a logged-in browser is sent on");
  } finally {
    await shell.stop();
    rmSync(folder, { recursive: true, force: true });
  }
});

test("the demo page stores and downloads through the bridge, each failure beside what failed", () => onDemo(async (page) => {
  await page.click("#save");
  await page.waitForSelector("#files li >> text=morning.wav");
  assert.deepEqual(readFileSync(join(offline, "morning.wav")), readFileSync(new URL("../../web/demo/tracks/morning.wav", import.meta.url)));
  await page.waitForSelector("#tracks li.current >> text=kept offline");

  await page.fill("#download-url", `http://127.0.0.1:${songServer.address().port}/song.mp3`);
  await page.fill("#download-name", "typed.mp3");
  await page.click("#download");
  await page.waitForSelector("#running li >> text=typed.mp3");
  (await eventually(() => releaseSong, "the download to reach the server"))();
  await page.waitForSelector("#downloads li >> text=typed.mp3");
  assert.equal(readFileSync(join(container, "Documents/Downloads/typed.mp3"), "utf8"), "downloaded song");
  assert.match(await page.textContent("#tracks li:last-child"), /^typed\.mp3.*downloads/, "the download joins the track list");

  await page.click("#download");
  await page.waitForSelector("#download-error >> text=Type the address of a song to download.");
  await page.fill("#download-url", `http://127.0.0.1:${songServer.address().port}/missing`);
  await page.click("#download");
  await page.waitForSelector("#running li >> text=The server has no song at that address.");
  assert.deepEqual(page.problems, []);

  // The download helper tells this transfer's progress and cancels on its signal.
  const body = `http://127.0.0.1:${songServer.address().port}/body`;
  const outcome = await page.evaluate(async (body) => {
    const { download } = await import("/musicshell-bridge.js");
    const stop = new AbortController();
    const held = await download(`${body}?held`, { fileName: "held.bin", signal: stop.signal,
      onProgress: () => stop.abort() }).catch((error) => error);
    const told = [];
    await download(body, { fileName: "whole.bin", onProgress: ({ received, total }) => told.push([received, total]) });
    return { held: [held.constructor.name, held.name], last: told.at(-1), increasing: told.every((t, i) => !i || t[0] >= told[i - 1][0]) };
  }, body);
  assert.deepEqual(outcome, { held: ["DOMException", "AbortError"], last: [100000, 100000], increasing: true });
  assert.equal(statSync(join(container, "Documents/Downloads/whole.bin")).size, 100000);
}));

// The screenshots are kept where ctest's build tree says, for a person to look at.
test("the demo loads cleanly in a wide window and fits a phone's width", async (t) => {
  const folder = process.env.MUSICSHELL_ARTIFACTS ?? mkdtempSync(join(tmpdir(), "musicshell-artifacts-"));
  mkdirSync(folder, { recursive: true });
  for (const width of [1280, 390]) {
    await onDemo(async (page) => {
      await page.waitForFunction(() => document.getElementById("cover").complete);
      await page.screenshot({ path: join(folder, `demo-${width}.png`), fullPage: true });
      t.diagnostic(`screenshot: ${join(folder, `demo-${width}.png`)}`);
      assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), width, "nothing wider than the window");
      assert.deepEqual([page.problems, await page.isHidden("#debug")], [[], true]);
    }, { width, height: 900 });
  }
});

test("the media widget drives every page, shows what the page reports, and stopped once no page is left", async () => {
  // The second page only listens: a player of its own would report as it loads, and whichever
  // report came last would be what the widget shows.
  const pages = [await openDemo(), await openPage(browser, shell, session, undefined, "/musicshell-bridge.js")];
  for (const page of pages) {
    await page.evaluate(async () => {
      const { Plugins } = await import("/musicshell-bridge.js");
      window.heard = [];
      Plugins.PlaybackStatusPlugin.addListener("changeTrack", (data) => window.heard.push(data));
    });
  }
  const [first] = pages;
  await first.click("#play");
  await first.waitForFunction(() => document.getElementById("state").textContent === "playing");
  // The page reports asynchronously: wait for the widget to show each report.
  await bus.showsStatus("Playing");
  bus.playerctl("pause");
  await first.waitForFunction(() => document.getElementById("audio").paused);
  await bus.showsStatus("Paused");
  // Shuffle, repeat and volume, changed on the desktop, reach the page, which reports them back.
  const element = (id) => `document.getElementById("${id}")`;
  for (const [command, shown, page] of [["shuffle on", "On", `${element("shuffle")}.ariaPressed === "true"`],
    ["loop Track", "Track", `${element("repeat")}.title === "Repeat: this song"`],
    ["volume 0.3", "0.300000", `${element("audio")}.volume === 0.3`]]) {
    bus.playerctl(...command.split(" "));
    await first.waitForFunction(page);
    await eventually(() => bus.playerctl(command.split(" ")[0]) === shown, `the widget to show ${command}`);
  }

  bus.playerctl("next");
  for (const page of pages) {
    await page.waitForFunction(() => window.heard.length === 1);
    assert.deepEqual(await page.evaluate(() => window.heard[0]), { dir: 1, event: "changeTrack" });
    await page.context().close();
  }
  await bus.showsStatus("Stopped");
});

test("bytes are posted to the store exactly, read back by address, and refused as readFile refuses", () => onDemo(async (page) => {
  mkdirSync(offline, { recursive: true });
  symlinkSync(join(root, "secret.txt"), join(offline, "linked.bin"));
  const outcome = await page.evaluate(async () => {
    const { Plugins: { OfflineStoragePlugin: storage }, readFileBytes } = await import("/musicshell-bridge.js");
    const bytes = Uint8Array.from({ length: 70000 }, (_, i) => (i * 7) % 256);
    const failure = (promise) => promise.then(() => "resolved", (error) => error.message);
    // Text over the cap closes the page's connection and rejects its call; the calls below go on.
    const lost = await failure(storage.writeFile({ filename: "big", data: btoa("x".repeat(4500000)) }));
    const paths = [(await storage.writeFile({ filename: "buffer.bin", data: bytes.buffer })).path,
      (await storage.writeFile({ filename: "blob.bin", data: new Blob([bytes]) })).path,
      (await storage.writeFile({ filename: "view.bin", data: bytes.subarray(1000, 2000) })).path];
    const back = new Uint8Array(await readFileBytes("buffer.bin"));
    return { lost, paths, roundTrip: back.length === bytes.length && back.every((b, i) => b === bytes[i]),
      tooLarge: await failure(storage.writeFile({ filename: "big.bin", data: new Uint8Array(4500000) })),
      refusals: await Promise.all(["missing.bin", "../buffer.bin", "", "linked.bin"].map(async (filename) =>
        [await failure(readFileBytes(filename)), await failure(storage.readFile({ filename }))])) };
  });
  const bytes = Buffer.from(Array.from({ length: 70000 }, (_, i) => (i * 7) % 256));
  assert.deepEqual(outcome.paths, ["buffer.bin", "blob.bin", "view.bin"].map((name) => join(offline, name)));
  assert.deepEqual(["buffer.bin", "blob.bin", "view.bin"].map((name) => readFileSync(join(offline, name))),
    [bytes, bytes, bytes.subarray(1000, 2000)]);
  assert.match(outcome.lost, /connection to the shell was lost/);
  assert.equal(outcome.roundTrip, true);
  assert.equal(outcome.tooLarge, "Request too large");
  for (const [bytesRefusal, textRefusal] of outcome.refusals) assert.equal(bytesRefusal, textRefusal);
  // Another site's form, a page not logged in, and no origin at all cannot post into the store.
  const call = encodeURIComponent(JSON.stringify({ id: 1, plugin: "OfflineStoragePlugin", method: "writeFile",
    options: { filename: "posted.bin" } }));
  for (const headers of [{ Origin: "http://evil.example" }, {}, { Origin: shell.origin, Cookie: "" }]) {
    assert.equal((await get(`/bridge?call=${call}`, headers, "POST", "x")).status, 403, JSON.stringify(headers));
  }
  assert.equal((await get(`/bridge?call=${call}`, { Origin: shell.origin }, "POST", "x")).body,
    `{"id":1,"ok":true,"data":{"path":"${join(offline, "posted.bin")}"}}`, "the page's own origin may");
  assert.deepEqual([existsSync(join(offline, "big")) || existsSync(join(offline, "big.bin")), readdirSync(join(container, "Library/.musicshell-writes"))], [false, []]);
}));

test("an offline song plays by its address, and seeks", () => onDemo(async (page) => {
  // Six seconds of 8 kHz audio, under a name that must be escaped to be loaded by address.
  const song = readFileSync(new URL("../window-page/tone.wav", import.meta.url)).toString("base64");
  const played = await page.evaluate(async (data) => {
    const { Plugins, fileURL } = await import("/musicshell-bridge.js");
    const { path } = await Plugins.OfflineStoragePlugin.writeFile({ filename: "long song #1 100%.wav", data });
    const audio = new Audio(fileURL(path));
    await new Promise((resolve, reject) => { audio.onloadedmetadata = resolve; audio.onerror = reject; });
    await audio.play();
    audio.currentTime = 4;
    await new Promise((resolve) => { audio.onseeked = resolve; });
    audio.pause();
    const elsewhere = path.replace("offline", "offline_temp");
    const refused = (() => { try { fileURL(elsewhere); } catch (error) { return error.message; } })();
    return { src: audio.src, seekable: audio.seekable.end(0), time: audio.currentTime, refused, elsewhere };
  }, song);
  assert.ok(played.time >= 4 && played.time < 5, `currentTime ${played.time}`);
  assert.deepEqual([played.src, played.seekable, played.refused], [`${shell.origin}/files/offline/long%20song%20%231%20100%25.wav`, 6,
    `musicshell: ${played.elsewhere} is neither a stored nor a downloaded file, so no page can load it`]);
}));

// Ranges have unit tests; here, a file no server may read whole, and what the path may reach.
test("the files address serves any part of a large file, and nothing but regular files in its two folders", async () => {
  // 64 GiB that hold no data, but for their last three bytes.
  const huge = openSync(join(offline, "huge.bin"), "w");
  writeSync(huge, "end", 64 * 2 ** 30 - 3);
  closeSync(huge);
  const head = await get("/files/offline/huge.bin", {}, "HEAD");
  assert.deepEqual([head.status, head.headers["content-length"], head.body], [200, String(64 * 2 ** 30), ""]);
  const tail = await get("/files/offline/huge.bin", { Range: "bytes=-3" });
  assert.deepEqual([tail.status, tail.body], [206, "end"]);

  writeFileSync(join(root, "secret.txt"), "secret");
  writeFileSync(join(offline, "kept.txt"), "kept");
  symlinkSync(join(root, "secret.txt"), join(offline, "link.txt"));
  execFileSync("mkfifo", [join(offline, "fifo")]);
  mkdirSync(join(offline, "folder"));
  assert.equal((await get("/files/offline/kept.txt")).body, "kept");
  // A page's own route, reloaded, gets its index; no other missing file does.
  const html = { Accept: "text/html,application/xhtml+xml;q=0.9" };
  assert.equal((await get("/album/7", html)).body, (await get("/")).body);
  for (const [path, headers = {}] of [
    ["/files/offline/link.txt"], // a link to a file outside
    ["/files/offline/fifo"], // a special file: must not block the server either
    ["/files/offline/folder"], ["/files/offline/"], ["/files/offline/.."], ["/files/offline/../../../secret.txt"],
    ["/files/offline/%2e%2e%2f..%2fsecret.txt"], ["/files/offline/folder%2f..%2fkept.txt"], ["/files/tmp/kept.txt"],
    ["/album/7"], ["/album/7.mp3", html], ["/files/offline/none", html], ["/bridge", html],
  ]) {
    assert.equal((await get(path, headers)).status, 404, path);
  }
  // A downloads folder that is a link to another folder is no way out either.
  rmSync(join(container, "Documents/Downloads"), { recursive: true });
  symlinkSync(root, join(container, "Documents/Downloads"));
  assert.equal((await get("/files/downloads/secret.txt")).status, 404);
});
