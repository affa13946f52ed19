#!/usr/bin/env bash
# Installs what is missing, builds every preset and passes every test:
# the Windows build first (its binaries are checked and run under Wine by the
# host tree's tests), then the host suite, then the suite under sanitizers,
# then the driver's concurrency tests under ThreadSanitizer (only their
# targets are built there).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh all
for preset in windows host host-asan host-tsan; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
done
echo "== test host"
ctest --preset host
echo "== test host-asan"
ctest --preset host-asan
echo "== test host-tsan"
ctest --preset host-tsan
