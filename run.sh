#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the bundled sample:
# reads sectors 2 and 3 of samples/sample.img raw with the retrying read.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kzvol_cli
./build/tools/kzvol read samples/sample.img --offset 2 --count 2 | tr -d '\0'
