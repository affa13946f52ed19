#!/usr/bin/env bash
# End to end under Wine: installs the built NICPORT.sys as a kernel service
# (sc create ... type= kernel, sc start), runs the built nicdiag.exe against
# it, stops and deletes the service. Wine runs kernel drivers in a user-mode
# host process, so only codes that need no port, HAL or memory access are
# exercised: identification, reserved and unrecognised codes, the refusals
# of bad ports and short output buffers, an aligned validation, a client
# buffer the driver faults on (caught by its exception guard: the request
# fails with STATUS_ACCESS_VIOLATION and the driver goes on serving), and
# unload.
#   wine_service_test.sh WINDOWS_BUILD_DIR WORK_DIR
# Exit 77 (skipped) when Wine or the Windows build is missing.
set -uo pipefail
build=$1
work=$2
sys=$build/driver/NICPORT.sys
exe=$build/tools/nicdiag/nicdiag.exe
if ! command -v wine >/dev/null || [ ! -f "$sys" ] || [ ! -f "$exe" ]; then
  echo "skipped: needs wine and the windows preset's NICPORT.sys and nicdiag.exe"
  exit 77
fi

export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$work"
wineserver -k 2>/dev/null
[ -d "$WINEPREFIX/drive_c/windows" ] || timeout 300 wineboot -i >/dev/null 2>&1
wineserver -w
# Keep one wine server for the whole test: the driver lives in its device host.
wineserver -p 120
wine cmd /c exit >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null' EXIT

fail=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [[ "$3" == *"$2"* ]]; then echo "ok: $1"; else echo "FAIL: $1: expected '$2' in: $3"; fail=1; fi
}

cp "$sys" "$WINEPREFIX/drive_c/windows/system32/drivers/NICPORT.sys"
cp "$exe" "$work/nicdiag.exe"
wine sc delete NICPORT >/dev/null 2>&1
timeout 60 wine sc create NICPORT type= kernel start= demand binPath= 'C:\windows\system32\drivers\NICPORT.sys' \
  >/dev/null 2>&1
check "sc create" "rc=0" "rc=$?"
timeout 60 wine sc start NICPORT >/dev/null 2>&1
for _ in 1 2 3 4 5 6 7 8 9 10; do
  out=$(timeout 60 wine sc query NICPORT 2>&1)
  [[ "$out" == *RUNNING* ]] && break
  sleep 1
done
check "service running" "RUNNING" "$out"

out=$(timeout 60 wine "$work/nicdiag.exe" --json id ';' raw 0x80FF0058 ';' raw 0x80FF0004 ';' \
      raw 0x80FF0000 --out 2 ';' validate 0x00400000 0 3 2>&1)
check "identifier" '"command":"id","ok":true,"status":0,"information":4' "$out"
check "identifier value" '"output":"21000000"' "$out"
check "reserved code" '"status":3221225659,"information":0' "$out"   # 0xC00000BB
check "unrecognised code" '"command":"raw 0x80FF0004","ok":true,"status":0,"information":0' "$out"
check "short output buffer" '"status":3221225507' "$out"             # 0xC0000023
check "aligned validation" '"value":4194304' "$out"
out=$(timeout 60 wine "$work/nicdiag.exe" port read 8 0x10000 2>&1)
check "port above 0xFFFF" "STATUS_INVALID_PARAMETER" "$out"
# PCI configuration read into 64 bytes at 0x1000, an address no process has
# mapped: the driver's touch of it faults inside its guard.
out=$(timeout 60 wine "$work/nicdiag.exe" --json raw 0x80FF0080 0000000003000000001000000000000040000000 --out 4 ';' \
      id 2>&1)
check "faulting client buffer" '"status":3221225477' "$out"            # 0xC0000005
check "driver still serving after the fault" '"command":"id","ok":true' "$out"

out=$(timeout 60 wine sc stop NICPORT 2>&1; sleep 1; timeout 60 wine sc query NICPORT 2>&1)
check "service stopped (driver unloaded)" "STOPPED" "$out"
out=$(timeout 60 wine "$work/nicdiag.exe" id 2>&1)
check "device gone after unload" "cannot open" "$out"
timeout 60 wine sc delete NICPORT >/dev/null 2>&1
check "sc delete" "rc=0" "rc=$?"
exit $fail
