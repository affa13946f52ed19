#!/usr/bin/env bash
# scripts/release.sh --no-build on the Windows build: the three files it
# writes, the floppy image read back with mtools (and checked by dosfstools'
# fsck.fat) and the zip read back, each file compared byte for byte with
# the build; a second run gives the same medium.
#   release_test.sh SOURCE_DIR WINDOWS_BUILD_DIR VERSION WORK_DIR
# Exit 77 (skipped) when the windows preset's images are missing.
set -uo pipefail
source_dir=$1 build=$2 version=$3 work=$4
declare -A built=(
  [NETPURGE.EXE]=$build/uninstaller/netpurge.exe
  [HUSHLINE.EXE]=$build/uninstaller/netpurge.exe
  [NICPORT.SYS]=$build/driver/NICPORT.sys
  [NICDIAG.EXE]=$build/tools/nicdiag/nicdiag.exe
  [README.TXT]=$source_dir/docs/release/README.TXT
)
declare -A in_zip=([NETPURGE.EXE]=netpurge.exe [HUSHLINE.EXE]=Hushline.exe [NICPORT.SYS]=NICPORT.sys
                   [NICDIAG.EXE]=nicdiag.exe [README.TXT]=README.TXT)
for f in "${built[@]}"; do
  [ -f "$f" ] || { echo "SKIPPED: $f is missing: build the windows preset first"; exit 77; }
done
fail=0
bad() { echo "FAIL: $*"; fail=1; }

rm -rf "$work"
if ! "$source_dir/scripts/release.sh" --no-build --build-dir "$build" --out "$work"; then
  echo "FAIL: scripts/release.sh failed"
  exit 1
fi
zip=$work/nickit-$version.zip img=$work/nickit-$version.img
[ "$(ls "$work" | sort | tr '\n' ' ')" = "SHA256SUMS nickit-$version.img nickit-$version.zip " ] ||
  bad "dist holds: $(ls -a "$work" | tr '\n' ' ')"
(cd "$work" && sha256sum --quiet -c SHA256SUMS) || bad "SHA256SUMS does not match"
[ "$(wc -l <"$work/SHA256SUMS")" = 2 ] || bad "SHA256SUMS: $(cat "$work/SHA256SUMS")"

# The floppy: its size, FAT12 in its boot sector, a sound file system, the
# root directory's short names exactly, no long-name entries, each file.
[ "$(stat -c %s "$img")" = 1474560 ] || bad "image of $(stat -c %s "$img") bytes"
[ "$(dd if="$img" bs=1 skip=54 count=8 status=none)" = "FAT12   " ] || bad "no FAT12 file-system type in the boot sector"
fsck.fat -n "$img" >"$work/fsck.txt" 2>&1 || bad "fsck.fat: $(cat "$work/fsck.txt")"
export MTOOLS_SKIP_CHECK=1
listed=$(mdir -i "$img" -b :: | sed 's|^::/||' | sort | tr '\n' ' ')
[ "$listed" = "HUSHLINE.EXE NETPURGE.EXE NICDIAG.EXE NICPORT.SYS README.TXT " ] || bad "image holds: $listed"
# Root directory of a 1.44 MB FAT12 disk: sector 19, 224 entries; attribute
# 0x0F marks a long-name entry.
lfn=$(python3 -c '
import sys
d = open(sys.argv[1], "rb").read()[19 * 512:19 * 512 + 224 * 32]
print(sum(1 for i in range(0, len(d), 32) if d[i] not in (0, 0xE5) and d[i + 11] == 0x0F))' "$img")
[ "$lfn" = 0 ] || bad "$lfn long-name entries in the root directory"
mkdir -p "$work/read"
for short in "${!built[@]}"; do
  if ! mcopy -n -i "$img" "::$short" "$work/read/$short"; then
    bad "mcopy of $short"
  elif ! cmp -s "$work/read/$short" "${built[$short]}"; then
    bad "$short on the image differs from ${built[$short]}"
  fi
done

# The zip: exactly the five names, each file as built.
python3 - "$zip" "$work/zip-list.txt" <<'PY' || bad "the zip cannot be read"
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    if z.testzip() is not None:
        sys.exit(1)
    z.extractall(sys.argv[1] + ".d")
    open(sys.argv[2], "w").write(" ".join(sorted(z.namelist())) + " ")
PY
[ "$(cat "$work/zip-list.txt")" = "Hushline.exe NICPORT.sys README.TXT netpurge.exe nicdiag.exe " ] ||
  bad "the zip holds: $(cat "$work/zip-list.txt")"
for short in "${!built[@]}"; do
  cmp -s "$zip.d/${in_zip[$short]}" "${built[$short]}" || bad "${in_zip[$short]} in the zip differs from ${built[$short]}"
done
rm -rf "$zip.d" "$work/read"

# Made again later (past FAT's 2-second time steps), the medium is the same.
sleep 2
"$source_dir/scripts/release.sh" --no-build --build-dir "$build" --out "$work.again" >/dev/null ||
  bad "the second run of scripts/release.sh failed"
cmp -s "$work/SHA256SUMS" "$work.again/SHA256SUMS" || bad "a second run made another medium: $(cat "$work.again/SHA256SUMS")"
rm -rf "$work.again"
[ $fail = 0 ] && echo "the medium holds the build: $(ls "$work" | tr '\n' ' ')"
exit $fail
