// The bridge client in headless Chromium against a scripted shell on loopback, which can drop
// the connection, refuse to reconnect and hold calls unanswered. The page's clock is the test's,
// so waiting for the connection takes no real time.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import http from "node:http";
import { readFileSync } from "node:fs";
import { WebSocketServer } from "ws";
import { eventually, launchChromium } from "./shell.mjs";

const client = readFileSync(new URL("../../web/musicshell-bridge.js", import.meta.url));
const START = new Date("2030-01-01T00:00:00Z").getTime();

// The shell's side: every connection, every call received on each, and whether it lets pages in.
const shell = {
  refusing: false,
  connections: [],
  received: [], // [connection index, method]
  held: new Set(["deleteFile"]), // methods it receives but never answers
};

let server;
let origin;
let browser;

before(async () => {
  const sockets = new WebSocketServer({ noServer: true });
  server = http.createServer((request, response) => {
    if (request.url === "/musicshell-bridge.js") {
      response.writeHead(200, { "Content-Type": "text/javascript" });
      response.end(client);
      return;
    }
    response.writeHead(200, { "Content-Type": "text/html" });
    response.end("<!doctype html><title>bridge client</title>");
  });
  server.on("upgrade", (request, socket, head) => {
    if (shell.refusing) {
      socket.end("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
      return;
    }
    sockets.handleUpgrade(request, socket, head, (connection) => {
      const index = shell.connections.push(connection) - 1;
      connection.on("message", (data) => {
        const { id, method } = JSON.parse(data);
        shell.received.push([index, method]);
        if (!shell.held.has(method)) {
          connection.send(JSON.stringify({ id, ok: true, data: { method } }));
        }
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

// A page with the client loaded and connected, its clock stopped. `settle(name, promise)` in the
// page records how a call ended in `window.outcomes`; `socketClosed()` tells whether the
// client's latest connection has ended (its close handler has run by then).
async function openPage() {
  shell.refusing = false;
  const connectionsBefore = shell.connections.length;
  const page = await browser.newPage();
  await page.clock.install({ time: START });
  await page.addInitScript(() => {
    const sockets = [];
    window.WebSocket = class extends window.WebSocket {
      constructor(...args) {
        super(...args);
        sockets.push(this);
      }
    };
    window.socketClosed = () => sockets.at(-1).readyState === WebSocket.CLOSED;
    window.outcomes = {};
    window.settle = (name, promise) => {
      promise.then(
        (value) => { window.outcomes[name] = { resolved: value }; },
        (error) => { window.outcomes[name] = { code: error.code, message: error.message }; });
    };
  });
  await page.goto(origin);
  await page.evaluate(async () => { window.Plugins = (await import("/musicshell-bridge.js")).Plugins; });
  await eventually(() => shell.connections.length > connectionsBefore, "the page to connect");
  await page.clock.pauseAt(START + 60000);
  return page;
}

const outcome = (page, name) => page.evaluate((key) => window.outcomes[key], name);

async function dropConnection(page) {
  shell.connections.at(-1).terminate();
  await eventually(() => page.evaluate(() => window.socketClosed()), "the page to see the drop");
}

// Lets the client's reconnection timer fire until the shell has `count` connections.
async function reconnect(page, count) {
  await eventually(async () => {
    await page.clock.runFor(500);
    return shell.connections.length >= count;
  }, "the page to reconnect");
}

// Since the messages of one connection arrive in order, a call answered on it shows that
// nothing sent before it is still on its way.
async function methodsReceivedAfterReconnecting(page) {
  const connection = shell.connections.length - 1;
  assert.deepEqual(await page.evaluate(() => window.Plugins.OfflineStoragePlugin.fileExists({ filename: "a" })),
    { method: "fileExists" });
  return shell.received.filter(([index]) => index === connection).map(([, method]) => method);
}

test("a call the shell received before the drop is rejected as of unknown outcome, and not sent again", async () => {
  const page = await openPage();
  const count = shell.connections.length;
  await page.evaluate(() => window.settle("delete", window.Plugins.OfflineStoragePlugin.deleteFile({ filename: "a" })));
  await eventually(() => shell.received.some(([index, method]) => index === count - 1 && method === "deleteFile"), "the call");

  await dropConnection(page);
  assert.deepEqual(await outcome(page, "delete"), {
    code: "outcomeUnknown",
    message: "musicshell: the connection to the shell was lost after the call was sent; it may or may not have been carried out",
  });
  await reconnect(page, count + 1);
  assert.deepEqual(await methodsReceivedAfterReconnecting(page), ["fileExists"]);
  await page.close();
});

test("a call that finds no connection in time is rejected unsent; one made later waits, then goes once", async () => {
  const page = await openPage();
  const count = shell.connections.length;
  shell.refusing = true;
  await dropConnection(page);
  await page.evaluate(() => window.settle("delete", window.Plugins.OfflineStoragePlugin.deleteFile({ filename: "a" })));
  await page.clock.runFor(10000);
  assert.deepEqual(await outcome(page, "delete"), {
    code: "notSent",
    message: "musicshell: no connection to the shell; the call was not sent",
  });
  await page.evaluate(() => window.settle("write", window.Plugins.OfflineStoragePlugin.writeFile({ filename: "a", data: "" })));
  await page.clock.runFor(500);
  // A failed attempt to reconnect leaves the call waiting, neither sent nor rejected.
  assert.equal(await outcome(page, "write"), undefined);

  shell.refusing = false;
  await reconnect(page, count + 1);
  await eventually(async () => (await outcome(page, "write")) !== undefined, "the answer");
  assert.deepEqual(await outcome(page, "write"), { resolved: { method: "writeFile" } });
  assert.deepEqual(await methodsReceivedAfterReconnecting(page), ["writeFile", "fileExists"]);
  await page.close();
});
