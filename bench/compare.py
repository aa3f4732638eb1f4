#!/usr/bin/env python3
"""Runs musicshell side by side with standard tools on the same data, in one run, and prints two
Markdown tables: the goals (each the shell against its baseline, as a ratio) and how cost grows
with size, file count and connected pages."""

import argparse
import http.server
import json
import os
import platform
import shutil
import statistics
import subprocess
import tempfile
import threading
import time

MIB = 1 << 20
HERE = os.path.dirname(os.path.abspath(__file__))


def run_timed(command, stdin_path=None, stdout_path=os.devnull):
    """Wall seconds and peak resident kilobytes of one run of `command`."""
    # Nothing an earlier run left dirty: a sync inside this run would otherwise write it out too.
    os.sync()
    with open(stdin_path or os.devnull, "rb") as stdin, open(stdout_path, "wb") as stdout:
        started = time.perf_counter()
        finished = subprocess.run(["/usr/bin/time", "-f", "%M", *command], stdin=stdin, stdout=stdout,
                                  stderr=subprocess.PIPE, check=True)
        seconds = time.perf_counter() - started
    peak_kb = int(finished.stderr.decode().strip().splitlines()[-1])
    return seconds, peak_kb


def median_of(runs, command, **kwargs):
    """The median time of several runs, and the largest peak seen."""
    results = [run_timed(command, **kwargs) for _ in range(runs)]
    return statistics.median(r[0] for r in results), max(r[1] for r in results)


def shell(*command):
    return ["sh", "-c", *command]


class Bench:
    def __init__(self, binary, wsbench, work, runs):
        self.binary = binary
        self.wsbench = wsbench
        self.work = work
        self.runs = runs
        self.container = os.path.join(work, "container")
        self.store = os.path.join(self.container, "Library", "Application Support", "offline")

    def stdio(self):
        return [self.binary, "stdio", "--container", self.container]

    def path(self, name):
        return os.path.join(self.work, name)

    def request(self, name, line):
        path = self.path(name)
        with open(path, "w") as out:
            out.write(json.dumps(line) + "\n")
        return path


def storage_call(bench, name, method, **options):
    return bench.request(name, {"id": 1, "plugin": "OfflineStoragePlugin", "method": method,
                                "options": options})


# ---------------------------------------------------------------------------------------------
# Large files over stdio


class FileCase:
    """One file size: the shell's writeFile and readFile, the tools doing the same work, and the
    plain Node.js host, each run the same number of times."""

    def __init__(self, bench, mib):
        self.bench = bench
        self.mib = mib
        self.raw = bench.path(f"file{mib}.bin")
        with open(self.raw, "wb") as out:
            for _ in range(mib):
                out.write(os.urandom(MIB))
        self.text = bench.path(f"file{mib}.b64")
        with open(self.text, "wb") as out:
            subprocess.run(["base64", "-w0", self.raw], stdout=out, check=True)
        with open(self.text) as source:
            data = source.read()
        self.megabytes = len(data) / 1e6
        self.write = storage_call(bench, f"write{mib}.json", "writeFile", filename="file.bin", data=data)
        self.read = storage_call(bench, f"read{mib}.json", "readFile", filename="file.bin")

    def shell_write(self):
        return median_of(self.bench.runs, self.bench.stdio(), stdin_path=self.write)

    def shell_read(self):
        result = median_of(self.bench.runs, self.bench.stdio(), stdin_path=self.read,
                           stdout_path=self.bench.path("answer.json"))
        with open(self.bench.path("answer.json")) as answer:
            line = json.loads(answer.readline())
        with open(self.text) as text:
            if not line.get("ok") or line["data"]["data"] != text.read():
                raise SystemExit(f"readFile of {self.mib} MiB gave the wrong answer")
        return result

    def tool_write(self):
        out = self.bench.path("tool.bin")
        return median_of(self.bench.runs, shell(f"base64 -d < '{self.text}' > '{out}' && sync '{out}'"))

    def tool_read(self):
        return median_of(self.bench.runs, shell(f"base64 -w0 < '{self.raw}' > '{self.bench.path('tool.b64')}'"))

    def node(self, request):
        store = self.bench.path("node-store")
        return median_of(self.bench.runs, ["node", os.path.join(HERE, "node_jsonl_host.js"), store],
                         stdin_path=request)

    def rate(self, seconds):
        return f"{self.megabytes / seconds:.0f} MB/s"


# ---------------------------------------------------------------------------------------------
# The store's listing


def fill_store(bench, count):
    os.makedirs(bench.store, exist_ok=True)
    for name in os.listdir(bench.store):
        os.remove(os.path.join(bench.store, name))
    for i in range(count):
        with open(os.path.join(bench.store, f"song{i:06}.mp3"), "wb") as out:
            out.write(b"x" * (i % 4096))


def listing_times(bench, count):
    """Times of getStorageInfo, listFiles and `du -sb` over a store of `count` files."""
    fill_store(bench, count)
    info = median_of(bench.runs, bench.stdio(), stdin_path=storage_call(bench, "info.json", "getStorageInfo"))
    listing = median_of(bench.runs, bench.stdio(), stdin_path=storage_call(bench, "list.json", "listFiles"))
    du = median_of(bench.runs, ["du", "-sb", bench.store])
    return info, listing, du


# ---------------------------------------------------------------------------------------------
# The browser host


class Server:
    """`musicshell serve` with its standard output drained, so host requests can be sent."""

    def __init__(self, bench):
        self.process = subprocess.Popen([bench.binary, "serve", "--container", bench.container],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.address = self.process.stdout.readline().decode().strip()
        self.drain = threading.Thread(target=lambda: self.process.stdout.read(), daemon=True)
        self.drain.start()

    def send(self, lines):
        self.process.stdin.write("".join(line + "\n" for line in lines).encode())
        self.process.stdin.flush()

    def close(self):
        self.process.terminate()
        self.process.wait()
        self.drain.join()


def websocket_calls(bench, calls):
    server = Server(bench)
    try:
        ours = json.loads(subprocess.run([bench.wsbench, "calls", server.address, str(calls)],
                                         capture_output=True, check=True, text=True).stdout)
    finally:
        server.close()
    echo = subprocess.Popen([bench.wsbench, "echo"], stdout=subprocess.PIPE, text=True)
    try:
        port = echo.stdout.readline().strip()
        theirs = json.loads(subprocess.run([bench.wsbench, "echo-calls", port, str(calls)],
                                           capture_output=True, check=True, text=True).stdout)
    finally:
        echo.terminate()
        echo.wait()
    return ours, theirs


def page_write_times(bench):
    """Milliseconds of 64 MiB between a Chromium page and the store, and of the standard tools doing
    the same in the same run: base64 and posted writeFile, dd, readFileBytes, curl."""
    script = os.path.join(HERE, "page_write.mjs")
    return json.loads(subprocess.run(["node", script, bench.binary, str(bench.runs)], capture_output=True,
                                     check=True, text=True).stdout)


def broadcast_cost(bench, pages, events):
    """Microseconds per event raised while `pages` pages are connected (all of them get it)."""
    server = Server(bench)
    try:
        listener = subprocess.Popen([bench.wsbench, "pages", server.address, str(pages), str(events)],
                                    stdout=subprocess.PIPE, text=True)
        if listener.stdout.readline().strip() != "ready":
            raise SystemExit("the pages did not connect")
        started = time.perf_counter()
        server.send(json.dumps({"id": i, "host": "remoteCommand", "command": "play"}) for i in range(events))
        if listener.stdout.readline().strip() != "done":
            raise SystemExit("the pages did not get every event")
        seconds = time.perf_counter() - started
        listener.wait()
    finally:
        server.close()
    return seconds / events * 1e6


# ---------------------------------------------------------------------------------------------
# Downloads


class FileHandler(http.server.BaseHTTPRequestHandler):
    """Serves the body with an ETag and guarded ranges; under /cut/ the first request of each
    path is cut off half-way."""
    body_path = None
    cut_paths = set()

    def do_GET(self):
        size = os.path.getsize(self.body_path)
        start = 0
        if self.headers.get("If-Range") == '"body"' and (self.headers.get("Range") or "").startswith("bytes="):
            start = int(self.headers["Range"][6:].rstrip("-"))
        cut = self.path.startswith("/cut/") and self.path not in self.cut_paths
        self.cut_paths.add(self.path)
        self.send_response(206 if start else 200)
        self.send_header("ETag", '"body"')
        self.send_header("Content-Length", str(size - start))
        if start:
            self.send_header("Content-Range", f"bytes {start}-{size - 1}/{size}")
        self.end_headers()
        with open(self.body_path, "rb") as body:
            self.connection.sendfile(body, start, size // 2 - start if cut else size - start)
        if cut:
            self.close_connection = True

    def log_message(self, *args):
        pass


def written_bytes(bench, url):
    """What the host writes while downloading `url` (its /proc io counter, read before it exits),
    against the body's size: 1.00 when the body is written once."""
    request = {"id": 1, "plugin": "DownloadPlugin", "method": "downloadFile",
               "options": {"url": url, "fileName": "body.bin"}}
    host = subprocess.Popen(bench.stdio(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    host.stdin.write(json.dumps(request) + "\n")
    host.stdin.flush()
    events = 0
    for line in host.stdout:
        if '"id"' in line:
            break
        events += 1
    with open(f"/proc/{host.pid}/io") as counters:
        wchar = int(dict(line.split(": ") for line in counters.read().splitlines())["wchar"])
    host.stdin.close()
    host.wait()
    return wchar / (512 * MIB), events


def download_times(bench, before):
    body = bench.path("body.bin")
    with open(body, "wb") as out:
        for _ in range(512):
            out.write(os.urandom(MIB))
    FileHandler.body_path = body
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), FileHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    url = f"http://127.0.0.1:{server.server_address[1]}/body.bin"
    request = bench.request("download.json", {"id": 1, "plugin": "DownloadPlugin", "method": "downloadFile",
                                              "options": {"url": url, "fileName": "body.bin"}})
    try:
        ours = median_of(bench.runs, bench.stdio(), stdin_path=request)
        theirs = median_of(bench.runs, ["curl", "-s", "-o", bench.path("curl.bin"), url])
        # The same download on a build without progress events, when one is given.
        silent = before and median_of(bench.runs, [before, *bench.stdio()[1:]], stdin_path=request)
        whole = written_bytes(bench, url)
        resumed = written_bytes(bench, url.replace("/body.bin", f"/cut/{time.time()}"))
    finally:
        server.shutdown()
        thread.join()
    os.remove(body)
    return 512 * MIB / 1e6, ours, theirs, silent, whole, resumed


# ---------------------------------------------------------------------------------------------
# The window's bridge and launch, and serving one fast reader (their own scripts, as goal rows)


def window_and_serving_rows(bench, calls, curl_ms):
    import serve_files  # they import this module: not at the top
    import window_latency
    rows = []
    window = window_latency.window(bench.binary, bench.work, calls)
    stdio = window_latency.stdio(bench.binary, bench.work, calls)
    for name, road in window["roads"].items():
        rows.append((f"small call through the window's bridge ({name} road), {calls:,} in a row, vs stdio",
                     f"median {road['median']:.0f} µs, p99 {road['p99']:.0f} µs",
                     f"median {stdio['median']:.0f} µs, p99 {stdio['p99']:.0f} µs",
                     f"{stdio['totalMs'] / road['totalMs']:.2f}", "median ≤ 200 µs and ≥ 0.50; p99 ≤ 2000 µs", "—"))
    warm = statistics.median(window["launchesMs"])
    rows.append((f"launch to the first answered call: window (the first, then the median of {len(window['launchesMs'])} "
                 "more) vs stdio", f"{window['firstAnswerMs']:.0f} ms, then {warm:.0f} ms",
                 f"{stdio['firstAnswerMs']:.0f} ms", f"{stdio['firstAnswerMs'] / warm:.2f}",
                 "window ≤ 300 ms", f"{window['pssMiB']:.0f} MiB PSS, shell and engine"))
    moved, rate = window["transfer"], lambda ms: f"{64 * MIB / 1e3 / ms:.0f} MB/s"
    rows.append(("64 MiB window page → store via HTTP body vs `dd bs=4M conv=fsync` of the same bytes",
                 rate(moved["post"]), rate(moved["dd"]), f"{moved['dd'] / moved['post']:.2f}", "≥ 0.80", "—"))
    rows.append(("`readFileBytes` 64 MiB in the window vs `curl -o /dev/null` (the Chromium row's)",
                 rate(moved["readBytes"]), rate(curl_ms), f"{curl_ms / moved['readBytes']:.2f}", "≥ 0.80", "—"))
    fast = os.path.join(bench.container, "Documents", "Downloads", "fast.bin")
    serve_files.write_random(fast, 512)
    server = serve_files.Server(bench.binary, bench.container)
    try:
        disk, bare = serve_files.fast_reader_rows(server, fast, bench.runs)
    finally:
        server.stop()
    rows.append(("serving 512 MiB to one `curl -s -o /dev/null` vs a bare sendfile server in Python", bare[1],
                 bare[2], bare[3].split()[1], "≥ 0.90", disk[3].split("peak ")[1]))
    return rows


# ---------------------------------------------------------------------------------------------


def mib(peak_kb):
    return f"{peak_kb / 1024:.0f} MiB"


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("binary")
    parser.add_argument("--wsbench", help="the native WebSocket client (default: beside the binary)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--calls", type=int, default=10000)
    parser.add_argument("--events", type=int, default=1000)
    parser.add_argument("--before", help="a build without download progress events, to compare with")
    parser.add_argument("--only-downloads", action="store_true", help="measure the downloads alone")
    arguments = parser.parse_args()
    binary = os.path.abspath(arguments.binary)
    wsbench = arguments.wsbench or os.path.join(os.path.dirname(binary), "bench", "musicshell_wsbench")

    goals, sweep = [], []
    with tempfile.TemporaryDirectory(prefix="musicshell-bench-") as work:
        bench = Bench(binary, wsbench, work, arguments.runs)

        if not arguments.only_downloads:
            for size in (1, 8, 64, 256):
                case = FileCase(bench, size)
                write, tool_write = case.shell_write(), case.tool_write()
                read, tool_read = case.shell_read(), case.tool_read()
                file_mib = size
                sweep.append((f"`writeFile` {size} MiB", case.rate(write[0]), f"{write[0] * 1000:.0f} ms",
                              mib(write[1]), f"{write[1] / 1024 / file_mib:.2f}",
                              f"{tool_write[0] / write[0]:.2f}"))
                sweep.append((f"`readFile` {size} MiB", case.rate(read[0]), f"{read[0] * 1000:.0f} ms",
                              mib(read[1]), f"{read[1] / 1024 / file_mib:.2f}",
                              f"{tool_read[0] / read[0]:.2f}"))
                if size == 64:
                    node_write, node_read = case.node(case.write), case.node(case.read)
                    goals += [
                        ("`writeFile` 64 MiB over stdio vs `base64 -d < text > file && sync file`",
                         case.rate(write[0]), case.rate(tool_write[0]), f"{tool_write[0] / write[0]:.2f}",
                         "≥ 0.80", f"{mib(write[1])} ({write[1] / 1024 / file_mib:.2f}× file; ≤ 2)"),
                        ("`readFile` 64 MiB over stdio vs `base64 -w0 < file > text`",
                         case.rate(read[0]), case.rate(tool_read[0]), f"{tool_read[0] / read[0]:.2f}",
                         "≥ 0.80", f"{mib(read[1])} ({read[1] / 1024 / file_mib:.2f}× file; ≤ 1.2)"),
                        ("`writeFile` 64 MiB vs a plain Node.js JSON-lines host", case.rate(write[0]),
                         case.rate(node_write[0]), f"{node_write[0] / write[0]:.2f}", "—", mib(write[1])),
                        ("`readFile` 64 MiB vs a plain Node.js JSON-lines host", case.rate(read[0]),
                         case.rate(node_read[0]), f"{node_read[0] / read[0]:.2f}", "—", mib(read[1])),
                    ]
                for name in os.listdir(work):
                    if name.startswith(("file", "write", "read", "tool", "answer")):
                        os.remove(os.path.join(work, name))
                shutil.rmtree(bench.container, ignore_errors=True)
                shutil.rmtree(bench.path("node-store"), ignore_errors=True)

            for count in (1000, 10000, 100000):
                info, listing, du = listing_times(bench, count)
                for name, ours in (("`getStorageInfo`", info), ("`listFiles`", listing)):
                    sweep.append((f"{name} over {count:,} files", "—", f"{ours[0] * 1000:.0f} ms", mib(ours[1]), "—",
                                  f"{du[0] / ours[0]:.2f}"))
                    if count == 10000:
                        goals.append((f"{name} over 10,000 files vs `du -sb`", f"{ours[0] * 1000:.0f} ms",
                                      f"{du[0] * 1000:.0f} ms", f"{du[0] / ours[0]:.2f}", "≥ 0.80", mib(ours[1])))
            shutil.rmtree(bench.container, ignore_errors=True)

            ours, theirs = websocket_calls(bench, arguments.calls)
            goals.append((f"small call over the WebSocket, native client, {arguments.calls:,} in a row, vs a raw "
                           "WebSocket echo", f"median {ours['median']:.0f} µs, p99.9 {ours['p999']:.0f} µs",
                           f"median {theirs['median']:.0f} µs, p99.9 {theirs['p999']:.0f} µs",
                           f"{theirs['median'] / ours['median']:.2f}", "≥ 0.33; p99.9 < 5000 µs", "—"))

            page = page_write_times(bench)
            megabytes = 64 * MIB / 1e6
            rate = lambda ms: f"{megabytes / ms * 1000:.0f} MB/s"
            goals += [
                ("64 MiB page → store via HTTP body (`writeFile` of bytes, Chromium) vs "
                 "`dd if=F of=G bs=4M conv=fsync`", rate(page["post"]), rate(page["dd"]),
                 f"{page['dd'] / page['post']:.2f}", "≥ 0.80", "—"),
                ("64 MiB posted to the store by curl (the shell's share of the row above) vs the same `dd`",
                 rate(page["curlPost"]), rate(page["dd"]), f"{page['dd'] / page['curlPost']:.2f}", "—", "—"),
                ("`readFileBytes` 64 MiB in a Chromium page vs `curl -o /dev/null` of the same address",
                 rate(page["readBytes"]), rate(page["curl"]), f"{page['curl'] / page['readBytes']:.2f}",
                 "≥ 0.80", "—"),
            ]
            sweep.append(("`writeFile` 64 MiB from a Chromium page as base64 text", rate(page["base64"]),
                          f"{page['base64']:.0f} ms", "—", "—", f"{page['post'] / page['base64']:.2f} (vs bytes)"))

            for pages in (1, 10, 100):
                cost = broadcast_cost(bench, pages, arguments.events)
                sweep.append((f"event broadcast to {pages} page{'s' if pages > 1 else ''}", "—",
                              f"{cost:.0f} µs an event", "—", "—", "—"))

        megabytes, download, curl, silent, whole, resumed = download_times(bench, arguments.before)
        goals.append(("download 512 MiB from loopback vs `curl -s -o`", f"{megabytes / download[0]:.0f} MB/s",
                      f"{megabytes / curl[0]:.0f} MB/s", f"{curl[0] / download[0]:.2f}", "≈ 1 (keep)",
                      mib(download[1])))
        if silent:
            goals.append(("download 512 MiB with progress events vs the build before them (`--before`)",
                          f"{megabytes / download[0]:.0f} MB/s", f"{megabytes / silent[0]:.0f} MB/s",
                          f"{silent[0] / download[0]:.2f}", "≥ 0.98", mib(download[1])))
        goals.append(("bytes the host writes for 512 MiB: cut off half-way and resumed vs whole",
                      f"{resumed[0]:.2f}× body, {resumed[1]} events", f"{whole[0]:.2f}× body, {whole[1]} events",
                      f"{whole[0] / resumed[0]:.2f}", "≈ 1 (no second copy)", "—"))

        if not arguments.only_downloads:
            goals += window_and_serving_rows(bench, arguments.calls, page["curl"])

    print(f"Measured {time.strftime('%Y-%m-%d')} on {platform.node()}: {os.cpu_count()} cores, "
          f"{platform.processor() or platform.machine()}, Linux {platform.release()}. Each figure is the median "
          f"of {arguments.runs} runs, process start included; ratio = baseline time / musicshell time, so 1.00 "
          "is parity and above 1 is faster than the baseline.\n")
    table(("goal", "musicshell", "baseline", "ratio", "target", "host peak RSS"), goals)
    print("How cost grows (ratio against the same baseline as above):\n")
    table(("case", "rate", "time", "host peak RSS", "RSS / file", "ratio"), sweep)


if __name__ == "__main__":
    main()
