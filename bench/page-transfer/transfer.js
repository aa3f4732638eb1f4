// 64 MiB between this page and the store, measured inside the page, from each call to its answer:
// writeFile as base64 text once, then writeFile of the bytes and readFileBytes `runs` times each
// (from the address's fragment). The figures and the bytes' SHA-256 go back through the bridge
// itself, into transfer.json in the offline store.
import { Plugins, readFileBytes } from "/musicshell-bridge.js";

const storage = Plugins.OfflineStoragePlugin;
const runs = Number(new URLSearchParams(location.hash.slice(1)).get("runs") ?? 3);
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

const timed = async (work) => {
  const started = performance.now();
  await work();
  return performance.now() - started;
};
const result = { base64: await timed(() => storage.writeFile({ filename: "text.bin", data: text })), post: [], readBytes: [] };
for (let run = 0; run < runs; run++) {
  result.post.push(await timed(() => storage.writeFile({ filename: "bytes.bin", data: bytes })));
  result.readBytes.push(await timed(async () => {
    if ((await readFileBytes("bytes.bin")).byteLength !== bytes.length) {
      throw new Error("readFileBytes gave a short file");
    }
  }));
}
result.sha256 = Array.from(new Uint8Array(await crypto.subtle.digest("SHA-256", bytes)),
  (byte) => byte.toString(16).padStart(2, "0")).join("");
await storage.writeFile({ filename: "transfer.json", data: btoa(JSON.stringify(result)) });
