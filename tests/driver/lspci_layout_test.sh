#!/usr/bin/env bash
# nicdiag's "pci read" dump is in lspci -x's layout: lspci itself reads it
# back (-F) and must name every function exactly as "nicdiag pci list" does,
# and decode the same base address registers the profile sets.
# Usage: lspci_layout_test.sh NICDIAG PROFILE. Exit 77 (skipped) without lspci.
set -euo pipefail
nicdiag=$1 profile=$2
lspci=$(command -v lspci || true)
[ -n "$lspci" ] || { echo "lspci not installed: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$nicdiag" --profile "$profile" pci list > "$work/list"
[ "$(wc -l < "$work/list")" -ge 2 ] || { echo "pci list found fewer than two functions"; cat "$work/list"; exit 1; }
fail=0
while read -r where _; do
  bus=${where%%:*} rest=${where#*:}
  dev=${rest%%.*} fn=${rest#*.}
  "$nicdiag" --profile "$profile" pci read "0x$bus" "$((16#$dev)).$fn" 0 256 > "$work/dump"
  want=$(grep "^$where " "$work/list")
  got=$("$lspci" -F "$work/dump" -n 2>/dev/null)
  if [ "$got" != "$want" ]; then
    echo "$where: lspci read the dump as \"$got\", nicdiag lists \"$want\""
    fail=1
  fi
done < "$work/list"
# The base address registers, as lspci decodes them from the same dumps.
"$nicdiag" --profile "$profile" pci read 0 3.0 0 256 > "$work/dump"
regions=$("$lspci" -F "$work/dump" -v 2>/dev/null | grep -E 'Region|I/O ports|Memory at' || true)
grep -q 'Memory at f4000000' <<< "$regions" || { echo "BAR0 not decoded: $regions"; fail=1; }
grep -q 'I/O ports at e000' <<< "$regions" || { echo "BAR1 not decoded: $regions"; fail=1; }
[ $fail -eq 0 ] && echo "lspci reads every dump as nicdiag lists it ($(wc -l < "$work/list") functions)"
exit $fail
