#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a small outside program against
# it twice: with find_package(kzvol) and with pkg-config. Usage: install-check.sh BUILD_DIR
set -euo pipefail
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$top/tests/install" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/consumer"
libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n1)
PKG_CONFIG_PATH="$libdir" c++ -std=c++17 "$top/tests/install/consumer.cpp" -o "$work/consumer-pc" \
  $(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs kzvol)
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/consumer-pc"
echo "install check passed (find_package and pkg-config)"
