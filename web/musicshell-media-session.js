// The web's own media session API, navigator.mediaSession and MediaMetadata, on the shell's media
// controls: what the page sets is reported through PlaybackStatusPlugin.updateStatus, and the
// desktop's commands come back through the plugin's events to the page's action handlers.
//
// The bridge client imports this file, so a page in a browser has it once it imports the client;
// musicshell's window runs it in every page before the page's own scripts, so a page written for
// browsers needs no change. A classic script as well as a module: it exports nothing.
(() => {
  if (globalThis.__musicshellMediaSession || typeof navigator === "undefined") {
    return;
  }
  const PLUGIN = "PlaybackStatusPlugin";
  const ACTIONS = ["play", "pause", "seekbackward", "seekforward", "previoustrack", "nexttrack",
    "skipad", "stop", "seekto", "togglemicrophone", "togglecamera", "togglescreenshare", "hangup",
    "previousslide", "nextslide", "enterpictureinpicture", "voiceactivity"];
  // The shell shows one picture: the smallest at least this wide, else the largest.
  const ARTWORK_WIDTH = 256;

  let transport = null; // { call(method, options), addListener(event, listener) }
  let metadata = null;
  let playbackState = "none";
  let position = null; // { duration, position, playbackRate, at }
  // Shuffle, loop and volume, which the web's API has no words for: what the page last gave.
  let modes = {};
  const handlers = new Map();
  const pictures = new Map(); // artwork address -> promise of what the shell can read

  const metadataFields = new WeakMap();

  class MediaMetadata {
    constructor(init = {}) {
      metadataFields.set(this, { title: "", artist: "", album: "", artwork: [] });
      Object.assign(this, { title: init.title ?? "", artist: init.artist ?? "",
        album: init.album ?? "", artwork: init.artwork ?? [] });
    }
    get title() { return metadataFields.get(this).title; }
    set title(value) { changeField(this, "title", String(value)); }
    get artist() { return metadataFields.get(this).artist; }
    set artist(value) { changeField(this, "artist", String(value)); }
    get album() { return metadataFields.get(this).album; }
    set album(value) { changeField(this, "album", String(value)); }
    get artwork() { return metadataFields.get(this).artwork; }
    set artwork(value) {
      // Addresses are resolved against the page when given, as browsers do; a bad one throws.
      const images = Array.from(value ?? [], (image) => Object.freeze({
        src: new URL(String(image.src), document.baseURI).href,
        sizes: String(image.sizes ?? ""),
        type: String(image.type ?? ""),
      }));
      changeField(this, "artwork", Object.freeze(images));
    }
  }

  function changeField(owner, name, value) {
    metadataFields.get(owner)[name] = value;
    if (owner === metadata) {
      changed();
    }
  }

  // The widest of an image's "WxH" sizes; "any" (a drawing) fits every width.
  function widthOf(image) {
    return Math.max(0, ...image.sizes.toLowerCase().split(/\s+/)
      .map((size) => (size === "any" ? Infinity : parseInt(size.split("x")[0], 10) || 0)));
  }

  function chosenArtwork(images) {
    const byWidth = [...images].sort((a, b) => widthOf(a) - widthOf(b));
    return byWidth.find((image) => widthOf(image) >= ARTWORK_WIDTH) ?? byWidth.at(-1);
  }

  // The shell fetches other sites' pictures itself; a picture of the page's own server is read
  // by the page, with its login, and handed over whole as a data: URL.
  function pictureFor(src) {
    if (new URL(src).origin !== location.origin) {
      return Promise.resolve(src);
    }
    if (!pictures.has(src)) {
      pictures.set(src, fetch(src).then((response) => {
        if (!response.ok) {
          throw new Error(`${response.status}`);
        }
        return response.blob();
      }).then((blob) => new Promise((resolve, reject) => {
        const reader = new FileReader();
        reader.onload = () => resolve(reader.result);
        reader.onerror = () => reject(reader.error);
        reader.readAsDataURL(blob);
      })).catch(() => ""));
    }
    return pictures.get(src);
  }

  // Where playback is now, by the last position state, in seconds.
  function currentPosition() {
    if (!position) {
      return 0;
    }
    const elapsed = playbackState === "playing" ? (performance.now() - position.at) / 1000 : 0;
    const now = position.position + position.playbackRate * elapsed;
    return Math.min(Math.max(now, 0), position.duration);
  }

  // Every report carries the whole state: the shell resets whatever a report leaves out.
  async function status() {
    const art = metadata && chosenArtwork(metadata.artwork);
    const seeks = handlers.has("seekforward") || handlers.has("seekbackward");
    return {
      ...modes,
      state: playbackState,
      position: Math.round(currentPosition() * 1000),
      duration: position && Number.isFinite(position.duration) ? Math.round(position.duration * 1000) : 0,
      playbackRate: position ? position.playbackRate : 1,
      title: metadata?.title ?? "",
      artist: metadata?.artist ?? "",
      album: metadata?.album ?? "",
      thumbnail: art ? await pictureFor(art.src) : "",
      canPlay: handlers.has("play"),
      canPause: handlers.has("pause"),
      canStop: handlers.has("stop"),
      canNext: handlers.has("nexttrack"),
      canPrevious: handlers.has("previoustrack"),
      canSeek: handlers.has("seekto") || seeks,
      canSeekBy: seeks,
    };
  }

  // Changes made together, in one task, make one report; reports go out in order.
  let scheduled = false;
  let reporting = Promise.resolve();
  function changed() {
    if (scheduled) {
      return;
    }
    scheduled = true;
    queueMicrotask(() => {
      scheduled = false;
      reporting = reporting.then(async () => {
        const report = await status();
        return (await bridge()).call("updateStatus", report);
      }).catch(() => {});
    });
  }

  // The window loads the bridge client only once the page uses the API; the client connects.
  let connected;
  const connection = new Promise((resolve) => { connected = resolve; });
  let loading = false;
  function bridge() {
    if (!transport && !loading) {
      loading = true;
      import(new URL("/musicshell-bridge.js", location.origin).href).catch(() => {});
    }
    return connection;
  }

  function run(action, details = {}) {
    const handler = handlers.get(action);
    if (handler) {
      handler({ action, ...details });
    }
    return Boolean(handler);
  }

  function seekBy(offset) {
    const action = offset < 0 ? "seekbackward" : "seekforward";
    if (!run(action, { seekOffset: Math.abs(offset) })) {
      const end = position?.duration ?? Infinity;
      run("seekto", { seekTime: Math.min(Math.max(currentPosition() + offset, 0), end), fastSeek: false });
    }
  }

  const session = {
    get metadata() { return metadata; },
    set metadata(value) {
      if (value !== null && !(value instanceof MediaMetadata)) {
        throw new TypeError("metadata must be a MediaMetadata or null");
      }
      metadata = value;
      changed();
    },
    get playbackState() { return playbackState; },
    set playbackState(value) {
      if (["none", "paused", "playing"].includes(value)) {
        // The position state goes on from where it had come to, at the new pace.
        if (position) {
          position = { ...position, position: currentPosition(), at: performance.now() };
        }
        playbackState = value;
        changed();
      }
    },
    setActionHandler(action, handler) {
      if (!ACTIONS.includes(action)) {
        throw new TypeError(`"${action}" is not a media session action`);
      }
      if (handler === null || handler === undefined) {
        handlers.delete(action);
      } else if (typeof handler === "function") {
        handlers.set(action, handler);
      } else {
        throw new TypeError("an action handler must be a function or null");
      }
      changed();
    },
    setPositionState(state) {
      if (state === undefined || Object.keys(state).length === 0) {
        position = null;
        changed();
        return;
      }
      const { duration, position: at = 0, playbackRate = 1 } = state;
      if (typeof duration !== "number" || Number.isNaN(duration) || duration < 0) {
        throw new TypeError("duration must be a number of seconds, 0 or more");
      }
      if (!(at >= 0 && at <= duration) || !Number.isFinite(playbackRate) || playbackRate === 0) {
        throw new TypeError("position must lie within the duration, and playbackRate not be 0");
      }
      position = { duration, position: at, playbackRate, at: performance.now() };
      changed();
    },
    setMicrophoneActive() {},
    setCameraActive() {},
  };

  function connect(bridgeTransport) {
    if (transport) {
      return;
    }
    transport = bridgeTransport;
    connected(transport);
    const on = (event, listener) => transport.addListener(event, listener);
    on("playMusic", () => run("play"));
    on("pauseMusic", () => run("pause"));
    on("stopMusic", () => run("stop"));
    on("changeTrack", ({ dir }) => run(dir > 0 ? "nexttrack" : "previoustrack"));
    on("iosSeek", ({ time }) => run("seekto", { seekTime: time, fastSeek: false }));
    on("seekBy", ({ offset }) => seekBy(offset));
  }

  Object.defineProperty(navigator, "mediaSession", { value: session, configurable: true });
  globalThis.MediaMetadata = MediaMetadata;
  function setModes({ shuffle, loop, volume } = {}) {
    modes = Object.fromEntries(Object.entries({ shuffle, loop, volume }).filter(([, value]) => value !== undefined));
    changed();
  }

  Object.defineProperty(globalThis, "__musicshellMediaSession", { value: { connect, setModes } });
})();
