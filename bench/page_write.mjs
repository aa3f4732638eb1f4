// A 64 MiB writeFile from a headless Chromium page, sent both ways: as base64 text (made before
// the call) and as bytes in one binary message. Prints {"base64": ms, "binary": ms}, each the
// time from the call to its answer.
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createRequire } from "node:module";

const require = createRequire(new URL("../tests/browser/package.json", import.meta.url));
const { chromium } = require("playwright-core");
const [binary] = process.argv.slice(2);
const container = mkdtempSync(join(tmpdir(), "musicshell-page-write-"));
const shell = spawn(binary, ["serve", "--container", container], { stdio: ["pipe", "pipe", "ignore"] });
const address = await new Promise((resolve) => createInterface({ input: shell.stdout }).once("line", resolve));
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"],
});
try {
  const page = await browser.newPage();
  await page.goto(address);
  const times = await page.evaluate(async () => {
    const { Plugins } = await import("/musicshell-bridge.js");
    const storage = Plugins.OfflineStoragePlugin;
    const bytes = new Uint8Array(64 << 20);
    for (let at = 0; at < bytes.length; at += 65536) {
      crypto.getRandomValues(bytes.subarray(at, at + 65536));
    }
    let binaryText = "";
    for (let at = 0; at < bytes.length; at += 32768) {
      binaryText += String.fromCharCode.apply(null, bytes.subarray(at, at + 32768));
    }
    const text = btoa(binaryText);
    binaryText = "";
    await storage.fileExists({ filename: "x" });
    const timed = async (options) => {
      const started = performance.now();
      await storage.writeFile(options);
      return performance.now() - started;
    };
    return { base64: await timed({ filename: "text.bin", data: text }), binary: await timed({ filename: "bytes.bin", data: bytes }) };
  });
  console.log(JSON.stringify(times));
} finally {
  await browser.close();
  shell.kill("SIGTERM");
  rmSync(container, { recursive: true, force: true });
}
