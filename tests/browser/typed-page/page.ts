// A player's page as a project that depends on the bridge by path writes it: it must type-check
// against the package's declarations, and misuse must not.
import { Plugins, fileURL, download } from "musicshell-bridge";

const audio = new Audio();
const { path } = await Plugins.OfflineStoragePlugin.writeFile({ filename: "a.mp3", data: "aGk=" });
audio.src = fileURL(path);
const temporary: { path: string; filePath: string } = await Plugins.OfflineStoragePlugin.writeTempFile({ data: new Blob() });
audio.src = temporary.path;
await download("https://example.org/a.mp3", { fileName: "a.mp3", onProgress: ({ total }) => total ?? 0 });
Plugins.PlaybackStatusPlugin.addListener("iosSeek", ({ time }) => (audio.currentTime = time));
// @ts-expect-error: a file name is text
await Plugins.OfflineStoragePlugin.writeFile({ filename: 1, data: "aGk=" });
// @ts-expect-error: the answer holds no such member
temporary.url;
