import { Plugins } from "/musicshell-bridge.js";

const { PlaybackStatusPlugin, OfflineStoragePlugin, DownloadPlugin } = Plugins;
const tracks = [
  { title: "Morning", artist: "musicshell demo", url: "tracks/morning.wav", file: "morning.wav" },
  { title: "Evening", artist: "musicshell demo", url: "tracks/evening.wav", file: "evening.wav" },
];
const $ = (id) => document.getElementById(id);
const audio = $("audio");
let current = 0;
let lastTimeReport = 0;

function show(message, isError = false) {
  $("message").textContent = message;
  $("message").className = isError ? "error" : "";
}

async function attempt(action) {
  try {
    return await action();
  } catch (error) {
    show(error.message, true);
    return undefined;
  }
}

function clock(seconds) {
  const whole = Math.floor(seconds || 0);
  return `${Math.floor(whole / 60)}:${String(whole % 60).padStart(2, "0")}`;
}

function report() {
  const track = tracks[current];
  const state = audio.paused ? (audio.currentTime > 0 ? "paused" : "stopped") : "playing";
  $("state").textContent = state;
  return attempt(() => PlaybackStatusPlugin.updateStatus({
    state,
    position: Math.round(audio.currentTime * 1000),
    duration: Math.round((audio.duration || 0) * 1000),
    playbackRate: audio.playbackRate,
    title: track.title,
    artist: track.artist,
    album: "Demo",
  }));
}

function load(index, source) {
  current = (index + tracks.length) % tracks.length;
  $("title").textContent = tracks[current].title;
  $("source").textContent = source ? "from the offline store" : "bundled";
  audio.src = source ?? tracks[current].url;
}

async function play() {
  await attempt(() => audio.play());
}

function seekTo(seconds) {
  audio.currentTime = Math.max(0, Math.min(seconds, audio.duration || seconds));
}

function toBase64(bytes) {
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  }
  return btoa(text);
}

function fromBase64(text) {
  return Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
}

async function refreshStore() {
  const listing = await attempt(() => OfflineStoragePlugin.listFiles());
  const list = $("files");
  list.replaceChildren();
  for (const name of listing?.files ?? []) {
    const item = document.createElement("li");
    const label = document.createElement("span");
    label.textContent = name;
    const button = document.createElement("button");
    button.textContent = "Play";
    button.addEventListener("click", () => playStored(name));
    item.append(label, button);
    list.append(item);
  }
  const figures = await attempt(() => OfflineStoragePlugin.getStorageInfo());
  if (figures) {
    const gigabytes = (bytes) => `${(bytes / 1e9).toFixed(1)} GB`;
    $("used").textContent = `${figures.used} bytes`;
    $("total").textContent = gigabytes(figures.total);
    $("free").textContent = gigabytes(figures.free);
  }
}

async function saveCurrent() {
  const track = tracks[current];
  const bytes = new Uint8Array(await (await fetch(track.url)).arrayBuffer());
  const saved = await attempt(() => OfflineStoragePlugin.writeFile({ filename: track.file, data: toBase64(bytes) }));
  if (saved) {
    show(`Saved to ${saved.path}`);
    await refreshStore();
  }
}

async function playStored(name) {
  const stored = await attempt(() => OfflineStoragePlugin.readFile({ filename: name }));
  if (!stored) {
    return;
  }
  const index = Math.max(0, tracks.findIndex((track) => track.file === name));
  load(index, URL.createObjectURL(new Blob([fromBase64(stored.data)], { type: "audio/wav" })));
  show(`Playing ${name} from the offline store`);
  await play();
}

async function download() {
  const url = $("download-url").value.trim();
  const fileName = $("download-name").value.trim() || undefined;
  const result = await attempt(() => DownloadPlugin.downloadFile({ url, fileName }));
  if (result) {
    show(`Downloaded to ${result.path}`);
  }
}

$("play").addEventListener("click", play);
$("pause").addEventListener("click", () => audio.pause());
$("next").addEventListener("click", () => { load(current + 1); play(); });
$("prev").addEventListener("click", () => { load(current - 1); play(); });
$("seek").addEventListener("input", () => seekTo(($("seek").value / 1000) * (audio.duration || 0)));
$("save").addEventListener("click", saveCurrent);
$("refresh").addEventListener("click", refreshStore);
$("download").addEventListener("click", download);

audio.addEventListener("play", report);
audio.addEventListener("pause", report);
audio.addEventListener("seeked", report);
audio.addEventListener("loadedmetadata", () => { $("length").textContent = clock(audio.duration); report(); });
audio.addEventListener("ended", () => { load(current + 1); play(); });
audio.addEventListener("timeupdate", () => {
  $("elapsed").textContent = clock(audio.currentTime);
  $("seek").value = audio.duration ? (audio.currentTime / audio.duration) * 1000 : 0;
  // The lock screen advances the clock itself; twice a second keeps it honest.
  if (performance.now() - lastTimeReport >= 500) {
    lastTimeReport = performance.now();
    report();
  }
});

// The system's media controls, relayed by the shell.
PlaybackStatusPlugin.addListener("playMusic", play);
PlaybackStatusPlugin.addListener("pauseMusic", () => audio.pause());
PlaybackStatusPlugin.addListener("changeTrack", ({ dir }) => { load(current + dir); play(); });
PlaybackStatusPlugin.addListener("iosSeek", ({ time }) => seekTo(time));

load(0);
refreshStore();
attempt(() => OfflineStoragePlugin.getDeviceId()).then((id) => { if (id) $("device").textContent = id.deviceId; });
