// The bridge client in headless Chromium against a scripted shell on loopback, which can drop
// the connection, refuse to reconnect and hold calls unanswered. The page's clock is the test's,
// so waiting for the connection takes no real time.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import http from "node:http";
import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import { WebSocketServer } from "ws";
import { eventually, launchChromium } from "./shell.mjs";

const client = readFileSync(new URL("../../web/musicshell-bridge.js", import.meta.url));
const mediaSession = readFileSync(new URL("../../web/musicshell-media-session.js", import.meta.url));
const START = new Date("2030-01-01T00:00:00Z").getTime();

// The shell's side: its connections, each call received as [connection index, method], and
// whether it lets pages in. It never answers deleteFile.
const shell = { refusing: false, connections: [], received: [] };
let server, origin, browser;

before(async () => {
  const sockets = new WebSocketServer({ noServer: true });
  server = http.createServer((request, response) => {
    const script = { "/musicshell-bridge.js": client, "/musicshell-media-session.js": mediaSession }[request.url];
    response.writeHead(200, { "Content-Type": script ? "text/javascript" : "text/html" });
    response.end(script ?? "<!doctype html><title>bridge client</title>");
  });
  server.on("upgrade", (request, socket, head) => {
    if (shell.refusing) {
      return socket.end("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
    }
    sockets.handleUpgrade(request, socket, head, (connection) => {
      const index = shell.connections.push(connection) - 1;
      connection.on("message", (data) => {
        const { id, method } = JSON.parse(data);
        shell.received.push([index, method]);
        if (method !== "deleteFile") connection.send(JSON.stringify({ id, ok: true, data: { method } }));
      });
    });
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  origin = `http://127.0.0.1:${server.address().port}`;
  browser = await launchChromium();
});

after(async () => {
  await browser?.close();
  server?.closeAllConnections();
  server?.close();
});

// A page with the client connected and its clock stopped. In the page, `settle(method)` makes a
// store call and records how it ended in `outcomes[method]`; `socketClosed()` tells whether the
// latest connection has ended (its close handler has run by then).
async function openPage() {
  shell.refusing = false;
  const connectionsBefore = shell.connections.length;
  const page = await browser.newPage();
  await page.clock.install({ time: START });
  await page.addInitScript(() => {
    const sockets = [];
    window.WebSocket = class extends window.WebSocket {
      constructor(...args) { super(...args); sockets.push(this); }
    };
    window.socketClosed = () => sockets.at(-1).readyState === WebSocket.CLOSED;
    window.outcomes = {};
    window.settle = (method) => window.Plugins.OfflineStoragePlugin[method]({ filename: "a", data: "" }).then(
      (value) => { window.outcomes[method] = { resolved: value }; },
      (error) => { window.outcomes[method] = { code: error.code, message: error.message }; });
  });
  await page.goto(origin);
  await page.evaluate(async () => { window.Plugins = (await import("/musicshell-bridge.js")).Plugins; });
  await eventually(() => shell.connections.length > connectionsBefore, "the page to connect");
  await page.clock.pauseAt(START + 60000);
  return page;
}

const settle = (page, method) => page.evaluate((name) => { window.settle(name); }, method);
const outcome = (page, method) => page.evaluate((name) => window.outcomes[name], method);

async function dropConnection(page) {
  shell.connections.at(-1).terminate();
  await eventually(() => page.evaluate(() => window.socketClosed()), "the page to see the drop");
}

// Lets the client's reconnection timer fire until the shell has `count` connections, then gives
// the methods the new connection received up to a call answered on it: since one connection's
// messages arrive in order, nothing sent before that call is still on its way.
async function methodsAfterReconnecting(page, count) {
  await eventually(async () => {
    await page.clock.runFor(500);
    return shell.connections.length >= count;
  }, "the page to reconnect");
  assert.deepEqual(await page.evaluate(() => window.Plugins.OfflineStoragePlugin.fileExists({ filename: "a" })),
    { method: "fileExists" });
  return shell.received.filter(([index]) => index === count - 1).map(([, method]) => method);
}

// A call the shell received before a drop is rejected as of unknown outcome, and not sent again;
// one that finds no connection in time is rejected unsent; one made later waits, then goes once.
test("calls across dropped connections are answered once, and never sent twice", async () => {
  const page = await openPage();
  let count = shell.connections.length;
  await settle(page, "deleteFile");
  await eventually(() => shell.received.some(([index, method]) => index === count - 1 && method === "deleteFile"), "the call");
  await dropConnection(page);
  assert.deepEqual(await outcome(page, "deleteFile"), {
    code: "outcomeUnknown",
    message: "musicshell: the connection to the shell was lost after the call was sent; it may or may not have been carried out",
  });
  assert.deepEqual(await methodsAfterReconnecting(page, ++count), ["fileExists"]);

  shell.refusing = true;
  await dropConnection(page);
  await settle(page, "deleteFile");
  await page.clock.runFor(10000);
  assert.deepEqual(await outcome(page, "deleteFile"),
    { code: "notSent", message: "musicshell: no connection to the shell; the call was not sent" });
  await settle(page, "writeFile");
  await page.clock.runFor(500);
  assert.equal(await outcome(page, "writeFile"), undefined, "a failed reconnection leaves the call waiting");
  shell.refusing = false;
  assert.deepEqual(await methodsAfterReconnecting(page, ++count), ["writeFile", "fileExists"]);
  assert.deepEqual(await outcome(page, "writeFile"), { resolved: { method: "writeFile" } });
  await page.close();
});

// The window gives every page navigator.mediaSession on the shell's controls; a page in a
// browser has it once it imports the client.
test("importing the client hands the page's navigator.mediaSession to the shell", async () => {
  const page = await openPage();
  await page.evaluate(() => { navigator.mediaSession.metadata = new MediaMetadata({ title: "Tone" }); });
  await eventually(() => shell.received.some(([, method]) => method === "updateStatus"), "the page's report");
  await page.close();
});

// A project that depends on the client by path type-checks its page against the declarations.
test("a typed page checks against the package's declarations", () => {
  const here = (path) => new URL(path, import.meta.url).pathname;
  execFileSync(here("node_modules/.bin/tsc"), ["-p", here("typed-page")], { stdio: "inherit" });
});
