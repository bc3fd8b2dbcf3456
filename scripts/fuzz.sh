#!/usr/bin/env bash
# Builds the libFuzzer targets (clang -m32, ASan + UBSan) and runs each for a bounded time.
#   KOV_FUZZ_SECONDS   seconds per target (default 60)
#   KOV_FUZZ_TARGETS   which targets (default: info_block request)
# Seeds: the test providers' information blocks (from build/linux, built first if missing) and
# fuzz/seeds/request. Corpora grow in build/fuzz/corpus and are reused by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${KOV_FUZZ_SECONDS:-60}"

cmake -S . -B build/fuzz -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-m32-clang.cmake \
  -DKOV_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only the fuzz programs: the module itself is not built with the fuzzer runtime.
cmake --build build/fuzz -j2 --target kov_fuzz_info_block kov_fuzz_request kov_fuzz_dump_info_seeds

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
mkdir -p "$info_corpus" "$request_corpus"
if ! ls build/linux/bin/kov_test_*.so >/dev/null 2>&1; then
  cmake --preset linux >/dev/null && cmake --build --preset linux -j2
fi
"$bin/kov_fuzz_dump_info_seeds" "$info_corpus" build/linux/bin/kov_test_*.so
cp fuzz/seeds/request/* "$request_corpus/"

# A finding stops the run with a nonzero status and leaves crash-* in build/fuzz.
run() { # target corpus
  echo "== fuzzing $1 for ${seconds}s"
  (cd build/fuzz && "../../$bin/kov_fuzz_$1" -max_total_time="$seconds" -timeout=10 \
     -rss_limit_mb=1024 -print_final_stats=1 "../../$2")
}
# KOV_FUZZ_TARGETS picks the targets (default: both).
for target in ${KOV_FUZZ_TARGETS:-info_block request}; do
  run "$target" "build/fuzz/corpus/${target%_block}"
done
