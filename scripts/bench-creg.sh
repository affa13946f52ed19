#!/bin/bash
# Times netpurge-sim on the registry files of a full Windows 98 machine: a
# SYSTEM.DAT of 2 MB (the built-in machine's registry and the COM classes,
# file types and devices of its applications) and its USER.DAT, previewed
# and then applied, on the built-in machine (its user presses OK).
#   scripts/bench-creg.sh [BYTES]      (default 2097152)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/host
cmake --build "$build" --target netpurge-sim creg_machine -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=$("$build/tests/netpurge_sim/creg_machine" tools/netpurge-sim/default/win98-two-adapters.reg "$work" "${1:-2097152}")
sim="$build/bin/netpurge-sim"
hives=(--hive "SYSTEM=$work/SYSTEM.DAT" --hive "USER=$work/USER.DAT")
# "WALL CPU": seconds elapsed and seconds of processor time (user and
# system) of one run.
seconds() {
  local TIMEFORMAT='%R %U %S' t
  t=$({ time "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; echo "bench-creg: $* failed" >&2; exit 1; }; } 2>&1) || exit 1
  awk '{ printf "%.3f %.3f", $1, $2 + $3 }' <<<"$t"
}
preview=$(seconds "$sim" "${hives[@]}") || exit 1
apply=$(seconds "$sim" "${hives[@]}" --apply --backup "$work/undo.reg") || exit 1
cmp -s "$work/SYSTEM.DAT" "$work/SYSTEM.DAT.bak" && { echo "bench-creg: the run changed nothing" >&2; exit 1; }
echo "SYSTEM.DAT: $size bytes; the undo file restores $(grep -c '^\[' "$work/undo.reg") keys"
read -r preview_wall preview_cpu <<<"$preview"
read -r apply_wall apply_cpu <<<"$apply"
echo "preview:    $preview_wall s elapsed, $preview_cpu s of processor time (limit 1 s)"
echo "apply:      $apply_wall s elapsed, $apply_cpu s of processor time (limit 2 s)"
echo "load:       $(cut -d' ' -f1-3 /proc/loadavg) (runnable processes, 1/5/15 min, on $(nproc) processors)"
# The limits hold for the run's own processor time; the elapsed time also
# counts what other processes took from it.
awk -v p="$preview_cpu" -v a="$apply_cpu" 'BEGIN { exit !(p < 1 && a < 2) }' ||
  { echo "bench-creg: over the limit" >&2; exit 1; }
