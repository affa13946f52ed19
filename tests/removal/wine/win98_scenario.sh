#!/usr/bin/env bash
# Runs netpurge.exe under Wine set to Windows 98 on a fresh prefix seeded with
# a scenario's before.reg, and compares the keys and values left below
# HKEY_LOCAL_MACHINE\Enum and the class keys with the scenario's after.reg,
# the registry the simulator is expected to leave.
# Usage: win98_scenario.sh NETPURGE_EXE SCENARIO_DIR PROGRAM_NAME
# Exit: 0 same, 1 different or failed, 77 skipped (no netpurge.exe built, or
# Wine cannot run here: the reason is printed).
set -euo pipefail
exe=$1 scenario=$2 name=$3
[ -f "$exe" ] || { echo "no $exe: build the windows preset first"; exit 77; }

# shellcheck source=scenario_prefix.sh
. "$(dirname "$0")/scenario_prefix.sh"
scenario_prefix
wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null
c="$WINEPREFIX/drive_c"
cp "$scenario/before.reg" "$c/before.reg"
wine regedit /s 'C:\before.reg'
wine_wait_server
cp "$exe" "$c/$name"
code=0
xvfb-run -a wine "C:\\$name" /nogui >/dev/null 2>&1 || code=$?
wine_wait_server
wine regedit /e 'C:\enum.reg' 'HKEY_LOCAL_MACHINE\Enum'
wine regedit /e 'C:\class.reg' 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class'
wine_wait_server
[ "$code" = 0 ] || { echo "exit code $code"; exit 1; }

python3 - "$scenario/after.reg" "$c/enum.reg" "$c/class.reg" <<'PY'
import sys

def read(path):
    raw = open(path, 'rb').read()
    text = raw.decode('utf-16') if raw[:2] == b'\xff\xfe' else raw.decode('latin-1')
    return text.replace('\r\n', '\n').split('\n')

def entries(lines):
    # (key, value line) pairs below the roots both sides export; the keys
    # above them (HKEY_LOCAL_MACHINE\System ...) are left out.
    roots = ('hkey_local_machine\\enum', 'hkey_local_machine\\system\\currentcontrolset\\services\\class')
    out, key = set(), None
    for line in lines:
        if line.startswith('['):
            key = line[1:-1].lower()
            if key.startswith(roots):
                out.add((key, None))
        elif line and key and key.startswith(roots) and not line.startswith(('REGEDIT4', 'Windows Registry')):
            out.add((key, line))
    return out

expected = entries(read(sys.argv[1]))
wine = entries(read(sys.argv[2])) | entries(read(sys.argv[3]))
if expected == wine:
    print('Wine left what the simulator predicts')
    sys.exit(0)
for k, v in sorted(expected - wine, key=str):
    print('missing under Wine:', k, v or '')
for k, v in sorted(wine - expected, key=str):
    print('only under Wine:   ', k, v or '')
sys.exit(1)
PY
