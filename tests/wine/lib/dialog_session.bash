# shellcheck shell=bash
# shellcheck disable=SC2034,SC2154 # sets variables for, and reads `top` of, the sourcing script
# The session of the scripts that drive VX40_AppLoader.exe from outside with
# vx40_dialog_driver.exe. Source it after wine_session.bash.
#
#   dialog_session_begin PREFIX SECONDS   finds the program and the driver
#       (either missing fails the script), bounds the whole run, starts
#       an X server and a Wine prefix of the script's own with unmanaged
#       windows; sets exe, exe_w, driver, artifacts and work
#   dialog_map_port PORT TARGET   maps a COM port, counted as a check
#   drive, out, show_out   run the driver and read what it printed
#   app_start, app_closes  start the program and wait for its window; see it go
#   expect_box, actions_enabled (and actions_wait, the same as driver
#       commands), screenshot
#
# The EXIT trap ends the program, the prefix's server, the X server, the
# pseudo-terminal of pty_start, the simulator of sim_start and the serial
# server of ser2net_start.

app_pid=""
XVFB_PID=""
PTY_PID=""
watchdog=""
mapped_port=""

dialog_session_cleanup() {
    trap - EXIT INT TERM
    [ -n "$watchdog" ] && kill "$watchdog" 2>/dev/null
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    if [ -n "${WINEPREFIX:-}" ]; then
        [ -n "$mapped_port" ] && wine_unmap_ports "$mapped_port"
        timeout 30 wineserver -k 2>/dev/null
    fi
    ser2net_stop
    sim_stop
    local pid
    for pid in "$XVFB_PID" "$PTY_PID"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    [ -n "${work:-}" ] && rm -rf "$work"
}

dialog_session_begin() {
    local prefix=$1 seconds=$2
    # VX40_APPLOADER_EXE runs the checks against another build of the program.
    exe=${VX40_APPLOADER_EXE:-}
    local candidate
    for candidate in "$top/build/mingw/VX40_AppLoader.exe" "$top/build/mingw/app/VX40_AppLoader.exe"; do
        [ -z "$exe" ] && [ -e "$candidate" ] && exe=$candidate
    done
    driver="$top/build/mingw/tests/vx40_dialog_driver.exe"
    # A program or driver not built is a failure, as for every Wine check: a
    # run that checked nothing must not pass.
    require_built "${exe:-$top/build/mingw/VX40_AppLoader.exe}"
    require_built "$driver"
    exe_w=$(winpath "$exe")
    artifacts="$top/build/artifacts"
    mkdir -p "$artifacts"
    work=$(mktemp -d)

    trap dialog_session_cleanup EXIT
    trap 'fail "interrupted"; finish; exit 1' INT TERM
    # The whole run is bounded, whatever hangs: the EXIT trap still cleans up.
    (
        trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
        sleep "$seconds" &
        sleeper=$!
        wait "$sleeper"
        echo "FAILED: the run took too long"
        kill -TERM $$
    ) &
    watchdog=$!

    # The X server comes first: the first Wine program of a session starts
    # the desktop process, which keeps the display it found.
    if ! xvfb_start; then
        fail "Xvfb did not start"
        return 1
    fi
    wine_own_prefix "$prefix" || return 1
    # Unmanaged windows: without a window manager, Wine would otherwise wait
    # for one on every window it hides, two seconds each, and draw no frames.
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n' \
        >"$work/x11.reg"
    timeout 60 wine regedit /S "$(winpath "$work/x11.reg")" >/dev/null 2>&1
    return 0
}

# dialog_map_port PORT TARGET: PORT opens TARGET (a terminal, or a link to
# one) from the next Wine program on; unmapped again at exit.
dialog_map_port() {
    mapped_port=$1
    if wine_map_ports "$1=$2"; then
        pass "$1 is mapped to $2"
    else
        fail "$1 is not mapped to $2"
        return 1
    fi
}

# drive COMMANDS...: runs the driver; its output (CR removed) is in $work/out.
drive() {
    timeout 60 "$top/scripts/wine-run" "$driver" "$@" >"$work/out.raw" 2>>"$work/driver.err"
    local status=$?
    tr -d '\r' <"$work/out.raw" >"$work/out"
    return $status
}
# out KEY: the rest of the driver's line that starts with KEY.
out() { sed -n "/^$1 /{s///p;q}" "$work/out"; }
show_out() {
    sed "s/^/    /" "$work/out"
    tail -n 5 "$work/driver.err" | sed "s/^/    stderr: /"
}

# app_start ARGS...: starts the program and waits for its window.
app_start() {
    "$top/scripts/wine-run" "$exe" "$@" >"$work/app.log" 2>&1 &
    app_pid=$!
    # In slices, so that a program that ends at once is noticed at once.
    local slice
    for slice in $(seq 15); do
        if drive wait-window 2000; then
            pass "the dialog window appears (arguments: $*)"
            return 0
        fi
        kill -0 "$app_pid" 2>/dev/null || break
    done
    fail "no dialog window (arguments: $*) after $slice tries"
    show_out
    sed 's/^/    program: /' "$work/app.log" | tail -n 5
    kill "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_pid=""
    return 1
}

# app_closes HOW: the window goes and the process ends with exit code 0.
app_closes() {
    if drive wait-gone 10000; then
        pass "$1 closes the window"
    else
        fail "$1 leaves the window open"
    fi
    wait_exit "$app_pid" 15
    local status=$?
    if [ $status -eq 124 ]; then
        kill "$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
        # Nothing of it may linger for the next start to find.
        drive wait-gone 10000
    fi
    app_pid=""
    expect_eq "$1: the process ends with exit code 0" 0 "$status"
}

# expect_box WHAT TEXT: the next message box owned by the dialog has TEXT,
# the caption "Ошибка!", one OK button and an icon; it is dismissed.
expect_box() {
    if ! drive wait-box 15000; then
        fail "$1: no message box"
        show_out
        return 1
    fi
    local got
    got="$(out box-caption)|$(out box-text)|$(out box-buttons)|$(out box-icon)"
    expect_eq "$1" "Ошибка!|$2|1 ok|1" "$got"
}

# Driver commands that wait until every action button is enabled again after
# a command, to append to a run of the driver after a "+".
actions_wait=()
for id in 1023 1015 1014 1022 1021 1028; do
    actions_wait+=(+ wait-enabled "$id" 1 5000)
done
unset id
actions_enabled() { drive "${actions_wait[@]:1}"; }

# screenshot NAME: the dialog's window alone (its message boxes open over
# its middle) as build/artifacts/NAME.
screenshot() {
    local name=$1
    drive rects || return 1
    # Named so as not to hide `top` from the functions called here.
    local x0 y0 x1 y1
    read -r x0 y0 x1 y1 <<<"$(out window)"
    if timeout 30 import -display "$DISPLAY" -window root \
        -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage \
        "$artifacts/$name" 2>>"$work/import.err"; then
        pass "screenshot build/artifacts/$name"
    else
        fail "no screenshot $name: $(head -n 1 "$work/import.err")"
    fi
}
