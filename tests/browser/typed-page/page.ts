// A page of a project that depends on the bridge by path: it must check, and misuse must not.
import { Plugins, fileURL, download } from "musicshell-bridge";

const { path } = await Plugins.OfflineStoragePlugin.writeFile({ filename: "a.mp3", data: "aGk=" });
const temporary: { path: string; filePath: string } = await Plugins.OfflineStoragePlugin.writeTempFile({ data: new Blob() });
await download(fileURL(path) + temporary.filePath, { onProgress: ({ total }) => total ?? 0 });
// @ts-expect-error: a file name is text, and the declarations say so
await Plugins.OfflineStoragePlugin.writeFile({ filename: 1, data: "aGk=" });
