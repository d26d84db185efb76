#!/usr/bin/env bash
# The commands of vx40.exe that serve a whole line or several lines, under
# Wine against vx40-sim (native build) on a pseudo-terminal mapped as COM21:
# a scan of three devices; a rollout of two lines, COM21 and the second
# simulator behind ser2net as socket://, with its report and plain status
# lines; doctor on an echoing line whose device answers at another node; and
# Ctrl-C pressed twice during a rollout's write, in a console of its own.
#
# Mapping the port restarts the Wine server, so the script keeps a prefix of
# its own under a lock.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=lib/wine_session.bash
source "$top/tests/wine/lib/wine_session.bash"
exe=${VX40_EXE:-$top/build/mingw/cli/vx40.exe}
driver="$top/build/mingw/tests/vx40_ctrl_c_driver.exe"
require_built "$exe"
require_built "$driver"
wine_script_start fleet COM21

a="$work/a"
b="$work/b"

# --- scan: every device of the line listed ---

if sim_start "$a" --device 2 --device 5:VX41:5005 --device 7 && wine_map_ports "COM21=$a"; then
    expect "scan of three devices" 0 "" -q -p COM21 scan --nodes 1-8
    rows=$(awk 'NR > 1 { printf "%s %s;", $1, $2 }' "$work/out.txt")
    expect_eq "the scan lists every device" "2 VX40;5 VX41;7 VX40;" "$rows"
else
    fail "no simulated line on COM21"
fi

# --- doctor: an echoing adapter, the device at node 7 rather than 255 ---

if sim_start "$a" --echo --device 7; then
    expect "doctor on an echoing line" 5 "scan: nobody at node 255; a device answers at node 7: try -n 7" \
        -q -p COM21 doctor
    grep -q '^echo-only: ' "$work/out.txt" || fail "doctor's verdict is not echo-only"
else
    fail "no echoing line"
fi

# --- rollout: two lines of two devices, one of them on the network ---

make_module "$work/m.vx4" 3
# plan NODES PORT...: the plan of the module above for those lines.
plan() {
    local nodes=$1 port
    shift
    printf '[[module]]\ntype = "VX40"\nfile = "m.vx4"\nversion = "01.06"\n' >"$work/plan.toml"
    for port in "$@"; do
        printf '[[line]]\nport = "%s"\nnodes = "%s"\n' "$port" "$nodes" >>"$work/plan.toml"
    done
}
if sim_start "$a" --device 1:VX40:101 --device 2:VX40:102 --written-version 0x0106 &&
    sim_start "$b" --device 1:VX40:201 --device 2:VX40:202 --written-version 0x0106 &&
    ser2net_start "$b"; then
    plan 1-2 COM21 "socket://127.0.0.1:$SER2NET_PORT"
    expect "rollout of two lines" 0 "COM21  node 2 (2 of 2)  written: m.vx4 (01.06)" \
        --log "$(winpath "$work/service.log")" rollout "$(winpath "$work/plan.toml")" \
        --report "$(winpath "$work/report.json")"
    json_true "the report: every device written, now at 01.06" "$work/report.json" \
        'd["result"] == 0 and [(x["node"], x["action"], x["result"], x["after"]["appVersion"][:5])
         for x in d["devices"]] == [(n, "written", 0, "01.06") for n in (1, 2, 1, 2)]'
    # No cursor movement, and no carriage return but those of the line ends.
    if grep -q $'[\r\x1b]' <(sed 's/\r$//' "$work/err"); then
        fail "the status lines are redrawn though stderr is a file"
    else
        pass "plain status lines when stderr is a file"
    fi
    sim_stop
    for line in "$a" "$b"; do
        sim_module "$line.trace" "$work/held.vx4"
        cmp -s <(cat "$work/m.vx4" "$work/m.vx4") "$work/held.vx4" ||
            fail "${line##*/}: the devices did not receive the module once each"
    done
    expect_eq "a closing service log entry a device" 4 \
        "$(grep -c '"result":0,' "$work/service.log")"
else
    fail "no simulated lines for the rollout"
fi

# --- Ctrl-C twice during a rollout: the write aborted, reported, logged ---

make_module "$work/m.vx4" 40
plan 1-2 COM21
rm -f "$work/service.log" "$work/report.json"
if sim_start "$a" --pace --device 1 --device 2 --written-version 0x0106; then
    # Each press once stderr shows the text; the paced write of 40 blocks
    # takes some 7 s, of which the presses need a few hundred ms.
    timeout 120 "$top/scripts/wine-run" "$driver" "$(winpath "$work/out")" "$(winpath "$work/err")" \
        "writing 25%" "Ctrl-C again" -- "$(winpath "$exe")" --log "$(winpath "$work/service.log")" \
        rollout "$(winpath "$work/plan.toml")" --report "$(winpath "$work/report.json")" \
        >"$work/driver.txt" 2>&1
    code=$?
    expect_eq "Ctrl-C twice: exit code" 130 "$code"
    [ "$code" -eq 130 ] || tail -n 5 "$work/driver.txt"
    sim_stop
    sim_module "$a.trace" "$work/held.vx4"
    stored=$(($(stat -c %s "$work/held.vx4") / 1030))
    json_true "the report names the aborted write and what the device holds" "$work/report.json" \
        "(d['result'] == -2109 and $stored < 40 and
          [(x['action'], x['result'], x['message']) for x in d['devices']] ==
          [('failed', -2109, 'aborted after block $stored of 40: run the plan again'),
           ('not-served', 0, '')])"
    json_true "the service log closes the aborted write" <(tail -n 1 "$work/service.log") \
        "d['node'] == 1 and d['result'] == -2109 and d['blocks'] == $stored"
else
    fail "no simulated line for Ctrl-C"
fi

finish
