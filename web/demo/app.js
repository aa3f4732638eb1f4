import { Plugins, fileURL, download } from "/musicshell-bridge.js";

const { PlaybackStatusPlugin, OfflineStoragePlugin, DownloadPlugin } = Plugins;
const bundled = [
  { title: "Morning", url: "tracks/morning.wav", file: "morning.wav", source: "bundled" },
  { title: "Evening", url: "tracks/evening.wav", file: "evening.wav", source: "bundled" },
];
const artwork = new URL("cover.png", window.location.href).href;
const $ = (id) => document.getElementById(id);
const audio = $("audio");
let tracks = bundled;
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

function readable(bytes) {
  const units = ["bytes", "KB", "MB", "GB", "TB"];
  let unit = 0;
  while (bytes >= 1000 && unit < units.length - 1) {
    bytes /= 1000;
    unit += 1;
  }
  return `${unit === 0 ? bytes : bytes.toFixed(1)} ${units[unit]}`;
}

function report() {
  const track = tracks[current];
  const state = audio.paused ? (audio.currentTime > 0 ? "paused" : "stopped") : "playing";
  $("state").textContent = state;
  $("play").title = $("play").ariaLabel = audio.paused ? "Play" : "Pause";
  $("play-icon").setAttribute("d", audio.paused ? "M8 5v14l11-7z" : "M6 5h4v14H6zM14 5h4v14h-4z");
  return attempt(async () => {
    await PlaybackStatusPlugin.updateStatus({
      state,
      position: Math.round(audio.currentTime * 1000),
      duration: Math.round((audio.duration || 0) * 1000),
      playbackRate: audio.playbackRate,
      title: track.title,
      artist: "musicshell demo",
      album: "Demo",
      thumbnail: artwork,
    });
    $("widget").textContent = `${state}, ${track.title}`;
  });
}

function load(index) {
  current = (index + tracks.length) % tracks.length;
  const track = tracks[current];
  $("title").textContent = track.title;
  $("source").textContent = track.source;
  audio.src = track.url;
  renderTracks();
}

async function play() {
  await attempt(() => audio.play());
}

function playTrack(index) {
  load(index);
  play();
}

function seekTo(seconds) {
  audio.currentTime = Math.max(0, Math.min(seconds, audio.duration || seconds));
}

// A list item: a label, a detail and buttons.
function item(label, detail, buttons) {
  const entry = document.createElement("li");
  const text = document.createElement("span");
  text.textContent = label;
  const small = document.createElement("small");
  small.textContent = detail;
  text.append(small);
  entry.append(text);
  for (const [caption, action] of buttons) {
    const button = document.createElement("button");
    button.textContent = caption;
    button.addEventListener("click", action);
    entry.append(button);
  }
  return entry;
}

function renderTracks() {
  $("tracks").replaceChildren(...tracks.map((track, index) =>
    item(`${index === current ? "▶ " : ""}${track.title}`, track.source, [["Play", () => playTrack(index)]])));
}

// Bundled tracks, then the stored songs, then the downloaded ones, all played by address.
async function refresh() {
  const listing = await attempt(() => OfflineStoragePlugin.listFiles());
  const names = listing?.files ?? [];
  const sizes = await Promise.all(names.map(async (name) => {
    const response = await fetch(`/files/offline/${encodeURIComponent(name)}`, { method: "HEAD" });
    return Number(response.headers.get("Content-Length"));
  }));
  $("files").replaceChildren(...names.map((name, index) => item(name, readable(sizes[index]), [
    ["Delete", () => remove(name)],
  ])));
  const stored = names.map((name) => ({ title: name, url: `/files/offline/${encodeURIComponent(name)}`, source: "offline store" }));
  const files = (await attempt(() => DownloadPlugin.listDownloads()))?.files ?? [];
  const downloaded = files.map(({ name }) => ({ title: name, url: fileURL(`/Documents/Downloads/${name}`), source: "downloads" }));
  $("downloads").replaceChildren(...files.map(({ name, size }, index) => item(name, readable(size), [
    ["Play", () => playTrack(tracks.findIndex((entry) => entry.url === downloaded[index].url))],
    ["Delete", () => removeDownload(name)],
  ])));
  const playing = tracks[current]?.url;
  tracks = [...bundled, ...stored, ...downloaded];
  current = Math.max(0, tracks.findIndex((track) => track.url === playing));
  renderTracks();

  const figures = await attempt(() => OfflineStoragePlugin.getStorageInfo());
  if (figures) {
    $("used").textContent = readable(figures.used);
    $("free").textContent = readable(figures.free);
    $("total").textContent = readable(figures.total);
  }
}

function toBase64(bytes) {
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  }
  return btoa(text);
}

async function saveCurrent() {
  const track = tracks[current];
  const name = track.file ?? track.title;
  const bytes = new Uint8Array(await (await fetch(track.url)).arrayBuffer());
  if (await attempt(() => OfflineStoragePlugin.writeFile({ filename: name, data: toBase64(bytes) }))) {
    show(`Saved ${name} in the offline store`);
    await refresh();
  }
}

async function remove(name) {
  if (await attempt(() => OfflineStoragePlugin.deleteFile({ filename: name }))) {
    show(`Deleted ${name}`);
    await refresh();
  }
}

async function removeDownload(name) {
  if (await attempt(() => DownloadPlugin.deleteDownload({ fileName: name }))) {
    show(`Deleted ${name}`);
    await refresh();
  }
}

// Each running download gets a row with a progress bar, its size and speed, and a cancel button.
async function startDownload() {
  const url = $("download-url").value.trim();
  const fileName = $("download-name").value.trim() || undefined;
  const name = fileName ?? "audio.mp3";
  const stop = new AbortController();
  const bar = document.createElement("progress");
  const row = item(name, "starting…", [["Cancel", () => stop.abort()]]);
  row.querySelector("span").append(bar);
  $("running").append(row);
  const onProgress = ({ received, total, bytesPerSecond }) => {
    bar.max = total ?? 0;
    bar.value = received;
    if (total === null) {
      bar.removeAttribute("value");
    }
    row.querySelector("small").textContent =
      `${readable(received)}${total === null ? "" : ` of ${readable(total)}`} · ${readable(bytesPerSecond)}/s`;
  };
  const result = await attempt(() => download(url, { fileName, onProgress, signal: stop.signal }));
  row.remove();
  if (result) {
    show(`Downloaded ${name}`);
    await refresh();
  }
}

function mediaKey(name, action) {
  return (data) => {
    $("media-key").textContent = name;
    action(data);
  };
}

$("play").addEventListener("click", () => (audio.paused ? play() : audio.pause()));
$("next").addEventListener("click", () => playTrack(current + 1));
$("prev").addEventListener("click", () => playTrack(current - 1));
$("seek").addEventListener("input", () => seekTo(($("seek").value / 1000) * (audio.duration || 0)));
$("save").addEventListener("click", saveCurrent);
$("download").addEventListener("click", startDownload);

audio.addEventListener("play", report);
audio.addEventListener("pause", report);
audio.addEventListener("seeked", report);
audio.addEventListener("loadedmetadata", () => { $("length").textContent = clock(audio.duration); report(); });
audio.addEventListener("ended", () => playTrack(current + 1));
audio.addEventListener("timeupdate", () => {
  $("elapsed").textContent = clock(audio.currentTime);
  $("seek").value = audio.duration ? (audio.currentTime / audio.duration) * 1000 : 0;
  // The widget advances the clock itself; twice a second keeps it honest.
  if (performance.now() - lastTimeReport >= 500) {
    lastTimeReport = performance.now();
    report();
  }
});

// The system's media controls, relayed by the shell.
PlaybackStatusPlugin.addListener("playMusic", mediaKey("play", play));
PlaybackStatusPlugin.addListener("pauseMusic", mediaKey("pause", () => audio.pause()));
PlaybackStatusPlugin.addListener("changeTrack", mediaKey("next / previous", ({ dir }) => playTrack(current + dir)));
PlaybackStatusPlugin.addListener("iosSeek", mediaKey("seek", ({ time }) => seekTo(time)));

load(0);
refresh().then(() => { document.body.dataset.ready = "yes"; });
