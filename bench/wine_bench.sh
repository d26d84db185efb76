#!/usr/bin/env bash
# vx40.exe under Wine against vx40-sim (native build) on a pseudo-terminal
# mapped as COM13, in a Wine prefix of its own (build/wineprefix-bench):
#
#   search  CPU of vx40.exe and of the prefix's wineserver during 10 s of a
#           search with no device answering, as a share of one core
#   write   a 112-record module written through the simulator paced at 57600
#           baud: elapsed time less Wine's start-up, against the line time of
#           every byte that crossed the line
#
# Prints one line per figure and, with --json, writes them for scripts/bench.
# Usage: bench/wine_bench.sh [--exe VX40_EXE] [--json FILE] [--only search|write]
#
# Every Wine program is bounded by a timeout; the simulator and the prefix's
# wineserver are ended on every way out.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=SCRIPTDIR/../tests/wine/lib/wine_session.bash
source "$top/tests/wine/lib/wine_session.bash"

exe=$top/build/mingw/cli/vx40.exe
json=""
only=""
while [ $# -gt 0 ]; do
    case $1 in
    --exe) exe=$2; shift 2 ;;
    --json) json=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) echo "usage: $0 [--exe VX40_EXE] [--json FILE] [--only search|write]" >&2; exit 2 ;;
    esac
done
case $only in "" | search | write) ;; *) echo "--only takes search or write" >&2; exit 2 ;; esac
for file in "$exe" "$top/build/native/sim/vx40-sim"; do
    [ -e "$file" ] || { echo "$file is missing; build it first" >&2; exit 1; }
done

# Same as the native benchmark's search (bench/process_bench.py); the extra
# 1 s run measures what starting and ending vx40.exe costs, which the
# difference of the two runs leaves out.
search_seconds=10
port=COM13
work=$(mktemp -d)
holder=""
cleanup() {
    sim_stop
    # Only this prefix's server, which WINEPREFIX names; ending it ends every
    # program in the prefix. Its COM13 mapping stays, pointing into the
    # removed folder; the next run maps it anew.
    if [ -n "${WINEPREFIX:-}" ]; then
        timeout 30 wineserver -k 2>/dev/null
    fi
    [ -z "$holder" ] || wait_exit "$holder" 10 >/dev/null 2>&1 || kill "$holder" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# timed OUT ARGS...: runs ARGS under a two-minute bound, stdout to OUT, and
# sets TIMED to "ELAPSED CPU CODE": wall and user+system seconds of the
# Windows process (bash's `time` counts the children it waited for, and wine
# becomes the process rather than starting it). In the background, so that
# a signal to this script is handled at once rather than after the run.
timed() {
    local out=$1 code real user sys
    shift
    (
        TIMEFORMAT='%3R %3U %3S'
        time timeout 120 "$@" >"$out" 2>/dev/null
    ) 2>"$work/time" &
    wait $!
    code=$?
    read -r real user sys <"$work/time"
    TIMED="$real $(python3 -c "print(round($user + $sys, 3))") $code"
}

# prefix_server: the pid of the wineserver of this prefix, the one whose
# environment has its WINEPREFIX (each prefix runs a server of its own).
prefix_server() {
    local pid
    for pid in $(pgrep -x wineserver; pgrep -x wineserver64); do
        # A server that ends meanwhile takes its environ file with it.
        # Read whole first: grep -q closing early would end tr with SIGPIPE.
        local environ
        environ=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ") || continue
        if grep -qxF "WINEPREFIX=$WINEPREFIX" <<<"$environ"; then
            echo "$pid"
            return 0
        fi
    done
    return 1
}

# server_cpu PID: user + system seconds of a running process.
server_cpu() {
    awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}

wine_own_prefix bench || exit 1
wine_map_ports "$port=$work/line" || { echo "the COM13 link did not appear" >&2; exit 1; }
# wine_map_ports started the server and the prefix's services. A program
# that holds the server keeps it, and them, running between the runs below,
# so no run pays for starting them; it waits on the console and costs the
# server nothing meanwhile.
mkfifo "$work/hold"
timeout 600 wine cmd /c pause <"$work/hold" >/dev/null 2>&1 &
holder=$!
exec 8>"$work/hold"
timeout 60 wine cmd /c exit >/dev/null 2>&1
server=$(prefix_server) || { echo "no wineserver for $WINEPREFIX" >&2; exit 1; }

search=""
if [ "$only" != write ]; then
    sim_start "$work/line" --fault any:every:silence || exit 1
    w0=$(server_cpu "$server")
    timed /dev/null wine "$exe" -q -p "$port" info --timeout 1
    read -r e1 c1 rc1 <<<"$TIMED"
    w1=$(server_cpu "$server")
    timed /dev/null wine "$exe" -q -p "$port" info --timeout $((search_seconds + 1))
    read -r e2 c2 rc2 <<<"$TIMED"
    w2=$(server_cpu "$server")
    sim_stop
    [ "$(prefix_server)" = "$server" ] || { echo "the wineserver restarted during the search" >&2; exit 1; }
    if [ "$rc1" != 5 ] || [ "$rc2" != 5 ]; then
        echo "the searches on a silent line ended with exit $rc1 and $rc2, not 5 (no device)" >&2
        exit 1
    fi
    search="$e1 $c1 $w0 $w1 $e2 $c2 $w2"
fi

write=""
if [ "$only" != search ]; then
    make_module "$work/module.vx4" 112
    sim_start "$work/line" --pace || exit 1
    # Wine's start-up, timed as the write is: the median of three --help runs.
    startup=()
    for _ in 1 2 3; do
        timed /dev/null wine "$exe" --help
        startup+=("${TIMED%% *}")
    done
    timed "$work/write.json" wine "$exe" -q -p "$port" --json write "$(winpath "$work/module.vx4")"
    read -r elapsed _ code <<<"$TIMED"
    sim_stop
    if [ "$code" != 0 ]; then
        echo "the paced write ended with exit $code: $(cat "$work/write.json")" >&2
        exit 1
    fi
    write="$elapsed ${startup[*]}"
fi

version=$(wine --version 2>/dev/null)
python3 - "$top/bench" "$work" "$version" "$search_seconds" "$search" "$write" "$json" <<'PYTHON'
import json, statistics, sys

bench, work, version, seconds, search, write, out = sys.argv[1:]
sys.dont_write_bytecode = True  # no __pycache__ left in bench/
sys.path.insert(0, bench)
from process_bench import (PAUSE_BEFORE_BLOCKS_S, RECORDS, line_time_s, trace_frames,
                           trace_line_bytes)

figures = {"wine": version}
if search:
    e1, c1, w0, w1, e2, c2, w2 = map(float, search.split())
    elapsed, vx40, server = e2 - e1, c2 - c1, (w2 - w1) - (w1 - w0)
    figures["search"] = {
        "seconds": int(seconds), "elapsed_s": elapsed, "vx40_cpu_s": vx40,
        "wineserver_cpu_s": server, "cpu_share": (vx40 + server) / elapsed,
        "runs": {"short": {"elapsed_s": e1, "vx40_cpu_s": c1, "wineserver_cpu_s": w1 - w0},
                 "long": {"elapsed_s": e2, "vx40_cpu_s": c2, "wineserver_cpu_s": w2 - w1}},
    }
    s = figures["search"]
    print(f"silent search under Wine, {seconds} s: vx40.exe {s['vx40_cpu_s']:.3f} s CPU, "
          f"wineserver {s['wineserver_cpu_s']:.3f} s, together {100 * s['cpu_share']:.2f}% of "
          f"a core over {s['elapsed_s']:.2f} s (goal <= 2%)")
if write:
    elapsed, *startups = map(float, write.split())
    report = json.load(open(f"{work}/write.json"))
    if report.get("blocks") != RECORDS:
        sys.exit(f"the paced write under Wine wrote {report.get('blocks')} blocks: {report}")
    trace = f"{work}/line.trace"
    count = trace_line_bytes(trace)
    frames = list(trace_frames(trace))
    # From the first byte of the first request to the last byte of the last
    # reply, as the simulator's clock saw them; a cross-check of the start-up
    # subtraction.
    first = next(f for f in frames if f[1] == "rx")
    last = [f for f in frames if f[1] == "tx"][-1]
    span = (last[0] - first[0]) / 1000 + line_time_s(first[2]) + line_time_s(last[2])
    startup = statistics.median(startups)
    net = elapsed - startup
    line = line_time_s(count)
    figures["write"] = {
        "elapsed_s": elapsed, "startup_s": startup, "startup_samples": startups,
        "net_s": net, "line_bytes": count, "line_time_s": line, "ratio": net / line,
        "ratio_without_pause": (net - PAUSE_BEFORE_BLOCKS_S) / line,
        "trace_span_s": span, "trace_ratio": span / line,
    }
    w = figures["write"]
    print(f"paced write under Wine: {w['elapsed_s']:.3f} s less {w['startup_s']:.3f} s of "
          f"start-up for {count} bytes on the line ({line:.3f} s): ratio {w['ratio']:.4f}, "
          f"{w['ratio_without_pause']:.4f} without the 0.5 s pause; first request to last "
          f"reply {span:.3f} s = {w['trace_ratio']:.4f} (native target <= 1.03)")
if out:
    with open(out, "w") as f:
        json.dump(figures, f, indent=2)
PYTHON
