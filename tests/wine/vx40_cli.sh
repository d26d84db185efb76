#!/usr/bin/env bash
# Smoke check of vx40.exe under Wine: help, usage errors, a port that does
# not exist, the module file refusals and the JSON object. Wine cannot
# receive on a serial port (see DESIGN.md), so no device is involved; the
# reply paths are tested on Linux.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=lib/wine_session.bash
source "$top/tests/wine/lib/wine_session.bash"
exe="$top/build/mingw/cli/vx40.exe"
require_built "$exe"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# expect NAME CODE TEXT ARGS...: exit code CODE and, unless TEXT is empty, a
# line of stdout or stderr that is exactly TEXT.
expect() {
    local name=$1 code=$2 text=$3
    shift 3
    "$top/scripts/wine-run" "$exe" "$@" >"$work/out" 2>"$work/err"
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

expect "help" 0 "" --help
expect "no command" 2 "" -p COM1
expect "node above 255" 2 "" -n 300 info
expect "node not a number" 2 "" info -n x1
expect "missing port" 4 "COM-порт не открывается." -p COM99 info
expect "missing port, reason line" 4 "" -p COM99 activate
grep -q "^COM99: " "$work/err.txt" || fail "no reason line for COM99"

# Module files are checked before the port is touched, so COM99 is never
# reached for a bad file; a good one gets as far as the port.
# Wine's drive Z: is the Unix root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
head -c 1031 /dev/zero >"$work/bad.vx4"
head -c 2060 /dev/zero >"$work/good.vx4"
expect "missing module" 3 "Ошибка открытия файла." -p COM99 write "$(windows_path "$work/none.vx4")"
expect "bad module size" 3 "Файл не является модулем устройства Velmo 2.0." -p COM99 write "$(windows_path "$work/bad.vx4")"
expect "good module, missing port" 4 "COM-порт не открывается." -p COM99 write "$(windows_path "$work/good.vx4")"

expect "json" 4 "" --json -p COM99 info
if python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if d["result"]==-2016 and d["port"]=="COM99" and d["node"]==255 else 1)' "$work/out.txt"; then
    pass "the JSON object"
else
    fail "the JSON object"
    cat "$work/out.txt"
fi

finish
