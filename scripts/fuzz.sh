#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz and runs the directory reader's
# target for a bounded time (FUZZ_SECONDS, default 60) on the seed images in
# fuzz/seeds. Exits non-zero on any crash, sanitizer report or timeout; the input
# that caused it is left in build-fuzz/ as crash-*, timeout-* or oom-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKZVOL_BUILD_FUZZ=ON \
  -DKZVOL_BUILD_TESTS=OFF -DKZVOL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target rdfd_fuzz

corpus=build-fuzz/rdfd-corpus
mkdir -p "$corpus"
for seed in fuzz/seeds/*.img.gz; do
  gunzip -c "$seed" >"$corpus/$(basename "${seed%.gz}")"
done
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build-fuzz/fuzz/rdfd_fuzz -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
  -max_len=262144 -print_final_stats=1 -artifact_prefix=build-fuzz/ "$corpus"
