// Types of the musicshell bridge client (musicshell-bridge.js).

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
  writeFile(options: { filename: string; data: string }): Promise<{ path: string }>;
  readFile(options: { filename: string }): Promise<{ data: string }>;
  deleteFile(options: { filename: string }): Promise<{ success: boolean }>;
  fileExists(options: { filename: string }): Promise<{ exists: boolean }>;
  listFiles(): Promise<{ files: string[] }>;
  writeTempFile(options: { data: string; extension?: string }): Promise<{ path: string; filePath: string }>;
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
