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

# A finding stops the run with a nonzero status and leaves crash-* in build/fuzz. A target that
# does not end on its own within two minutes of its time was stopped by something else: a fault
# where 32-bit programs run natively; where they run under qemu-user (KOV_32BIT_EMULATED, set by
# scripts/test.sh), the emulator's own stall (see docs/internals.md, "Fuzzing under emulation"),
# which is said and not counted.
run() { # target corpus
  echo "== fuzzing $1 for ${seconds}s"
  local rc=0
  (cd build/fuzz && timeout $((seconds + 120)) "../../$bin/kov_fuzz_$1" -max_total_time="$seconds" \
     -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 "../../$2") || rc=$?
  if [ $rc -eq 124 ] && [ -n "${KOV_32BIT_EMULATED:-}" ]; then
    echo "fuzz $1: stalled under qemu-user and was stopped after $((seconds + 120)) s (the emulator's stall, not counted; a native machine runs it to its end)"
    return 0
  fi
  [ $rc -eq 124 ] && echo "fuzz $1: did not end within $((seconds + 120)) s" >&2
  return $rc
}
# KOV_FUZZ_TARGETS picks the targets (default: all three).
status=0
for target in ${KOV_FUZZ_TARGETS:-info_block request confirm}; do
  run "$target" "build/fuzz/corpus/${target%_block}" || status=1
done
exit $status
