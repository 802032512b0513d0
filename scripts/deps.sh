#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# only those that are missing. Needs root when something is missing.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libssl-dev libacl1-dev libgtest-dev libgmock-dev
          libbenchmark-dev e2fsprogs util-linux clang libclang-rt-14-dev xfsprogs sleuthkit
          python3 dpkg-dev fuse3 libfuse3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y --no-install-recommends "${missing[@]}" ||
  { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
