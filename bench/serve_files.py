#!/usr/bin/env python3
"""Serving files from `musicshell serve`: memory and latency with slow listeners, and the
throughput of one fast reader next to curl reading the same bytes from disk. Prints Markdown."""

import argparse
import http.server
import os
import socket
import statistics
import subprocess
import tempfile
import threading
import time
import urllib.parse

from compare import FileHandler  # headers, then the kernel's sendfile

MIB = 1 << 20


def write_random(path, mebibytes):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        for _ in range(mebibytes):
            out.write(os.urandom(MIB))


def resident_kb(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Server:
    """The shell serving, logged in once with the address it printed."""

    def __init__(self, binary, container):
        self.process = subprocess.Popen([binary, "serve", "--container", container], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        address = urllib.parse.urlsplit(self.process.stdout.readline().strip())
        self.port = address.port
        self.cookie = None
        answer = self.request(f"/?{address.query}")
        self.cookie = next(line.split(":", 1)[1].strip().split(";")[0] for line in answer.split("\r\n")
                           if line.lower().startswith("set-cookie:"))

    def request(self, path):
        """One small GET; gives the whole answer."""
        with socket.create_connection(("127.0.0.1", self.port)) as connection:
            connection.sendall(self.head(path, close=True))
            chunks = []
            while chunk := connection.recv(65536):
                chunks.append(chunk)
        return b"".join(chunks).decode("latin-1")

    def head(self, path, close=False):
        lines = [f"GET {path} HTTP/1.1", f"Host: 127.0.0.1:{self.port}"]
        if self.cookie:
            lines.append(f"Cookie: {self.cookie}")
        if close:
            lines.append("Connection: close")
        return ("\r\n".join(lines) + "\r\n\r\n").encode()

    def stop(self):
        self.process.terminate()
        self.process.wait()


def slow_reader(server, path, stop):
    """Takes 64 KiB every 50 ms until told to stop."""
    with socket.create_connection(("127.0.0.1", server.port)) as connection:
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
        connection.sendall(server.head(path))
        while not stop.is_set():
            if not connection.recv(64 * 1024):
                return
            time.sleep(0.05)


def slow_readers_row(server, seconds):
    before = resident_kb(server.process.pid, "VmRSS")
    stop = threading.Event()
    readers = [threading.Thread(target=slow_reader, args=(server, "/files/offline/big.bin", stop))
               for _ in range(6)]
    for reader in readers:
        reader.start()
    latencies = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        started = time.perf_counter()
        answer = server.request("/files/offline/small.txt")
        latencies.append((time.perf_counter() - started) * 1000)
        assert answer.startswith("HTTP/1.1 200"), answer[:80]
        time.sleep(0.1)
    peak = resident_kb(server.process.pid, "VmHWM")
    stop.set()
    for reader in readers:
        reader.join()
    return (f"6 slow readers of a 300 MiB file for {seconds} s, a small request meanwhile "
            f"({len(latencies)} of them)",
            f"median {statistics.median(latencies):.1f} ms, worst {max(latencies):.1f} ms",
            "target < 50 ms", f"{before / 1024:.0f} MiB before, peak {peak / 1024:.0f} MiB")


def timed(command):
    started = time.perf_counter()
    subprocess.run(command, check=True)
    return time.perf_counter() - started


def fast_reader_rows(server, path, runs):
    FileHandler.body_path = path
    minimal = http.server.HTTPServer(("127.0.0.1", 0), FileHandler)
    thread = threading.Thread(target=minimal.serve_forever)
    thread.start()
    curl = ["curl", "-s", "-o", "/dev/null"]
    ours, disk, bare = [], [], []
    try:
        for _ in range(runs):
            ours.append(timed([*curl, "-H", f"Cookie: {server.cookie}",
                               f"http://127.0.0.1:{server.port}/files/downloads/fast.bin"]))
            disk.append(timed([*curl, f"file://{path}"]))
            bare.append(timed([*curl, f"http://127.0.0.1:{minimal.server_address[1]}/fast.bin"]))
    finally:
        minimal.shutdown()
        thread.join()
    megabytes = 512 * MIB / 1e6
    ours, disk, bare = (statistics.median(times) for times in (ours, disk, bare))
    peak = resident_kb(server.process.pid, "VmHWM") / 1024
    return [("512 MiB to one `curl -s -o /dev/null` over loopback vs `curl -s -o /dev/null file://`",
             f"{megabytes / ours:.0f} MB/s", f"{megabytes / disk:.0f} MB/s",
             f"ratio {disk / ours:.2f} (target >= 0.5), peak {peak:.0f} MiB"),
            ("the same, vs a bare sendfile server in Python (loopback HTTP's ceiling here)",
             f"{megabytes / ours:.0f} MB/s", f"{megabytes / bare:.0f} MB/s", f"ratio {bare / ours:.2f}")]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("binary")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="musicshell-serve-bench-") as work:
        container = os.path.join(work, "container")
        offline = os.path.join(container, "Library", "Application Support", "offline")
        fast = os.path.join(container, "Documents", "Downloads", "fast.bin")
        write_random(os.path.join(offline, "big.bin"), 300)
        write_random(fast, 512)
        with open(os.path.join(offline, "small.txt"), "w") as out:
            out.write("small")
        server = Server(os.path.abspath(arguments.binary), container)
        try:
            rows = [slow_readers_row(server, arguments.seconds), *fast_reader_rows(server, fast, arguments.runs)]
        finally:
            server.stop()
    print(f"\nServing files ({os.cpu_count()} cores; median of {arguments.runs} runs for throughput):\n")
    print("| case | musicshell | baseline or target | notes |")
    print("|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
