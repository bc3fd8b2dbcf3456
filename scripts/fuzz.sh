#!/usr/bin/env bash
# Builds the libFuzzer targets (clang -m32, ASan + UBSan) and runs each for a bounded time.
#   KOV_FUZZ_SECONDS   seconds per target (default 60)
#   KOV_FUZZ_TARGETS   which targets (default: info_block request confirm)
# Seeds: the test providers' information blocks (from build/linux, built first if missing) and
# fuzz/seeds/request and fuzz/seeds/confirm. Corpora grow in build/fuzz/corpus and are reused by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${KOV_FUZZ_SECONDS:-60}"

cmake -S . -B build/fuzz -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-m32-clang.cmake \
  -DKOV_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only the fuzz programs: the module itself is not built with the fuzzer runtime.
cmake --build build/fuzz -j2 --target kov_fuzz_info_block kov_fuzz_request kov_fuzz_confirm \
  kov_fuzz_dump_info_seeds

# No leak check: LeakSanitizer cannot stop threads under qemu-user and hangs there. Under
# qemu-user, guest addresses stay below 3 GiB, where the sanitizer's shadow covers them (see
# scripts/test.sh); a native run ignores the variable.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
export QEMU_RESERVED_VA="${QEMU_RESERVED_VA:-0xc0000000}"
# RegisterProvider loads libraries under crash marks: keep them in the build tree.
export KOV_BROKER_STATE_DIR="${KOV_BROKER_STATE_DIR:-$PWD/build/fuzz/state}"
bin=build/fuzz/bin
info_corpus=build/fuzz/corpus/info
request_corpus=build/fuzz/corpus/request
confirm_corpus=build/fuzz/corpus/confirm
mkdir -p "$info_corpus" "$request_corpus" "$confirm_corpus"
if ! ls build/linux/bin/kov_test_*.so >/dev/null 2>&1; then
  cmake --preset linux >/dev/null && cmake --build --preset linux -j2
fi
# Every test provider's block, but for those made to crash or hang while they load.
seed_providers=()
for library in build/linux/bin/kov_test_*.so; do
  case "$library" in *_on_load.so) ;; *) seed_providers+=("$library") ;; esac
done
"$bin/kov_fuzz_dump_info_seeds" "$info_corpus" "${seed_providers[@]}"
cp fuzz/seeds/request/* "$request_corpus/"
cp fuzz/seeds/confirm/* "$confirm_corpus/"

# Under qemu-user a program's second thread breaks its first one: qemu keeps the descriptor
# table that the i386 thread pointer (%gs) is loaded from in memory every guest thread shares, so
# the entry the second thread set up for itself is what the first reloads on its way back from a
# signal. libFuzzer's memory watcher is such a thread, and its timeout alarm such a signal: from
# the first alarm on, the fuzzing thread runs on the watcher's thread pointer, a recursive lock it
# holds (SQLite's, ours) no longer knows its owner, and the next nested lock waits forever. So
# there the fuzzer starts no watcher (-rss_limit_mb=0). Single allocations stay limited, and a
# run whose memory grows without end still stops: the sanitizer reports it when the emulator's
# address space runs out. docs/internals.md has the trial that shows it.
limits=(-rss_limit_mb=1024)
[ -n "${KOV_32BIT_EMULATED:-}" ] && limits=(-rss_limit_mb=0 -malloc_limit_mb=1024)
# A finding stops the run with a nonzero status and leaves crash-* in build/fuzz; a target that
# does not end within two minutes of its time has hung.
run() { # target corpus
  echo "== fuzzing $1 for ${seconds}s"
  local rc=0
  (cd build/fuzz && timeout $((seconds + 120)) "../../$bin/kov_fuzz_$1" -max_total_time="$seconds" \
     -timeout=10 "${limits[@]}" -print_final_stats=1 "../../$2") || rc=$?
  [ $rc -eq 124 ] && echo "fuzz $1: did not end within $((seconds + 120)) s" >&2
  return $rc
}
# KOV_FUZZ_TARGETS picks the targets (default: all three).
status=0
for target in ${KOV_FUZZ_TARGETS:-info_block request confirm}; do
  run "$target" "build/fuzz/corpus/${target%_block}" || status=1
done
exit $status
