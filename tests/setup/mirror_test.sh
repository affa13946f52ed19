#!/usr/bin/env bash
# scripts/setup.sh with apt-get, dpkg, dpkg-query and sudo replaced by stubs
# that play a mirror in mid-sync: `apt-get update` fails (exit 100, one
# index file of unexpected size) a given number of times, and the install
# resolves only against the release's own suite (-t CODENAME).
#   mirror_test.sh SETUP_SH
set -uo pipefail
setup=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB_LOG"
case " $* " in
  *" update "*)
    n=$(cat "$STUB_DIR/updates" 2>/dev/null || echo 0)
    echo $((n + 1)) >"$STUB_DIR/updates"
    if [ "$n" -lt "$UPDATE_FAILURES" ]; then
      echo "E: Failed to fetch http://deb.example/debian-security/dists/x/main/binary-i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
      exit 100
    fi ;;
  *" install "*)
    case " $* " in *" -t $CODENAME "*) exit 0 ;; esac
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100 ;;
esac
exit 0
STUB
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
exit 1
STUB
cat >"$work/bin/dpkg" <<'STUB'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
STUB
cat >"$work/bin/sudo" <<'STUB'
#!/usr/bin/env bash
exec "$@"
STUB
chmod +x "$work/bin"/*
export STUB_LOG=$work/log STUB_DIR=$work NICKIT_APT_RETRY_PAUSE=0 PATH="$work/bin:$PATH"
CODENAME=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
export CODENAME
[ -n "$CODENAME" ] || { echo "SKIPPED: /etc/os-release names no release code name"; exit 77; }

fail=0
expect() {  # expect DESCRIPTION PATTERN TEXT
  if grep -qE -- "$2" <<<"$3"; then echo "ok: $1"; else echo "FAIL: $1: no /$2/ in:"; echo "$3" | sed 's/^/    /'; fail=1; fi
}

# Two failed updates, then one that works; the install resolves only with -t.
: >"$work/log"; rm -f "$work/updates"
out=$(UPDATE_FAILURES=2 bash "$setup" build 2>&1); rc=$?
expect "exit status 0 after retries" '^0$' "$rc"
expect "update tried three times" '^3$' "$(grep -c 'update' "$work/log")"
expect "each failure is shown with its index file" 'try 2 of 3.*' "$out"
expect "the failed index file is named" 'binary-i386/Packages.xz' "$out"
expect "install retried against the release's suite" "install .*-t $CODENAME" "$(cat "$work/log")"
expect "the retry is said" "release's own suite \(-t $CODENAME\)" "$out"

# Every update fails: it goes on with the lists it has, and says so, when
# there are lists at all.
: >"$work/log"; rm -f "$work/updates"
out=$(UPDATE_FAILURES=99 bash "$setup" build 2>&1); rc=$?
expect "update tried three times, no more" '^3$' "$(grep -c 'update' "$work/log")"
if compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null; then
  expect "goes on with the lists it has" '^0$' "$rc"
  expect "says it goes on with stale lists" 'going on with the package lists' "$out"
else
  expect "stops without any lists" '^[1-9]' "$rc"
  expect "says there are no lists" 'no package lists at all' "$out"
fi
exit $fail
