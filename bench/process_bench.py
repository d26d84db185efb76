#!/usr/bin/env python3
"""Process-level benchmarks of vx40 against vx40-sim.

  write   a 112-record module written through the simulator paced at 57600
          baud: elapsed time against the line time of every byte that crossed
          the line (counted from the simulator's --trace), and vx40's CPU time
  search  a 10 s search on a silent line: vx40's CPU time against elapsed
  stop    SIGINT during a search on a silent line and during a paced write:
          time from the signal to the process's exit
  scan    a scan of nodes 0-255 on a line with no device: elapsed time against
          one 250 ms reply wait a node, and vx40's CPU time
  network the paced write again, through ser2net on 127.0.0.1 as a raw TCP
          serial server (socket://), against the same line time
  rollout four paced lines of two devices each, 20 records a device, through
          four simulators in one `vx40 rollout` (no canary): elapsed against a
          rollout of one such line alone

vx40's CPU time is the child's own rusage from wait4 (user + system), so the
simulator's work is not counted. Prints one line per figure and, with --json,
writes every figure and sample for scripts/bench.
"""
import argparse
import json
import os
import random
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BAUD = 57600
BITS_PER_BYTE = 10
RECORD_SIZE = 1030
RECORDS = 112
# The module writer waits this long after identification, before the first block.
PAUSE_BEFORE_BLOCKS_S = 0.5
# A silent identification is one exchange of four reply waits of this length.
REPLY_WAIT_S = 0.25
# A scan asks every node once, each with a single reply wait.
SCAN_NODES = 256


def line_time_s(count):
    return count * BITS_PER_BYTE / BAUD


class Simulator:
    """vx40-sim on a pseudo-terminal; its stderr (the trace) goes to a file."""

    def __init__(self, exe, args, folder, name):
        self.trace_path = os.path.join(folder, name + ".err")
        with open(self.trace_path, "wb") as err:
            self.process = subprocess.Popen([exe, *args], stdout=subprocess.PIPE, stderr=err)
        line = read_line(self.process.stdout, 10.0)
        if not line:
            self.stop()
            sys.exit("vx40-sim did not start: " + open(self.trace_path).read())
        self.port = line.strip()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(10)
        self.process.stdout.close()

    def line_bytes(self):
        return trace_line_bytes(self.trace_path)


def trace_frames(path):
    """(ms, "rx" or "tx", byte count) of every frame in a vx40-sim trace, in
    order. Paced, an rx line is written once the frame has crossed the line,
    a tx line just before the reply starts out on it."""
    with open(path) as trace:
        for line in trace:
            match = re.match(r"\[ *([\d.]+) ms\] (rx|tx)((?: [0-9A-F]{2})+)$", line.rstrip())
            if match:
                yield float(match.group(1)), match.group(2), len(match.group(3).split())


def trace_line_bytes(path):
    """Bytes of every frame the simulator received (rx) and sent (tx)."""
    return sum(count for _, _, count in trace_frames(path))


def read_line(stream, timeout_s):
    """One line from a pipe, or b"" when none comes within the time."""
    deadline = time.monotonic() + timeout_s
    data = b""
    fd = stream.fileno()
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 1)
        if not chunk:
            break
        data += chunk
    return data.decode("utf-8", "replace")


def start_vx40(exe, args, stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL):
    return subprocess.Popen([exe, *args], stdout=stdout, stderr=stderr)


def reap(process, limit_s=60.0):
    """Waits for the child; returns its exit code and CPU seconds (user + system).
    A child that outlives the limit is killed, so a Stop that fails ends the
    run with an exit code of -9 rather than hanging it."""
    guard = threading.Timer(limit_s, process.kill)
    guard.start()
    try:
        _, status, usage = os.wait4(process.pid, 0)
    finally:
        guard.cancel()
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_utime + usage.ru_stime


def make_module(path):
    # Fixed pseudo-random contents: about one byte in 85 needs an escape on the line.
    rng = random.Random(40)
    with open(path, "wb") as module:
        module.write(bytes(rng.getrandbits(8) for _ in range(RECORDS * RECORD_SIZE)))


class Ser2net:
    """ser2net in the foreground, serving a terminal as raw TCP on a free port
    of 127.0.0.1."""

    def __init__(self, device, folder):
        import socket
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        config = os.path.join(folder, "ser2net.yaml")
        with open(config, "w") as out:
            out.write(f"connection: &bench\n  accepter: tcp,127.0.0.1,{self.port}\n"
                      f"  connector: serialdev,{device},57600n81,local\n"
                      "  options:\n    chardelay: false\n")
        self.process = subprocess.Popen(["ser2net", "-n", "-u", "-c", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while f":{self.port:04X} 00000000:0000 0A" not in open("/proc/net/tcp").read():
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                sys.exit("ser2net did not start listening")
            time.sleep(0.05)
        self.url = f"socket://127.0.0.1:{self.port}"

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(5)


def bench_write(bins, folder, through_ser2net=False):
    module = os.path.join(folder, "module.vx4")
    make_module(module)
    sim = Simulator(bins["sim"], ["--pace", "--trace"], folder, "write-sim")
    server = Ser2net(sim.port, folder) if through_ser2net else None
    out_path = os.path.join(folder, "write.json")
    try:
        with open(out_path, "wb") as out:
            started = time.monotonic()
            port = server.url if server else sim.port
            process = start_vx40(bins["vx40"], ["-p", port, "--no-log", "--json", "write",
                                                module], stdout=out)
            code, cpu = reap(process)
            elapsed = time.monotonic() - started
    finally:
        if server:
            server.stop()
        sim.stop()
    report = json.load(open(out_path))
    if code != 0 or report.get("blocks") != RECORDS:
        sys.exit(f"the paced write failed: exit {code}, {report}")
    count = sim.line_bytes()
    line = line_time_s(count)
    return {
        "elapsed_s": elapsed,
        "line_bytes": count,
        "line_time_s": line,
        "ratio": elapsed / line,
        "ratio_without_pause": (elapsed - PAUSE_BEFORE_BLOCKS_S) / line,
        "cpu_s": cpu,
        "cpu_share": cpu / elapsed,
    }


def silent_run(bins, folder, name, args, what, limit_s=60.0):
    """vx40 ARGS against a simulator that never answers, which must end with
    exit code 5 (no device); returns its elapsed and CPU seconds."""
    sim = Simulator(bins["sim"], ["--fault", "any:every:silence"], folder, name)
    try:
        started = time.monotonic()
        code, cpu = reap(start_vx40(bins["vx40"], ["-p", sim.port, *args]), limit_s)
        elapsed = time.monotonic() - started
    finally:
        sim.stop()
    if code != 5:
        sys.exit(f"{what} ended with exit {code}, not 5 (no device)")
    return elapsed, cpu


def bench_search_cpu(bins, folder, seconds):
    elapsed, cpu = silent_run(bins, folder, "search-sim", ["info", "--timeout", str(seconds)],
                              "the search on a silent line")
    return {"elapsed_s": elapsed, "cpu_s": cpu, "cpu_share": cpu / elapsed}


def bench_scan(bins, folder):
    elapsed, cpu = silent_run(bins, folder, "scan-sim", ["scan"],
                              "the scan of a line with no device", 600.0)
    waits = SCAN_NODES * REPLY_WAIT_S
    return {"elapsed_s": elapsed, "nodes": SCAN_NODES, "reply_waits_s": waits,
            "ratio": elapsed / waits, "per_node_ms": 1000 * elapsed / SCAN_NODES,
            "cpu_s": cpu, "cpu_share": cpu / elapsed}


def stop_samples(bins, sim, args, offsets):
    """Starts vx40 once per offset, interrupts it that long after its first
    status line, and returns the seconds from the signal to its exit."""
    samples = []
    for offset in offsets:
        process = start_vx40(bins["vx40"], ["-p", sim.port, *args], stderr=subprocess.PIPE)
        if not read_line(process.stderr, 10.0):
            process.kill()
            reap(process)
            sys.exit("vx40 showed no status: " + " ".join(args))
        time.sleep(offset)
        signalled = time.monotonic()
        process.send_signal(signal.SIGINT)
        code, _ = reap(process, 10.0)
        samples.append(time.monotonic() - signalled)
        process.stderr.close()
        if code != 130:
            sys.exit(f"vx40 {' '.join(args)} ended with exit {code} after SIGINT, not 130")
    return samples


def summary(samples):
    return {"median_s": statistics.median(samples), "max_s": max(samples), "samples": samples}


def bench_stop(bins, folder, count):
    # The offsets walk evenly across the period of what vx40 is doing, so the
    # signal lands in every phase: for the search, every point of a 250 ms
    # reply wait and each of the four waits of an exchange; for the write,
    # two block exchanges (about 0.19 s each).
    search_offsets = [0.3 + REPLY_WAIT_S * (i / count + i % 4) for i in range(count)]
    sim = Simulator(bins["sim"], ["--fault", "any:every:silence"], folder, "stop-search-sim")
    try:
        search = stop_samples(bins, sim, ["info"], search_offsets)
    finally:
        sim.stop()

    module = os.path.join(folder, "module.vx4")
    if not os.path.exists(module):
        make_module(module)
    # Past the identification and the pause, well into the blocks.
    write_offsets = [1.0 + 0.4 * i / count for i in range(count)]
    sim = Simulator(bins["sim"], ["--pace"], folder, "stop-write-sim")
    try:
        write = stop_samples(bins, sim, ["write", module], write_offsets)
    finally:
        sim.stop()
    return {"search": summary(search), "write": summary(write)}


ROLLOUT_LINES = 4
ROLLOUT_RECORDS = 20


def rollout_once(bins, folder, name, lines):
    """One `vx40 rollout` over LINES fresh paced simulators of two devices
    each (devices once written are skipped, so every run needs new ones);
    returns its elapsed seconds."""
    sims = [Simulator(bins["sim"], ["--pace", "--device", "1", "--device", "2",
                                    "--written-version", "0x0106"], folder, f"{name}-{i}")
            for i in range(lines)]
    plan = os.path.join(folder, name + ".toml")
    try:
        with open(plan, "w") as out:
            out.write('canary = 0\n[[module]]\ntype = "VX40"\nfile = "rollout.vx4"\n'
                      'version = "01.06"\n')
            for sim in sims:
                out.write(f'[[line]]\nport = "{sim.port}"\nnodes = "1-2"\n')
        report = os.path.join(folder, name + ".json")
        started = time.monotonic()
        process = start_vx40(bins["vx40"], ["-q", "--no-log", "rollout", plan, "--report",
                                            report])
        code, _ = reap(process, 120.0)
        elapsed = time.monotonic() - started
    finally:
        for sim in sims:
            sim.stop()
    counts = json.load(open(report))["counts"] if os.path.exists(report) else {}
    if code != 0 or counts.get("written") != 2 * lines:
        sys.exit(f"the rollout of {lines} lines failed: exit {code}, {counts}")
    return elapsed


def bench_rollout(bins, folder, samples=3):
    rng = random.Random(41)
    with open(os.path.join(folder, "rollout.vx4"), "wb") as module:
        module.write(bytes(rng.getrandbits(8) for _ in range(ROLLOUT_RECORDS * RECORD_SIZE)))
    one, four = [], []
    for sample in range(samples):
        one.append(rollout_once(bins, folder, f"rollout-one-{sample}", 1))
        four.append(rollout_once(bins, folder, f"rollout-four-{sample}", ROLLOUT_LINES))
    ratios = [f / o for f, o in zip(four, one)]
    return {"lines": ROLLOUT_LINES, "records": ROLLOUT_RECORDS,
            "one_line_s": one, "all_lines_s": four, "ratios": ratios,
            "ratio": statistics.median(ratios)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/native", help="the native build folder")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--stop-samples", type=int, default=10,
                        help="signals per kind of Stop (default 10)")
    parser.add_argument("--search-seconds", type=int, default=10,
                        help="length of the search measured for CPU time (default 10)")
    parser.add_argument("--only",
                        choices=("write", "search", "stop", "scan", "network", "rollout"),
                        help="run one benchmark: the paced write, the silent search, Stop, "
                        "the scan of an empty line, the paced write through ser2net or the "
                        "four-line rollout")
    options = parser.parse_args()
    bins = {"vx40": os.path.join(options.build, "cli", "vx40"),
            "sim": os.path.join(options.build, "sim", "vx40-sim")}
    for exe in bins.values():
        if not os.access(exe, os.X_OK):
            sys.exit(f"{exe} is missing; build the native preset first")

    figures = {}
    run = ({options.only} if options.only
           else {"write", "search", "stop", "scan", "network", "rollout"})
    with tempfile.TemporaryDirectory(prefix="vx40-bench-") as folder:
        if "write" in run:
            write = figures["write"] = bench_write(bins, folder)
            print(f"paced write: {write['elapsed_s']:.3f} s for {write['line_bytes']} bytes on "
                  f"the line ({write['line_time_s']:.3f} s): ratio {write['ratio']:.4f}, "
                  f"{write['ratio_without_pause']:.4f} without the 0.5 s pause (target <= 1.03)")
            print(f"paced write: CPU {write['cpu_s']:.3f} s = {100 * write['cpu_share']:.3f}% "
                  f"of elapsed (target <= 2%)")
        if "search" in run:
            search = figures["search"] = bench_search_cpu(bins, folder, options.search_seconds)
            print(f"silent search: CPU {search['cpu_s']:.3f} s in {search['elapsed_s']:.3f} s = "
                  f"{100 * search['cpu_share']:.3f}% (target <= 2%)")
        if "stop" in run:
            stop = figures["stop"] = bench_stop(bins, folder, options.stop_samples)
            for kind in ("search", "write"):
                print(f"Stop during a {kind}: median {stop[kind]['median_s']:.3f} s, max "
                      f"{stop[kind]['max_s']:.3f} s over {len(stop[kind]['samples'])} "
                      f"(target <= 0.30 s)")
        if "scan" in run:
            scan = figures["scan"] = bench_scan(bins, folder)
            print(f"scan of an empty line: {scan['elapsed_s']:.3f} s for {scan['nodes']} nodes "
                  f"({scan['per_node_ms']:.1f} ms a node) = {scan['ratio']:.4f} of "
                  f"{scan['reply_waits_s']:.0f} s of reply waits (target <= 1.02); CPU "
                  f"{100 * scan['cpu_share']:.3f}%")
        if "network" in run:
            net = figures["network"] = bench_write(bins, folder, through_ser2net=True)
            print(f"paced write through ser2net (socket://): {net['elapsed_s']:.3f} s for "
                  f"{net['line_bytes']} bytes ({net['line_time_s']:.3f} s): ratio "
                  f"{net['ratio']:.4f}, {net['ratio_without_pause']:.4f} without the 0.5 s "
                  f"pause (target <= 1.03)")
        if "rollout" in run:
            roll = figures["rollout"] = bench_rollout(bins, folder)
            print(f"rollout of {roll['lines']} paced lines, 2 devices of {roll['records']} "
                  f"records each: median {roll['ratio']:.4f} of one line alone (one line "
                  f"{statistics.median(roll['one_line_s']):.3f} s, all "
                  f"{statistics.median(roll['all_lines_s']):.3f} s; target <= 1.10, 1.03)")
    if options.json:
        with open(options.json, "w") as out:
            json.dump(figures, out, indent=2)


if __name__ == "__main__":
    main()
