#!/usr/bin/env bash
# Installs the Debian packages the kit needs, only those that are missing.
#   scripts/setup.sh build   compilers, libraries, the MinGW-w64 toolchain,
#                            clang for the fuzz targets, and ccache
#   scripts/setup.sh all     the above, plus Wine (32-bit), Xvfb and the X tools,
#                            QEMU (i386 system emulator and its firmware) and
#                            the SMBIOS decoders for the qemu checks
# With "all" it also makes sure Wine's 32-bit programs can run: where the
# kernel runs no 32-bit programs, it installs qemu-user-static and wine64 and
# (as root) registers qemu-i386 for 32-bit x86 programs with binfmt_misc.
# That registration is the machine's, not this checkout's: it stays until
# reboot or until removed (echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386-nickit).
#
# The mirror may be in mid-sync: `apt-get update` is tried a few times and
# the run goes on when only some index files failed; an install that cannot
# be resolved is tried again against the release's own suite.
set -euo pipefail
what=${1:-all}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../tests/wine/wine_mode.sh
. "$here/../tests/wine/wine_mode.sh"

build_pkgs=(cmake ninja-build g++ pkg-config ccache
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  clang libclang-rt-14-dev
  clang-format-14  # scripts/format.sh and its check (the version is pinned)
  dmidecode   # dmidecode and biosdecode: the tests compare nicdiag's dmi and pir with them
  pciutils    # lspci reads nicdiag's configuration dumps back
  python3     # tests/pe/cpu_floor.py scans the Windows binaries' instructions; the docs-examples test
  groff-base man-db  # the manual pages are checked with groff; man finds them after cmake --install
  libhivex-dev libhivex-bin libwin-hivex-perl  # the hive tests read netpurge-sim's hive files back with libhivex (hivexregedit)
  libregf-utils  # ... and with libregf (regfexport), a second reader
  libcreg-utils libparse-win32registry-perl  # the tests read the Windows 95/98 registry files back with both
  zip mtools dosfstools)  # scripts/release.sh: the zip and the FAT12 floppy image; its test reads them back
wine_pkgs=(wine wine32:i386 xvfb xauth xdotool imagemagick fonts-wine x11-utils python3)
# Wine on a kernel without 32-bit support: the user-mode emulator for the
# 32-bit programs, and the 64-bit Wine so that the wineserver and the
# prefix's own programs run natively.
emulation_pkgs=(qemu-user-static wine64)
# The emulator alone, without its recommended extras (GUI, block back ends):
# the i386 emulator, SeaBIOS and the option ROMs come as its dependencies.
qemu_pkgs=(qemu-system-x86 dmidecode)
binfmt_name=qemu-i386-nickit

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

# Whether Wine's 32-bit programs need the emulator: the kernel runs no 32-bit
# program, and no emulator is registered for them yet.
needs_emulation=false
if [ "$what" = all ] && ! i386_binfmt_entry >/dev/null && ! run32_probe; then
  needs_emulation=true
fi

missing=()
want=("${build_pkgs[@]}")
if [ "$what" = all ]; then want+=("${wine_pkgs[@]}" "${qemu_pkgs[@]}"); fi
if $needs_emulation; then want+=("${emulation_pkgs[@]}"); fi
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# apt-get update, tried up to three times; index files that still fail
# after that are named, and the run goes on with the lists it has.
apt_update() {
  local try log
  log=$(mktemp)
  for try in 1 2 3; do
    if $SUDO apt-get update -qq >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    echo "setup: apt-get update failed (try $try of 3):"
    grep -E '^(E|W):' "$log" | sed 's/^/setup:   /' | head -n 10
    if [ "$try" -lt 3 ]; then sleep "${NICKIT_APT_RETRY_PAUSE:-15}"; fi
  done
  rm -f "$log"
  if compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null; then
    echo "setup: going on with the package lists that did update (the ones named above are stale or missing)"
    return 0
  fi
  echo "setup: no package lists at all: cannot install" >&2
  return 1
}

# apt-get install; when the candidates cannot be resolved (typically an
# updates suite whose index for one architecture is missing, so that the
# i386 twins of amd64 libraries do not match), again from the release's own
# suite only, the code name read from the system.
apt_install() {
  local codename
  if DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null; then
    return 0
  fi
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ -z "$codename" ]; then
    echo "setup: apt-get install $* failed, and /etc/os-release names no release to retry with" >&2
    return 1
  fi
  echo "setup: apt-get install failed; trying again with the packages of the release's own suite (-t $codename)"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq -t "$codename" "$@" >/dev/null
  echo "setup: installed from $codename: $*"
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  fi
  apt_update
  no_recommends=()
  for p in "${missing[@]}"; do
    # qemu-user-static recommends a service manager to register it at
    # boot; the registration below is done by hand instead.
    for q in "${qemu_pkgs[@]}" qemu-user-static; do
      if [ "$p" = "$q" ]; then no_recommends+=("$p"); fi
    done
  done
  others=()
  for p in "${missing[@]}"; do
    case " ${no_recommends[*]} " in *" $p "*) ;; *) others+=("$p") ;; esac
  done
  if [ ${#others[@]} -gt 0 ]; then apt_install "${others[@]}"; fi
  if [ ${#no_recommends[@]} -gt 0 ]; then apt_install --no-install-recommends "${no_recommends[@]}"; fi
fi

# Registers qemu-i386 for 32-bit x86 programs. The F flag opens the
# emulator now, so that it serves every mount namespace and chroot after.
if $needs_emulation; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: this kernel runs no 32-bit programs; registering qemu-i386 for them needs root:" \
         "the checks under Wine will report themselves skipped"
  else
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
      mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
      echo "setup: mounted binfmt_misc on /proc/sys/fs/binfmt_misc"
    fi
    if [ -e "/proc/sys/fs/binfmt_misc/$binfmt_name" ]; then echo -1 >"/proc/sys/fs/binfmt_misc/$binfmt_name"; fi
    echo ":$binfmt_name:M::$I386_ELF_MAGIC:$I386_ELF_MASK:/usr/bin/qemu-i386-static:F" \
      >/proc/sys/fs/binfmt_misc/register
    echo "setup: this kernel runs no 32-bit programs: registered /usr/bin/qemu-i386-static for them" \
         "(binfmt_misc entry $binfmt_name). The registration is MACHINE-WIDE: every 32-bit x86 program" \
         "on this machine now runs under qemu, until reboot or 'echo -1 > /proc/sys/fs/binfmt_misc/$binfmt_name'"
  fi
fi
if [ "$what" = all ]; then
  wine_mode
  echo "setup: Wine's 32-bit programs: $WINE_MODE ($WINE_MODE_REASON)"
fi
