// Types of the musicshell bridge client (musicshell-bridge.js).
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

/** Bytes a call may carry as they are, in one binary message, instead of base64 text. */
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
  /** Address of the artwork image. */
  thumbnail?: string;
}

export interface PlaybackStatusPlugin {
  updateStatus(status: PlaybackStatus): Promise<void>;
  addListener(event: "playMusic" | "pauseMusic", listener: (data: { event: string }) => void): PluginListenerHandle;
  addListener(event: "changeTrack", listener: (data: { event: "changeTrack"; dir: 1 | -1 }) => void): PluginListenerHandle;
  /** `time` is in seconds. */
  addListener(event: "iosSeek", listener: (data: { event: "iosSeek"; time: number }) => void): PluginListenerHandle;
}

export interface OfflineStoragePlugin {
  /** `data`: base64 text, or the bytes themselves, sent as they are. */
  writeFile(options: { filename: string; data: string | BinaryData }): Promise<{ path: string }>;
  readFile(options: { filename: string }): Promise<{ data: string }>;
  deleteFile(options: { filename: string }): Promise<{ success: boolean }>;
  fileExists(options: { filename: string }): Promise<{ exists: boolean }>;
  listFiles(): Promise<{ files: string[] }>;
  writeTempFile(options: { data: string | BinaryData; extension?: string }): Promise<{ path: string; filePath: string }>;
  cleanTempFiles(): Promise<{ deleted: number }>;
  getStorageInfo(): Promise<{ total: number; free: number; used: number }>;
  getFreeSpace(): Promise<{ bytes: number }>;
  getDeviceId(): Promise<{ deviceId: string }>;
}

export interface DownloadPlugin {
  downloadFile(options: { url: string; fileName?: string }): Promise<{ path: string }>;
  /** Resolves with the package's path when the system cannot open it, with nothing when it did. */
  downloadAndInstall(options: { url: string }): Promise<{ path: string } | undefined>;
}

export interface AppPlugin {
  addListener(event: "appUrlOpen", listener: (data: { url: string }) => void): PluginListenerHandle;
}

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
