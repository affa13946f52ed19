#!/usr/bin/env bash
# A time-bounded fuzzing campaign: builds the libFuzzer targets with clang
# (the fuzz preset: AddressSanitizer and UndefinedBehaviorSanitizer on), runs each on its
# corpus in tests/fuzz/corpus/<target> for its share of SECONDS, then merges
# what was new into that corpus (the ordinary test suite replays it).
#   scripts/fuzz.sh SECONDS [TARGET...]     targets: ioctl profile reg hive creg (all by default)
# A crash leaves its input as build/fuzz/findings/<target>/crash-* and makes
# the exit status 1. Coverage reached is printed per target (libFuzzer's
# "cov:" count of edges, the last line of its run).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]] || [ "$1" -eq 0 ]; then
  echo "usage: scripts/fuzz.sh SECONDS [ioctl|profile|reg|hive|creg ...]" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(ioctl profile reg hive creg)
for t in "${targets[@]}"; do
  case "$t" in ioctl|profile|reg|hive|creg) ;; *) echo "fuzz.sh: unknown target '$t'" >&2; exit 2 ;; esac
done
scripts/setup.sh build

build=build/fuzz  # the fuzz preset's tree
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake --preset fuzz "${launcher[@]}" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

share=$(( seconds / ${#targets[@]} ))
[ "$share" -lt 1 ] && share=1
status=0
for t in "${targets[@]}"; do
  corpus=tests/fuzz/corpus/$t
  work=$build/findings/$t
  fresh=$build/new/$t
  mkdir -p "$work" "$fresh"
  echo "== fuzz $t for ${share}s"
  # New inputs go to a scratch directory first; the tree's corpus only gets
  # the ones that add coverage (merge below).
  if ! ASAN_OPTIONS=detect_leaks=0 "$build/tests/fuzz/fuzz_$t" -max_total_time="$share" -timeout=20 \
      -rss_limit_mb=4096 -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/" "$fresh" "$corpus" \
      2>"$build/fuzz-$t.log"; then
    echo "fuzz $t: FINDING, see $build/fuzz-$t.log and $work/"
    status=1
  fi
  grep -E "^#[0-9]+.*(DONE|cov:)" "$build/fuzz-$t.log" | tail -1 || true
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/fuzz-$t.log" || true
  ASAN_OPTIONS=detect_leaks=0 "$build/tests/fuzz/fuzz_$t" -merge=1 -timeout=20 "$corpus" "$fresh" \
    >>"$build/fuzz-$t.log" 2>&1 || true
  echo "corpus $t: $(ls "$corpus" | wc -l) inputs"
done
exit $status
