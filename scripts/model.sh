#!/usr/bin/env bash
# Checks the broker's reclamation protocol (model/guard.pml) in every interleaving with spin:
# nothing freed while a thread may read it, no stale lookup, one thread per slot, no deadlock.
# About a minute and 2 GB of memory. Exit code 0 only when spin finds no error.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v spin >/dev/null || { echo "model.sh: spin is not installed (Debian package spin)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp model/guard.pml "$work/"
cd "$work"
spin -a guard.pml >/dev/null
gcc -O2 -w -DSAFETY -DCOLLAPSE -o pan pan.c
./pan -m1000000 -w26 > result.txt 2>&1 || true
grep -E "errors:|states, stored|elapsed time" result.txt
if grep -q "errors: 0" result.txt && ! grep -q "^pan:[0-9]" result.txt; then
  echo "model: no error in any interleaving"
else
  cat result.txt
  [ -f guard.pml.trail ] && spin -t -p guard.pml | tail -60
  echo "model: the protocol is broken (see the trail above)" >&2
  exit 1
fi
