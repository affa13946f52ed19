#!/usr/bin/env bash
# The main job: preview the uninstaller on the built-in default machine, then
# run the diagnostic client on the built-in default simulated adapter.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
log=$(mktemp)
echo "== building (host preset)"
if ! { cmake --preset host && cmake --build --preset host -j2; } >"$log" 2>&1; then
  cat "$log"
  echo "run: the build failed" >&2
  exit 1
fi
rm -f "$log"
echo "== netpurge-sim (built-in default machine)"
build/host/bin/netpurge-sim
echo "== nicdiag (built-in default adapter)"
build/host/bin/nicdiag id ';' pci list ';' port read 8 0xE000 ';' eeprom dump ';' phy dump
