#!/usr/bin/env python3
"""Process-level benchmarks of vx40 against vx40-sim.

  write   a 112-record module written through the simulator paced at 57600
          baud: elapsed time against the line time of every byte that crossed
          the line (counted from the simulator's --trace), and vx40's CPU time
  search  a 10 s search on a silent line: vx40's CPU time against elapsed
  stop    SIGINT during a search on a silent line and during a paced write:
          time from the signal to the process's exit
  scan    a scan of nodes 0-255 with devices answering at once at three nodes:
          the time until the last of them is listed; and with one more device
          that answers after 200 ms: the whole scan, and that it is found
  network the paced write again, through ser2net on 127.0.0.1 as a raw TCP
          serial server (socket://), against the same line time
  rollout four paced lines of two devices each, 20 records a device, through
          four simulators in one `vx40 rollout` (no canary): elapsed against a
          rollout of one such line alone
  emulated the paced write by the arm64 build's vx40 under user-mode emulation
          (qemu-aarch64-static) and by the native vx40, side by side (three
          pairs, each on a fresh simulator): elapsed against elapsed

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
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

BAUD = 57600
BITS_PER_BYTE = 10
RECORD_SIZE = 1030
RECORDS = 112
# The module writer waits this long after identification, before the first block.
PAUSE_BEFORE_BLOCKS_S = 0.5
# A silent identification is one exchange of four reply waits of this length.
REPLY_WAIT_S = 0.25
# The scan's line: devices answering at once at nodes spread over the range,
# and, for the whole scan, one more that answers late.
SCAN_NODES = 256
SCAN_QUICK_NODES = (3, 128, 250)
SCAN_SLOW_NODE = 60
SCAN_SLOW_REPLY_MS = 200


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


def bench_write(bins, folder, through_ser2net=False, command=None):
    """The paced write; COMMAND, when given, is the vx40 to run as a list (an
    emulator and its arguments before the program)."""
    command = command or [bins["vx40"]]
    module = os.path.join(folder, "module.vx4")
    make_module(module)
    sim = Simulator(bins["sim"], ["--pace", "--trace"], folder, "write-sim")
    server = Ser2net(sim.port, folder) if through_ser2net else None
    out_path = os.path.join(folder, "write.json")
    try:
        with open(out_path, "wb") as out:
            started = time.monotonic()
            port = server.url if server else sim.port
            process = start_vx40(command[0], [*command[1:], "-p", port, "--no-log", "--json",
                                              "write", module], stdout=out)
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


class Bus:
    """Several simulators joined as one RS-485 line: a pseudo-terminal for vx40
    whose every byte goes to each simulator, and whatever a simulator sends
    goes back as it comes. One simulator of several devices answers one
    request at a time, so a slow device there holds up the others' answers;
    here it answers late while the others go on answering at once, as on a
    real bus (which would also garble a late answer colliding with a
    request; nothing here does)."""

    def __init__(self, ports):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        # Held open, so the master never reads end-of-file while vx40 has
        # the terminal closed.
        self.port = os.ttyname(self.slave)
        self.sims = []
        for port in ports:
            fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(fd)
            self.sims.append(fd)
        self.stopping = False
        self.thread = threading.Thread(target=self.carry, daemon=True)
        self.thread.start()

    def carry(self):
        while not self.stopping:
            ready, _, _ = select.select([self.master, *self.sims], [], [], 0.05)
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    continue
                for to in (self.sims if fd == self.master else [self.master]):
                    os.write(to, data)

    def stop(self):
        self.stopping = True
        self.thread.join(5)
        for fd in (self.master, self.slave, *self.sims):
            os.close(fd)


def timed_scan(bins, port, stop_after=None, limit_s=600.0):
    """vx40 scan of nodes 0-255 on PORT, its rows read from stdout as they
    come. With STOP_AFTER (nodes), SIGINT once all of them are listed.
    Returns {node: seconds from the start until its row came}, the elapsed
    seconds, the exit code and vx40's CPU seconds."""
    started = time.monotonic()
    process = start_vx40(bins["vx40"], ["-p", port, "scan"], stdout=subprocess.PIPE)
    listed = {}
    caption = True
    while True:
        line = read_line(process.stdout, max(0.0, started + limit_s - time.monotonic()))
        if not line:
            break
        if caption:
            caption = False
            continue
        listed[int(line.split()[0])] = time.monotonic() - started
        if stop_after and all(node in listed for node in stop_after):
            process.send_signal(signal.SIGINT)
            stop_after = None
    code, cpu = reap(process, max(1.0, started + limit_s - time.monotonic()))
    elapsed = time.monotonic() - started
    process.stdout.close()
    return listed, elapsed, code, cpu


def bench_scan(bins, folder):
    devices = [arg for node in SCAN_QUICK_NODES for arg in ("--device", str(node))]
    quick = Simulator(bins["sim"], devices, folder, "scan-sim")
    try:
        # (a) Stopped once the last of them is listed: the full pass over the
        # silent nodes that would follow is (b)'s figure.
        listed, _, code, _ = timed_scan(bins, quick.port, stop_after=SCAN_QUICK_NODES)
        if code != 130 or sorted(listed) != sorted(SCAN_QUICK_NODES):
            sys.exit(f"the scan listed {sorted(listed)} and ended with exit {code}, not "
                     f"{sorted(SCAN_QUICK_NODES)} and 130 (interrupted)")
        slow = Simulator(bins["sim"], ["--node", str(SCAN_SLOW_NODE), "--reply-delay",
                                       str(SCAN_SLOW_REPLY_MS)], folder, "scan-slow-sim")
        bus = Bus([quick.port, slow.port])
        try:
            whole, elapsed, code, cpu = timed_scan(bins, bus.port)
        finally:
            bus.stop()
            slow.stop()
    finally:
        quick.stop()
    if code != 0:
        sys.exit(f"the scan with a slow device ended with exit {code}, not 0")
    return {"nodes": SCAN_NODES,
            "quick": {str(node): listed[node] for node in SCAN_QUICK_NODES},
            "last_quick_s": max(listed.values()),
            "slow_node": SCAN_SLOW_NODE, "slow_reply_ms": SCAN_SLOW_REPLY_MS,
            "whole": {str(node): at for node, at in sorted(whole.items())},
            "slow_found": SCAN_SLOW_NODE in whole,
            "elapsed_s": elapsed, "cpu_s": cpu, "cpu_share": cpu / elapsed}


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


def bench_emulated(bins, folder, arm64_vx40, pairs=3):
    # With Debian's multiarch arm64 libraries, as scripts/emulation-check runs it.
    emulated = ["qemu-aarch64-static", arm64_vx40]
    native, under = [], []
    for _ in range(pairs):
        native.append(bench_write(bins, folder))
        under.append(bench_write(bins, folder, command=emulated))
    ratios = [u["elapsed_s"] / n["elapsed_s"] for n, u in zip(native, under)]
    return {"native_s": [n["elapsed_s"] for n in native],
            "emulated_s": [u["elapsed_s"] for u in under],
            "native_cpu_s": [n["cpu_s"] for n in native],
            "emulated_cpu_s": [u["cpu_s"] for u in under],
            "line_time_s": native[0]["line_time_s"], "ratios": ratios,
            "ratio": statistics.median(ratios)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/native", help="the native build folder")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--stop-samples", type=int, default=10,
                        help="signals per kind of Stop (default 10)")
    parser.add_argument("--search-seconds", type=int, default=10,
                        help="length of the search measured for CPU time (default 10)")
    parser.add_argument("--arm64", default="build/arm64/cli/vx40",
                        help="the arm64 preset's vx40, for the write under emulation")
    parser.add_argument("--only",
                        choices=("write", "search", "stop", "scan", "network", "rollout",
                                 "emulated"),
                        help="run one benchmark: the paced write, the silent search, Stop, "
                        "the scans, the paced write through ser2net, the "
                        "four-line rollout or the paced write under emulation")
    options = parser.parse_args()
    bins = {"vx40": os.path.join(options.build, "cli", "vx40"),
            "sim": os.path.join(options.build, "sim", "vx40-sim")}
    for exe in bins.values():
        if not os.access(exe, os.X_OK):
            sys.exit(f"{exe} is missing; build the native preset first")

    figures = {}
    run = ({options.only} if options.only
           else {"write", "search", "stop", "scan", "network", "rollout", "emulated"})
    if "emulated" in run and not (os.access(options.arm64, os.X_OK)
                                  and shutil.which("qemu-aarch64-static")):
        if options.only:
            sys.exit(f"{options.arm64} or qemu-aarch64-static is missing; build the arm64 "
                     "preset and install qemu-user-static first")
        print("paced write under emulation: not measured (no arm64 build or no "
              "qemu-aarch64-static)")
        run.discard("emulated")
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
            quick = ", ".join(f"{node} at {at:.3f} s" for node, at in scan["quick"].items())
            print(f"scan of {scan['nodes']} nodes: the last device answering at once listed "
                  f"after {scan['last_quick_s']:.3f} s ({quick}; target <= 10 s)")
            slow = scan["whole"].get(str(scan["slow_node"]))
            print(f"scan with a device answering after {scan['slow_reply_ms']} ms at node "
                  f"{scan['slow_node']}: " + (f"listed after {slow:.3f} s" if slow else
                                              "NOT FOUND") +
                  f", whole scan {scan['elapsed_s']:.3f} s; CPU {100 * scan['cpu_share']:.3f}%")
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
        if "emulated" in run:
            emu = figures["emulated"] = bench_emulated(bins, folder, options.arm64)
            print(f"paced write of the arm64 vx40 under emulation: median {emu['ratio']:.4f} of "
                  f"the native one's elapsed over {len(emu['ratios'])} pairs (native "
                  f"{statistics.median(emu['native_s']):.3f} s, emulated "
                  f"{statistics.median(emu['emulated_s']):.3f} s; CPU "
                  f"{statistics.median(emu['native_cpu_s']):.3f} s and "
                  f"{statistics.median(emu['emulated_cpu_s']):.3f} s; target <= 1.05)")
    if options.json:
        with open(options.json, "w") as out:
            json.dump(figures, out, indent=2)


if __name__ == "__main__":
    main()
