# shellcheck shell=bash
# shellcheck disable=SC2034,SC2154 # sets variables for, and reads `top` of, the sourcing script
# Shell pieces shared by the scripts in tests/wine and tests/ansible. Source
# it after setting `top` (the project folder); it only defines variables and
# functions.
#
#   counting    pass, fail, expect_eq, finish: every check counted, and the
#               closing line "N passed, N failed" that scripts/wine-tests shows;
#               require_built FILE: ends the script early when FILE is missing;
#               expect: a run of the script's program under Wine, its exit
#               code and a line of its output checked; json_true: a JSON
#               object checked
#   prefix      wine_own_prefix NAME: a Wine prefix of the script's own under
#               build/, held under a lock, because restarting its server (to
#               map a port) ends every Wine program that uses it;
#               wine_script_start NAME PORT...: that prefix, a scratch
#               folder and the clean-up at the end, for a script that maps
#               ports
#   ports       pty_start, wine_map_ports: a pseudo-terminal made here, mapped
#               as a COM port through HKLM\Software\Wine\Ports; winpath PATH:
#               the Windows name of a Unix path; wine_session_end: what the
#               helpers started ended, the ports unmapped
#   X server    xvfb_start: an Xvfb on a free display of its own
#   processes   wait_exit PID SECONDS: a bounded wait for a background job
#   simulator   sim_start, sim_stop: vx40-sim of the native build behind a
#               fixed symbolic link, so that a COM port mapped to the link
#               reaches whichever simulator runs there now (one a link);
#               sim_module: the module the simulator was sent, from its
#               trace; make_module: a module file to send
#   serial server  ser2net_start, ser2net_stop: ser2net serving a terminal
#               as raw TCP on a free port of 127.0.0.1, for socket:// names
#
# Nothing here waits without a bound.

passed=0
failed=0

pass() {
    passed=$((passed + 1))
    echo "ok    $*"
}

fail() {
    failed=$((failed + 1))
    echo "FAILED: $*"
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1: expected \"$2\", got \"$3\""
    fi
}

# expect NAME CODE TEXT ARGS...: runs the sourcing script's `exe` with ARGS
# under Wine, for two minutes at most, and checks for exit code CODE and,
# unless TEXT is empty, a line of stdout or stderr that is exactly TEXT.
# Leaves stdout and stderr in the script's folder `work` as out and err, and
# without carriage returns as out.txt and err.txt.
expect() {
    local name=$1 code=$2 text=$3
    shift 3
    timeout 120 "$top/scripts/wine-run" "$exe" "$@" >"$work/out" 2>"$work/err"
    local got=$?
    tr -d '\r' <"$work/out" >"$work/out.txt"
    tr -d '\r' <"$work/err" >"$work/err.txt"
    if [ "$got" -ne "$code" ]; then
        fail "$name: exit code $got, expected $code"
        cat "$work/err.txt"
    elif [ -n "$text" ] && ! grep -qxF -- "$text" "$work/out.txt" "$work/err.txt"; then
        fail "$name: no line \"$text\""
        cat "$work/out.txt" "$work/err.txt"
    else
        pass "$name"
    fi
}

# json_true NAME FILE EXPRESSION: passes when the Python EXPRESSION holds of
# `d`, the JSON object in FILE; else shows the file.
json_true() {
    if python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))
sys.exit(0 if eval(sys.argv[2]) else 1)' "$2" "$3" 2>/dev/null; then
        pass "$1"
    else
        fail "$1"
        cat "$2"
    fi
}

# Prints the closing line; its status is that of the whole script.
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# require_built FILE [PRESET]: when FILE has not been built, says so and ends
# the script with one failure counted. PRESET names the build that makes it,
# mingw unless given.
require_built() {
    [ -e "$1" ] && return 0
    echo "missing $1: build with the ${2:-mingw} preset first"
    failed=$((failed + 1))
    finish
    exit 1
}

# wine_own_prefix NAME: exports WINEPREFIX as build/wineprefix-NAME, takes
# its lock on descriptor 9 (waiting at most five minutes for another run) and
# creates the prefix when it is missing. scripts/wine-tests, which runs the
# scripts one after another, gives them all one prefix through
# VX40_WINE_PREFIX: making a prefix costs half a minute each.
wine_own_prefix() {
    export WINEPREFIX="$top/build/wineprefix-${VX40_WINE_PREFIX:-$1}"
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
    mkdir -p "$top/build"
    exec 9>"$WINEPREFIX.lock"
    if ! flock -w 300 9; then
        echo "another run holds $WINEPREFIX"
        return 1
    fi
    if [ ! -d "$WINEPREFIX" ]; then
        mkdir -p "$WINEPREFIX"
        timeout 120 wineboot --init >/dev/null 2>&1 || true
        # The server and desktop that wineboot left running have no display;
        # a program started under Xvfb would join them and make no window.
        wine_restart
    fi
    # Wine's own Tahoma and Marlett (Debian's fonts-wine): this Wine looks for
    # them beside its data folder rather than in it, and without them dialogs
    # fall back to another face and caption buttons show letters.
    local font fonts="$WINEPREFIX/drive_c/windows/Fonts"
    for font in /usr/share/wine/fonts/*.ttf; do
        [ -e "$font" ] && [ -d "$fonts" ] && [ ! -e "$fonts/${font##*/}" ] && cp "$font" "$fonts/"
    done
    return 0
}

# wine_script_start NAME PORT...: how a script that maps PORTs begins: a
# scratch folder in `work`; when the script ends, the session's helpers
# ended, the PORTs unmapped and the folder removed; the prefix NAME of its
# own (without one the script ends, counted as failed).
wine_script_ports=()
wine_script_start() {
    work=$(mktemp -d)
    wine_script_ports=("${@:2}")
    trap 'wine_session_end "${wine_script_ports[@]}"; rm -rf "$work"' EXIT
    wine_own_prefix "$1" || { fail "no prefix of its own"; finish; exit 1; }
}

# winpath PATH: PATH as Wine's programs name it (drive Z: is the Unix root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Restarts the prefix's server, so that its services read the registry anew
# (COM links are made only when they start). Ends every program in it.
wine_restart() {
    timeout 30 wineserver -k 2>/dev/null
    timeout 30 wineserver -w 2>/dev/null
    return 0
}

# wine_map_ports NAME=DEVICE...: maps each COM port name to a device and
# restarts the server so that the links exist; fails when a link is missing
# after ten seconds. One registry import, since every Wine program started
# here costs a second or so.
wine_map_ports() {
    local file entry
    file=$(mktemp --suffix=.reg)
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for entry in "$@"; do
            printf '"%s"="%s"\r\n' "${entry%%=*}" "${entry#*=}"
        done
    } >"$file"
    timeout 60 wine regedit /S "$(winpath "$file")" >/dev/null 2>&1
    rm -f "$file"
    wine_restart
    # Any program starts the services again, and with them the links.
    timeout 60 wine reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1
    local tries=0 missing=1
    while [ $missing -ne 0 ] && [ $tries -lt 100 ]; do
        missing=0
        for entry in "$@"; do
            local name=${entry%%=*}
            [ "$(readlink "$WINEPREFIX/dosdevices/${name,,}")" = "${entry#*=}" ] || missing=1
        done
        [ $missing -eq 0 ] || sleep 0.1
        tries=$((tries + 1))
    done
    return $missing
}

# wine_unmap_ports NAME...: removes the mappings again (the links go at the
# next restart of the server).
wine_unmap_ports() {
    local name
    for name in "$@"; do
        timeout 60 wine reg delete 'HKLM\Software\Wine\Ports' /v "$name" /f >/dev/null 2>&1
    done
    return 0
}

# wine_session_end PORT...: for a script's EXIT trap: ends the serial server
# and every simulator, removes the mappings of the PORTs and ends the
# prefix's server.
wine_session_end() {
    ser2net_stop
    sim_stop
    if [ -n "${WINEPREFIX:-}" ]; then
        wine_unmap_ports "$@"
        timeout 30 wineserver -k 2>/dev/null
    fi
    return 0
}

# pty_start STATE_FILE: makes a raw pseudo-terminal in a background process
# that keeps the slave open (so the other side never sees a hang-up) and
# reads everything written to it. STATE_FILE gets the slave's path on its
# first line; the second line, rewritten as bytes arrive, is their count and
# the first 64 of them in hex. Sets PTY_PID and PTY_PATH.
pty_start() {
    local state=$1
    : >"$state"
    python3 - "$state" <<'PYTHON' &
import os, pty, select, sys, tty

state = sys.argv[1]
master, slave = pty.openpty()
tty.setraw(slave)
received = bytearray()


def publish():
    with open(state + ".new", "w") as out:
        out.write(os.ttyname(slave) + "\n")
        out.write(f"{len(received)} {bytes(received[:64]).hex()}\n")
    os.replace(state + ".new", state)


publish()
while True:
    ready, _, _ = select.select([master], [], [], 0.5)
    if ready:
        data = os.read(master, 65536)
        if len(received) < 1 << 20:
            received.extend(data)
        publish()
PYTHON
    PTY_PID=$!
    local tries=0
    PTY_PATH=""
    while [ -z "$PTY_PATH" ] && [ $tries -lt 50 ]; do
        sleep 0.1
        PTY_PATH=$(head -n 1 "$state" 2>/dev/null)
        tries=$((tries + 1))
    done
    [ -n "$PTY_PATH" ]
}

# pty_received STATE_FILE: prints "COUNT HEX" of what has arrived so far.
pty_received() {
    sed -n 2p "$1" 2>/dev/null
}

# xvfb_start: an X server on a display that it picks itself, so that runs
# side by side do not collide. Sets DISPLAY and XVFB_PID.
xvfb_start() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    XVFB_PID=$!
    local number=""
    read -r -t 20 number <"$fifo"
    rm -f "$fifo"
    [ -n "$number" ] || return 1
    export DISPLAY=":$number"
}

# wait_exit PID SECONDS: waits for a background job of this shell; its
# status is the job's exit code, or 124 when it is still running.
wait_exit() {
    local pid=$1 deadline=$((SECONDS + $2))
    while kill -0 "$pid" 2>/dev/null; do
        [ $SECONDS -lt "$deadline" ] || return 124
        sleep 0.1
    done
    wait "$pid"
}

# sim_start LINK ARGS...: stops the simulator started before at LINK, if
# any, and starts vx40-sim ARGS with its terminal at the symbolic link LINK
# and its trace in LINK.trace. Each link has a simulator of its own, so that
# several lines can run at once. Fails when the link does not appear within
# five seconds.
declare -gA SIM_PIDS=()
sim_start() {
    local link=$1
    shift
    sim_stop "$link"
    local sim="$top/build/native/sim/vx40-sim"
    if [ ! -x "$sim" ]; then
        echo "missing $sim: build with the native preset first"
        return 1
    fi
    "$sim" --link "$link" --trace "$@" >/dev/null 2>"$link.trace" &
    local pid=$!
    SIM_PIDS[$link]=$pid
    local tries=0
    while [ ! -e "$link" ] && [ $tries -lt 50 ] && kill -0 "$pid" 2>/dev/null; do
        sleep 0.1
        tries=$((tries + 1))
    done
    [ -e "$link" ] || { sed 's/^/    vx40-sim: /' "$link.trace" | tail -n 3; return 1; }
}

# sim_stop [LINK]: ends the simulator at LINK, or every one; each removes its
# link as it exits, and its trace is complete once this returns.
sim_stop() {
    local links=("$@") link pid
    [ $# -gt 0 ] || links=("${!SIM_PIDS[@]}")
    for link in "${links[@]}"; do
        pid=${SIM_PIDS[$link]:-}
        [ -n "$pid" ] || continue
        kill "$pid" 2>/dev/null
        wait_exit "$pid" 10 >/dev/null 2>&1 || { kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
        unset 'SIM_PIDS[$link]'
    done
    return 0
}

# ser2net_start DEVICE: stops the server started before, if any, and starts
# ser2net in the foreground, serving DEVICE (a terminal, or a link to one:
# the server opens the path at each connection, so a simulator that remakes
# the link is still reached) as raw TCP on a free port of 127.0.0.1. Sets
# SER2NET_PID and SER2NET_PORT; fails when the port does not listen within
# ten seconds. The port is watched in /proc/net/tcp rather than tried, as a
# connection would open the device.
SER2NET_PID=""
SER2NET_PORT=""
SER2NET_DIR=""
ser2net_start() {
    ser2net_stop
    SER2NET_DIR=$(mktemp -d)
    # A port the system has just handed out and taken back is free; another
    # program taking it in between makes ser2net fail, which is told below.
    SER2NET_PORT=$(python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
    cat >"$SER2NET_DIR/ser2net.yaml" <<YAML
connection: &raw
  accepter: tcp,127.0.0.1,$SER2NET_PORT
  connector: serialdev,$1,57600n81,local
  options:
    kickolduser: true
YAML
    ser2net -n -c "$SER2NET_DIR/ser2net.yaml" -P "$SER2NET_DIR/ser2net.pid" \
        >"$SER2NET_DIR/log" 2>&1 &
    SER2NET_PID=$!
    # 127.0.0.1 and the port in hex as /proc/net/tcp shows them; 0A listens.
    local address tries=0
    address=$(printf '0100007F:%04X' "$SER2NET_PORT")
    until awk -v a="$address" '$2 == a && $4 == "0A" { found = 1 } END { exit !found }' \
        /proc/net/tcp; do
        if [ $tries -ge 100 ] || ! kill -0 "$SER2NET_PID" 2>/dev/null; then
            sed 's/^/    ser2net: /' "$SER2NET_DIR/log" | tail -n 3
            return 1
        fi
        sleep 0.1
        tries=$((tries + 1))
    done
}

# Ends the server and removes its files.
ser2net_stop() {
    if [ -n "$SER2NET_PID" ]; then
        kill "$SER2NET_PID" 2>/dev/null
        wait_exit "$SER2NET_PID" 10 >/dev/null 2>&1 ||
            { kill -9 "$SER2NET_PID" 2>/dev/null; wait "$SER2NET_PID" 2>/dev/null; }
    fi
    [ -n "$SER2NET_DIR" ] && rm -rf "$SER2NET_DIR"
    SER2NET_PID=""
    SER2NET_DIR=""
    return 0
}

# sim_module TRACE OUT: writes to OUT the data of every block the trace shows
# the simulator receiving (command 19), in order, a frame repeated at once
# (a retransmission) counted once: what it holds after a write.
sim_module() {
    python3 - "$1" "$2" <<'PYTHON'
import re, sys

unescape = {0x00: 0x02, 0x01: 0x03, 0x10: 0x10}
blocks, last = bytearray(), None
for line in open(sys.argv[1]):
    match = re.match(r"\[ *[\d.]+ ms\] rx((?: [0-9A-F]{2})+)", line)
    if not match:
        continue
    frame = bytes.fromhex(match.group(1))
    if frame == last:
        continue
    last = frame
    body, escaped = bytearray(), False
    for byte in frame[1:-1]:
        if escaped:
            body.append(unescape.get(byte, byte))
            escaped = False
        elif byte == 0x10:
            escaped = True
        else:
            body.append(byte)
    # Sequence, node, command, the block, the checksum.
    if len(body) > 4 and body[2] == 19:
        blocks += body[3:-1]
open(sys.argv[2], "wb").write(blocks)
PYTHON
}

# make_module FILE RECORDS: a module file of RECORDS block records, fixed
# contents with control bytes that the line has to escape.
make_module() {
    python3 -c 'import random, sys
r = random.Random(40)
open(sys.argv[1], "wb").write(bytes(r.getrandbits(8) for _ in range(int(sys.argv[2]) * 1030)))' "$1" "$2"
}
