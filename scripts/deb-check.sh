#!/usr/bin/env bash
# Builds the Debian packages of a build (cpack) and installs both with dpkg -i into
# a throwaway copy of this machine's root: in a private mount namespace, /usr, /etc
# and /var get overlays whose upper layers live in a scratch directory and
# /usr/local an empty tmpfs, so the packages land where dpkg puts them, after
# dpkg's own dependency checks, and nothing outlives the check. There it runs
# `kzvol --version`, finds the manual page, builds the outside program of
# tests/install with find_package and with pkg-config (no extra paths) and runs it,
# then removes both packages and checks that nothing of them is left.
# Needs root. Usage: deb-check.sh BUILD_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

# The check proper, run inside the namespace: inside WORK_DIR
inside() {
  local work=$1
  for d in usr etc var; do
    mkdir -p "$work/$d-upper" "$work/$d-work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$work/$d-upper,workdir=$work/$d-work" "/$d"
  done
  mount -t tmpfs tmpfs /usr/local
  dpkg -i "$work"/kzvol_*.deb "$work"/libkzvol-dev_*.deb >"$work/dpkg.log" ||
    { cat "$work/dpkg.log" >&2; return 1; }

  local version
  version=$(kzvol --version)
  [ "$(command -v kzvol)" = /usr/bin/kzvol ] && [ "$version" = "kzvol $KZVOL_VERSION" ] ||
    { echo "installed kzvol: '$(command -v kzvol)' says '$version'" >&2; return 1; }
  [ -s /usr/share/man/man1/kzvol.1 ] || { echo "no manual page" >&2; return 1; }

  cmake -S "$work/consumer" -B "$work/consumer-build" -G Ninja >/dev/null
  cmake --build "$work/consumer-build" >/dev/null
  expect_quiet "$work/consumer-build/consumer"
  # shellcheck disable=SC2046
  c++ -std=c++17 "$work/consumer/consumer.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs kzvol)
  expect_quiet "$work/consumer-pc"

  dpkg -r libkzvol-dev kzvol >>"$work/dpkg.log"
  local left
  left=$(ls /usr/lib/libkzvol* /usr/include/kzvol /usr/bin/kzvol 2>/dev/null || true)
  [ -z "$left" ] || { echo "left after dpkg -r: $left" >&2; return 1; }
}

# Runs an outside program: it must succeed, say "consumer ok" and log nothing.
expect_quiet() {
  local out err
  out=$(env -u KZVOL_LOG -u KZVOL_LOG_LEVEL "$1" 2>/tmp/kzvol-consumer-stderr.$$) || true
  err=$(cat /tmp/kzvol-consumer-stderr.$$)
  rm -f /tmp/kzvol-consumer-stderr.$$
  [ "$out" = "consumer ok" ] && [ -z "$err" ] ||
    { echo "outside program $1: '$out', standard error: '$err'" >&2; return 1; }
}

if [ "${1:-}" = "--inside" ]; then
  inside "$2"
  exit
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "package check skipped: dpkg -i needs root"
  exit 0
fi
build=$(cd "$1" && pwd)
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build"/packages/*.deb "$work/"
mkdir "$work/consumer"
cp "$top/tests/install/consumer.cpp" "$top/tests/install/CMakeLists.txt" "$work/consumer/"
KZVOL_VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt") \
  unshare -m --propagation private "$0" --inside "$work"
echo "package check passed: $(cd "$work" && echo *.deb) installed with dpkg -i, used, removed"
