#!/usr/bin/env python3
"""Small calls through the window's script-message bridge beside the same calls over stdio, in one
run: the total of N sequential calls and per-call percentiles (as far as the page's timer
resolves them), and the time from launch to the first answered call. The window runs on an X
display of its own (Xvfb); its page (bench/window-page) reports through the bridge itself.

Usage: bench/window_latency.py BINARY [--calls N]"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

CALL = b'{"id":%d,"plugin":"OfflineStoragePlugin","method":"fileExists","options":{"filename":"x"}}\n'


def descendants(pid):
    """The process and every process it started, by their parents in /proc."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    parents.setdefault(int(stat.read().rsplit(")", 1)[1].split()[1]), []).append(int(entry))
            except OSError:
                pass
    found, queue = [], [pid]
    while queue:
        found.append(queue.pop())
        queue += parents.get(found[-1], [])
    return found


def pss_kb(pids):
    """Proportional set size of the processes together: shared pages counted once."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps_rollup") as rollup:
                total += next(int(line.split()[1]) for line in rollup if line.startswith("Pss:"))
        except (OSError, StopIteration):
            pass
    return total


def window(binary, work, calls, launches=5):
    """The calls and the first launch, then `launches` more launches that answer one call each: the
    first start reads what the later ones find in the page cache and the engine's caches. Then the
    window's page moves 64 MiB each way (bench/page-transfer) beside `dd` writing the same bytes."""
    page = os.path.join(work, "page")
    shutil.copytree(os.path.join(HERE, "window-page"), page)
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    display = ":" + xvfb.stdout.readline().decode().strip()
    environment = dict(os.environ, DISPLAY=display, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent",
                       GTK_A11Y="none")
    try:
        figures = launch(binary, page, os.path.join(work, "window"), environment, calls)
        figures["launchesMs"] = [launch(binary, page, os.path.join(work, f"window{n}"), environment, 0)["firstAnswerMs"]
                                 for n in range(launches)]
        figures["transfer"] = transfer(binary, work, environment)
    finally:
        xvfb.terminate()
        xvfb.wait()
    return figures


def transfer(binary, work, environment, runs=3):
    """Milliseconds the window's page takes to post 64 MiB into the store and to read them back with
    readFileBytes (medians of the page's three each), and `dd bs=4M conv=fsync` writing the same
    bytes (median of `runs`)."""
    store = os.path.join(work, "transfer", "Library", "Application Support", "offline")
    shell = subprocess.Popen([binary, "--app", os.path.join(HERE, "page-transfer"),
                              "--container", os.path.join(work, "transfer")], env=environment,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(os.path.join(store, "transfer.json"), shell)
    finally:
        shell.terminate()
        shell.wait()
    with open(os.path.join(store, "transfer.json")) as measured:
        page = json.load(measured)
    dd = []
    for _ in range(runs):
        subprocess.run(["sync"], check=True)  # nothing an earlier step left dirty is written out inside this one
        started = time.perf_counter()
        subprocess.run(["dd", f"if={os.path.join(store, 'bytes.bin')}", f"of={os.path.join(work, 'dd.bin')}",
                        "bs=4M", "conv=fsync", "status=none"], check=True)
        dd.append((time.perf_counter() - started) * 1000)
    return {"post": statistics.median(page["post"]), "readBytes": statistics.median(page["readBytes"]),
            "dd": statistics.median(dd)}


def wait_for(path, shell):
    launched = time.time()
    while not os.path.exists(path):
        if time.time() - launched > 600 or shell.poll() is not None:
            raise SystemExit("the window's page never reported")
        time.sleep(0.01)


def launch(binary, page, container, environment, calls):
    with open(os.path.join(page, "settings.json"), "w") as settings:
        json.dump({"calls": calls}, settings)
    result = os.path.join(container, "Library", "Application Support", "offline", "latency.json")
    launched = time.time()
    shell = subprocess.Popen([binary, "--app", page, "--container", container], env=environment,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(result, shell)
        time.sleep(0.5)  # the file is written before its answer reaches the page
        processes = descendants(shell.pid)
        memory = pss_kb(processes)
    finally:
        shell.terminate()
        shell.wait()
    with open(result) as measured:
        figures = json.load(measured)
    figures["firstAnswerMs"] = figures["firstAnswerAt"] - launched * 1000
    figures["pssMiB"], figures["processes"] = memory / 1024, len(processes)
    return figures


def stdio(binary, work, calls):
    started = time.time()
    shell = subprocess.Popen([binary, "stdio", "--container", os.path.join(work, "stdio")],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    shell.stdin.write(CALL % 0)
    shell.stdin.flush()
    shell.stdout.readline()
    first = (time.time() - started) * 1000
    latencies = []
    began = time.perf_counter()
    for i in range(calls):
        before = time.perf_counter()
        shell.stdin.write(CALL % (i + 1))
        shell.stdin.flush()
        shell.stdout.readline()
        latencies.append((time.perf_counter() - before) * 1e6)
    total = (time.perf_counter() - began) * 1000
    shell.stdin.close()
    shell.wait()
    latencies.sort()
    return {"totalMs": total, "median": statistics.median(latencies),
            "p99": latencies[int(len(latencies) * 0.99)], "firstAnswerMs": first}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("binary")
    parser.add_argument("--calls", type=int, default=10000)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="musicshell-window-bench-") as work:
        binary = os.path.abspath(arguments.binary)
        ours = window(binary, work, arguments.calls)
        theirs = stdio(binary, work, arguments.calls)
    print_table(arguments.calls, ours, theirs)


def print_table(calls, ours, theirs):
    print("| case | window | stdio | stdio time / window time |")
    print("|---|---|---|---|")
    print(f"| {calls:,} sequential small calls | total {ours['totalMs']:.0f} ms; median {ours['median']:.0f} µs, "
          f"p99 {ours['p99']:.0f} µs | total {theirs['totalMs']:.0f} ms; median {theirs['median']:.0f} µs, "
          f"p99 {theirs['p99']:.0f} µs | {theirs['totalMs'] / ours['totalMs']:.2f} |")
    for name, road in ours.get("roads", {}).items():
        print(f"| road: {name}, {calls:,} calls | total {road['totalMs']:.0f} ms; median {road['median']:.0f} µs, "
              f"p99 {road['p99']:.0f} µs (batch means) | | {theirs['totalMs'] / road['totalMs']:.2f} |")
    print(f"| launch to the first answered call: the first, then the median of {len(ours['launchesMs'])} more | "
          f"{ours['firstAnswerMs']:.0f} ms, then {statistics.median(ours['launchesMs']):.0f} ms | "
          f"{theirs['firstAnswerMs']:.0f} ms | {theirs['firstAnswerMs'] / statistics.median(ours['launchesMs']):.2f} |")
    moved = ours["transfer"]
    print(f"| 64 MiB from the window's page into the store, posted, vs `dd bs=4M conv=fsync` | {moved['post']:.0f} ms | "
          f"dd {moved['dd']:.0f} ms | {moved['dd'] / moved['post']:.2f} |")
    print(f"| the same 64 MiB back with readFileBytes | {moved['readBytes']:.0f} ms | | |")
    print(f"| the window's memory once answering: PSS of the shell and the engine's processes together "
          f"({ours['processes']} processes) | {ours['pssMiB']:.0f} MiB | | |")


if __name__ == "__main__":
    main()
