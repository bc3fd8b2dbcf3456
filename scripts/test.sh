#!/usr/bin/env bash
# Builds both targets and runs every test: Linux (g++ -m32) natively, Windows (MinGW) under Wine,
# and the Linux tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
# Installs what is missing first; safe to re-run.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || exit 1

status=0
for preset in linux windows linux-asan; do
  echo "== $preset =="
  if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j 2; then
    ctest --preset "$preset" -j 2 || status=1
  else
    echo "$preset: build failed"
    status=1
  fi
done

# Leave no Wine server of the build's prefix behind.
WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -k 2>/dev/null || true
exit $status
