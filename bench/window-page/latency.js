// Round trips of a small call through the window's script-message bridge, measured inside the
// page: the first answered call's time since the navigation began, then sequential calls. The
// figures go back through the bridge itself, into latency.json in the offline store.
import { Plugins } from "/musicshell-bridge.js";

const storage = Plugins.OfflineStoragePlugin;
await storage.fileExists({ filename: "x" });
const firstAnswerAt = Date.now();
const { calls: count } = await (await fetch("settings.json")).json();
const times = [];
const started = performance.now();
for (let i = 0; i < count; i++) {
  const before = performance.now();
  await storage.fileExists({ filename: "x" });
  times.push((performance.now() - before) * 1000);
}
const total = performance.now() - started;
times.sort((a, b) => a - b);
const result = {
  firstAnswerAt,
  totalMs: total,
  median: times[times.length >> 1],
  p99: times[Math.floor(times.length * 0.99)],
};
await storage.writeFile({ filename: "latency.json", data: btoa(JSON.stringify(result)) });
