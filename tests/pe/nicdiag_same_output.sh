#!/usr/bin/env bash
# nicdiag.exe under Wine says what the host's nicdiag says, byte for byte
# (line ends aside), on standard output and standard error, with the same
# exit status, for every run that ends before a device is opened: --version,
# --help (but its paragraph on what the build talks to, "This build ..."),
# and the refusals of bad commands, numbers, options and script lines. These pass through the Windows build's own
# runtime (its entry, its printf family, msvcrt's streams in text mode).
#   nicdiag_same_output.sh NICDIAG_EXE HOST_NICDIAG WORK_DIR
# Exit 77 (skipped, with the reason) when nicdiag.exe is not built or Wine
# cannot run here.
set -uo pipefail
exe=$1
host=$(realpath "$2")
work=$3
if [ ! -f "$exe" ]; then
  echo "SKIPPED: $exe not built (build the windows preset first)"
  exit 77
fi
# shellcheck source=../removal/wine/scenario_prefix.sh
. "$(dirname "$0")/../removal/wine/scenario_prefix.sh"
scenario_prefix
rm -rf "$work"
mkdir -p "$work"
cp "$exe" "$work/nicdiag.exe"
cd "$work" || exit 1
# One wine server for the whole check, its services started by a first
# program: they inherit that program's standard error, and one of Wine's
# own driver hosts may report a fault of its own there as the prefix starts.
wineserver -p 120
timeout $((60 * WINE_SLOWDOWN)) wine cmd /c exit >/dev/null 2>&1
# A script whose third line is malformed: named with its line on both.
printf "id\nport read 8 0x80\nport read 3 0x80\n" >bad.script

cases=(
  "--help"
  "--version"
  "bogus"
  "--json bogus"
  "port read 3 0x10"
  "port write 16 0x80 0x10012"
  "--json port write 8 0x80 0x105"
  "pci read -s 00:03.0 0 5000"
  "pci read 00:20.0 0 4 x"
  "--json raw 0x80FF0058 0011zz"
  "raw 0x80FF0058 00 --out 70000"
  "eeprom read --size 7"
  "phy write 0x20 0x1"
  "--script bad.script"
  "--json --script bad.script"
  "--no-such-option id"
  "id ; bogus"
)
fail=0
for args in "${cases[@]}"; do
  # shellcheck disable=SC2086 # each case is split into its words
  "$host" $args >host.out 2>host.err
  host_status=$?
  # shellcheck disable=SC2086
  timeout $((60 * WINE_SLOWDOWN)) wine ./nicdiag.exe $args >wine.out 2>wine.err
  wine_status=$?
  # Lines Wine itself writes ("wine: ...") are not nicdiag's; a fault of
  # nicdiag's own would show in its exit status.
  sed -i 's/\r$//' wine.out wine.err
  sed -i '/^wine: /d' wine.err
  if [ "$args" = --help ]; then
    for f in host.out wine.out; do
      awk '/^This build / { skip = 1 } /^$/ { skip = 0 } !skip' $f >$f.cut
      mv $f.cut $f
    done
  fi
  if [ "$host_status" -ne "$wine_status" ]; then
    echo "FAIL: nicdiag $args: status $wine_status under Wine, $host_status on the host"
    fail=1
  elif ! cmp -s host.out wine.out || ! cmp -s host.err wine.err; then
    echo "FAIL: nicdiag $args: output differs (host, then Wine):"
    diff host.out wine.out
    diff host.err wine.err
    fail=1
  else
    echo "ok: nicdiag $args (status $host_status, $(wc -c <host.out) + $(wc -c <host.err) bytes)"
  fi
done
exit $fail
