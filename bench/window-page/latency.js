// Round trips of a small call through each road the window offers, measured inside the page: the
// first answered call's time since the navigation began, then sequential calls through the
// client as it stands (the page channel), through the view's script messages as the client sends
// them without the channel, and through a WebSocket of the page's own to /bridge, in rounds that
// take turns so that load falls on all alike. The page's clock ticks in whole milliseconds, so a
// call's time is read as the mean of a batch of calls. The figures go back through the bridge
// itself, into latency.json in the offline store.
import { Plugins } from "/musicshell-bridge.js";

const storage = Plugins.OfflineStoragePlugin;
await storage.fileExists({ filename: "x" });
const firstAnswerAt = Date.now();
const { calls: count } = await (await fetch("settings.json")).json();
const BATCH = 20;
const ROUNDS = 10;

const socket = new WebSocket(new URL("/bridge", location.href).href.replace(/^http/, "ws"));
await new Promise((resolve) => socket.addEventListener("open", resolve, { once: true }));
let answer = null;
socket.addEventListener("message", () => answer());
const overSocket = (id) => new Promise((resolve) => {
  answer = resolve;
  socket.send(JSON.stringify({ id, plugin: "OfflineStoragePlugin", method: "fileExists", options: { filename: "x" } }));
});

const handler = window.webkit.messageHandlers.musicshell;
const roads = {
  client: () => storage.fileExists({ filename: "x" }),
  "script message": (i) => handler.postMessage(
    JSON.stringify({ id: i, plugin: "OfflineStoragePlugin", method: "fileExists", options: { filename: "x" } })),
  socket: (i) => overSocket(i),
};
const batches = Object.fromEntries(Object.keys(roads).map((name) => [name, []]));
const totals = Object.fromEntries(Object.keys(roads).map((name) => [name, 0]));
for (let round = 0; round < ROUNDS; round++) {
  for (const [name, call] of Object.entries(roads)) {
    const started = performance.now();
    for (let i = 0; i < count / ROUNDS; i += BATCH) {
      const before = performance.now();
      for (let j = 0; j < BATCH; j++) {
        await call(i + j);
      }
      batches[name].push(((performance.now() - before) * 1000) / BATCH);
    }
    totals[name] += performance.now() - started;
  }
}
const figures = (name) => {
  const times = batches[name].sort((a, b) => a - b);
  return { totalMs: totals[name], median: times[times.length >> 1], p99: times[Math.floor(times.length * 0.99)] };
};
const result = {
  firstAnswerAt,
  ...figures("client"),
  roads: Object.fromEntries(Object.keys(roads).map((name) => [name, figures(name)])),
};
await storage.writeFile({ filename: "latency.json", data: btoa(JSON.stringify(result)) });
