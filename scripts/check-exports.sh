#!/usr/bin/env bash
# Compares the symbols listed in cmake/libkzvol.sym with (1) what the built
# libkzvol.so exports and (2) what the library's objects declare exported (default
# visibility), so that a symbol added, renamed or removed without updating the
# list fails; and (3) checks that every listed symbol is declared in an installed
# header (cmake/PublicHeaders.cmake) or belongs to the directory reader's classes,
# the one family exported beyond the installed headers. Template code the standard library instantiates is not ours and is
# left out of (2). Usage: check-exports.sh BUILD_DIR [--write]
# With --write the list is rewritten from (2), for a change that adds, renames or
# removes exported symbols on purpose; review the diff of cmake/libkzvol.sym.
set -euo pipefail
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C

# Mangled names in, names as the list writes them out (C ones unchanged).
demangle() { c++filt -i | sort -u; }
not_std() { grep -vE '^(([A-Za-z0-9_:<>,*& ]+) )?(std|__gnu_cxx)::' || true; }

sed -n 's/^ *"\(.*\)";$/\1/p; s/^    \([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$top/cmake/libkzvol.sym" |
  sort -u >"$work/listed"

nm -D --defined-only "$build/libkzvol.so" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | demangle \
  >"$work/exported"

readelf -sW "$build/libkzvol_static.a" |
  awk '($5 == "GLOBAL" || $5 == "WEAK" || $5 == "UNIQUE") && $6 == "DEFAULT" && $7 != "UND" {
         print $8 }' | demangle | not_std >"$work/declared"

if [ "${2:-}" = "--write" ]; then
  sym="$top/cmake/libkzvol.sym"
  {
    sed '/^    extern "C++" {$/q' "$sym"
    grep -v '^[A-Za-z_][A-Za-z0-9_]*$' "$work/declared" | sed 's/.*/      "&";/'
    echo '    };'
    grep '^[A-Za-z_][A-Za-z0-9_]*$' "$work/declared" | sed 's/.*/    &;/'
    printf '  local:\n    *;\n};\n'
  } >"$work/sym"
  mv "$work/sym" "$sym"
  echo "rewrote cmake/libkzvol.sym: $(wc -l <"$work/declared") symbols"
  exit 0
fi

# The name a symbol is declared under: its class, or the function or variable.
declared_name() {
  sed -E 's/^(typeinfo name for|typeinfo for|vtable for|VTT for|non-virtual thunk to|virtual thunk to) //;
          s/^[^(]* ([A-Za-z_:~]+\()/\1/; s/\(.*//; s/^kzvol:://; s/::.*//; s/<.*//; s/\[abi:.*//'
}
headers=$(sed -n 's|^  \([a-z]*/[A-Za-z0-9_]*\.h\)$|'"$top"'/\1|p' "$top/cmake/PublicHeaders.cmake")
while IFS= read -r symbol; do
  name=$(printf '%s\n' "$symbol" | declared_name)
  grep -qw -- "$name" $headers "$top"/rdfd/*.h || echo "$symbol"
done <"$work/listed" >"$work/foreign"

status=0
if [ -s "$work/foreign" ]; then
  echo "exported but declared in no installed header (cmake/PublicHeaders.cmake):" >&2
  cat "$work/foreign" >&2
  status=1
fi
for what in exported declared; do
  if ! diff -u --label listed --label "$what" "$work/listed" "$work/$what" >"$work/diff"; then
    echo "cmake/libkzvol.sym differs from the symbols the library $what:" >&2
    grep '^[-+][^-+]' "$work/diff" >&2
    status=1
  fi
done
[ $status -eq 0 ] || echo "when the change is meant: scripts/check-exports.sh $build --write" >&2
[ $status -eq 0 ] && echo "exports match cmake/libkzvol.sym ($(wc -l <"$work/listed") symbols)"
exit $status
