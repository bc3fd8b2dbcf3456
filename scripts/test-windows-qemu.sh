#!/usr/bin/env bash
# Runs the whole Windows test suite where Wine's 32-bit side runs under qemu-user (kernels
# without 32-bit support), which scripts/test.sh leaves out there. Wine starts under qemu-user
# with the fix cmake/wine-run.sh preloads, but programs whose threads run side by side crash
# or hang, so expect the threaded tests (unit, integration) to fail here for that reason; a
# failure in a single-threaded test is worth a look. Slow: ~8 to 15 minutes on two cores.
# Extra arguments go to ctest (e.g. -R kovctl_broker).
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || exit 1
cmake --preset windows >/dev/null && cmake --build --preset windows -j 2 || exit 1

# A fresh prefix: a test that crashed may have left registrations behind in the last one.
prefix="$PWD/build/windows/wineprefix"
WINEPREFIX="$prefix" timeout 10 wineserver -k 2>/dev/null
rm -rf "$prefix"

ctest --preset windows -j 2 "$@"
status=$?
WINEPREFIX="$prefix" timeout 10 wineserver -k 2>/dev/null
exit $status
