#!/usr/bin/env bash
# Installs the Debian packages the kit needs, only those that are missing.
#   scripts/setup.sh build   compilers, libraries and the MinGW-w64 toolchain
#   scripts/setup.sh all     the above, plus Wine (32-bit), Xvfb and the X tools,
#                            QEMU (i386 system emulator and its firmware) and
#                            the SMBIOS decoders for the qemu checks
set -euo pipefail
what=${1:-all}

build_pkgs=(cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  clang libclang-rt-14-dev
  dmidecode   # dmidecode and biosdecode: the tests compare nicdiag's dmi and pir with them
  pciutils    # lspci reads nicdiag's configuration dumps back
  python3     # tests/pe/cpu_floor.py scans the Windows binaries' instructions; the docs-examples test
  help2man    # the manual pages, made from the tools' own --help at build time
  libhivex-dev libhivex-bin libwin-hivex-perl)  # netpurge-sim's registry hive files; the tests check them with hivexregedit
wine_pkgs=(wine wine32:i386 xvfb xauth xdotool imagemagick fonts-wine x11-utils python3)
# The emulator alone, without its recommended extras (GUI, block back ends):
# the i386 emulator, SeaBIOS and the option ROMs come as its dependencies.
qemu_pkgs=(qemu-system-x86 dmidecode)

missing=()
want=("${build_pkgs[@]}")
[ "$what" = all ] && want+=("${wine_pkgs[@]}" "${qemu_pkgs[@]}")
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
no_recommends=()
for p in "${missing[@]}"; do
  for q in "${qemu_pkgs[@]}"; do [ "$p" = "$q" ] && no_recommends+=("$p"); done
done
others=()
for p in "${missing[@]}"; do
  case " ${no_recommends[*]} " in *" $p "*) ;; *) others+=("$p") ;; esac
done
if [ ${#others[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${others[@]}" >/dev/null
fi
if [ ${#no_recommends[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${no_recommends[@]}" >/dev/null
fi
