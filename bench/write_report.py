#!/usr/bin/env python3
"""Writes docs/performance.md from the results that scripts/bench collects.

The results folder holds codec.json (Google Benchmark's JSON), line.txt
(vx40_line_bench's output), alloc.txt and alloc.rc (the allocation test's
output and exit code), process.json (bench/process_bench.py --json) and
either wine.json (bench/wine_bench.sh --json) or wine.skipped, a line telling
why the Wine figures were not measured.
"""
import argparse
import datetime
import json
import os
import platform
import re
import statistics
import subprocess

LINE_BYTES_PER_S = 57600 / 10


def read(path):
    with open(path) as f:
        return f.read()


def cpu_model():
    for line in read("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def compiler(build):
    cache = read(os.path.join(build, "CMakeCache.txt"))
    match = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", cache, re.M)
    exe = match.group(1) if match else "c++"
    version = subprocess.run([exe, "--version"], capture_output=True, text=True).stdout
    build_type = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache, re.M)
    return version.splitlines()[0], build_type.group(1) if build_type else ""


def codec_rows(path):
    """Median bytes/s of each codec benchmark and its ratio to memcpy."""
    medians = {}
    frames = {}
    for entry in json.load(open(path))["benchmarks"]:
        if entry.get("aggregate_name", "median") != "median":
            continue
        name = entry.get("run_name", entry["name"])
        medians[name] = entry["bytes_per_second"]
        if "frame_bytes" in entry:
            frames[name] = int(round(entry["frame_bytes"]))
    memcpy = medians.pop("Memcpy")
    rows = [("(e)", "memcpy of the 1033 payload bytes (baseline)", f"{memcpy / 1e9:.2f} GB/s", "-",
             "")]
    for name, rate in medians.items():
        operation, contents = name.split("/")
        kind = "plain bytes" if contents == "plain" else "every byte 0x02/0x03/0x10"
        measured = (f"{rate / 1e9:.2f} GB/s = {rate / memcpy:.4f} of memcpy "
                    f"(memcpy {memcpy / rate:.0f}x faster); {rate / LINE_BYTES_PER_S:,.0f}x "
                    f"the line's 5760 B/s")
        rows.append(("(e)", f"`{operation}Frame`, 1033-byte payload, {kind} "
                     f"({frames.get(name, '?')}-byte frame)", measured, "ratio reported", ""))
    return rows


def line_rows(path):
    text = read(path)
    silent = re.search(r"silent exchange: median ([\d.]+) s, min ([\d.]+) s, max ([\d.]+) s "
                       r"over (\d+)", text)
    def latency(what):
        return re.search(what + r"[^:]*: median ([\d.]+) ms, 99th percentile ([\d.]+) ms, "
                         r"max ([\d.]+) ms; (\d+) of (\d+) above 2 ms", text).groups()

    median, low, high, count = silent.groups()
    rows = [("(b)", "Silent exchange (four attempts, no reply) until it returns -2011",
             f"median {median} s, min {low} s, max {high} s ({count} samples)", "1.00-1.10 s",
             "yes" if float(low) >= 1.0 and float(high) <= 1.10 else "**no**")]
    median, p99, high, late, count = latency("ChannelRead after ETX")
    if float(high) <= 2.0:
        met = "yes"
    elif float(p99) <= 2.0:
        met = "99th percentile yes; max **no**"
    else:
        met = "**no**"
    rows.append(("(b)", "`ChannelRead` return after the ETX byte arrives",
                 f"median {median} ms, 99th percentile {p99} ms, max {high} ms; {late} of "
                 f"{count} samples above 2 ms", "<= 2 ms", met))
    median, p99, high, late, count = latency("bare poll and read after ETX")
    rows.append(("(b)", "the same for a bare `poll` and `read` on a raw pseudo-terminal, "
                 "alternating with the above (the kernel's and scheduler's floor)",
                 f"median {median} ms, 99th percentile {p99} ms, max {high} ms; {late} of "
                 f"{count} samples above 2 ms", "reference", ""))
    return rows


def alloc_row(folder):
    code = int(read(os.path.join(folder, "alloc.rc")).strip())
    if code == 0:
        measured, met = "0 (three exchanges, each with one garbled reply and a resend)", "yes"
    else:
        found = re.search(r"Which is: (\d+)", read(os.path.join(folder, "alloc.txt")))
        measured, met = f"{found.group(1) if found else 'unknown'} (the test failed)", "**no**"
    return ("(f)", "Heap allocations inside `Exchange`", measured, "0", met)


def process_rows(path):
    figures = json.load(open(path))
    write, search, stop = figures["write"], figures["search"], figures["stop"]
    rows = []
    detail = (f"{write['elapsed_s']:.3f} s for {write['line_bytes']} bytes "
              f"= {write['line_time_s']:.3f} s of line time")
    rows.append(("(a)", "112-record module, paced write: elapsed / line time, whole command",
                 f"{write['ratio']:.4f} ({detail})", "<= 1.03",
                 "yes" if write["ratio"] <= 1.03 else "**no**"))
    rows.append(("(a)", "the same without the 0.5 s pause before the first block",
                 f"{write['ratio_without_pause']:.4f}", "<= 1.03",
                 "yes" if write["ratio_without_pause"] <= 1.03 else "**no**"))
    for kind, label in (("search", "a search with no device"), ("write", "a paced write")):
        figure = stop[kind]
        rows.append(("(c)", f"Stop (SIGINT) during {label}: signal to exit",
                     f"median {figure['median_s']:.3f} s, max {figure['max_s']:.3f} s "
                     f"({len(figure['samples'])} samples)", "<= 0.30 s",
                     "yes" if figure["max_s"] <= 0.30 else "**no**"))
    rows.append(("(d)", "CPU time / elapsed of `vx40` during the paced write",
                 f"{100 * write['cpu_share']:.3f}% ({write['cpu_s']:.3f} s CPU in "
                 f"{write['elapsed_s']:.1f} s)", "<= 2%",
                 "yes" if write["cpu_share"] <= 0.02 else "**no**"))
    rows.append(("(d)", "CPU time / elapsed of `vx40` during a search with no device",
                 f"{100 * search['cpu_share']:.3f}% ({search['cpu_s']:.3f} s CPU in "
                 f"{search['elapsed_s']:.1f} s)", "<= 2%",
                 "yes" if search["cpu_share"] <= 0.02 else "**no**",
                 "`python3 bench/process_bench.py --only search`"))
    return (rows + scan_rows(figures) + network_rows(figures) + rollout_rows(figures)
            + emulated_rows(figures))


def emulated_rows(figures):
    if "emulated" not in figures:
        return [("(k)", "112-record module, paced write of the arm64 `vx40` under emulation",
                 "not measured", "-", "")]
    emu = figures["emulated"]
    return [("(k)", "112-record module, paced write of the arm64 `vx40` under user-mode "
             "emulation (qemu-aarch64-static): elapsed / the amd64 `vx40`'s, side by side",
             f"median {emu['ratio']:.4f} over {len(emu['ratios'])} pairs (amd64 "
             f"{statistics.median(emu['native_s']):.3f} s, arm64 "
             f"{statistics.median(emu['emulated_s']):.3f} s for "
             f"{emu['line_time_s']:.3f} s of line time; CPU "
             f"{statistics.median(emu['native_cpu_s']):.3f} s and "
             f"{statistics.median(emu['emulated_cpu_s']):.3f} s)", "<= 1.05",
             "yes" if emu["ratio"] <= 1.05 else "**no**")]


def network_rows(figures):
    if "network" not in figures:
        return [("(i)", "112-record module, paced write through ser2net (socket://)",
                 "not measured", "-", "")]
    net = figures["network"]
    direct = figures.get("write")
    versus = (f"; direct pseudo-terminal {direct['ratio']:.4f}, "
              f"{100 * (net['ratio'] / direct['ratio'] - 1):+.2f}%" if direct else "")
    return [("(i)", "112-record module, paced write through ser2net on 127.0.0.1 as raw TCP "
             "(`socket://`): elapsed / line time, whole command",
             f"{net['ratio']:.4f} ({net['elapsed_s']:.3f} s for {net['line_bytes']} bytes = "
             f"{net['line_time_s']:.3f} s of line time{versus})",
             "<= 1.03, within 1% of (a)",
             "yes" if net["ratio"] <= 1.03 and (not direct or net["ratio"] <= direct["ratio"] * 1.01)
             else "**no**")]


def rollout_rows(figures):
    if "rollout" not in figures:
        return [("(j)", "`vx40 rollout` of four paced lines", "not measured", "-", "")]
    roll = figures["rollout"]
    one = statistics.median(roll["one_line_s"])
    every = statistics.median(roll["all_lines_s"])
    return [("(j)", f"`vx40 rollout` of {roll['lines']} paced lines of two devices, "
             f"{roll['records']} records a device, through {roll['lines']} simulators: elapsed / "
             "the same rollout of one line alone",
             f"median {roll['ratio']:.4f} over {len(roll['ratios'])} pairs (one line {one:.3f} s, "
             f"{roll['lines']} lines {every:.3f} s)", "<= 1.10 (target 1.03)",
             "yes" if roll["ratio"] <= 1.10 else "**no**")]


def scan_rows(figures):
    if "scan" not in figures:
        return [("(h)", "`vx40 scan` of nodes 0-255", "not measured", "-", "")]
    scan = figures["scan"]
    quick = ", ".join(f"node {node} at {at:.3f} s" for node, at in scan["quick"].items())
    nodes = ", ".join(scan["quick"])
    slow = scan["whole"].get(str(scan["slow_node"]))
    found = (f"found, listed after {slow:.3f} s" if slow is not None else "**not found**")
    return [("(h)", f"`vx40 scan` of nodes 0-{scan['nodes'] - 1} with devices answering at once "
             f"at nodes {nodes}: start to the last of them listed",
             f"{scan['last_quick_s']:.3f} s ({quick})", "<= 10 s",
             "yes" if scan["last_quick_s"] <= 10 else "**no**"),
            ("(h)", f"the same line with one more device, at node {scan['slow_node']}, answering "
             f"after {scan['slow_reply_ms']} ms: whole scan, whole command",
             f"{found}; whole scan {scan['elapsed_s']:.3f} s; CPU {100 * scan['cpu_share']:.3f}%",
             "found", "yes" if slow is not None else "**no**")]


def wine_rows(folder):
    path = os.path.join(folder, "wine.json")
    if not os.path.exists(path):
        skipped = os.path.join(folder, "wine.skipped")
        reason = read(skipped).strip() if os.path.exists(skipped) else "no results"
        return [("(g)", "`vx40.exe` under Wine", f"not measured: {reason}", "-", "")]
    figures = json.load(open(path))
    search, write = figures["search"], figures["write"]
    rows = [("(g)", f"CPU of `vx40.exe` and its wineserver under Wine during a "
             f"{search['seconds']} s search with no device, share of one core",
             f"{100 * search['cpu_share']:.2f}% (`vx40.exe` {search['vx40_cpu_s']:.3f} s, "
             f"wineserver {search['wineserver_cpu_s']:.3f} s CPU in {search['elapsed_s']:.1f} s)",
             "<= 2%", "yes" if search["cpu_share"] <= 0.02 else "**no**",
             "`bench/wine_bench.sh --only search`")]

    def native_goal(ratio):
        return "reported; " + ("within" if ratio <= 1.03 else "**above**") + " the native <= 1.03"

    detail = (f"{write['elapsed_s']:.3f} s less {write['startup_s']:.3f} s of Wine start-up "
              f"for {write['line_bytes']} bytes = {write['line_time_s']:.3f} s of line time; "
              f"first request to last reply {write['trace_span_s']:.3f} s = "
              f"{write['trace_ratio']:.4f}")
    rows.append(("(g)", "112-record module, paced write of `vx40.exe` under Wine: elapsed less "
                 "Wine's start-up / line time", f"{write['ratio']:.4f} ({detail})",
                 "reported", native_goal(write["ratio"]), "`bench/wine_bench.sh --only write`"))
    rows.append(("(g)", "the same without the 0.5 s pause before the first block",
                 f"{write['ratio_without_pause']:.4f}", "reported",
                 native_goal(write["ratio_without_pause"]), "`bench/wine_bench.sh --only write`"))
    return rows


def wine_version(folder):
    path = os.path.join(folder, "wine.json")
    return json.load(open(path)).get("wine", "") if os.path.exists(path) else ""


REPRODUCE = {
    "(a)": "`python3 bench/process_bench.py --only write`",
    "(b)": "`build/native/bench/vx40_line_bench 10`",
    "(c)": "`python3 bench/process_bench.py --only stop`",
    "(d)": "`python3 bench/process_bench.py --only write`",
    "(e)": "`build/native/bench/vx40_codec_bench --benchmark_repetitions=3`",
    "(f)": "`build/native/tests/vx40_line_tests --gtest_filter='ExchangeAllocations.*'`",
    "(g)": "`bench/wine_bench.sh`",
    "(h)": "`python3 bench/process_bench.py --only scan`",
    "(i)": "`python3 bench/process_bench.py --only network`",
    "(j)": "`python3 bench/process_bench.py --only rollout`",
    "(k)": "`python3 bench/process_bench.py --only emulated`",
}

METHOD = """\
## Method

- **Line ratio (a).** `vx40-sim --pace --trace` keeps both directions to
  57600 baud (a request counts as received only after its own line time;
  replies leave no faster than 10 bits a byte). `vx40 -p PTY --json write
  module.vx4` writes a fixed pseudo-random 115360-byte module (112 records);
  elapsed time runs from starting the process to its exit. The line time is
  that of every byte of every frame in the simulator's trace, both ways, at
  10 bits a byte: the two identifications, the 112 blocks and their replies.
  The command waits 0.5 s after the first identification before the first
  block, as the device needs; the ratio is given with that pause and without.
- **Silent exchange and read latency (b).** `bench/line_bench.cpp` over a
  pseudo-terminal pair: an `Exchange` that no one answers, from call to
  return; and the time from a peer thread writing the ETX byte to
  `ChannelRead` returning. Its samples alternate with those of a bare
  `poll` and `read` on a second raw pseudo-terminal: on a shared machine
  a wake-up is now and then a scheduling slice late whoever waits, so a
  rare sample above 2 ms in both rows is the machine, not the channel.
- **Stop (c).** `vx40 info` against `vx40-sim --fault any:every:silence` (a
  line with no device on it) and `vx40 write` through `vx40-sim --pace`.
  SIGINT is sent at offsets after the first status line that walk across the
  period of the work (every point of a 250 ms reply wait and each wait of a
  silent exchange; two block exchanges of a write); the figure is the time
  from the signal to `wait4` returning, with exit code 130 checked each time.
- **CPU (d).** `wait4`'s rusage of the `vx40` child, user plus system time,
  against its elapsed time; the simulator's own work is not counted. The
  search is `vx40 info --timeout 10` on the silent line (exit code 5).
- **Codec (e).** Google Benchmark, median of three repetitions; throughput
  in payload bytes for every case, so encode, decode and memcpy compare
  directly. Debian's libbenchmark warns that it was built as a debug build;
  the timed loop itself is compiled into the benchmark with the project's
  flags, so only the library's bookkeeping between batches is slower.
- **Under Wine (g).** `bench/wine_bench.sh` runs the mingw build's `vx40.exe`
  under Wine in a prefix of its own (`build/wineprefix-bench`), with the
  simulator's pseudo-terminal mapped as COM13. A Wine program left waiting
  keeps the prefix's wineserver and services running across the runs, so no
  run pays for starting them. CPU: the user plus system time of `vx40.exe`
  (bash's `time`; wine becomes the Windows process) and the growth of the
  prefix's wineserver's time in `/proc`, for `info --timeout 11` less the same
  for `info --timeout 1` on the silent line, over the difference of their
  elapsed times: ten seconds of searching, with Wine's start-up and the
  process's own start and end left out. The wineserver's share also holds
  what the prefix's idle services ask of it. Write: the module and paced
  simulator of (a); elapsed time from starting `wine vx40.exe` to its exit,
  less Wine's start-up, taken as the median of three `vx40.exe --help` runs
  timed the same way just before; the line time as in (a). Beside it, the
  time from the first byte of the first request to the last byte of the
  last reply on the simulator's clock, which leaves out opening and closing
  the port as well.
- **Scan (h).** `vx40 -p PTY scan` (nodes 0 to 255) against
  `vx40-sim --device 3 --device 128 --device 250`, its rows read from
  stdout as they come: the time from starting the process to the row of
  the last of the three, after which it is stopped with SIGINT (exit code
  130 and the three rows checked). Then the same simulator and a second,
  `vx40-sim --node 60 --reply-delay 200`, joined into one line by the
  benchmark (a pseudo-terminal whose bytes go to both simulators, and
  theirs back): one simulator of several devices answers one request at a
  time, so a slow device in it would hold up the others. The whole scan,
  from start to exit (code 0), and when node 60's row came; the CPU share
  is from `wait4` as in (d). The quick pass waits 33 ms a node, the full
  pass 250 ms for each of the some 250 nodes silent in the quick pass.
- **Through a serial server (i).** The write of (a), with ser2net 4 in
  the foreground between `vx40` and the simulator: a raw `tcp` accepter on
  a free port of 127.0.0.1, the simulator's terminal as its `serialdev`
  connector, `chardelay: false`. ser2net's default char-delay gathers the
  device's bytes until 20 character times of quiet before it sends them,
  about 3.5 ms at 57600 baud after every reply, which alone adds some 2%
  to this figure; that is the server's setting, not the loader's.
- **Rollout (j).** Four `vx40-sim --pace --device 1 --device 2
  --written-version 0x0106`, a 20-record pseudo-random module and a plan
  with `canary = 0` (a canary serves its device alone first, on purpose);
  `vx40 -q --no-log rollout PLAN` over all four lines against the same over
  one line, each run on fresh simulators (a written device would be
  skipped), three pairs, the median ratio; every device must end written.
- **Under emulation (k).** The write of (a) by the arm64 preset's `vx40`
  run as `qemu-aarch64-static build/arm64/cli/vx40` (with Debian's arm64
  multiarch libraries) and by the native `vx40`, one after the other on
  fresh paced simulators (amd64), three pairs, the median ratio of their
  elapsed times. The line
  sets the pace; emulation costs CPU (the CPU times, from `wait4`, are the
  emulator's with the program in it).
- **Allocations (f).** `tests/line/exchange_alloc_test.cpp` replaces the
  global `operator new` and counts calls on the calling thread while
  `Exchange` runs; the figure is that test's result.
- Figures with a time in them move by a few per cent between runs, more on
  a shared machine. The native process figures include starting and ending
  the process; those under Wine leave Wine's start-up out. None of this
  runs under ctest or `scripts/test`.

## What a wait costs under Wine

Where the CPU of a silent search under Wine (g) goes, by what the Windows
channel waits with. Measured on 2026-12-10 with `bench/wine_bench.sh --only
search`, the machine otherwise idle, two runs each: the channel before this
round 2.82% and 2.83% of a core; with the looks at the queue halved (8 ms and
50 ms) 2.57%; with no further `WaitCommEvent` once one has failed by itself
(Wine fails each on a pseudo-terminal, which has no modem lines, after
starting a thread for it) 1.13% and 1.31%. Wine's trace (`WINEDEBUG=+comm`)
shows one `wait_for_event` thread for each attempt before that change and
none after. The looks stay at 4 ms and 25 ms.

| wait | when | cost under Wine |
|---|---|---|
| `WaitCommEvent` for the event character | once per read, until a wait ends without the event (with an empty mask, or failed by itself with the port still there); then never again for the open | a thread started by Wine for each, some 4 ms of CPU with the wineserver's share: 1.6% of a core at four attempts a second |
| `ClearCommError` look at the driver's queue | every 4 ms for 50 ms after a request has left the line, then every 25 ms to the end of the reply wait; before each request | a call without a thread, some 40 microseconds with the wineserver's share: the 1.2% that stays, halved by looks half as often |
| `WaitForMultipleObjects` on the read event and Stop | while a wait for the event character is outstanding | nothing while it waits |
| listen look (`vx40 doctor`) | every 10 ms during the probes | one `ClearCommError` each |
| opening and closing the port | once per command | one thread each for the calls that take no `OVERLAPPED` |
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--results", required=True, help="folder of the collected results")
    parser.add_argument("--build", default="build/native")
    parser.add_argument("--out", default="docs/performance.md")
    parser.add_argument("--load", default="", help="/proc/loadavg when the run started")
    parser.add_argument("--seconds", type=int, default=0, help="how long the whole run took")
    options = parser.parse_args()
    folder = options.results

    rows = process_rows(os.path.join(folder, "process.json"))
    rows += line_rows(os.path.join(folder, "line.txt"))
    rows += codec_rows(os.path.join(folder, "codec.json"))
    rows.append(alloc_row(folder))
    rows += wine_rows(folder)
    rows.sort(key=lambda row: row[0])

    compiler_version, build_type = compiler(options.build)
    uname = platform.uname()
    lines = [
        "# Performance",
        "",
        "Written by `scripts/bench`, which builds the native preset (and, with Wine present, "
        "the mingw preset's `vx40`) and runs every benchmark"
        + (f" ({options.seconds} s for this run)" if options.seconds else "")
        + "; run it again rather than editing this file.",
        "",
        "## Machine",
        "",
        f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
        f"- CPU: {cpu_model()}, {os.cpu_count()} logical processors (nproc)",
        f"- Kernel: {uname.system} {uname.release} ({uname.machine})",
        f"- Compiler: {compiler_version}; build type {build_type} (native preset)",
    ]
    wine = wine_version(folder)
    if wine:
        lines.append(f"- Wine: {wine}, 64-bit; `vx40.exe` from the mingw preset")
    if options.load:
        lines.append(f"- Load average at the start: {' '.join(options.load.split()[:3])}")
    lines += [
        "",
        "## Figures",
        "",
        "| | Figure | Measured | Target | Met | Reproduce |",
        "|---|---|---|---|---|---|",
    ]
    for key, figure, measured, target, met, *command in rows:
        lines.append(f"| {key} | {figure} | {measured} | {target} | {met or '-'} "
                     f"| {command[0] if command else REPRODUCE[key]} |")
    lines += ["", "Run everything with `scripts/bench`; the single commands assume a built "
              "native preset (`cmake --preset native && cmake --build --preset native`), for "
              "(g) also the mingw preset's `vx40` (`cmake --preset mingw && cmake --build "
              "--preset mingw --target vx40`), for (k) the arm64 preset's (`cmake --preset "
              "arm64 && cmake --build --preset arm64 --target vx40`) and qemu-user-static, "
              "and the repository's top folder as the working folder.", "", METHOD]
    os.makedirs(os.path.dirname(options.out) or ".", exist_ok=True)
    with open(options.out, "w") as out:
        out.write("\n".join(lines))


if __name__ == "__main__":
    main()
