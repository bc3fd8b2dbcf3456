#!/usr/bin/env bash
# Checks the broker's shared state in every interleaving with spin (model/*.pml):
#   guard.pml        the reclamation protocol: nothing freed while a thread may read it, no stale
#                    lookup, one thread per slot, no deadlock, nothing left unfreed; two runs: two
#                    reloads with the module attached throughout, and a reload racing the detach;
#   thread_life.pml  a thread's first call, its end in rounds of key destructors, a call it never
#                    left, and the detach at any moment: each event closed once, the key never
#                    used once deleted, nothing of an ended thread left behind;
#   sync_calls.pml   a synchronous call's wait entry: no call takes a confirm but its own, however
#                    many calls come between; no event set after its thread closed it;
#   trace_ring.pml   a traced thread's ring and the `kovctl trace` taking from it: no record read
#                    half-written or overwritten, each taken once in order or counted as dropped.
# Each model also runs in the earlier forms of the protocol that its BEFORE_* switches name, and
# spin must find the fault there: a model that cannot fail proves nothing. About a minute and
# 1 GB of memory. Exit code 0 only when every run went as expected.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v spin >/dev/null || { echo "model.sh: spin is not installed (Debian package spin)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp model/*.pml "$work/"
cd "$work"
status=0

# check MODEL EXPECT OPTIONS: EXPECT is "holds" or "fails".
check() {
  local model=$1 expect=$2 options=$3
  # shellcheck disable=SC2086 # several options in one word on purpose
  spin $options -a "$model.pml" >/dev/null
  gcc -O2 -w -DSAFETY -DCOLLAPSE -o pan pan.c
  ./pan -m1000000 -w26 > result.txt 2>&1 || true
  local found=holds
  if ! grep -q "errors: 0" result.txt || grep -q "^pan:[0-9]" result.txt; then found=fails; fi
  echo "model $model ($options): $(grep -E "errors:|states, stored" result.txt | tr -s ' \n' ' ')"
  if [ "$found" != "$expect" ]; then
    if [ "$expect" = holds ]; then
      cat result.txt
      # shellcheck disable=SC2086
      [ -f "$model.pml.trail" ] && spin $options -t -p "$model.pml" | tail -60
      echo "model $model ($options): the protocol is broken (see the trail above)" >&2
    else
      echo "model $model ($options): this earlier form should fail and does not: the model no" \
           "longer sees the fault it was built to catch" >&2
    fi
    status=1
  fi
  rm -f ./*.trail pan pan.* result.txt
}

check guard holds "-DDETACH=0 -DRELOADS=2"
check guard holds "-DDETACH=1 -DRELOADS=1"
check thread_life holds "-DDETACH=1"
check thread_life holds "-DDETACH=0"
check thread_life fails "-DDETACH=1 -DBEFORE_HANDBACK=1" # an event closed twice at the exit
check thread_life fails "-DDETACH=0 -DBEFORE_LATE=1"     # a slot kept by a call in the last round
check thread_life fails "-DDETACH=1 -DBEFORE_CLAIM=1"    # the key set as the detach deletes it
check sync_calls holds ""
check sync_calls fails "-DBEFORE_QUARANTINE=1"           # a late confirm taken by a later call
check trace_ring holds ""
check trace_ring fails "-DPUBLISH_FIRST=1"                # a record read as it is written
check trace_ring fails "-DRELEASE_FIRST=1"                # a record overwritten as it is read
[ $status -eq 0 ] && echo "model: no error in any interleaving; every earlier form fails as expected"
exit $status
