// Types of the musicshell bridge client (musicshell-bridge.js).
//
// Importing the client also backs the page's navigator.mediaSession (metadata with MediaMetadata,
// playbackState, setPositionState, setActionHandler: the DOM's own types) by the shell's media
// controls, as musicshell's window does for every page; it reports through updateStatus below.
//
// A call the shell rejects fails with an Error holding the shell's message. A call that fails for
// want of a connection fails with a BridgeConnectionError.

export interface BridgeConnectionError extends Error {
  /**
   * "notSent": no connection came within 10 s of the call; the shell never received it and never
   * will. "outcomeUnknown": the connection dropped after the call was sent; the shell may or may
   * not have carried it out.
   */
  code: "notSent" | "outcomeUnknown";
}

/**
 * Bytes a call may carry as they are, instead of base64 text: the client posts them as the body of a
 * request to the page's own server, which streams them to disk (in the window too). Calls made
 * after such a call wait for its answer, so calls still reach the shell in order. A body over the
 * server's cap (`--max-request-bytes`) rejects with "Request too large".
 */
export type BinaryData = ArrayBuffer | ArrayBufferView | Blob;

export interface PluginListenerHandle {
  remove(): void;
}

export interface PlaybackStatus {
  state?: "playing" | "paused" | "stopped" | string;
  /** Milliseconds. */
  position?: number;
  /** Milliseconds. */
  duration?: number;
  playbackRate?: number;
  title?: string;
  artist?: string;
  album?: string;
  /** Address of the artwork image: http(s) or a data: URL. */
  thumbnail?: string;
  /**
   * The keys below are optional: until a page sends one, the desktop's controls show what they
   * always did. Shuffle, LoopStatus and Volume become writable once the page has sent them, and
   * a change there comes back as "setShuffle", "setLoop" or "setVolume".
   */
  shuffle?: boolean;
  loop?: "none" | "track" | "playlist";
  /** 0 to 1. */
  volume?: number;
  /** false: the controls offer no next track (the last one plays), and so on. */
  canNext?: boolean;
  canPrevious?: boolean;
  canSeek?: boolean;
  canPlay?: boolean;
  canPause?: boolean;
  /** true: the controls' stop comes as "stopMusic" instead of "pauseMusic". */
  canStop?: boolean;
  /** true: a seek by an offset comes as "seekBy" instead of an "iosSeek" to where it lands. */
  canSeekBy?: boolean;
}

export interface PlaybackStatusPlugin {
  updateStatus(status: PlaybackStatus): Promise<void>;
  addListener(event: "playMusic" | "pauseMusic", listener: (data: { event: string }) => void): PluginListenerHandle;
  addListener(event: "changeTrack", listener: (data: { event: "changeTrack"; dir: 1 | -1 }) => void): PluginListenerHandle;
  /** `time` is in seconds. */
  addListener(event: "iosSeek", listener: (data: { event: "iosSeek"; time: number }) => void): PluginListenerHandle;
  addListener(event: "stopMusic", listener: (data: { event: "stopMusic" }) => void): PluginListenerHandle;
  /** `offset` is in seconds, negative backwards. */
  addListener(event: "seekBy", listener: (data: { event: "seekBy"; offset: number }) => void): PluginListenerHandle;
  addListener(event: "setShuffle", listener: (data: { event: "setShuffle"; shuffle: boolean }) => void): PluginListenerHandle;
  addListener(event: "setLoop", listener: (data: { event: "setLoop"; loop: "none" | "track" | "playlist" }) => void): PluginListenerHandle;
  /** `volume` is 0 to 1. */
  addListener(event: "setVolume", listener: (data: { event: "setVolume"; volume: number }) => void): PluginListenerHandle;
}

export interface OfflineStoragePlugin {
  /**
   * `data`: base64 text, sent on the bridge, or the bytes themselves, posted as they are. Text
   * that is not strict base64 (padded with "=", no spaces or line breaks) counts as no data: the
   * call is rejected with "filename and data required". `path` is the file's path on disk (see
   * `fileURL`).
   */
  writeFile(options: { filename: string; data: string | BinaryData }): Promise<{ path: string }>;
  /** The file as base64 text; `readFileBytes` gives it as an ArrayBuffer. */
  readFile(options: { filename: string }): Promise<{ data: string }>;
  deleteFile(options: { filename: string }): Promise<{ success: boolean }>;
  fileExists(options: { filename: string }): Promise<{ exists: boolean }>;
  listFiles(): Promise<{ files: string[] }>;
  /**
   * Writes a scratch file named temp_UUID.EXTENSION (default "mp3"). `path` is its file: URL,
   * `filePath` its path on disk; neither is served to the page (`fileURL` throws for it). Data
   * that is not strict base64 is rejected with "data required".
   */
  writeTempFile(options: { data: string | BinaryData; extension?: string }): Promise<{ path: string; filePath: string }>;
  cleanTempFiles(): Promise<{ deleted: number }>;
  getStorageInfo(): Promise<{ total: number; free: number; used: number }>;
  getFreeSpace(): Promise<{ bytes: number }>;
  getDeviceId(): Promise<{ deviceId: string }>;
}

/** How far a running download has come; sent about four times a second, and once it is whole. */
export interface DownloadProgressEvent {
  event: "downloadProgress";
  /** The URL as the call gave it. */
  url: string;
  /** The name it will be stored under: "update.ipa" for a package. */
  fileName: string;
  /** Bytes of the body so far, as the server sent them. */
  received: number;
  /** The body's full size, or null when the server did not announce one. */
  total: number | null;
  bytesPerSecond: number;
}

export interface ActiveDownload {
  url: string;
  fileName: string;
  received: number;
  total: number | null;
}

export interface DownloadPlugin {
  /** Without `fileName` every download is stored as "audio.mp3", replacing the last one. */
  downloadFile(options: { url: string; fileName?: string }): Promise<{ path: string }>;
  /** Resolves with the package's path when the system cannot open it, with nothing when it did. */
  downloadAndInstall(options: { url: string }): Promise<{ path: string } | undefined>;
  /** Ends every unanswered download to that name (each rejects "Download cancelled"). */
  cancelDownload(options: { fileName: string }): Promise<{ cancelled: number }>;
  /** The regular files in Downloads, and the downloads not yet answered. */
  listDownloads(): Promise<{ files: { name: string; size: number }[]; active: ActiveDownload[] }>;
  deleteDownload(options: { fileName: string }): Promise<{ success: boolean }>;
  addListener(event: "downloadProgress", listener: (data: DownloadProgressEvent) => void): PluginListenerHandle;
}

export interface AppPlugin {
  addListener(event: "appUrlOpen", listener: (data: { url: string }) => void): PluginListenerHandle;
}

/**
 * Shuffle, loop and volume, which navigator.mediaSession has no fields for: added to each report
 * it makes from now on (a key left out is no longer reported). The desktop's changes to them come
 * as PlaybackStatusPlugin's "setShuffle", "setLoop" and "setVolume" events.
 */
export declare function setPlayerModes(modes: Pick<PlaybackStatus, "shuffle" | "loop" | "volume">): void;

export declare const Plugins: {
  PlaybackStatusPlugin: PlaybackStatusPlugin;
  OfflineStoragePlugin: OfflineStoragePlugin;
  DownloadPlugin: DownloadPlugin;
  App: AppPlugin;
  [plugin: string]: any;
};

/**
 * The address at which the page can load a file the shell stored (`writeFile`) or downloaded
 * (`downloadFile`), from the `path` their answer gives: `/files/offline/NAME` or
 * `/files/downloads/NAME`, served with Range requests, so `<audio src>` plays it and seeks in it.
 * Throws an Error for any other path (a temporary file, a path outside the container).
 */
export declare function fileURL(path: string): string;

/**
 * The stored file `filename` (as `writeFile` names it) as an ArrayBuffer, fetched by its address
 * rather than as base64. Rejects as `readFile` does, with the same messages ("File not found",
 * "Invalid filename", …).
 */
export declare function readFileBytes(filename: string): Promise<ArrayBuffer>;

/**
 * Downloads `url` into Documents/Downloads and resolves with its path, as `downloadFile` does.
 * Without `fileName` the file is stored as "audio.mp3", replacing the last such download.
 * `onProgress` receives this transfer's progress events (matched by url and file name). Aborting
 * `signal` cancels every download to that name and rejects with a DOMException named "AbortError".
 */
export declare function download(
  url: string,
  options?: { fileName?: string; onProgress?: (progress: DownloadProgressEvent) => void; signal?: AbortSignal },
): Promise<{ path: string }>;
