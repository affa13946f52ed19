#!/usr/bin/env bash
# End to end under Wine, in a fresh prefix: the built nicdiag.exe installs
# the built NICPORT.sys as its kernel service (nicdiag install PATH), starts
# it, sends the requests that need no hardware, stops it and removes it; the
# service's key under HKLM\System\CurrentControlSet\Services is read back
# with Wine's reg. On the way, each state the service commands report is
# brought about and its message and exit status checked: the driver file
# missing (to copy, in System32\drivers, at start), already installed, with
# another ImagePath, a key the service control manager does not know,
# already running, not running, not installed.
#   wine_install_test.sh WINDOWS_BUILD_DIR WORK_DIR
# Exit 77 (skipped, with the reason) when the Windows build is missing or
# Wine cannot run here.
set -uo pipefail
build=$1
work=$2
sys=$build/driver/NICPORT.sys
exe=$build/tools/nicdiag/nicdiag.exe
if [ ! -f "$sys" ] || [ ! -f "$exe" ]; then
  echo "SKIPPED: needs the windows preset's NICPORT.sys and nicdiag.exe"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../wine/wine_mode.sh
. "$here/../wine/wine_mode.sh"
template=${NETPURGE_WINE_TEMPLATE:-}
wine_require "$template"
slow=$WINE_SLOWDOWN
t() { timeout $(( $1 * slow )) "${@:2}"; }  # a time limit, longer under emulation

# The service commands' exit statuses (tools/nicdiag/nicdiag.h).
NOT_ADMIN=5 STATE=6 FILE_MISSING=8 KEY_LEFT=9
service='NICPORT'
key="HKLM\\System\\CurrentControlSet\\Services\\$service"

export WINEPREFIX=$work/prefix
timeout 30 wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"
mkdir -p "$work"
if [ -n "$template" ] && [ -d "$template/drive_c/windows" ]; then
  python3 "$here/../wine/copy_prefix.py" "$template" "$WINEPREFIX" || exit 1
else
  timeout $(( slow > 1 ? 480 : 300 )) wineboot -i >/dev/null 2>&1
fi
wine_wait_server || exit 1
# One wine server for the whole test: a demand-start driver lives in the
# device host only while the server runs.
wineserver -p 120
t 60 wine cmd /c exit >/dev/null 2>&1
trap 'timeout 30 wineserver -k 2>/dev/null' EXIT

# What a 32-bit program sees as System32\drivers: syswow64's in a 64-bit prefix.
drivers=$WINEPREFIX/drive_c/windows/system32/drivers
[ -d "$WINEPREFIX/drive_c/windows/syswow64" ] && drivers=$WINEPREFIX/drive_c/windows/syswow64/drivers
mkdir -p "$work/medium"
cp "$sys" "$work/medium/NICPORT.sys"
cp "$exe" "$work/nicdiag.exe"
rm -f "$drivers/NICPORT.sys"
medium=$(t 60 wine winepath -w "$work/medium" 2>/dev/null | tr -d '\r')

fail=0
# expect DESCRIPTION STATUS TEXT NICDIAG-ARGS...: nicdiag's exit status and
# a text its output holds.
expect() {
  local what=$1 status=$2 text=$3 out rc
  shift 3
  out=$(t 90 wine "$work/nicdiag.exe" "$@" 2>&1)
  rc=$?
  if [ "$rc" = "$status" ] && [[ "$out" == *"$text"* ]]; then
    echo "ok: $what"
  else
    echo "FAIL: $what: expected status $status and '$text', got status $rc: $out"
    fail=1
  fi
}
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [[ "$3" == *"$2"* ]]; then echo "ok: $1"; else echo "FAIL: $1: expected '$2' in: $3"; fail=1; fi
}

expect "install: the PATH given is missing" $FILE_MISSING "the driver file to copy is missing" \
  install "$medium\\absent.sys"
expect "install without PATH: no driver in System32\\drivers" $FILE_MISSING "is missing: give the driver's PATH" install
expect "start: not installed" $STATE "service is not installed" start

# A service of the name made by another tool, with its own ImagePath.
t 60 wine sc create $service type= kernel start= demand binPath= 'C:\elsewhere\NICPORT.sys' >/dev/null 2>&1
expect "install: installed with another ImagePath" $STATE "another ImagePath, C:\\elsewhere\\NICPORT.sys" \
  install "$medium"
t 60 wine sc delete $service >/dev/null 2>&1
# A key the service control manager has not loaded (made after it started).
t 60 wine reg add "$key" /v Type /t REG_DWORD /d 1 /f >/dev/null 2>&1
expect "install: a key left behind" $KEY_LEFT "is in the registry" install "$medium"
expect "remove: a key left behind" $KEY_LEFT "is in the registry" remove
t 60 wine reg delete "$key" /f >/dev/null 2>&1

expect "install PATH (a folder holding the driver)" 0 "installed the $service service" install "$medium"
if cmp -s "$sys" "$drivers/NICPORT.sys"; then echo "ok: driver copied"; else echo "FAIL: driver not copied"; fail=1; fi
out=$(t 60 wine reg query "$key" 2>&1 | tr -d '\r')
for value in 'Type    REG_DWORD    0x1' 'Start    REG_DWORD    0x3' 'ErrorControl    REG_DWORD    0x1'; do
  check "service key: $value" "$value" "$out"
done
check "service key: ImagePath" '\SystemRoot\System32\drivers\NICPORT.sys' "$(grep ImagePath <<<"$out")"
expect "install again: already installed" $STATE "already installed" install "$medium"
expect "stop: not running" $STATE "service is not running" stop

# The driver file gone from System32\drivers: start says so.
mv "$drivers/NICPORT.sys" "$work/NICPORT.sys.away"
expect "start: the driver file is missing" $FILE_MISSING "is missing" start
mv "$work/NICPORT.sys.away" "$drivers/NICPORT.sys"

expect "start (JSON)" 0 "\"service\":\"$service\",\"message\":\"started the $service service" --json start
expect "start again: already running" $STATE "already running" start
out=$(t 60 wine "$work/nicdiag.exe" --json id ';' raw 0x80FF0058 ';' raw 0x80FF0004 ';' \
      raw 0x80FF0000 --out 2 ';' validate 0x00400000 0 3 2>&1)
check "identifier" '"command":"id","ok":true,"status":0,"information":4' "$out"
check "identifier value" '"output":"21000000"' "$out"
check "reserved code" '"status":3221225659,"information":0' "$out"   # 0xC00000BB
check "unrecognised code" '"command":"raw 0x80FF0004","ok":true,"status":3221225488,"information":0' "$out"
check "short output buffer" '"status":3221225507' "$out"             # 0xC0000023
check "aligned validation" '"value":4194304' "$out"
expect "port above 0xFFFF" 1 "STATUS_INVALID_PARAMETER" port read 8 0x10000
# One session: the device it opened is closed before the stop.
expect "id, then stop in the same session" 0 "stopped the $service service" id ';' stop
expect "device gone after stop" 3 "cannot open" id
expect "start, id and remove (running: stopped first) in one session" 0 "stopped and removed the $service service" \
  start ';' id ';' remove
out=$(t 60 wine reg query "$key" 2>&1)
check "service key gone" "Unable to find" "$out"
# Wine's sc prints nothing for a service it does not find; its status says it.
t 60 wine sc query $service >/dev/null 2>&1
check "service gone from the service control manager (sc query fails)" "status 1" "status $?"
expect "remove again: not installed" $STATE "service is not installed" remove
expect "stop: not installed" $STATE "service is not installed" stop
# Wine grants every program an administrator's rights: the refusal of a
# user who is not one (status $NOT_ADMIN) cannot be brought about here.
echo "SKIPPED: not an administrator: Wine runs every program with an administrator's rights"
exit $fail
