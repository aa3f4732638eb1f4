// The songs the player keeps: the offline store and the downloads, each with its state and, when
// something fails, the reason beside it. Storage and transfers go through the bridge.
import { Plugins, fileURL, download } from "/musicshell-bridge.js";
import { plain } from "./words.js";

const { OfflineStoragePlugin: storage, DownloadPlugin: downloads } = Plugins;
const $ = (id) => document.getElementById(id);

let stored = []; // names in the offline store
let downloaded = []; // { name, size }
const sizes = new Map(); // stored name -> bytes
const saving = new Map(); // name -> "saving" or an error in plain words
let changed = () => {};

export function readable(bytes) {
  const units = ["bytes", "KB", "MB", "GB", "TB"];
  let unit = 0;
  while (bytes >= 1000 && unit < units.length - 1) {
    bytes /= 1000;
    unit += 1;
  }
  return `${unit === 0 ? bytes : bytes.toFixed(1)} ${units[unit]}`;
}

// A list entry: a label, a detail line, an optional error line, and buttons.
export function entry(label, detail, buttons = [], error = "") {
  const row = document.createElement("li");
  const text = document.createElement("span");
  text.className = "label";
  text.textContent = label;
  const small = document.createElement("small");
  small.textContent = detail;
  text.append(small);
  if (error) {
    const problem = document.createElement("small");
    problem.className = "error";
    problem.setAttribute("role", "alert");
    problem.textContent = error;
    text.append(problem);
  }
  row.append(text);
  for (const [caption, action, disabled = false] of buttons) {
    const button = document.createElement("button");
    button.textContent = caption;
    button.disabled = disabled;
    button.addEventListener("click", action);
    row.append(button);
  }
  return row;
}

export const offlineURL = (name) => `/files/offline/${encodeURIComponent(name)}`;
export const isStored = (name) => stored.includes(name);
export const saveState = (name) => saving.get(name) ?? (isStored(name) ? "saved" : "");
export const storedSongs = () => stored;
export const downloadedSongs = () => downloaded.map(({ name }) => ({ name, url: fileURL(`/Documents/Downloads/${name}`) }));

// The store's songs and the downloaded ones, read again; the figures of the store beside them.
export async function refresh() {
  $("files-error").textContent = "";
  try {
    stored = (await storage.listFiles()).files;
    await Promise.all(stored.filter((name) => !sizes.has(name)).map(async (name) => {
      const response = await fetch(offlineURL(name), { method: "HEAD" });
      sizes.set(name, Number(response.headers.get("Content-Length")));
    }));
    downloaded = (await downloads.listDownloads()).files;
    const { used, free, total } = await storage.getStorageInfo();
    $("used").textContent = readable(used);
    $("free").textContent = readable(free);
    $("total").textContent = readable(total);
  } catch (error) {
    $("files-error").textContent = `The store could not be read. ${plain(error)}`;
  }
  render();
}

function render() {
  $("files").replaceChildren(...stored.map((name) =>
    entry(name, `kept offline · ${readable(sizes.get(name) ?? 0)}`, [["Delete", () => remove(name)]])));
  if (stored.length === 0) {
    $("files").append(entry("Nothing kept yet", "“Save offline” keeps the song playing in the store."));
  }
  $("downloads").replaceChildren(...downloaded.map(({ name, size }) =>
    entry(name, `downloaded · ${readable(size)}`, [["Delete", () => removeDownload(name)]])));
  changed();
}

// Keeps a song's bytes in the store, posted as they are.
export async function save(name, url) {
  saving.set(name, "saving");
  changed();
  try {
    const response = await fetch(url);
    if (!response.ok) {
      throw new Error("File not found");
    }
    await storage.writeFile({ filename: name, data: await response.blob() });
    saving.delete(name);
    sizes.delete(name);
  } catch (error) {
    saving.set(name, plain(error));
  }
  await refresh();
}

async function remove(name) {
  try {
    await storage.deleteFile({ filename: name });
    sizes.delete(name);
  } catch (error) {
    $("files-error").textContent = `${name} could not be deleted. ${plain(error)}`;
  }
  await refresh();
}

async function removeDownload(name) {
  try {
    await downloads.deleteDownload({ fileName: name });
  } catch (error) {
    $("download-error").textContent = `${name} could not be deleted. ${plain(error)}`;
  }
  await refresh();
}

// Each running download has a row with its progress and a way to cancel it; one that fails keeps
// its row, with why, until dismissed.
async function start(event) {
  event.preventDefault();
  const url = $("download-url").value.trim();
  const fileName = $("download-name").value.trim() || undefined;
  const name = fileName ?? "audio.mp3";
  $("download-error").textContent = "";
  if (url === "") {
    $("download-error").textContent = plain(new Error("URL is required"));
    return;
  }
  const stop = new AbortController();
  const bar = document.createElement("progress");
  const row = entry(name, "starting…", [["Cancel", () => stop.abort()]]);
  row.querySelector(".label").append(bar);
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
  try {
    await download(url, { fileName, onProgress, signal: stop.signal });
    row.remove();
    $("download-url").value = "";
    $("download-name").value = "";
  } catch (error) {
    row.replaceWith(entry(name, "not downloaded", [["Dismiss", (click) => click.target.closest("li").remove()]],
      plain(error)));
  }
  await refresh();
}

export function startLibrary(onChange) {
  changed = onChange;
  $("download-form").addEventListener("submit", start);
  return refresh();
}
