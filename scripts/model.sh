#!/usr/bin/env bash
# Checks the broker's reclamation protocol (model/guard.pml) in every interleaving with spin:
# nothing freed while a thread may read it, no stale lookup, one thread per slot, no deadlock,
# nothing left unfreed once every thread has left. Two runs: two reloads with the module attached
# throughout, and a reload racing the detach. About 25 seconds and 1 GB of memory. Exit code 0
# only when spin finds no error in either.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v spin >/dev/null || { echo "model.sh: spin is not installed (Debian package spin)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp model/guard.pml "$work/"
cd "$work"
status=0
for run in "-DDETACH=0 -DRELOADS=2" "-DDETACH=1 -DRELOADS=1"; do
  # shellcheck disable=SC2086 # two options in one word on purpose
  spin $run -a guard.pml >/dev/null
  gcc -O2 -w -DSAFETY -DCOLLAPSE -o pan pan.c
  ./pan -m1000000 -w26 > result.txt 2>&1 || true
  echo "model ($run): $(grep -E "errors:|states, stored" result.txt | tr -s ' \n' ' ')"
  if ! grep -q "errors: 0" result.txt || grep -q "^pan:[0-9]" result.txt; then
    cat result.txt
    # shellcheck disable=SC2086
    [ -f guard.pml.trail ] && spin $run -t -p guard.pml | tail -60
    echo "model ($run): the protocol is broken (see the trail above)" >&2
    status=1
  fi
  rm -f guard.pml.trail pan pan.* result.txt
done
[ $status -eq 0 ] && echo "model: no error in any interleaving"
exit $status
