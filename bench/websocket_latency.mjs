// Round trips of a small call over the browser bridge, measured inside a headless Chromium page:
// sequential calls, printed as JSON {median, p99} in microseconds.
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createRequire } from "node:module";

const require = createRequire(new URL("../tests/browser/package.json", import.meta.url));
const { chromium } = require("playwright-core");
const [binary, calls = "10000"] = process.argv.slice(2);
const container = mkdtempSync(join(tmpdir(), "musicshell-latency-"));
const shell = spawn(binary, ["serve", "--container", container], { stdio: ["pipe", "pipe", "ignore"] });
const address = await new Promise((resolve) => createInterface({ input: shell.stdout }).once("line", resolve));
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"],
});
try {
  const page = await browser.newPage();
  await page.goto(address);
  const latencies = await page.evaluate(async (count) => {
    const { Plugins } = await import("/musicshell-bridge.js");
    await Plugins.OfflineStoragePlugin.fileExists({ filename: "x" });
    const times = [];
    for (let i = 0; i < count; i++) {
      const started = performance.now();
      await Plugins.OfflineStoragePlugin.fileExists({ filename: "x" });
      times.push((performance.now() - started) * 1000);
    }
    return times;
  }, Number(calls));
  latencies.sort((a, b) => a - b);
  console.log(JSON.stringify({ median: latencies[latencies.length >> 1], p99: latencies[Math.floor(latencies.length * 0.99)] }));
} finally {
  await browser.close();
  shell.kill("SIGTERM");
  rmSync(container, { recursive: true, force: true });
}
