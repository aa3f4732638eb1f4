// The demo player. Its media controls are the web's own, navigator.mediaSession, as a player
// written for browsers has them: the shell shows them in the desktop's media widget and brings its
// commands back to the handlers below. Only shuffle, repeat and volume, which that API cannot
// express, go through the bridge, as do the store and the downloads (library.js).
import { Plugins, setPlayerModes } from "/musicshell-bridge.js";
import { entry, saveState, save, offlineURL, isStored, storedSongs, downloadedSongs, startLibrary }
  from "./library.js";
import { plain, playbackProblem } from "./words.js";

const $ = (id) => document.getElementById(id);
const audio = $("audio");
const session = navigator.mediaSession;
const debug = new URLSearchParams(location.search).has("debug");
const album = "Tones for a Day";
const artist = "musicshell demo";
const bundled = [["morning", "Morning"], ["evening", "Evening"], ["harbour", "Harbour"]].map(([name, title]) => ({
  title, artist, file: `${name}.wav`, url: `tracks/${name}.wav`, cover: `covers/${name}`, source: "bundled",
}));

let tracks = bundled;
let current = 0;
let shuffle = false;
let loop = "none"; // "none", "playlist" or "track"
let order = []; // the shuffled order of track indexes
let lastAction = "none yet";

const clock = (seconds) => {
  const whole = Math.floor(Number.isFinite(seconds) ? seconds : 0);
  return `${Math.floor(whole / 60)}:${String(whole % 60).padStart(2, "0")}`;
};

function showError(text) {
  $("player-error").textContent = text;
}

function showDebug() {
  if (debug) {
    $("debug").hidden = false;
    $("debug").textContent = `media session: ${session.playbackState}, ${session.metadata?.title ?? "no track"}` +
      ` · last desktop action: ${lastAction} · shuffle ${shuffle}, repeat ${loop}, volume ${audio.volume.toFixed(2)}`;
  }
}

const stateOf = (track) => (track.source === "bundled" && isStored(track.file) ? "kept offline" : track.source);

// A bundled song that is kept offline plays from the store.
function addressOf(track) {
  return track.source === "bundled" && isStored(track.file) ? offlineURL(track.file) : track.url;
}

// The index `step` tracks on in the playing order, or -1 at either end when nothing repeats.
function stepFrom(index, step) {
  const sequence = shuffle ? order : tracks.map((_, i) => i);
  const at = sequence.indexOf(index) + step;
  if (at >= 0 && at < sequence.length) {
    return sequence[at];
  }
  return loop === "none" ? -1 : sequence.at(step > 0 ? 0 : -1);
}

function reshuffle() {
  const rest = tracks.map((_, i) => i).filter((i) => i !== current);
  for (let i = rest.length - 1; i > 0; i -= 1) {
    const j = Math.floor(Math.random() * (i + 1));
    [rest[i], rest[j]] = [rest[j], rest[i]];
  }
  order = [current, ...rest];
}

function load(index) {
  current = index;
  const track = tracks[current];
  showError("");
  $("title").textContent = track.title;
  $("artist").textContent = track.artist ?? "";
  // Sharp at twice the density; the widget takes the smaller picture, as it comes in every report.
  const cover = track.cover ?? "covers/morning";
  $("cover").srcset = `${cover}-256.png 1x, ${cover}.png 2x`;
  audio.src = addressOf(track);
  session.metadata = new MediaMetadata({ title: track.title, artist: track.artist ?? "",
    album: track.source === "bundled" ? album : "",
    artwork: [{ src: `${cover}.png`, sizes: "512x512", type: "image/png" },
      { src: `${cover}-256.png`, sizes: "256x256", type: "image/png" }] });
  session.setPositionState();
  render();
}

async function play() {
  try {
    await audio.play();
  } catch (error) {
    if (error.name !== "AbortError") {
      showError(audio.error ? playbackProblem(audio.error) : plain(error));
    }
  }
}

function playTrack(index) {
  load(index);
  play();
}

function seekTo(seconds) {
  if (Number.isFinite(audio.duration)) {
    audio.currentTime = Math.max(0, Math.min(seconds, audio.duration));
  }
}

function next() {
  const index = stepFrom(current, 1);
  if (index >= 0) {
    playTrack(index);
  }
}

// Back to the start of the song, unless it has only just begun.
function previous() {
  const index = stepFrom(current, -1);
  if (audio.currentTime > 3 || index < 0) {
    seekTo(0);
  } else {
    playTrack(index);
  }
}

function reportPosition() {
  if (Number.isFinite(audio.duration)) {
    session.setPositionState({ duration: audio.duration, position: Math.min(audio.currentTime, audio.duration),
      playbackRate: audio.playbackRate });
  }
}

// The desktop's widget shows shuffle, repeat and volume as the page reports them; its next button
// only while there is a next track.
function reportModes() {
  setPlayerModes({ shuffle, loop, volume: audio.volume });
  const hasNext = stepFrom(current, 1) >= 0;
  session.setActionHandler("nexttrack", hasNext ? handler("next", next) : null);
  $("next").disabled = !hasNext;
  render();
}

function setShuffle(on) {
  shuffle = Boolean(on);
  reshuffle();
  reportModes();
}

function setLoop(mode) {
  loop = ["none", "playlist", "track"].includes(mode) ? mode : "none";
  reportModes();
}

function render() {
  const playing = !audio.paused;
  $("state").textContent = playing ? "playing" : audio.currentTime > 0 ? "paused" : "stopped";
  $("play").title = $("play").ariaLabel = playing ? "Pause" : "Play";
  $("play-icon").setAttribute("d", playing ? "M6 5h4v14H6zM14 5h4v14h-4z" : "M8 5v14l11-7z");
  $("shuffle").setAttribute("aria-pressed", String(shuffle));
  const repeat = { none: "off", playlist: "all songs", track: "this song" }[loop];
  $("repeat").title = $("repeat").ariaLabel = `Repeat: ${repeat}`;
  $("repeat").setAttribute("aria-pressed", String(loop !== "none"));
  $("repeat-one").hidden = loop !== "track";
  $("volume").value = Math.round(audio.volume * 100);
  const track = tracks[current];
  $("source").textContent = stateOf(track);
  const saved = saveState(track.file ?? track.title);
  $("save").disabled = track.source !== "bundled" || saved === "saving" || saved === "saved";
  $("save").textContent = track.source !== "bundled" ? `Kept in ${track.source}` :
    { saving: "Saving…", saved: "Saved offline" }[saved] ?? "Save offline";
  if (saved !== "saving" && saved !== "saved" && saved !== "") {
    showError(saved);
  }
  $("tracks").replaceChildren(...tracks.map((item, index) => {
    const row = entry(item.title, [item.artist, stateOf(item)].filter(Boolean).join(" · "),
      [[index === current && playing ? "Playing" : "Play", () => playTrack(index), index === current && playing]]);
    row.classList.toggle("current", index === current);
    return row;
  }));
  showDebug();
}

// The library changed: the stored and downloaded songs join the bundled ones.
function libraryChanged() {
  const playing = tracks[current]?.url;
  const stored = storedSongs().filter((name) => !bundled.some((track) => track.file === name))
    .map((name) => ({ title: name, url: offlineURL(name), source: "offline" }));
  const downloaded = downloadedSongs().map(({ name, url }) => ({ title: name, url, source: "downloads" }));
  tracks = [...bundled, ...stored, ...downloaded];
  current = Math.max(0, tracks.findIndex((track) => track.url === playing));
  if (shuffle && order.length !== tracks.length) {
    reshuffle();
  }
  reportModes();
}

// A command from the desktop's widget, the media keys or the page's own buttons.
function handler(name, action) {
  return (details) => {
    lastAction = details?.action ? JSON.stringify(details) : name;
    action(details);
    showDebug();
  };
}

session.setActionHandler("play", handler("play", play));
session.setActionHandler("pause", handler("pause", () => audio.pause()));
session.setActionHandler("stop", handler("stop", () => { audio.pause(); seekTo(0); }));
session.setActionHandler("previoustrack", handler("previous", previous));
session.setActionHandler("seekto", handler("seek", ({ seekTime }) => seekTo(seekTime)));
session.setActionHandler("seekbackward", handler("back", ({ seekOffset }) => seekTo(audio.currentTime - (seekOffset ?? 10))));
session.setActionHandler("seekforward", handler("forward", ({ seekOffset }) => seekTo(audio.currentTime + (seekOffset ?? 10))));
// The web's API has no words for these three: the shell's plugin events carry them.
Plugins.PlaybackStatusPlugin.addListener("setShuffle", ({ shuffle: on }) => setShuffle(on));
Plugins.PlaybackStatusPlugin.addListener("setLoop", ({ loop: mode }) => setLoop(mode));
Plugins.PlaybackStatusPlugin.addListener("setVolume", ({ volume }) => { audio.volume = volume; });

$("play").addEventListener("click", () => (audio.paused ? play() : audio.pause()));
$("next").addEventListener("click", next);
$("prev").addEventListener("click", previous);
$("shuffle").addEventListener("click", () => setShuffle(!shuffle));
$("repeat").addEventListener("click", () => setLoop({ none: "playlist", playlist: "track", track: "none" }[loop]));
$("seek").addEventListener("input", () => seekTo(($("seek").value / 1000) * audio.duration));
$("volume").addEventListener("input", () => { audio.volume = $("volume").value / 100; });
$("save").addEventListener("click", () => save(tracks[current].file, tracks[current].url));

audio.addEventListener("playing", () => { showError(""); session.playbackState = "playing"; reportPosition(); render(); });
audio.addEventListener("pause", () => { session.playbackState = "paused"; reportPosition(); render(); });
audio.addEventListener("seeked", reportPosition);
audio.addEventListener("ratechange", reportPosition);
audio.addEventListener("loadedmetadata", () => { $("length").textContent = clock(audio.duration); reportPosition(); });
audio.addEventListener("error", () => showError(playbackProblem(audio.error)));
// Volume reports wait for the slider to come to rest.
let volumeTimer;
audio.addEventListener("volumechange", () => {
  $("volume").value = Math.round(audio.volume * 100);
  clearTimeout(volumeTimer);
  volumeTimer = setTimeout(reportModes, 150);
});
audio.addEventListener("ended", () => {
  if (loop === "track") {
    seekTo(0);
    play();
  } else if (stepFrom(current, 1) >= 0) {
    next();
  } else {
    session.playbackState = "paused";
    render();
  }
});
audio.addEventListener("timeupdate", () => {
  $("elapsed").textContent = clock(audio.currentTime);
  $("seek").value = audio.duration ? (audio.currentTime / audio.duration) * 1000 : 0;
});

load(0);
reportModes();
startLibrary(libraryChanged).then(() => { document.body.dataset.ready = "yes"; });
