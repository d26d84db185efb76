#!/usr/bin/env bash
# Runs the Windows serial channel check against a real port: a pseudo-terminal
# made here and mapped to COM7 through Wine's HKLM\Software\Wine\Ports key.
# The check opens and configures it and writes two frames; this side reads
# what arrives on the master and compares it byte for byte with the frames
# the check reports having written.
#
# Wine creates its COM links from that key only when its services start, so
# the server is restarted after the key is set. That would end any other Wine
# program in the same prefix, so the script keeps a prefix of its own and
# holds a lock on it while it runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=lib/wine_session.bash
source "$top/tests/wine/lib/wine_session.bash"
check="${VX40_CHANNEL_CHECK:-$top/build/mingw/tests/serial_channel_check_win32.exe}"
require_built "$check"
# The counting is done below, where the line is read.
wine_own_prefix pty || { fail "no prefix of its own"; finish; exit 1; }

exec python3 - "$top/scripts/wine-run" "$check" <<'PYTHON'
import os
import pty
import re
import subprocess
import sys
import threading
import time
import tty

wine_run, check = sys.argv[1], sys.argv[2]
port = "COM7"
key = r"HKLM\Software\Wine\Ports"
prefix = os.environ["WINEPREFIX"]

master, slave = pty.openpty()
# Raw, so that the pseudo-terminal neither echoes nor translates line ends
# before the check has set the line up. The slave stays open here, so the
# master never sees a hang-up when the check closes its port.
tty.setraw(slave)
slave_path = os.ttyname(slave)

passed_here = 0
failed_here = 0


def fail(text):
    global failed_here
    failed_here += 1
    print("FAILED: " + text)


def wine(*args, **kwargs):
    return subprocess.run([wine_run, *args], timeout=300, **kwargs)


wine("reg", "add", key, "/v", port, "/t", "REG_SZ", "/d", slave_path, "/f",
     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL)

# Input waiting before the port is opened; the check discards it.
os.write(master, b"\x55\xaa\x55")

received = bytearray()
stop = threading.Event()


def read_master():
    import select
    while not stop.is_set():
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                received.extend(os.read(master, 65536))
            except OSError:
                return


reader = threading.Thread(target=read_master)
reader.start()
try:
    run = wine(check, port, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
finally:
    time.sleep(0.5)
    stop.set()
    reader.join()
    wine("reg", "delete", key, "/v", port, "/f",
         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

output = run.stdout
for line in output.splitlines():
    if line.startswith("wrote "):
        print(f"wrote {len(line.split()[1]) // 2} bytes")
    else:
        print(line)
link = os.path.join(prefix, "dosdevices", port.lower())
if not os.path.islink(link) or os.readlink(link) != slave_path:
    fail(f"{port} was not mapped to {slave_path}")

written = bytearray()
for line in output.splitlines():
    if line.startswith("wrote "):
        written.extend(bytes.fromhex(line[len("wrote "):].strip()))
if not written:
    fail("the check reported no frame written")
elif bytes(received) != bytes(written):
    same = next((i for i, (a, b) in enumerate(zip(received, written)) if a != b),
                min(len(received), len(written)))
    fail(f"the line carried {len(received)} bytes, {len(written)} were written; "
         f"first difference at byte {same}")
else:
    passed_here += 1
    print(f"the line carried exactly the {len(written)} bytes written")

# The check's own counts, plus the comparison made here.
passed = failed = not_run = 0
last = output.strip().splitlines()[-1] if output.strip() else ""
counts = re.fullmatch(r"(\d+) passed, (\d+) failed, (\d+) not run", last.strip())
if counts:
    passed, failed, not_run = (int(count) for count in counts.groups())
else:
    fail("the check did not finish")
if run.returncode != 0 and failed == 0:
    fail(f"the check exited with {run.returncode}")
passed += passed_here
failed += failed_here
print(f"{passed} passed, {failed} failed, {not_run} not run")
sys.exit(0 if failed == 0 else 1)
PYTHON
