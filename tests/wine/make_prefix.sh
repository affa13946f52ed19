#!/usr/bin/env bash
# Boots one Wine prefix that the checks under Wine copy instead of each
# booting its own. Kept between runs while the Wine version and the way Wine
# runs (native, emulated) are the same.
# Then checks that Wine really runs here: a 32-bit program started in the
# prefix within a time limit (wine --version alone succeeds even where
# wineboot would hang). The verdict goes to DIR.status ("ok MODE" or
# "skip REASON"), which the other checks read (wine_mode.sh wine_require).
# Usage: make_prefix.sh DIR
# Exit: 0 ready, 1 failed, 77 skipped (Wine cannot run here; the reason is printed).
set -euo pipefail
dir=$(realpath -m "$1")  # Wine wants an absolute prefix
# shellcheck source=wine_mode.sh
. "$(dirname "$0")/wine_mode.sh"
skip() {
  echo "skip $1" >"$dir.status"
  echo "SKIPPED: Wine does not run here: $1"
  exit 77
}
rm -f "$dir.status"
wine_mode
[ "$WINE_MODE" = none ] && skip "$WINE_MODE_REASON"
command -v xvfb-run >/dev/null || skip "xvfb-run is not installed (scripts/setup.sh all installs it)"
wine_env
export WINEPREFIX=$dir
echo "wine: $WINE_MODE ($WINE_MODE_REASON)"
version=$(timeout 60 wine --version) || skip "wine --version did not answer within 60 s"
# A prefix made natively is not used under emulation, nor the other way round.
version="$version $WINE_MODE"
if [ -d "$dir/drive_c/windows" ] && [ "$(cat "$dir/.made-by" 2>/dev/null)" = "$version" ]; then
  echo "prefix $dir kept ($version)"
else
  rm -rf "$dir"
  mkdir -p "$dir"
  start=$(date +%s)
  limit=240
  [ "$WINE_MODE" = emulated ] && limit=480
  if ! timeout "$limit" xvfb-run -a wineboot -i >/dev/null 2>&1 || ! wine_wait_server 60; then
    timeout 30 wineserver -k 2>/dev/null || true
    skip "wineboot did not make a prefix within $limit s ($WINE_MODE)"
  fi
  [ -d "$dir/drive_c/windows" ] || { echo "wineboot made no prefix in $dir"; exit 1; }
  echo "$version" > "$dir/.made-by"
  echo "prefix $dir booted in $(( $(date +%s) - start )) s"
fi
start=$(date +%s)
if ! why=$(wine_health); then
  timeout 30 wineserver -k 2>/dev/null || true
  skip "$why"
fi
wine_wait_server 60 || { timeout 30 wineserver -k 2>/dev/null || true; }
echo "ok $WINE_MODE" >"$dir.status"
echo "a 32-bit program started in $(( $(date +%s) - start )) s"
