#!/usr/bin/env bash
# The commands of VX40_AppLoader.exe end to end under Wine, against vx40-sim
# (native build) on a pseudo-terminal mapped as COM12, driven from outside by
# vx40_dialog_driver.exe as dialog_xvfb.sh does.
#
# Covered: Find file's Open dialog, chosen from and cancelled, and the
# program's folder offered by the first file dialog of a run only; a search
# shows the identity the simulator was given; a 3-record
# module is written and the simulator received exactly it (read from its
# trace); both backups through the Save As dialog with a typed name hold the
# device's blocks byte for byte (the reference is vx40 backup on Linux
# against the same simulator); activation; the device refusing a block; Stop
# in the middle of a paced write, after which the port serves a new search;
# a search on a line that echoes every request, as a half-duplex adapter;
# with the simulator behind ser2net, its socket:// name typed into the port
# field key by key (kept whole: the field scrolls past its width), a search
# and a 3-record write.
#
# COM12 is mapped to a symbolic link that each simulator started here makes,
# so a simulator with other options replaces the last one without the Wine
# server restart that a new mapping costs (it would end the program).
#
# Leaves build/artifacts/dialog-identity.png (the identity after a search)
# and build/artifacts/dialog-writing.png (a write in progress).
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=lib/wine_session.bash
source "$top/tests/wine/lib/wine_session.bash"
# shellcheck source=lib/dialog_session.bash
source "$top/tests/wine/lib/dialog_session.bash"

port=COM12
vx40="$top/build/native/cli/vx40"
dialog_session_begin flows 200 || { finish; exit 1; }
require_built "$vx40" native
line="$work/line"

# A device unlike the simulator's defaults, so that no field passes by chance,
# and the identity fields as the dialog shows it: type, serial, boot, app,
# required boot.
device=(--type VX41 --serial 654321 --boot-version 0x0203 --boot-date 0x01022019
    --app-version 0x0A11 --app-date 0x31122021 --required-boot 0x0204 --record-seed 0x4B1D)
identity="VX41|654321|02.03 (01.02.2019)|0A.11 (31.12.2021)|02.04"

# run_command WHAT ID STATUS [+ DRIVER COMMANDS...]: presses button ID with
# the status line blanked first, so that whatever shows afterwards is this
# command's; runs the driver commands given while the command runs (a file
# dialog's answer); then waits for STATUS at 100% and the buttons back.
run_command() {
    local what=$1 id=$2 status=$3
    shift 3
    if drive set-text 1017 - + set-text 1018 - + set-text 1000 "$port" + click "$id" "$@" \
        + wait-text 1017 30000 "$status" + text 1018 "${actions_wait[@]}"; then
        expect_eq "$what: \"$status\" at 100%, buttons enabled again" 100% "$(out 'text 1018')"
    else
        fail "$what: no \"$status\""
        show_out
        # Whatever still runs is stopped and its box dismissed, so that the
        # next check starts from an idle dialog.
        drive click 1027 + wait-box 3000
        actions_enabled
        return 1
    fi
}

# search WHAT: a search shows the simulated device's identity.
search() {
    run_command "$1" 1023 "Чтение завершено" || return 1
    drive text 1024 + text 1016 + text 1025 + text 1019 + text 1020
    expect_eq "$1: the five identity fields" "$identity" \
        "$(for id in 1024 1016 1025 1019 1020; do out "text $id"; done | paste -sd '|')"
}

# write_module WHAT FILE: writes FILE; the simulator holds exactly it.
write_module() {
    drive set-text 1013 "$(winpath "$2")"
    run_command "$1" 1015 "Запись завершена" || return 1
    sim_module "$line.trace" "$work/held.vx4"
    if cmp -s "$2" "$work/held.vx4"; then
        pass "$1: the device received exactly the module ($(stat -c %s "$2") bytes)"
    else
        fail "$1: the device received $(stat -c %s "$work/held.vx4") other bytes"
    fi
}

# backup WHAT ID SUFFIX: the Save As dialog proposes TYPE_SERIAL_SUFFIX.vx4,
# takes a typed name, and the file holds what vx40 backup read on Linux.
backup() {
    local what=$1 id=$2 suffix=$3 typed="$work/typed-$3.vx4"
    run_command "$what" "$id" "Сохранение завершено" + save-as 20000 "$(winpath "$typed")" ||
        return 1
    expect_eq "$what: the name proposed" "VX41_654321_$suffix.vx4" "$(out file-name)"
    if cmp -s "$work/reference-$suffix.vx4" "$typed"; then
        pass "$what: the file under the typed name holds the device's blocks"
    else
        fail "$what: the file under the typed name differs from vx40 backup's"
    fi
}

# find_file: a module chosen in Find file's Open dialog goes into the path
# field, and Cancel leaves the field as it was. The first file dialog of the
# run opens in the program's folder; the next is offered none, so the system
# opens it where the last file was chosen. The folder is the name in the
# dialog's "Look in" box. Has to come before any other file dialog.
find_file() {
    local module kept='Z:\набрано вручную\модуль.vx4'
    module=$(winpath "$work/three.vx4")
    drive click 1014 + open-file 20000 "$module" + wait-text 1013 5000 "$module" "${actions_wait[@]}"
    local status=$? first
    first=$(out file-folder)
    if [ $status -eq 0 ]; then
        pass "Find file: the chosen module goes into the path field"
    else
        fail "Find file: the chosen module is not in the path field"
        show_out
        drive cancel-file 2000
        actions_enabled
    fi
    drive set-text 1013 "$kept" + click 1014 + cancel-file 20000 "${actions_wait[@]}" + text 1013 ||
        show_out
    expect_eq "Find file, Cancel: the path field is left as it was" "$kept" "$(out 'text 1013')"
    expect_eq "the first file dialog opens in the program's folder" \
        "$(basename "$(dirname "$exe")")" "$first"
    expect_eq "the next is offered no folder: it opens where the last file was chosen" \
        "${work##*/}" "$(out file-folder)"
}

# network_flow: the simulator behind ser2net; its name, longer than the port
# field is wide, typed into it as an operator would; then search and write
# through it (run_command sets the field to the same name).
network_flow() {
    if ! sim_start "$line" "${device[@]}" || ! ser2net_start "$line"; then
        fail "no simulated device behind ser2net"
        return 1
    fi
    local port="socket://127.0.0.1:$SER2NET_PORT"
    drive type 1000 "$port" + text 1000
    expect_eq "a typed network port name is kept whole" "$port" "$(out 'text 1000')"
    search "search through ser2net"
    write_module "write of 3 records through ser2net" "$work/three.vx4"
}

# --- Setting up: a simulator behind the link, COM12 mapped to the link ---

make_module "$work/three.vx4" 3
make_module "$work/full.vx4" 112
if ! sim_start "$line" "${device[@]}"; then
    fail "vx40-sim did not start"
    finish
    exit 1
fi
dialog_map_port "$port" "$line"
for kind in calibration:CLB configuration:CFG; do
    "$vx40" -q -p "$line" backup "${kind%%:*}" -o "$work/reference-${kind#*:}.vx4" >/dev/null ||
        fail "vx40 backup ${kind%%:*} on Linux failed"
done
echo "display $DISPLAY, prefix $WINEPREFIX, $port on $line"

# shellcheck disable=SC2119 # started without arguments
if app_start; then
    find_file
    search "search"
    screenshot dialog-identity.png
    write_module "write of 3 records" "$work/three.vx4"
    backup "calibration backup" 1021 CLB
    backup "configuration backup" 1022 CFG
    run_command "activation" 1028 "Приложение активировано."

    sim_start "$line" "${device[@]}" --fault 19:2:refuse:250
    drive set-text 1013 "$(winpath "$work/three.vx4")" + click 1015
    expect_box "the device refuses the second block" \
        "Ошибка устройства. Слишком низкая температура для программирования."
    if actions_enabled; then pass "buttons enabled after the refusal"; else fail "buttons stay disabled after the refusal"; fi

    # Paced to the line's speed, 112 records take about twenty seconds; 5%
    # is the seventh block.
    sim_start "$line" "${device[@]}" --pace
    if drive set-text 1013 "$(winpath "$work/full.vx4")" + set-text 1017 - + click 1015 \
        + wait-text 1017 15000 "Запись" + wait-text 1018 15000 05%; then
        pass "a paced write of 112 records under way"
    else
        fail "a paced write of 112 records did not get under way"
        show_out
    fi
    screenshot dialog-writing.png
    drive click 1027
    expect_box "Stop during the write" "Прервано пользователем."
    if actions_enabled; then pass "buttons enabled after Stop"; else fail "buttons stay disabled after Stop"; fi
    search "search after Stop (the port was let go)"

    sim_start "$line" "${device[@]}" --echo
    search "search on an echoing line"

    network_flow

    drive click 2
    app_closes "Exit"
fi

finish
