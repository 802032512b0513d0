#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds with warnings as errors,
# checks the library's exports against its version script, runs the unit and
# system tests, checks the installed headers and an outside program, builds the
# Debian packages and installs them into a clean root, then runs everything again
# under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DKZVOL_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
./scripts/check-exports.sh build
ctest --test-dir build -L unit --output-on-failure -j "$jobs"
if [ "$(id -u)" -eq 0 ]; then
  ctest --test-dir build -L system --output-on-failure
else
  echo "system tests skipped: they need root"
fi
./scripts/install-check.sh build
./scripts/deb-check.sh build

cmake -S . -B build-asan -G Ninja -DKZVOL_WERROR=ON -DKZVOL_SANITIZE=ON \
  -DKZVOL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan -L unit --output-on-failure -j "$jobs"
if [ "$(id -u)" -eq 0 ]; then
  ctest --test-dir build-asan -L system --output-on-failure
fi
# The fuzz targets (directory reader, file-index table reader), about a minute each.
./scripts/fuzz.sh
