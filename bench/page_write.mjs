// 64 MiB between a headless Chromium page and the store, each way beside the standard tool doing
// the same on the same disk in the same run: writeFile as base64 text (made before the call) and as
// bytes posted to the page's server, against `dd bs=4M conv=fsync` copying the stored file;
// readFileBytes against `curl -o /dev/null` of the same address with the same login. Prints
// milliseconds as {"base64", "post", "dd", "curlPost", "readBytes", "curl"}, all but the first the
// median of `runs` (default 3); "curlPost" is curl posting the same bytes the page posts. A page's
// figure runs from the call to its answer, a tool's includes its start.
import { spawn, execFileSync } from "node:child_process";
import { createInterface } from "node:readline";
import { mkdtempSync, rmSync, readFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createRequire } from "node:module";
import { createHash } from "node:crypto";

const require = createRequire(new URL("../tests/browser/package.json", import.meta.url));
const { chromium } = require("playwright-core");
const [binary, runs = "3"] = process.argv.slice(2);
const container = mkdtempSync(join(tmpdir(), "musicshell-page-write-"));
const stored = join(container, "Library/Application Support/offline/bytes.bin");
const shell = spawn(binary, ["serve", "--container", container], { stdio: ["pipe", "pipe", "ignore"] });
const address = await new Promise((resolve) => createInterface({ input: shell.stdout }).once("line", resolve));
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"],
});
const median = (values) => values.sort((a, b) => a - b)[values.length >> 1];
// Nothing an earlier step left dirty is written out inside the next one.
const sync = () => execFileSync("sync");
const timedTool = (command, ...args) => {
  sync();
  const started = performance.now();
  execFileSync(command, args, { stdio: "ignore" });
  return performance.now() - started;
};

try {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(address);
  await page.evaluate(async () => {
    window.bridge = await import("/musicshell-bridge.js");
    const bytes = new Uint8Array(64 << 20);
    for (let at = 0; at < bytes.length; at += 65536) {
      crypto.getRandomValues(bytes.subarray(at, at + 65536));
    }
    let binaryText = "";
    for (let at = 0; at < bytes.length; at += 32768) {
      binaryText += String.fromCharCode.apply(null, bytes.subarray(at, at + 32768));
    }
    window.bytes = bytes;
    window.text = btoa(binaryText);
    await window.bridge.Plugins.OfflineStoragePlugin.fileExists({ filename: "x" });
  });
  const timedPage = (body) => {
    sync();
    return page.evaluate(async (source) => {
      const started = performance.now();
      await (0, eval)(source)();
      return performance.now() - started;
    }, body);
  };
  const times = { base64: await timedPage(`() => bridge.Plugins.OfflineStoragePlugin.writeFile({ filename: "text.bin", data: text })`) };
  const [{ name, value }] = (await context.cookies()).filter((cookie) => cookie.name.startsWith("musicshell-"));
  const url = `${new URL(address).origin}/files/offline/bytes.bin`;
  const call = encodeURIComponent(JSON.stringify({ id: 1, plugin: "OfflineStoragePlugin", method: "writeFile",
    options: { filename: "curl.bin" } }));
  const samples = { post: [], dd: [], curlPost: [], readBytes: [], curl: [] };
  for (let run = 0; run < Number(runs); ++run) {
    samples.post.push(await timedPage(`() => bridge.Plugins.OfflineStoragePlugin.writeFile({ filename: "bytes.bin", data: bytes })`));
    samples.dd.push(timedTool("dd", `if=${stored}`, `of=${join(container, "dd.bin")}`, "bs=4M", "conv=fsync"));
    // The same road with curl as the client: the shell's share of the page's figure.
    samples.curlPost.push(timedTool("curl", "-s", "-o", "/dev/null", "-H", "Expect:", "-b", `${name}=${value}`,
      "-H", `Origin: ${new URL(address).origin}`, "--data-binary", `@${stored}`, `${new URL(address).origin}/bridge?call=${call}`));
    samples.readBytes.push(await timedPage(`async () => { if ((await bridge.readFileBytes("bytes.bin")).byteLength !== 64 << 20) throw new Error("short"); }`));
    samples.curl.push(timedTool("curl", "-s", "-o", "/dev/null", "-b", `${name}=${value}`, url));
  }
  const sent = await page.evaluate(async () =>
    Array.from(new Uint8Array(await crypto.subtle.digest("SHA-256", bytes)), (b) => b.toString(16).padStart(2, "0")).join(""));
  if (sent !== createHash("sha256").update(readFileSync(stored)).digest("hex")) {
    throw new Error("the stored file is not the bytes the page sent");
  }
  for (const [key, values] of Object.entries(samples)) {
    times[key] = median(values);
  }
  console.log(JSON.stringify(times));
} finally {
  await browser.close();
  shell.kill("SIGTERM");
  rmSync(container, { recursive: true, force: true });
}
