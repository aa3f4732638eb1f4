// The web application's side of the musicshell bridge: plugin calls, answers and events as JSON
// messages. In musicshell's own window they go through the page channel its web process has
// (or, where that is missing, the web view's script-message channel); in a browser, over the
// WebSocket at /bridge of the page's own server. A call's bytes (an
// ArrayBuffer, typed array or Blob as `data`) are posted to that server, in the window too.
//
//   import { Plugins } from "/musicshell-bridge.js";
//   const { path } = await Plugins.OfflineStoragePlugin.writeFile({ filename: "a.mp3", data });
//   const handle = Plugins.PlaybackStatusPlugin.addListener("pauseMusic", () => audio.pause());
//   handle.remove();
//   audio.src = fileURL(path); // play a stored or downloaded song by address, and seek in it
//   const bytes = await readFileBytes("a.mp3"); // an ArrayBuffer, fetched by its address
//   await download(url, { fileName: "song.mp3", onProgress: (p) => show(p.received, p.total), signal });
//
// While the WebSocket connection is down the client reconnects by itself. A call made then waits
// for the connection a while and is sent once it is back; a call is never sent after it was rejected.
//
// Importing the client also gives the page navigator.mediaSession on the shell's media controls
// (musicshell-media-session.js), as musicshell's window gives it to every page.

import "./musicshell-media-session.js";

const RECONNECT_DELAY_MS = 500;
const CONNECTION_WAIT_MS = 10000;

// The window's page channel: each call a line to the shell, whose answers and events come back
// to __musicshellReceive. Without it, the window's script-message channel: each call's message
// gives a promise of its answer, and the shell hands events to __musicshellReceive.
const pageChannel = globalThis.__musicshellChannel;
const windowChannel = pageChannel ? null : globalThis.webkit?.messageHandlers?.musicshell;

// The calls not answered yet, in the order they were made: id -> { resolve, reject, message,
// sent, timer }.
const pending = new Map();
const listeners = new Map(); // "plugin event" -> Set of functions
let socket = null;
let nextId = 1;

function connectionError(code, message) {
  return Object.assign(new Error(`musicshell: ${message}`), { code });
}

function connect() {
  const url = new URL("/bridge", window.location.href);
  url.protocol = url.protocol === "https:" ? "wss:" : "ws:";
  socket = new WebSocket(url);
  socket.addEventListener("open", () => {
    for (const call of pending.values()) {
      if (!call.sent) {
        send(call);
      }
    }
  });
  socket.addEventListener("message", (event) => receive(JSON.parse(event.data)));
  socket.addEventListener("close", () => {
    // The shell may have received these and run them, or not: this host will never say.
    for (const [id, call] of pending) {
      if (call.sent) {
        pending.delete(id);
        call.reject(connectionError("outcomeUnknown",
          "the connection to the shell was lost after the call was sent; it may or may not have been carried out"));
      }
    }
    setTimeout(connect, RECONNECT_DELAY_MS);
  });
}

function send(call) {
  clearTimeout(call.timer);
  call.sent = true;
  socket.send(call.message);
}

function receive(message) {
  if ("event" in message) {
    for (const listener of listeners.get(`${message.plugin} ${message.event}`) ?? []) {
      listener(message.data);
    }
    return;
  }
  const call = pending.get(message.id);
  if (!call) {
    return;
  }
  pending.delete(message.id);
  settle(message, call.resolve, call.reject);
}

function settle(answer, resolve, reject) {
  if (answer.ok) {
    resolve(answer.data);
  } else {
    reject(new Error(answer.message));
  }
}

function isBytes(value) {
  return value instanceof ArrayBuffer || ArrayBuffer.isView(value) || value instanceof Blob;
}

function answerThroughWindow(reply) {
  return new Promise((resolve, reject) => {
    reply.then(
      (answer) => settle(JSON.parse(answer), resolve, reject),
      (error) => reject(new Error(error?.message ?? String(error))));
  });
}

function callThroughWindow(plugin, method, options) {
  const id = nextId++;
  return answerThroughWindow(windowChannel.postMessage(JSON.stringify({ id, plugin, method, options })));
}

function callThroughChannel(plugin, method, options) {
  return new Promise((resolve, reject) => {
    const id = nextId++;
    const message = JSON.stringify({ id, plugin, method, options });
    pending.set(id, { resolve, reject, message, sent: true });
    try {
      pageChannel.send(message);
    } catch {
      pending.delete(id);
      reject(connectionError("notSent", "no connection to the shell; the call was not sent"));
    }
  });
}

function callThroughSocket(plugin, method, options) {
  return new Promise((resolve, reject) => {
    const id = nextId++;
    const entry = { resolve, reject, message: JSON.stringify({ id, plugin, method, options }), sent: false };
    pending.set(id, entry);
    if (socket.readyState === WebSocket.OPEN) {
      send(entry);
      return;
    }
    entry.timer = setTimeout(() => {
      pending.delete(id);
      reject(connectionError("notSent", "no connection to the shell; the call was not sent"));
    }, CONNECTION_WAIT_MS);
  });
}

// A call whose data is bytes posts them as they are, as the body of a request to the page's own
// server, which streams them to disk: neither base64 nor one message holding a whole song. The
// answer is the call's, as the bridge gives it; a refusal of the request itself rejects with the
// server's text.
async function callThroughPost(plugin, method, options) {
  const { data, ...rest } = options;
  const text = JSON.stringify({ id: nextId++, plugin, method, options: rest });
  let response;
  try {
    // As a Blob, Chromium streams the bytes to its network process rather than copying them whole
    // into the request first: measured faster, though the Blob is one more copy.
    const body = data instanceof Blob ? data : new Blob([data]);
    response = await fetch(`/bridge?call=${encodeURIComponent(text)}`, { method: "POST", body, cache: "no-store" });
  } catch {
    throw connectionError("outcomeUnknown",
      "the connection to the shell was lost after the call was sent; it may or may not have been carried out");
  }
  if (!response.ok) {
    throw new Error(await response.text());
  }
  const answer = await response.json();
  if (!answer.ok) {
    throw new Error(answer.message);
  }
  return answer.data;
}

// Calls made while a call's bytes are on their way wait for its answer, so that calls still reach
// the shell in the order they were made.
let posting = null;

function call(plugin, method, options = {}) {
  const bytes = isBytes(options?.data);
  const go = () => bytes ? callThroughPost(plugin, method, options)
    : pageChannel ? callThroughChannel(plugin, method, options)
    : windowChannel ? callThroughWindow(plugin, method, options) : callThroughSocket(plugin, method, options);
  if (!bytes && !posting) {
    return go();
  }
  const answer = (posting ?? Promise.resolve()).then(go);
  if (bytes) {
    const settled = answer.catch(() => {});
    posting = settled;
    settled.then(() => {
      if (posting === settled) {
        posting = null;
      }
    });
  }
  return answer;
}

function addListener(plugin, event, listener) {
  const key = `${plugin} ${event}`;
  if (!listeners.has(key)) {
    listeners.set(key, new Set());
  }
  listeners.get(key).add(listener);
  return { remove: () => listeners.get(key)?.delete(listener) };
}

function pluginProxy(plugin) {
  return new Proxy({}, {
    get: (_, method) => {
      if (method === "addListener") {
        return (event, listener) => addListener(plugin, event, listener);
      }
      if (typeof method !== "string" || method === "then") {
        return undefined; // not a thenable: awaiting a plugin gives the plugin
      }
      return (options) => call(plugin, method, options);
    },
  });
}

// Where the shell serves its container's media, by the folder a path lies in.
const servedFolders = [
  ["/Library/Application Support/offline/", "/files/offline/"],
  ["/Documents/Downloads/", "/files/downloads/"],
];

// The address at which the page loads a file that writeFile stored or downloadFile downloaded,
// from the `path` their answer gives. Throws for a path the shell does not serve.
export function fileURL(path) {
  for (const [folder, served] of servedFolders) {
    const at = String(path).lastIndexOf(folder);
    const name = at < 0 ? "" : path.slice(at + folder.length);
    if (name !== "" && !name.includes("/")) {
      return served + encodeURIComponent(name);
    }
  }
  throw new Error(`musicshell: ${path} is neither a stored nor a downloaded file, so no page can load it`);
}

// The bytes of the stored file `filename`, fetched by its address as an ArrayBuffer; refused as
// readFile refuses.
export async function readFileBytes(filename) {
  await posting;
  if (typeof filename === "string" && filename !== "") {
    const response = await fetch(`/files/offline/${encodeURIComponent(filename)}`, { cache: "no-store" })
      .catch(() => null);
    if (response?.ok) {
      return response.arrayBuffer();
    }
  }
  // The server tells no more than "not found": the plugin says why, or reads the file after all.
  const binary = atob((await call("OfflineStoragePlugin", "readFile", { filename })).data);
  return Uint8Array.from(binary, (c) => c.charCodeAt(0)).buffer;
}

// Downloads `url` into Documents/Downloads under `fileName` ("audio.mp3" when absent, the shell's
// default) and gives the answer's promise. `onProgress` gets each progress event of this transfer;
// aborting `signal` cancels every download to that name and rejects as fetch does.
export function download(url, { fileName, onProgress, signal } = {}) {
  const name = fileName ?? "audio.mp3";
  const aborted = () => new DOMException("The download was aborted.", "AbortError");
  if (signal?.aborted) {
    return Promise.reject(aborted());
  }
  const handle = onProgress && addListener("DownloadPlugin", "downloadProgress", (data) => {
    if (data.url === url && data.fileName === name) {
      onProgress(data);
    }
  });
  const answer = call("DownloadPlugin", "downloadFile", fileName === undefined ? { url } : { url, fileName });
  return new Promise((resolve, reject) => {
    const onAbort = () => {
      done();
      call("DownloadPlugin", "cancelDownload", { fileName: name }).catch(() => {});
      reject(aborted());
    };
    const done = () => {
      handle?.remove();
      signal?.removeEventListener("abort", onAbort);
    };
    signal?.addEventListener("abort", onAbort, { once: true });
    // After an abort the promise is settled already, and the call's own rejection is dropped.
    answer.then((value) => (done(), resolve(value)), (error) => (done(), reject(error)));
  });
}

// What navigator.mediaSession cannot say, given with each of its reports from now on: `shuffle`,
// `loop` and `volume` as updateStatus takes them. Changes from the desktop come as the
// PlaybackStatusPlugin's "setShuffle", "setLoop" and "setVolume" events.
export function setPlayerModes(modes) {
  globalThis.__musicshellMediaSession?.setModes(modes);
}

export const Plugins = new Proxy({}, { get: (_, plugin) => pluginProxy(plugin) });

globalThis.__musicshellMediaSession?.connect({
  call: (method, options) => call("PlaybackStatusPlugin", method, options),
  addListener: (event, listener) => addListener("PlaybackStatusPlugin", event, listener),
});

if (pageChannel || windowChannel) {
  Object.defineProperty(globalThis, "__musicshellReceive", { value: (text) => receive(JSON.parse(text)) });
} else {
  connect();
}
