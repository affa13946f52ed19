#!/usr/bin/env bash
# How Wine runs on this machine, for the checks under Wine and for
# scripts/setup.sh. Wine's 32-bit programs run
#   native    the kernel runs 32-bit x86 programs itself;
#   emulated  a binfmt_misc entry hands 32-bit x86 programs to qemu-i386
#             (such an entry takes precedence over the kernel's own loader);
#   none      neither, or Wine is missing, or it is turned off on purpose
#             (NICKIT_WINE=off).
# NICKIT_WINE_MODE=native|emulated forces the mode the checks assume (to
# exercise their emulated treatment on a native machine); it cannot make a
# machine without 32-bit support run Wine.
#
# Sourced, it defines:
#   wine_mode            sets WINE_MODE and WINE_MODE_REASON
#   wine_env             exports what every check under Wine runs with
#   wine_require [TPL]   wine_mode + wine_env, prints how the check runs, and
#                        exits 77 (skipped, with the reason) when Wine cannot
#                        run here or the shared prefix TPL found it cannot
#   wine_wait_server     waits for the wineserver to end, within a time limit
#   wine_health          starts a real 32-bit program in $WINEPREFIX, within
#                        a time limit (0 it ran, else the reason on stdout)
#   run32_probe          runs a minimal 32-bit x86 program (0 it ran)
#   i386_binfmt_entry    the enabled binfmt_misc entry for 32-bit x86, if any
# Run as a program it prints "MODE: REASON" and exits 0 (native or
# emulated) or 77 (none).

# The 32-bit x86 ELF header as binfmt_misc matches it (magic, then mask).
I386_ELF_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_ELF_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# Under emulation Wine reserves the low 2 GB and more of the 32-bit address
# space; qemu needs that much reserved up front, or it searches memory page
# by page for minutes (0x80000000 is too small).
WINE_QEMU_RESERVED_VA=0x82000000
# A 32-bit program takes about 6 s to start under qemu against well under
# 1 s natively.
WINE_EMULATED_SLOWDOWN=6
# Debian's 64-bit Wine loader (package wine64), and the folder whose `wine`
# starts programs through it.
WINE_LOADER64=/usr/lib/wine/wine64
WINE_WOW64_BIN=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wow64

i386_binfmt_entry() {
  local dir=/proc/sys/fs/binfmt_misc entry magic
  [ -r "$dir/status" ] && [ "$(cat "$dir/status")" = enabled ] || return 1
  for entry in "$dir"/*; do
    case ${entry##*/} in register|status) continue ;; esac
    [ -r "$entry" ] || continue
    # ELF, 32-bit class, machine 3 (the kernel may show the magic masked).
    magic=$(sed -n 's/^magic //p' "$entry")
    if [ "$(head -n1 "$entry")" = enabled ] && [ "${magic:0:10}" = 7f454c4601 ] && [ "${magic:36:4}" = 0300 ]; then
      echo "${entry##*/} ($(sed -n 's/^interpreter //p' "$entry"))"
      return 0
    fi
  done
  return 1
}

# A complete 32-bit x86 program of 93 bytes: one program header, then
# exit(0) through int 0x80.
run32_probe() {
  local probe rc
  probe=$(mktemp "${TMPDIR:-/tmp}/run32-probe.XXXXXX") || return 1
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$probe"
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$probe"
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$probe"
  printf '\x00\x00\x00\x00' >>"$probe"
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$probe"
  printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$probe"
  printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >>"$probe"
  chmod +x "$probe"
  timeout 20 "$probe" >/dev/null 2>&1
  rc=$?
  rm -f "$probe"
  return $rc
}

wine_mode() {
  WINE_MODE=none
  if [ "${NICKIT_WINE:-}" = off ]; then
    WINE_MODE_REASON="Wine turned off on purpose (NICKIT_WINE=off)"
    return
  fi
  local tool
  for tool in wine wineserver; do
    if ! command -v "$tool" >/dev/null; then
      WINE_MODE_REASON="$tool is not installed (scripts/setup.sh all installs it)"
      return
    fi
  done
  local entry
  if entry=$(i386_binfmt_entry); then
    if run32_probe; then
      WINE_MODE=emulated
      WINE_MODE_REASON="32-bit programs run under qemu, binfmt_misc entry $entry"
    else
      WINE_MODE_REASON="the binfmt_misc entry $entry for 32-bit programs does not run one"
    fi
  elif run32_probe; then
    WINE_MODE=native
    WINE_MODE_REASON="the kernel runs 32-bit programs"
  else
    WINE_MODE_REASON="this kernel runs no 32-bit programs and no emulator is registered for them (scripts/setup.sh all, as root, registers qemu-i386)"
    return
  fi
  case "${NICKIT_WINE_MODE:-}" in
    native|emulated)
      if [ "$NICKIT_WINE_MODE" != "$WINE_MODE" ]; then
        WINE_MODE_REASON="$WINE_MODE_REASON; treated as $NICKIT_WINE_MODE (NICKIT_WINE_MODE)"
        WINE_MODE=$NICKIT_WINE_MODE
      fi ;;
  esac
}

wine_env() {
  export WINEDEBUG=-all
  # No .NET or HTML engines to install, no menu entries, and no debugger:
  # a crash ends the program instead of starting winedbg, which would wait.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
  export QEMU_RESERVED_VA=$WINE_QEMU_RESERVED_VA
  export WINE_MODE WINE_MODE_REASON
  if [ "$WINE_MODE" = emulated ]; then WINE_SLOWDOWN=$WINE_EMULATED_SLOWDOWN; else WINE_SLOWDOWN=1; fi
  export WINE_SLOWDOWN
  # Under emulation with wine64 installed: every program through the 64-bit
  # loader (wow64/wine), so that only 32-bit programs meet qemu.
  if [ "$WINE_MODE" = emulated ] && [ -x "$WINE_LOADER64" ]; then
    case ":$PATH:" in *":$WINE_WOW64_BIN:"*) ;; *) PATH="$WINE_WOW64_BIN:$PATH" ;; esac
    export PATH WINE_LOADER64
  fi
}

# The shared prefix's verdict on this machine, written by make_prefix.sh.
wine_prefix_status() { cat "$1.status" 2>/dev/null; }

wine_require() {
  wine_mode
  if [ "$WINE_MODE" = none ]; then
    echo "SKIPPED: Wine does not run here: $WINE_MODE_REASON"
    exit 77
  fi
  local status
  if [ -n "${1:-}" ] && status=$(wine_prefix_status "$1") && [ "${status%% *}" = skip ]; then
    echo "SKIPPED: Wine does not run here: ${status#skip }"
    exit 77
  fi
  wine_env
  echo "wine: $WINE_MODE ($WINE_MODE_REASON)"
}

wine_wait_server() {
  local limit=$(( ${1:-60} * ${WINE_SLOWDOWN:-1} ))
  timeout "$limit" wineserver -w && return 0
  echo "the wineserver of $WINEPREFIX did not end within $limit s" >&2
  return 1
}

wine_health() {
  local cmd='C:\windows\system32\cmd.exe' limit=$(( 60 * ${WINE_SLOWDOWN:-1} )) out
  # In a 64-bit prefix the 32-bit programs are those of syswow64.
  [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] && cmd='C:\windows\syswow64\cmd.exe'
  out=$(timeout "$limit" wine "$cmd" /c echo nickit-alive 2>&1)
  case "$out" in
    *nickit-alive*) return 0 ;;
  esac
  echo "a 32-bit program ($cmd) did not start within $limit s: $(printf '%s' "$out" | tr -d '\r' | tail -n 2 | tr '\n' ' ')"
  return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  wine_mode
  echo "$WINE_MODE: $WINE_MODE_REASON"
  [ "$WINE_MODE" = none ] && exit 77
  exit 0
fi
