// What went wrong, in words a listener can act on: the shell's messages and the transfer
// library's beneath them are meant for developers.
const plainWords = [
  [/^URL is required$/, "Type the address of a song to download."],
  [/^Invalid URL$/, "That is not a web address the player can download from."],
  [/^Invalid file ?name$/i, "That file name cannot be used: leave out slashes and leading dots."],
  [/^Download cancelled$/, "Cancelled."],
  [/^Download failed: HTTP 404$/, "The server has no song at that address."],
  [/^Download failed: HTTP (40[13])$/, "The server would not hand that song over."],
  [/^Download failed: HTTP (\d+)$/, "The server could not send the song just now. Try again later."],
  [/resolve/i, "No server by that name could be found. Check the address."],
  [/connect|refused|unreachable/i, "The server could not be reached. Check the address and your network."],
  [/timed? ?out|stall|too slow/i, "The server stopped sending. Try again later."],
  [/space|disk full|quota/i, "There is not enough free space for this song."],
  [/larger than|too large|maximum/i, "This song is too large for the player."],
  [/^Download failed/, "The download broke off. Try again."],
  [/^File not found$/, "That song is no longer in the store."],
  [/^(Write|Read) failed/, "The player could not use its store on this computer."],
  [/connection to the shell/, "The player lost touch with the app. Try again."],
];

export function plain(error) {
  if (error?.name === "AbortError") {
    return "Cancelled.";
  }
  const message = String(error?.message ?? error);
  return plainWords.find(([pattern]) => pattern.test(message))?.[1] ?? message;
}

// Why the audio element could not play, by its MediaError code.
export function playbackProblem(error) {
  return [
    "The song could not be played.",
    "Playback was stopped.",
    "The song could not be loaded: the network or the store failed.",
    "The song is damaged or in a format this player cannot play.",
    "This song's file cannot be found or played.",
  ][error?.code ?? 0] ?? "The song could not be played.";
}
