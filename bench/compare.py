#!/usr/bin/env python3
"""Runs musicshell side by side with a standard tool on the same data, in one run, and prints one
Markdown table: each row the shell's time, the tool's, their ratio and the host's peak memory."""

import argparse
import base64
import http.server
import json
import os
import platform
import statistics
import subprocess
import tempfile
import threading
import time

MIB = 1 << 20


def run_timed(command, stdin_path=None, stdout_path=os.devnull):
    """Wall seconds and peak resident kilobytes of one run of `command`."""
    with open(stdin_path or os.devnull, "rb") as stdin, open(stdout_path, "wb") as stdout:
        started = time.perf_counter()
        finished = subprocess.run(["/usr/bin/time", "-f", "%M", *command], stdin=stdin, stdout=stdout,
                                  stderr=subprocess.PIPE, check=True)
        seconds = time.perf_counter() - started
    peak_kb = int(finished.stderr.decode().strip().splitlines()[-1])
    return seconds, peak_kb


def best_of(runs, command, **kwargs):
    """The median time of several runs, and the largest peak seen."""
    results = [run_timed(command, **kwargs) for _ in range(runs)]
    return statistics.median(r[0] for r in results), max(r[1] for r in results)


class Shell:
    def __init__(self, binary, container):
        self.binary = binary
        self.container = container

    def command(self):
        return [self.binary, "stdio", "--container", self.container]


def write_request(path, line):
    with open(path, "w") as out:
        out.write(json.dumps(line) + "\n")


def file_rows(shell, work, runs):
    raw = os.path.join(work, "file.bin")
    with open(raw, "wb") as out:
        out.write(os.urandom(64 * MIB))
    text_path = os.path.join(work, "file.b64")
    subprocess.run(["base64", "-w0", raw], stdout=open(text_path, "wb"), check=True)
    with open(text_path) as source:
        text = source.read()
    write_path = os.path.join(work, "write.json")
    write_request(write_path, {"id": 1, "plugin": "OfflineStoragePlugin", "method": "writeFile",
                               "options": {"filename": "file.bin", "data": text}})
    read_path = os.path.join(work, "read.json")
    write_request(read_path, {"id": 2, "plugin": "OfflineStoragePlugin", "method": "readFile",
                              "options": {"filename": "file.bin"}})
    megabytes = len(text) / 1e6

    shell_write = best_of(runs, shell.command(), stdin_path=write_path)
    tool_write = best_of(runs, ["base64", "-d"], stdin_path=text_path, stdout_path=os.path.join(work, "out.bin"))
    shell_read = best_of(runs, shell.command(), stdin_path=read_path)
    tool_read = best_of(runs, ["base64", "-w0", raw])
    return [
        ("`writeFile` 64 MiB over stdio vs `base64 -d`", f"{megabytes / shell_write[0]:.0f} MB/s",
         f"{megabytes / tool_write[0]:.0f} MB/s", tool_write[0] / shell_write[0], shell_write[1]),
        ("`readFile` 64 MiB over stdio vs `base64 -w0`", f"{megabytes / shell_read[0]:.0f} MB/s",
         f"{megabytes / tool_read[0]:.0f} MB/s", tool_read[0] / shell_read[0], shell_read[1]),
    ]


def ping_pong(process, lines):
    """Latencies in microseconds of sending each line and reading one line back."""
    latencies = []
    for line in lines:
        started = time.perf_counter()
        process.stdin.write(line)
        process.stdin.flush()
        process.stdout.readline()
        latencies.append((time.perf_counter() - started) * 1e6)
    return latencies


def peak_of(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def round_trip_row(shell, calls):
    request = {"plugin": "OfflineStoragePlugin", "method": "fileExists", "options": {"filename": "x"}}
    lines = [(json.dumps({"id": i, **request}) + "\n").encode() for i in range(calls)]
    host = subprocess.Popen(shell.command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    shell_latencies = ping_pong(host, lines)
    peak = peak_of(host.pid)
    host.stdin.close()
    host.wait()
    echo = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    pipe_latencies = ping_pong(echo, lines)
    echo.stdin.close()
    echo.wait()

    def describe(latencies):
        ordered = sorted(latencies)
        return f"median {statistics.median(ordered):.0f} µs, p99 {ordered[int(len(ordered) * 0.99)]:.0f} µs"

    return ("small call round trip over stdio vs raw pipe ping-pong (`cat`)", describe(shell_latencies),
            describe(pipe_latencies), statistics.median(pipe_latencies) / statistics.median(shell_latencies), peak,
            shell_latencies)


def websocket_row(shell, calls, stdio_latencies):
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "websocket_latency.mjs")
    measured = json.loads(subprocess.run(["node", script, shell.binary, str(calls)], capture_output=True,
                                         check=True, text=True).stdout)
    ordered = sorted(stdio_latencies)
    return ("small call round trip over the WebSocket, from a Chromium page, vs over stdio",
            f"median {measured['median']:.0f} µs, p99 {measured['p99']:.0f} µs",
            f"median {statistics.median(ordered):.0f} µs, p99 {ordered[int(len(ordered) * 0.99)]:.0f} µs",
            statistics.median(ordered) / measured["median"], None)


class FileHandler(http.server.BaseHTTPRequestHandler):
    body_path = None

    def do_GET(self):
        size = os.path.getsize(self.body_path)
        self.send_response(200)
        self.send_header("Content-Length", str(size))
        self.end_headers()
        with open(self.body_path, "rb") as body:
            self.connection.sendfile(body)

    def log_message(self, *args):
        pass


def download_row(shell, work, runs):
    body = os.path.join(work, "body.bin")
    with open(body, "wb") as out:
        for _ in range(512):
            out.write(os.urandom(MIB))
    FileHandler.body_path = body
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), FileHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    url = f"http://127.0.0.1:{server.server_address[1]}/body.bin"
    request = os.path.join(work, "download.json")
    write_request(request, {"id": 1, "plugin": "DownloadPlugin", "method": "downloadFile",
                            "options": {"url": url, "fileName": "body.bin"}})
    try:
        shell_run = best_of(runs, shell.command(), stdin_path=request)
        tool_run = best_of(runs, ["curl", "-s", "-o", os.path.join(work, "curl.bin"), url])
    finally:
        server.shutdown()
        thread.join()
    megabytes = 512 * MIB / 1e6
    return ("download 512 MiB from loopback vs `curl -s -o`", f"{megabytes / shell_run[0]:.0f} MB/s",
            f"{megabytes / tool_run[0]:.0f} MB/s", tool_run[0] / shell_run[0], shell_run[1])


def storage_row(shell, work, runs):
    store = os.path.join(shell.container, "Library", "Application Support", "offline")
    os.makedirs(store, exist_ok=True)
    for name in os.listdir(store):
        os.remove(os.path.join(store, name))
    for i in range(10000):
        with open(os.path.join(store, f"song{i:05}.mp3"), "wb") as out:
            out.write(b"x" * (i % 4096))
    request = os.path.join(work, "storage.json")
    write_request(request, {"id": 1, "plugin": "OfflineStoragePlugin", "method": "getStorageInfo"})
    shell_run = best_of(runs, shell.command(), stdin_path=request)
    tool_run = best_of(runs, ["du", "-sb", store])
    return ("`getStorageInfo` over 10,000 files vs `du -sb`", f"{shell_run[0] * 1000:.0f} ms",
            f"{tool_run[0] * 1000:.0f} ms", tool_run[0] / shell_run[0], shell_run[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("binary")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--calls", type=int, default=10000)
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="musicshell-bench-") as work:
        shell = Shell(os.path.abspath(arguments.binary), os.path.join(work, "container"))
        rows = file_rows(shell, work, arguments.runs)
        *stdio_row, stdio_latencies = round_trip_row(shell, arguments.calls)
        rows.append(tuple(stdio_row))
        rows.append(websocket_row(shell, arguments.calls, stdio_latencies))
        rows.append(download_row(shell, work, arguments.runs))
        rows.append(storage_row(shell, work, arguments.runs))

    print(f"Measured {time.strftime('%Y-%m-%d')} on {platform.node()}: {os.cpu_count()} cores, "
          f"{platform.processor() or platform.machine()}, Linux {platform.release()}. Each figure is the "
          f"median of {arguments.runs} runs (process start included); ratio = baseline time / musicshell "
          "time, so 1.00 is parity and above 1 is faster than the baseline.\n")
    print("| case | musicshell | baseline | ratio | host peak RSS |")
    print("|---|---|---|---|---|")
    for case, ours, theirs, ratio, peak_kb in rows:
        peak = f"{peak_kb / 1024:.0f} MiB" if peak_kb else "—"
        print(f"| {case} | {ours} | {theirs} | {ratio:.2f} | {peak} |")


if __name__ == "__main__":
    main()
