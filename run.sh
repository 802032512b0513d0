#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the bundled default:
# builds a small ext3 image from a fixed tree (no root needed), indexes it straight
# from the image with the on-disk directory reader into a file-index table, and
# lists the table: the root, one directory, one path, then every row.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kzvol_cli
out=build/sample
./scripts/make-sample-image.sh "$out"
kzvol=./build/tools/kzvol
$kzvol index "$out/sample-ext3.img" --table "$out/index" --volinfo "$out/volinfo"
echo "--- kzvol ls $out/index /"
$kzvol ls "$out/index" /
echo "--- kzvol ls $out/index /srv/www"
$kzvol ls "$out/index" /srv/www
echo "--- kzvol find $out/index /var/log/huge.sparse"
$kzvol find "$out/index" /var/log/huge.sparse
echo "--- kzvol rows $out/index"
$kzvol rows "$out/index"
