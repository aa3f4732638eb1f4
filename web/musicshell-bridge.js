// The web application's side of the musicshell bridge: plugin calls, answers and events as JSON
// messages. In musicshell's own window they go through the web view's script-message channel;
// in a browser, over the WebSocket at /bridge of the page's own server.
//
//   import { Plugins } from "/musicshell-bridge.js";
//   const { path } = await Plugins.OfflineStoragePlugin.writeFile({ filename: "a.mp3", data });
//   const handle = Plugins.PlaybackStatusPlugin.addListener("pauseMusic", () => audio.pause());
//   handle.remove();
//   audio.src = fileURL(path); // play a stored or downloaded song by address, and seek in it
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

// The window's channel: each call's message gives a promise of its answer, and the shell hands
// events to __musicshellReceive.
const windowChannel = globalThis.webkit?.messageHandlers?.musicshell;

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

// A call whose data is bytes goes as one binary message, its JSON text, a line end, then the bytes
// as they are: a song need not be turned into base64 and back.
function encodeCall(id, plugin, method, options) {
  const { data, ...rest } = options ?? {};
  if (!isBytes(data)) {
    return JSON.stringify({ id, plugin, method, options });
  }
  return new Blob([JSON.stringify({ id, plugin, method, options: rest }), "\n", data]);
}

// The window's channel carries text only, so bytes travel there as base64.
async function base64Of(data) {
  const bytes = data instanceof Blob ? new Uint8Array(await data.arrayBuffer())
    : new Uint8Array(data.buffer ?? data, data.byteOffset ?? 0, data.byteLength);
  const CHUNK = 0x8000;
  let binary = "";
  for (let at = 0; at < bytes.length; at += CHUNK) {
    binary += String.fromCharCode(...bytes.subarray(at, at + CHUNK));
  }
  return btoa(binary);
}

async function windowMessage(id, plugin, method, options) {
  return JSON.stringify({ id, plugin, method, options: { ...options, data: await base64Of(options.data) } });
}

function answerThroughWindow(reply) {
  return new Promise((resolve, reject) => {
    reply.then(
      (answer) => settle(JSON.parse(answer), resolve, reject),
      (error) => reject(new Error(error?.message ?? String(error))));
  });
}

// While a call's bytes are being read, the calls made after it wait behind it, so that calls
// reach the shell in the order they were made. Settles once the last of them has been posted.
let windowBacklog = null;

function callThroughWindow(plugin, method, options) {
  const id = nextId++;
  if (!isBytes(options?.data) && !windowBacklog) {
    return answerThroughWindow(windowChannel.postMessage(JSON.stringify({ id, plugin, method, options })));
  }
  const message = isBytes(options?.data) ? windowMessage(id, plugin, method, options)
    : JSON.stringify({ id, plugin, method, options });
  // The reply's promise travels wrapped, so that posting does not wait for the answer.
  const posted = (windowBacklog ?? Promise.resolve()).then(() => message)
    .then((text) => ({ reply: windowChannel.postMessage(text) }));
  const backlog = posted.catch(() => {});
  windowBacklog = backlog;
  backlog.then(() => {
    if (windowBacklog === backlog) {
      windowBacklog = null;
    }
  });
  return answerThroughWindow(posted.then(({ reply }) => reply));
}

function call(plugin, method, options = {}) {
  if (windowChannel) {
    return callThroughWindow(plugin, method, options);
  }
  return new Promise((resolve, reject) => {
    const id = nextId++;
    const entry = { resolve, reject, message: encodeCall(id, plugin, method, options), sent: false };
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

export const Plugins = new Proxy({}, { get: (_, plugin) => pluginProxy(plugin) });

globalThis.__musicshellMediaSession?.connect({
  call: (method, options) => call("PlaybackStatusPlugin", method, options),
  addListener: (event, listener) => addListener("PlaybackStatusPlugin", event, listener),
});

if (windowChannel) {
  Object.defineProperty(globalThis, "__musicshellReceive", { value: (text) => receive(JSON.parse(text)) });
} else {
  connect();
}
