// Drives the bridge from inside musicshell's window and reports what happened through the bridge
// itself: the report is a file in the offline store that the test reads.
import { Plugins, fileURL } from "/musicshell-bridge.js";

const { OfflineStoragePlugin: storage, PlaybackStatusPlugin: status, DownloadPlugin: download } = Plugins;
const report = { page: Math.random().toString(36).slice(2), calls: {}, events: [],
  road: globalThis.__musicshellChannel ? "channel" : "script message" };
let saving = Promise.resolve();

function save() {
  const data = btoa(unescape(encodeURIComponent(JSON.stringify(report))));
  saving = saving.then(() => storage.writeFile({ filename: "report.json", data })).catch(() => {});
}

const outcome = (call) => Promise.resolve().then(call).then((data) => ({ ok: true, data: data ?? null }),
  (error) => ({ ok: false, message: error.message }));

Plugins.App.addListener("appUrlOpen", (data) => {
  report.events.push({ appUrlOpen: data.url });
  save();
  if (data.url === "musicshell://reload") {
    location.reload();
  }
});
// A reloaded page reports no playback of its own, so what the widget shows is the shell's doing.
report.reloaded = sessionStorage.getItem("loaded") !== null;
sessionStorage.setItem("loaded", "yes");

// A page that tries to leave on its own must stay where it is.
window.location.assign("https://example.com/elsewhere");

// One call of each plugin (the download from the page's own server), and the window's own refusal.
const calls = {
  readFile: () => storage.writeFile({ filename: "a.txt", data: "aGk=" }).then(() => storage.readFile({ filename: "a.txt" })),
  updateStatus: () => report.reloaded ? null : status.updateStatus({ state: "paused", title: "Tone", duration: 3000 }),
  downloadFile: () => download.downloadFile({ url: new URL("tone.wav", location.href).href, fileName: "song.wav" }),
  tooLarge: () => storage.writeFile({ filename: "big.txt", data: "A".repeat(131072) }),
};
for (const [name, call] of Object.entries(calls)) {
  report.calls[name] = await outcome(call);
}
save();

// A song stored from the page's bytes plays from the container, and a seek lands where it was put.
const audio = document.getElementById("audio");
const played = new Promise((resolve) => audio.addEventListener("timeupdate", function check() {
  if (audio.currentTime > 0.2) {
    audio.removeEventListener("timeupdate", check);
    resolve(audio.currentTime);
  }
}));
report.media = await outcome(async () => {
  const tone = await (await fetch("tone.wav")).blob();
  audio.src = fileURL((await storage.writeFile({ filename: "tone.wav", data: tone })).path);
  await audio.play();
  const advanced = await played;
  const seeked = new Promise((resolve) => audio.addEventListener("seeked", resolve, { once: true }));
  audio.currentTime = 2;
  await seeked;
  return { advanced, afterSeek: audio.currentTime };
});
save();
