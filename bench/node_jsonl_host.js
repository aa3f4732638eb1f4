// A plain JSON-lines host in Node.js doing what musicshell's stdio host does for writeFile and
// readFile (base64 over one line each way, the write synced and renamed into place), as a yard
// stick for the bench: node bench/node_jsonl_host.js STORE_DIRECTORY < requests
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const store = process.argv[2];
fs.mkdirSync(store, { recursive: true });

function handle(request) {
  const { filename, data } = request.options ?? {};
  const file = path.join(store, filename);
  if (request.method === "writeFile") {
    const scratch = `${file}.tmp`;
    const fd = fs.openSync(scratch, "w");
    fs.writeSync(fd, Buffer.from(data, "base64"));
    fs.fsyncSync(fd);
    fs.closeSync(fd);
    fs.renameSync(scratch, file);
    return { id: request.id, ok: true, data: { path: file } };
  }
  if (request.method === "readFile") {
    return { id: request.id, ok: true, data: { data: fs.readFileSync(file).toString("base64") } };
  }
  return { id: request.id, ok: false, message: `Unknown method: ${request.method}` };
}

let pending = [];
function take(line) {
  if (line.length > 0) {
    fs.writeSync(1, JSON.stringify(handle(JSON.parse(line))) + "\n");
  }
}
process.stdin.on("data", (chunk) => {
  let start = 0;
  for (let end = chunk.indexOf(10); end >= 0; end = chunk.indexOf(10, start)) {
    pending.push(chunk.subarray(start, end));
    take(Buffer.concat(pending).toString());
    pending = [];
    start = end + 1;
  }
  pending.push(chunk.subarray(start));
});
process.stdin.on("end", () => take(Buffer.concat(pending).toString()));
