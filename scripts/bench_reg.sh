#!/bin/sh
# Prints how long netpurge-sim takes, and how much memory it peaks at, to
# load large registries from a .reg file and run the uninstaller on them:
#   flat     200,000 keys (1,000 keys of 200 sub-keys, a value each) on a
#            Windows 2000 and a Windows 98 machine;
#   reverse  100,000 sub-keys of one key, written in reverse order, on
#            Windows 2000 (the NT family keeps sub-keys sorted).
# Usage: scripts/bench_reg.sh [BUILD_DIR]   (default build/host)
# Figures only; nothing is checked. Needs GNU time (/usr/bin/time).
set -eu
build=${1:-build/host}
sim="$build/bin/netpurge-sim"
[ -x "$sim" ] || { echo "bench_reg.sh: $sim not built (cmake --build $build --target netpurge-sim)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "bench_reg.sh: /usr/bin/time (GNU time) is needed" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk 'BEGIN {
  printf "REGEDIT4\r\n\r\n"
  for (p = 0; p < 1000; p++) {
    printf "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Group%04d]\r\n\r\n", p
    for (c = 0; c < 199; c++)
      printf "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Group%04d\\Key%03d]\r\n\"Value\"=\"%d\"\r\n\r\n", p, c, c
  }
}' > "$work/flat.reg"
awk 'BEGIN {
  printf "REGEDIT4\r\n\r\n"
  for (k = 99999; k >= 0; k--) printf "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Key%06d]\r\n\r\n", k
}' > "$work/reverse.reg"

run() {  # name platform reg
  printf '{"platform": "%s", "registry": "%s", "command_line": "\\"C:\\\\Tools\\\\netpurge.exe\\" /nogui"}\n' \
    "$2" "$3" > "$work/$1.json"
  /usr/bin/time -f "%e %M" -o "$work/time" "$sim" --profile "$work/$1.json" > /dev/null || true
  read -r seconds kb < "$work/time"
  printf '%-18s %8s s %8s MB\n' "$1" "$seconds" "$((kb / 1024))"
}

keys_flat=$(grep -c '^\[' "$work/flat.reg")
keys_reverse=$(grep -c '^\[' "$work/reverse.reg")
echo "keys: flat $keys_flat, reverse $keys_reverse"
run flat-win2000 win2000 flat.reg
run flat-win98 win98 flat.reg
run reverse-win2000 win2000 reverse.reg
