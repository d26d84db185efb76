#!/usr/bin/env bash
# Runs dialog_seam_check.exe, the check of the Win32 dialog seam, under Wine
# on an X server of its own: the check makes a real dialog and real file
# dialogs, which need a display. The script keeps a Wine prefix of its own
# under a lock, and ends that prefix's server when done, so that no Wine
# program is left holding the X server that goes away.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=lib/wine_session.bash
source "$top/tests/wine/lib/wine_session.bash"
check="$top/build/mingw/tests/dialog_seam_check.exe"
require_built "$check"
# The check prints its own counts; this script counts only a missing prefix.
wine_own_prefix seam || { fail "no prefix of its own"; finish; exit 1; }

# The prefix's server is ended while the X server still runs.
# shellcheck disable=SC2016 # expanded by the inner shell
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    timeout 240 "$1" "$2"
    status=$?
    timeout 30 wineserver -k 2>/dev/null
    exit "$status"' run "$top/scripts/wine-run" "$check" 2>&1 | tr -d '\r'
exit "${PIPESTATUS[0]}"
