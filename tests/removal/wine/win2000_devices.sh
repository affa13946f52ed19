#!/usr/bin/env bash
# Runs netpurge.exe under Wine set to Windows 2000 after registering the
# network-class devices of the scenario's profile, and checks that the
# devices it removed are exactly the scenario's expected removed_devices,
# what the simulator reports for the same profile.
# Usage: win2000_devices.sh NETPURGE_EXE SCENARIO_DIR
# Exit: 0 same, 1 different or failed, 77 skipped (no netpurge.exe built, or
# Wine cannot run here: the reason is printed).
set -euo pipefail
exe=$1 scenario=$2
[ -f "$exe" ] || { echo "no $exe: build the windows preset first"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=scenario_prefix.sh
. "$here/scenario_prefix.sh"
scenario_prefix
c="$WINEPREFIX/drive_c"
i686-w64-mingw32-gcc -O2 -Wall -o "$c/netdevice.exe" "$here/netdevice.c" -lsetupapi -luuid
wine reg add 'HKCU\Software\Wine' /v Version /d win2k /f >/dev/null

python3 -c 'import json,sys
for d in json.load(open(sys.argv[1]))["devices"]:
    print(d["instance_id"]); print(d["description"])' "$scenario/profile.json" > "$c/devices.txt"
while IFS= read -r id && IFS= read -r description; do
  wine 'C:\netdevice.exe' add "$id" "$description"
done < "$c/devices.txt"
wine 'C:\netdevice.exe' list | tr -d '\r' > "$c/before.txt"
# The program's hidden dialog needs the display: its first Wine process must
# start under Xvfb, so the server started without one has to be gone.
wine_wait_server

cp "$exe" "$c/netpurge.exe"
code=0
xvfb-run -a wine 'C:\netpurge.exe' /nogui >/dev/null 2>&1 || code=$?
wine_wait_server
[ "$code" = 0 ] || { echo "exit code $code"; exit 1; }
wine 'C:\netdevice.exe' list | tr -d '\r' > "$c/after.txt"

python3 - "$scenario/expect.json" "$c/before.txt" "$c/after.txt" <<'PY'
import json, sys
expected = json.load(open(sys.argv[1]))["removed_devices"]
before = open(sys.argv[2]).read().split()
after = open(sys.argv[3]).read().split()
removed = [d for d in before if d not in after]
if sorted(removed) == sorted(expected):
    print('Wine removed the devices the simulator predicts:', ', '.join(removed))
    sys.exit(0)
print('devices before:', before)
print('removed under Wine:', removed)
print('expected:', expected)
sys.exit(1)
PY
