#!/usr/bin/env bash
# Boots one Wine prefix that the checks under Wine copy instead of each
# booting its own. Kept between runs while the Wine version is the same.
# Usage: make_prefix.sh DIR
# Exit: 0 ready, 1 failed, 77 skipped (Wine or xvfb-run missing).
set -euo pipefail
dir=$(realpath -m "$1")  # Wine wants an absolute prefix
for tool in wine wineserver xvfb-run; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done
version=$(wine --version)
if [ -d "$dir/drive_c/windows" ] && [ "$(cat "$dir/.made-by" 2>/dev/null)" = "$version" ]; then
  echo "prefix $dir ready ($version)"
  exit 0
fi
rm -rf "$dir"
mkdir -p "$dir"
export WINEPREFIX=$dir WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
start=$(date +%s)
xvfb-run -a wineboot -i >/dev/null 2>&1
wineserver -w
[ -d "$dir/drive_c/windows" ] || { echo "wineboot made no prefix in $dir"; exit 1; }
echo "$version" > "$dir/.made-by"
echo "prefix $dir booted in $(( $(date +%s) - start )) s"
