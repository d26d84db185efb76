#!/usr/bin/env bash
# Smoke check of vx40.exe under Wine: help, usage errors, a port that does
# not exist, the module file refusals and the JSON object; then info, write
# and a backup against vx40-sim (native build) on a pseudo-terminal mapped as
# COM12, each compared with what the device holds or vx40 on Linux gives;
# info and write again with the simulator behind ser2net, as
# socket://127.0.0.1:PORT.
#
# Mapping the port restarts the Wine server, so the script keeps a prefix of
# its own under a lock.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=lib/wine_session.bash
source "$top/tests/wine/lib/wine_session.bash"
# VX40_EXE runs the checks against another build of the program.
exe=${VX40_EXE:-$top/build/mingw/cli/vx40.exe}
vx40="$top/build/native/cli/vx40"
require_built "$exe"
require_built "$vx40" native
wine_script_start cli COM12

expect "help" 0 "" --help
expect "no command" 2 "" -p COM1
expect "node above 255" 2 "" -n 300 info
expect "node not a number" 2 "" info -n x1
expect "RS-485 mode refused" 2 "--rs485: not on this system, where the adapter switches the line's direction itself" --rs485 -p COM1 info
expect "missing port" 4 "COM-порт не открывается." -p COM99 info
expect "missing port, reason line" 4 "" -p COM99 activate
grep -q "^COM99: " "$work/err.txt" || fail "no reason line for COM99"

# Module files are checked before the port is touched, so COM99 is never
# reached for a bad file; a good one gets as far as the port.
head -c 1031 /dev/zero >"$work/bad.vx4"
head -c 2060 /dev/zero >"$work/good.vx4"
expect "missing module" 3 "Ошибка открытия файла." -p COM99 write "$(winpath "$work/none.vx4")"
expect "bad module size" 3 "Файл не является модулем устройства Velmo 2.0." -p COM99 write "$(winpath "$work/bad.vx4")"
expect "good module, missing port" 4 "COM-порт не открывается." -p COM99 write "$(winpath "$work/good.vx4")"

expect "json" 4 "" --json -p COM99 info
json_true "the JSON object" "$work/out.txt" \
    'd["result"] == -2016 and d["port"] == "COM99" and d["node"] == 255'

# --- Against the simulated device ---

line="$work/line"
device=(--type VX41 --serial 654321 --app-version 0x0A11 --record-seed 0x4B1D)
make_module "$work/three.vx4" 3

# info_and_write PORT WHERE: info through PORT prints what vx40 on Linux
# printed, and a 3-record write through it reaches the device exactly (the
# simulator's whole trace is read, so it has to be a fresh one).
info_and_write() {
    expect "info $2" 0 "Серийный номер : 654321" -q -p "$1" info --timeout 10
    if cmp -s "$work/linux-info.txt" "$work/out.txt"; then
        pass "info $2 prints the identity as vx40 on Linux does"
    else
        fail "info $2 prints another identity than vx40 on Linux"
        diff "$work/linux-info.txt" "$work/out.txt"
    fi
    expect "write of 3 records $2" 0 "" -q -p "$1" write "$(winpath "$work/three.vx4")"
    sim_module "$line.trace" "$work/held.vx4"
    if cmp -s "$work/three.vx4" "$work/held.vx4"; then
        pass "the device received exactly the module $2"
    else
        fail "the device received $(stat -c %s "$work/held.vx4") other bytes $2"
    fi
}

if sim_start "$line" "${device[@]}" && wine_map_ports "COM12=$line"; then
    "$vx40" -q -p "$line" info >"$work/linux-info.txt"
    info_and_write COM12 "on COM12"
    "$vx40" -q -p "$line" backup configuration -o "$work/linux-cfg.vx4" >/dev/null
    expect "configuration backup" 0 "" -q -p COM12 backup configuration -o "$(winpath "$work/cfg.vx4")"
    if cmp -s "$work/linux-cfg.vx4" "$work/cfg.vx4"; then
        pass "the backup holds the device's blocks, as vx40 on Linux reads them"
    else
        fail "the backup differs from vx40's on Linux"
    fi
else
    fail "no simulated device on COM12"
fi

# An adapter pulled out during a search and plugged in again: the
# simulator's port vanishes on the first request and comes back 2.5 s later
# at the same link, which COM12 is mapped to; the search opens COM12 again
# and finds the device.
if sim_start "$line" "${device[@]}" --vanish 1:2500; then
    expect "info through a port that went and came back" 0 "Серийный номер : 654321" \
        -p COM12 info --timeout 30
    for notice in "COM12: the port is gone (" "COM12: the port is back; searching on"; do
        if grep -qF -- "$notice" "$work/err.txt"; then
            pass "a notice: $notice"
        else
            fail "no notice: $notice"
        fi
    done
    grep -F "the port is gone (" "$work/err.txt" | sed 's/^/    /'
else
    fail "no simulated device that vanishes"
fi

# The same device behind a serial server on the network.
if sim_start "$line" "${device[@]}" && ser2net_start "$line"; then
    info_and_write "socket://127.0.0.1:$SER2NET_PORT" "through ser2net"
else
    fail "no simulated device behind ser2net"
fi

finish
