// The container's media served to the page: by address, in ranges, confined to its two folders.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync, readFileSync, writeFileSync, mkdirSync, symlinkSync, openSync, writeSync, closeSync, ftruncateSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { startShell, logIn, openPage, launchChromium } from "./shell.mjs";

const root = mkdtempSync(join(tmpdir(), "musicshell-media-"));
const container = join(root, "container");
const offline = join(container, "Library/Application Support/offline");
const downloads = join(container, "Documents/Downloads");
let shell;
let session;
let browser;
const get = (path, headers = {}, method) => shell.request(path, { Cookie: session, ...headers }, method);

before(async () => {
  // No session bus: nothing reaches the desktop the tests run on.
  shell = await startShell(["--container", container], { DBUS_SESSION_BUS_ADDRESS: "unix:path=/nonexistent" });
  session = await logIn(shell);
  browser = await launchChromium();
});

after(async () => {
  await browser?.close();
  await shell?.stop();
  rmSync(root, { recursive: true, force: true });
});

test("an offline song plays by its address, and seeks", async () => {
  const page = await openPage(browser, shell, session);
  // Six seconds of 8 kHz audio.
  const song = readFileSync(new URL("../../web/demo/tracks/morning.wav", import.meta.url)).toString("base64");
  const played = await page.evaluate(async (data) => {
    const { Plugins, fileURL } = await import("/musicshell-bridge.js");
    const { path } = await Plugins.OfflineStoragePlugin.writeFile({ filename: "long song.wav", data });
    const audio = new Audio(fileURL(path));
    await new Promise((resolve, reject) => { audio.onloadedmetadata = resolve; audio.onerror = reject; });
    await audio.play();
    audio.currentTime = 4;
    await new Promise((resolve) => { audio.onseeked = resolve; });
    audio.pause();
    let refused;
    try {
      fileURL(path.replace("offline", "offline_temp"));
    } catch (error) {
      refused = error.message;
    }
    return { src: audio.src, seekable: audio.seekable.end(0), time: audio.currentTime, refused, path };
  }, song);
  assert.equal(played.src, `${shell.origin}/files/offline/long%20song.wav`);
  assert.equal(played.seekable, 6);
  assert.ok(played.time >= 4 && played.time < 5, `currentTime ${played.time}`);
  assert.equal(played.refused, `musicshell: ${played.path.replace("offline", "offline_temp")} is ` +
    "neither a stored nor a downloaded file, so no page can load it");
  await page.context().close();
});

test("ranges and HEAD answer from any place in a file, however large", async () => {
  mkdirSync(downloads, { recursive: true });
  writeFileSync(join(downloads, "digits.txt"), "0123456789");

  // Ranges and validators have unit tests; here, the wiring and a file no server may read whole.
  assert.equal((await get("/files/downloads/digits.txt", { Range: "bytes=2-5" })).body, "2345");
  // 64 GiB that hold no data: only a server that never reads a whole file answers these.
  const huge = openSync(join(offline, "huge.bin"), "w");
  ftruncateSync(huge, 64 * 2 ** 30);
  writeSync(huge, "end", 64 * 2 ** 30 - 3);
  closeSync(huge);
  const head = await get("/files/offline/huge.bin", {}, "HEAD");
  assert.equal(head.status, 200);
  assert.equal(head.headers["content-length"], String(64 * 2 ** 30));
  assert.equal(head.body, "");
  const tail = await get("/files/offline/huge.bin", { Range: "bytes=-3" });
  assert.equal(tail.status, 206);
  assert.equal(tail.body, "end");

  // The web application's own files are served the same way, under decoded names.
  const track = await get("/tracks/morning%2ewav", { Range: "bytes=0-3" });
  assert.equal(track.body, "RIFF");
});

test("the files address reaches nothing but regular files in the two folders", async () => {
  writeFileSync(join(root, "secret.txt"), "secret");
  writeFileSync(join(offline, "kept.txt"), "kept");
  symlinkSync(join(root, "secret.txt"), join(offline, "link.txt"));
  execFileSync("mkfifo", [join(offline, "fifo")]);
  mkdirSync(join(offline, "folder"));
  assert.equal((await get("/files/offline/kept.txt")).body, "kept");
  for (const path of [
    "/files/offline/link.txt", // a link to a file outside
    "/files/offline/fifo", // a special file: must not block the server either
    "/files/offline/folder",
    "/files/offline/", "/files/offline/..", "/files/offline/../../../secret.txt",
    "/files/offline/%2e%2e%2f..%2fsecret.txt", "/files/offline/folder%2f..%2fkept.txt",
    "/files/offline/kept.txt%00", "/files/offline/%zz", "/files/tmp/kept.txt", "/files/",
  ]) {
    assert.equal((await get(path)).status, 404, path);
  }
  assert.equal((await shell.request("/files/offline/kept.txt")).status, 403, "no cookie");

  // A downloads folder that is a link to another folder is no way out either.
  rmSync(downloads, { recursive: true });
  symlinkSync(root, downloads);
  assert.equal((await get("/files/downloads/secret.txt")).status, 404);
});
