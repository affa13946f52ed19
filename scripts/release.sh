#!/usr/bin/env bash
# Makes the kit's release medium: builds the windows preset, then writes to
# dist/
#   nickit-VERSION.zip  netpurge.exe, Hushline.exe (the same image under the
#                       modem name), NICPORT.sys, nicdiag.exe, README.TXT
#   nickit-VERSION.img  a 1.44 MB FAT12 floppy image (1,474,560 bytes) with
#                       the same files under upper-case 8.3 names
#   SHA256SUMS          the SHA-256 sums of those two
# VERSION is NICKIT_RELEASE_VERSION of cmake/version.cmake; README.TXT is
# docs/release/README.TXT. Every file gets the time of the last commit
# (or SOURCE_DATE_EPOCH), so the same build gives the same medium.
#
# usage: scripts/release.sh [--no-build] [--build-dir DIR] [--out DIR]
#   --no-build       pack what DIR holds without building it first
#   --build-dir DIR  the windows preset's build folder (default build/windows)
#   --out DIR        where the three files go (default dist)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/windows
out=$root/dist
do_build=true
while [ $# -gt 0 ]; do
  case $1 in
    --no-build) do_build=false ;;
    --build-dir|--out)
      [ $# -ge 2 ] || { echo "release: $1 needs a folder" >&2; exit 2; }
      if [ "$1" = --out ]; then out=$2; else build=$2; fi
      shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "release: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done

for tool in zip mformat mcopy mdir sha256sum; do
  command -v $tool >/dev/null || { echo "release: $tool is missing (scripts/setup.sh build installs it)" >&2; exit 1; }
done
version=$(sed -n 's/^set(NICKIT_RELEASE_VERSION \([0-9][0-9.]*\))$/\1/p' "$root/cmake/version.cmake")
[ -n "$version" ] || { echo "release: no NICKIT_RELEASE_VERSION in cmake/version.cmake" >&2; exit 1; }

if $do_build; then
  log=$(mktemp)
  echo "release: building the windows preset"
  if ! { cmake -S "$root" -B "$build" --preset windows && cmake --build "$build" -j2; } >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    echo "release: the windows build failed" >&2
    exit 1
  fi
  rm -f "$log"
fi

# Name in the zip, name on the floppy, source.
files=(
  "netpurge.exe NETPURGE.EXE $build/uninstaller/netpurge.exe"
  "Hushline.exe HUSHLINE.EXE $build/uninstaller/netpurge.exe"
  "NICPORT.sys NICPORT.SYS $build/driver/NICPORT.sys"
  "nicdiag.exe NICDIAG.EXE $build/tools/nicdiag/nicdiag.exe"
  "README.TXT README.TXT $root/docs/release/README.TXT"
)
for entry in "${files[@]}"; do
  read -r _ _ source <<<"$entry"
  [ -f "$source" ] || { echo "release: $source is missing (build the windows preset)" >&2; exit 1; }
done

mkdir -p "$out"
stage=$(mktemp -d "$out/.release.XXXXXX")
trap 'rm -rf "$stage"' EXIT
export TZ=UTC  # the zip and FAT time stamps are local times
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
# mtools stamps the volume label and each entry's creation time with it too.
export SOURCE_DATE_EPOCH=$epoch
mkdir "$stage/files"
for entry in "${files[@]}"; do
  read -r name _ source <<<"$entry"
  cp "$source" "$stage/files/$name"
  touch -d "@$epoch" "$stage/files/$name"
done

zip_file=nickit-$version.zip
image_file=nickit-$version.img
names=()
for entry in "${files[@]}"; do read -r name _ <<<"$entry"; names+=("$name"); done
(cd "$stage/files" && zip -X -D -q "$stage/$zip_file" "${names[@]}")

# A 1.44 MB floppy: 80 tracks, 2 heads, 18 sectors of 512 bytes, FAT12.
# Short names only (no long-name entries); the volume serial is fixed.
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1
mformat -i "$stage/$image_file" -C -f 1440 -v NICKIT -N 4e4b0100 ::
for entry in "${files[@]}"; do
  read -r name short _ <<<"$entry"
  mcopy -i "$stage/$image_file" -m "$stage/files/$name" "::$short"
done
size=$(stat -c %s "$stage/$image_file")
[ "$size" = 1474560 ] || { echo "release: the floppy image is $size bytes, not 1474560" >&2; exit 1; }

(cd "$stage" && sha256sum "$zip_file" "$image_file" >SHA256SUMS)
for f in "$zip_file" "$image_file" SHA256SUMS; do mv -f "$stage/$f" "$out/$f"; done
echo "release: $out/$zip_file, $out/$image_file, $out/SHA256SUMS (version $version)"
mdir -i "$out/$image_file" ::
