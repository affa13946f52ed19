#!/usr/bin/env bash
# Sourced by the scenario checks under Wine. Defines
#   scenario_prefix   skips the check (77, with the reason) when Wine cannot
#                     run here; else exports WINEPREFIX, a fresh prefix (a
#                     copy of the booted one the checks share, when
#                     NETPURGE_WINE_TEMPLATE names one, else a new boot) that
#                     is removed when the check exits.
scenario_prefix_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../wine/wine_mode.sh
. "$scenario_prefix_dir/../../wine/wine_mode.sh"

scenario_prefix() {
  wine_require "${NETPURGE_WINE_TEMPLATE:-}"
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/netpurge-wine.XXXXXX)
  trap 'timeout 30 wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
  if [ -n "${NETPURGE_WINE_TEMPLATE:-}" ] && [ -d "$NETPURGE_WINE_TEMPLATE/drive_c/windows" ]; then
    python3 "$scenario_prefix_dir/../../wine/copy_prefix.py" "$NETPURGE_WINE_TEMPLATE" "$WINEPREFIX"
  else
    timeout $(( 240 * WINE_SLOWDOWN )) xvfb-run -a wineboot -i >/dev/null 2>&1
  fi
  wine_wait_server
}
