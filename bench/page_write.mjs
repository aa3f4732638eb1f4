// 64 MiB between a headless Chromium page and the store, each way beside the standard tool doing
// the same on the same disk in the same run. The page (bench/page-transfer) times writeFile as
// base64 text and as posted bytes, and readFileBytes; here, `dd bs=4M conv=fsync` copies the stored
// file, curl posts it to the store the page's way, and `curl -o /dev/null` fetches its address with
// the page's login. Prints milliseconds as {"base64", "post", "dd", "curlPost", "readBytes",
// "curl"}, all but the first the median of `runs` (default 3); a page's figure runs from the call to
// its answer, a tool's includes its start. The browser is driven by no debugging protocol on the
// page: one that watches its requests copies every posted body, and would be measured instead.
import { spawn, execFileSync } from "node:child_process";
import { createInterface } from "node:readline";
import { mkdtempSync, rmSync, readFileSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createRequire } from "node:module";
import { createHash } from "node:crypto";

const require = createRequire(new URL("../tests/browser/package.json", import.meta.url));
const { WebSocket } = require("ws");
const [binary, runs = "3"] = process.argv.slice(2);
const work = mkdtempSync(join(tmpdir(), "musicshell-page-write-"));
const container = join(work, "container");
const store = join(container, "Library/Application Support/offline");
const shell = spawn(binary, ["serve", "--container", container, "--app", new URL("page-transfer", import.meta.url).pathname],
  { stdio: ["pipe", "pipe", "ignore"] });
const address = await new Promise((resolve) => createInterface({ input: shell.stdout }).once("line", resolve));
const origin = new URL(address).origin;
const browser = spawn("/usr/bin/chromium", ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
  "--disable-background-networking", "--remote-debugging-port=0", `--user-data-dir=${join(work, "profile")}`,
  `${address}#runs=${runs}`], { stdio: ["ignore", "ignore", "pipe"] });
const median = (values) => values.sort((a, b) => a - b)[values.length >> 1];
const until = async (condition, what) => {
  for (const deadline = Date.now() + 600000; !condition();) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
};
const timedTool = (command, ...args) => {
  execFileSync("sync");  // nothing an earlier step left dirty is written out inside this one
  const started = performance.now();
  execFileSync(command, args, { stdio: "ignore" });
  return performance.now() - started;
};

try {
  const devtools = await new Promise((resolve) => createInterface({ input: browser.stderr }).on("line", (line) => {
    const found = line.match(/DevTools listening on (ws:\S+)/);
    if (found) resolve(found[1]);
  }));
  await until(() => existsSync(join(store, "transfer.json")), "the page's figures");
  const page = JSON.parse(readFileSync(join(store, "transfer.json"), "utf8"));
  if (page.sha256 !== createHash("sha256").update(readFileSync(join(store, "bytes.bin"))).digest("hex")) {
    throw new Error("the stored file is not the bytes the page sent");
  }
  // The login the page got, asked of the browser, not of the page.
  const socket = new WebSocket(devtools);
  await new Promise((resolve) => socket.once("open", resolve));
  socket.send(JSON.stringify({ id: 1, method: "Storage.getCookies" }));
  const { result } = await new Promise((resolve) => socket.once("message", (data) => resolve(JSON.parse(data))));
  socket.close();
  const { name, value } = result.cookies.find((cookie) => cookie.name.startsWith("musicshell-"));
  const call = encodeURIComponent(JSON.stringify({ id: 1, plugin: "OfflineStoragePlugin", method: "writeFile",
    options: { filename: "curl.bin" } }));
  const stored = join(store, "bytes.bin");
  const tools = { dd: [], curlPost: [], curl: [] };
  for (let run = 0; run < Number(runs); ++run) {
    tools.dd.push(timedTool("dd", `if=${stored}`, `of=${join(work, "dd.bin")}`, "bs=4M", "conv=fsync"));
    // The page's own road with curl as the client: the shell's share of the page's figure.
    tools.curlPost.push(timedTool("curl", "-s", "-o", "/dev/null", "-H", "Expect:", "-b", `${name}=${value}`,
      "-H", `Origin: ${origin}`, "--data-binary", `@${stored}`, `${origin}/bridge?call=${call}`));
    tools.curl.push(timedTool("curl", "-s", "-o", "/dev/null", "-b", `${name}=${value}`, `${origin}/files/offline/bytes.bin`));
  }
  console.log(JSON.stringify({ base64: page.base64, post: median(page.post), dd: median(tools.dd),
    curlPost: median(tools.curlPost), readBytes: median(page.readBytes), curl: median(tools.curl) }));
} finally {
  browser.kill("SIGTERM");
  shell.kill("SIGTERM");
  await new Promise((resolve) => browser.exitCode !== null ? resolve() : browser.once("exit", resolve));
  rmSync(work, { recursive: true, force: true });
}
