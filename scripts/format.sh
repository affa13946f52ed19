#!/usr/bin/env bash
# Formats every tracked C and C++ source with the .clang-format nearest to it.
#   scripts/format.sh           rewrites the files in place
#   scripts/format.sh --check   changes nothing; names each file that is not
#                               formatted and exits 1 (77 when clang-format 14
#                               is missing, so that the test is skipped)
# The version is pinned: another clang-format breaks lines differently.
set -euo pipefail
cd "$(dirname "$0")/.."
check=false
case "${1:-}" in
  --check) check=true ;;
  "") ;;
  -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "format.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
esac
tool=$(command -v clang-format-14 || true)
if [ -z "$tool" ]; then
  echo "format.sh: clang-format-14 is not installed (scripts/setup.sh build installs it)" >&2
  if $check; then exit 77; fi
  exit 2
fi
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "format.sh: not a git checkout: the tracked sources cannot be listed" >&2
  if $check; then exit 77; fi
  exit 2
fi
mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
if ! $check; then
  "$tool" -i -- "${files[@]}"
  exit 0
fi
bad=0
for f in "${files[@]}"; do
  if ! "$tool" -- "$f" | cmp -s - "$f"; then
    echo "not formatted: $f"
    bad=1
  fi
done
exit $bad
