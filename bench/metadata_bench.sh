#!/usr/bin/env bash
# Times metadata collection on one ext3 image of about FILES (default 100000)
# objects (the directory reader benchmark's tree), mounted read-only on a loop
# device in a private mount namespace. Needs root.
#
# 1. The mounted-tree walk (DumpFileListToCTree through bench/metadata_walk, into a
#    new file-index table) against find -printf '%i %s %T@ %p\n' on the same mount,
#    alternating, ROUNDS each, warm page cache; the median of each and the ratio
#    find / walk (goal >= 1.0), in wall and in CPU time.
# 2. The whole collection, `kzvol metadata --skip-snap-mount`, by the on-disk reader
#    against the same with the reader switched off (dDisableNewMetaData=1).
#
#   bench/metadata_bench.sh        # BUILD=build ROUNDS=5 FILES=100000 WORK=/tmp/kzvol-metadata-bench
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
rounds=${ROUNDS:-5}
files=${FILES:-100000}
work=${WORK:-/tmp/kzvol-metadata-bench}
image=$work/ext3-$files.img
[ "$(id -u)" -eq 0 ] || { echo "metadata_bench.sh: needs root" >&2; exit 1; }

if [ -z "${KZVOL_BENCH_NS:-}" ]; then  # again inside a private mount namespace
  cmake --build "$build" --target metadata_walk kzvol_cli >/dev/null
  KZVOL_BENCH_NS=1 exec unshare -m --propagation private "$0" "$@"
fi
walker=$build/bench/metadata_walk
kzvol=$build/tools/kzvol

if [ ! -f "$image" ]; then
  rm -rf "$work/tree"
  mkdir -p "$work"
  python3 bench/make_rdfd_tree.py "$work/tree" "$files"
  truncate -s 2G "$image"
  mke2fs -q -F -t ext3 -b 4096 -N $((files * 2)) -d "$work/tree" "$image"
  e2fsck -fyD "$image" >/dev/null 2>&1 || [ $? -le 1 ]
  rm -rf "$work/tree"
fi
mnt=$work/mnt
mkdir -p "$mnt"
loop=$(losetup -f --show -r "$image")
cleanup() {
  umount "$mnt" 2>/dev/null || true
  losetup -d "$loop" 2>/dev/null || true
}
trap cleanup EXIT
mount -t ext3 -o ro "$loop" "$mnt"
echo "image: $image on $loop at $mnt ($(find "$mnt" | wc -l) objects)"

now() { date +%s.%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# CPU seconds (user + system) of the shell's finished children, from `times` output.
children_cpu() {
  awk 'NR == 2 { gsub(/s/, ""); split($1, u, "m"); split($2, k, "m");
                 printf "%.4f", u[1] * 60 + u[2] + k[1] * 60 + k[2] }' "$1"
}
# One run, output discarded: "wall:cpu" in seconds (the CPU time beside the wall
# time because the machine may be shared).
timed() {
  local start end before after
  before=$(mktemp) after=$(mktemp)
  times >"$before"
  start=$(now)
  "$@" >/dev/null 2>&1
  end=$(now)
  times >"$after"
  awk -v a="$start" -v b="$end" -v c="$(children_cpu "$before")" -v d="$(children_cpu "$after")" \
    'BEGIN { printf "%.4f:%.4f\n", b - a, d - c }'
  rm -f "$before" "$after"
}

registry=$work/registry.ini
printf '[UnixImagePOD]\ndDisableNewMetaData=1\n' >"$registry"
out=$work/out
mkdir -p "$out"
declare -A runs
# Appends one run of $1 to runs[$1]. In a function (not a command substitution), so
# that `times` sees the runs as children of this shell.
run() {
  local tmp
  tmp=$(mktemp)
  case $1 in
    find) timed find "$mnt" -printf '%i %s %T@ %p\n' >"$tmp" ;;
    walk) rm -f "$out"/walk.*; timed "$walker" "$mnt" "$out/walk" >"$tmp" ;;
    reader) timed "$kzvol" metadata "$mnt" --table "$out/t" --volinfo "$out/vi" \
              --skip-snap-mount >"$tmp" ;;
    walk-collection) KZVOL_CONFIG=$registry timed "$kzvol" metadata "$mnt" --table "$out/t" \
                       --volinfo "$out/vi" --skip-snap-mount >"$tmp" ;;
  esac
  runs[$1]+="$(cat "$tmp") "
  rm -f "$tmp"
}
tools=(find walk reader walk-collection)
for t in "${tools[@]}"; do run "$t"; runs[$t]=""; done  # warm the page cache
"$walker" "$mnt" "$out/walk"
for ((r = 0; r < rounds; r++)); do
  for t in "${tools[@]}"; do run "$t"; done
done
declare -A med cpu
for t in "${tools[@]}"; do
  med[$t]=$(tr ' ' '\n' <<<"${runs[$t]}" | grep . | cut -d: -f1 | median)
  cpu[$t]=$(tr ' ' '\n' <<<"${runs[$t]}" | grep . | cut -d: -f2 | median)
  printf '%-16s wall %7.4f s  cpu %7.4f s   runs (wall:cpu): %s\n' "$t" "${med[$t]}" \
    "${cpu[$t]}" "${runs[$t]}"
done
echo "find/walk (walk into a new table, closed): $(ratio "${med[find]}" "${med[walk]}")" \
  "($(ratio "${cpu[find]}" "${cpu[walk]}") cpu) (goal >= 1.0)"
echo "whole collection, walk/reader: $(ratio "${med[walk-collection]}" "${med[reader]}")" \
  "($(ratio "${cpu[walk-collection]}" "${cpu[reader]}") cpu)"
