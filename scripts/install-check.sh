#!/usr/bin/env bash
# Installs a build into a scratch prefix, compiles every installed header on its
# own with warnings as errors, and builds a small outside program against the
# install twice: with find_package(kzvol) and with pkg-config. The program must
# print "consumer ok" and nothing on standard error (the library is quiet unless
# asked). Usage: install-check.sh BUILD_DIR
set -euo pipefail
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
include="$work/prefix/include/kzvol"

# Each header alone, with only the install's include dir on the path.
while IFS= read -r header; do
  rel=${header#"$include"/}
  printf '#include "%s"\n' "$rel" |
    c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$include" -x c++ - ||
    { echo "installed header $rel does not compile on its own" >&2; exit 1; }
done < <(find "$include" -name '*.h' | sort)

# Runs an outside program; it must succeed, say "consumer ok" and log nothing.
run_quiet() {
  local out err
  out=$(env -u KZVOL_LOG -u KZVOL_LOG_LEVEL "$@" 2>"$work/stderr") || true
  err=$(cat "$work/stderr")
  [ "$out" = "consumer ok" ] && [ -z "$err" ] ||
    { echo "outside program: '$out', standard error: '$err'" >&2; exit 1; }
}

cmake -S "$top/tests/install" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n1)
LD_LIBRARY_PATH="$(dirname "$libdir")" run_quiet "$work/consumer/consumer"
PKG_CONFIG_PATH="$libdir" c++ -std=c++17 "$top/tests/install/consumer.cpp" -o "$work/consumer-pc" \
  $(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs kzvol)
LD_LIBRARY_PATH="$(dirname "$libdir")" run_quiet "$work/consumer-pc"
echo "install check passed: $(find "$include" -name '*.h' | wc -l) headers, find_package, pkg-config"
