// A player written for browsers: it knows navigator.mediaSession only. What each action handler
// heard is shown as the album, so the test reads it off the desktop's widget.

function drawn(size) {
  const canvas = Object.assign(document.createElement("canvas"), { width: size, height: size });
  canvas.getContext("2d").fillRect(0, 0, size, size);
  return canvas.toDataURL("image/png");
}

const session = navigator.mediaSession;
session.metadata = new MediaMetadata({
  title: "Tone", artist: "Page", album: "Standard",
  artwork: [
    { src: drawn(96), sizes: "96x96", type: "image/png" },
    { src: "cover-512.png", sizes: "512x512" },
    { src: "cover-300.png", sizes: "300x300 128x128" },
  ],
});
session.playbackState = "paused";
session.setPositionState({ duration: 60, position: 10, playbackRate: 1 });

for (const action of ["play", "pause", "stop", "nexttrack", "previoustrack", "seekto", "seekforward"]) {
  session.setActionHandler(action, (details) => {
    session.metadata.album = JSON.stringify(details);
    if (action === "previoustrack") {
      // Of these the largest, carried in its address.
      session.metadata.artwork = [{ src: drawn(64), sizes: "64x64" }, { src: "cover-32.png", sizes: "32x32" }];
    }
  });
}
// The window's own engine must not show this playing as a player of its own.
document.getElementById("audio").play().catch(() => {});
