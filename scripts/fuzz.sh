#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz and runs each for a bounded time
# (FUZZ_SECONDS, default 30; about four minutes for all eight): the
# directory reader on the seed images in fuzz/seeds, the file-index table reader,
# the mount-table reader, the word lists and qnbf.conf, the INI registry, the hash
# files, the stand-in's state file and the backup manifest, each from its seeds
# in fuzz/seeds/TARGET.
# Exits non-zero on any crash, sanitizer report or timeout; the input that caused
# it is left in build-fuzz/ as crash-*, timeout-* or oom-*.
# Usage: fuzz.sh [rdfd|fstree|mounttable|wordlist|ini|hashfile|emustate|manifest]...
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(rdfd fstree mounttable wordlist ini hashfile emustate manifest)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKZVOL_BUILD_FUZZ=ON \
  -DKZVOL_BUILD_TESTS=OFF -DKZVOL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target "${targets[@]/%/_fuzz}"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  corpus=build-fuzz/$target-corpus
  mkdir -p "$corpus"
  if [ "$target" = rdfd ]; then
    for seed in fuzz/seeds/*.img.gz; do
      gunzip -c "$seed" >"$corpus/$(basename "${seed%.gz}")"
    done
  elif [ -d "fuzz/seeds/$target" ]; then
    cp fuzz/seeds/"$target"/* "$corpus/"
  fi
  echo "fuzzing $target for $seconds s"
  build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len=262144 -print_final_stats=1 -artifact_prefix=build-fuzz/ "$corpus"
done
