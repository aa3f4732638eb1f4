// The web application's side of the musicshell bridge: plugin calls, answers and events as JSON
// messages over the WebSocket at /bridge of the page's own server.
//
//   import { Plugins } from "/musicshell-bridge.js";
//   const { path } = await Plugins.OfflineStoragePlugin.writeFile({ filename: "a.mp3", data });
//   const handle = Plugins.PlaybackStatusPlugin.addListener("pauseMusic", () => audio.pause());
//   handle.remove();

const RECONNECT_DELAY_MS = 500;

const pending = new Map(); // id -> { resolve, reject }
const listeners = new Map(); // "plugin event" -> Set of functions
const waitingToSend = [];
let socket = null;
let nextId = 1;

function connect() {
  const url = new URL("/bridge", window.location.href);
  url.protocol = url.protocol === "https:" ? "wss:" : "ws:";
  socket = new WebSocket(url);
  socket.addEventListener("open", () => {
    for (const message of waitingToSend.splice(0)) {
      socket.send(message);
    }
  });
  socket.addEventListener("message", (event) => receive(JSON.parse(event.data)));
  socket.addEventListener("close", () => {
    // Whatever was in flight will never be answered by this host.
    for (const { reject } of pending.values()) {
      reject(new Error("musicshell: the connection to the shell was lost before the call was answered"));
    }
    pending.clear();
    setTimeout(connect, RECONNECT_DELAY_MS);
  });
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
  if (message.ok) {
    call.resolve(message.data);
  } else {
    call.reject(new Error(message.message));
  }
}

function call(plugin, method, options = {}) {
  return new Promise((resolve, reject) => {
    const id = nextId++;
    pending.set(id, { resolve, reject });
    const message = JSON.stringify({ id, plugin, method, options });
    if (socket.readyState === WebSocket.OPEN) {
      socket.send(message);
    } else {
      waitingToSend.push(message);
    }
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

export const Plugins = new Proxy({}, { get: (_, plugin) => pluginProxy(plugin) });

connect();
