#!/usr/bin/env bash
# Installs what is missing, builds every preset and passes every test:
# the Windows build first (its binaries are checked and run under Wine by the
# host tree's tests), then the host suite, then the suite under sanitizers,
# then the driver's concurrency tests under ThreadSanitizer (only their
# targets are built there), then the libFuzzer targets built with clang, each
# run briefly on its corpus (the fuzz preset). Every step prints its time.
# Builds go through ccache where it is installed (setup installs it): a
# repeated run on the same machine then compiles only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
t0=$(date +%s)
times=()
step_name=
step_start=0
begin() { echo "== $1"; step_name=$1; step_start=$(date +%s); }
# end [NOTE]: the current step's time, printed and kept for the summary.
end() {
  local took=$(( $(date +%s) - step_start ))
  times+=("$(printf '%-22s %4d:%02d%s' "$step_name" $((took / 60)) $((took % 60)) "${1:+  $1}")")
  echo "== $step_name: $((took / 60)) min $((took % 60)) s${1:+ ($1)}"
  step_name=
}
# A step that stops the run (set -e) still has its time in the summary.
summary() {
  [ -z "$step_name" ] || end failed
  local total=$(( $(date +%s) - t0 ))
  echo "== step times"
  printf '  %s\n' "${times[@]}"
  printf '  %-22s %4d:%02d\n' total $((total / 60)) $((total % 60))
}
trap summary EXIT

begin "setup"
scripts/setup.sh all
end

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
for preset in windows host host-asan host-tsan fuzz; do
  begin "build $preset"
  cmake --preset "$preset" "${launcher[@]}" >/dev/null
  cmake --build --preset "$preset" -j2
  end
done
# The host suite label by label (the Wine checks say how Wine ran: native,
# emulated or skipped, with the reason).
for label in wine qemu; do
  begin "test host: $label"
  ctest --preset host -L "^$label\$"
  end
done
begin "test host: the rest"
ctest --preset host -LE '^(wine|qemu)$'
end
begin "test host-asan"
ctest --preset host-asan
end
begin "test host-tsan"
ctest --preset host-tsan
end
begin "test fuzz"
ctest --preset fuzz
end
