#!/usr/bin/env bash
# Times the on-disk directory reader against its peers on one realistic ext3 image:
# about FILES (default 100000) objects, 4 KiB blocks, hashed directories (e2fsck -fyD),
# three directories of 5000 entries, symbolic and hard links, a deep chain.
#
# Warm (page cache holding the image): ROUNDS alternating runs of the depth-first
# walker, the optimized walker, `kzvol index` (and --optimized: the walkers plus
# the file-index table), fls -r -p and e2fsck -fn; the median of each and the
# ratios. As root, the same again with the caches dropped before every run, plus
# find over the image mounted read-only on a loop device.
#
# The walkers run through bench/rdfd_walk (lseek + read per device read, a counting
# mapping callback), which also reports the device bytes read, the read calls and
# the share of reads that go backwards.
#
#   bench/rdfd_bench.sh            # BUILD=build ROUNDS=5 FILES=100000 WORK=/tmp/kzvol-rdfd-bench
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
rounds=${ROUNDS:-5}
files=${FILES:-100000}
work=${WORK:-/tmp/kzvol-rdfd-bench}
image=$work/ext3-$files.img

cmake --build "$build" --target rdfd_walk kzvol_cli >/dev/null
walk=$build/bench/rdfd_walk
kzvol=$build/tools/kzvol

make_image() {
  rm -rf "$work/tree" "$image"
  mkdir -p "$work"
  python3 bench/make_rdfd_tree.py "$work/tree" "$files"
  truncate -s 2G "$image"
  mke2fs -q -F -t ext3 -b 4096 -N $((files * 2)) -d "$work/tree" "$image"
  e2fsck -fyD "$image" >/dev/null 2>&1 || [ $? -le 1 ]  # 1: directories were optimized
  rm -rf "$work/tree"
}
[ -f "$image" ] || make_image

now() { date +%s.%N; }
# CPU seconds (user + system) of the shell's finished children, from `times` output.
children_cpu() {
  awk 'NR == 2 { gsub(/s/, ""); split($1, u, "m"); split($2, k, "m");
                 printf "%.4f", u[1] * 60 + u[2] + k[1] * 60 + k[2] }' "$1"
}
# Runs a command once, output discarded; prints "wall:cpu" in seconds. The CPU time
# is kept beside the wall time because the machine may be shared.
timed() {
  local start end before after
  before=$(mktemp) after=$(mktemp)
  times >"$before"  # in this shell: a command substitution would see no children
  start=$(now)
  "$@" >/dev/null 2>&1 || true
  end=$(now)
  times >"$after"
  awk -v a="$start" -v b="$end" -v c="$(children_cpu "$before")" -v d="$(children_cpu "$after")" \
    'BEGIN { printf "%.4f:%.4f\n", b - a, d - c }'
  rm -f "$before" "$after"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }

declare -A runs
tools=(imgpod virtualpod index index-opt fls e2fsck)
run_tool() {
  case $1 in
    imgpod | virtualpod) timed "$walk" "$1" "$image" ;;
    # Each run writes a new table, as a job does: the previous run's files are
    # removed outside the timed part.
    index) rm -f "$work"/table.* && timed "$kzvol" index "$image" --table "$work/table" ;;
    index-opt) rm -f "$work"/table.* && timed "$kzvol" index "$image" --table "$work/table" --optimized ;;
    fls) timed fls -r -p "$image" ;;
    e2fsck) timed e2fsck -fn "$image" ;;
    find) timed find "$mnt" ;;
  esac
}

# One pass of every tool per round, in turn, so that drift hits all alike.
measure() {
  local label=$1 prepare=$2
  shift 2
  local tool r
  for tool in "$@"; do runs[$label.$tool]=""; done
  for ((r = 0; r < rounds; r++)); do
    for tool in "$@"; do
      $prepare
      runs[$label.$tool]+="$(run_tool "$tool") "
    done
  done
}

# Prints the median wall and CPU time of each tool; sets med[label.tool] (wall) and
# cpu[label.tool].
report() {
  local label=$1
  shift
  local tool
  declare -gA med cpu
  for tool in "$@"; do
    med[$label.$tool]=$(tr ' ' '\n' <<<"${runs[$label.$tool]}" | grep . | cut -d: -f1 | median)
    cpu[$label.$tool]=$(tr ' ' '\n' <<<"${runs[$label.$tool]}" | grep . | cut -d: -f2 | median)
    printf '%-5s %-10s wall %7.4f s  cpu %7.4f s   runs (wall:cpu): %s\n' "$label" "$tool" \
      "${med[$label.$tool]}" "${cpu[$label.$tool]}" "${runs[$label.$tool]}"
  done
}
# "a/b wall-ratio (cpu-ratio)" for two tools of one label.
cmp() { echo "$2/$3 $(ratio "${med[$1.$2]}" "${med[$1.$3]}") ($(ratio "${cpu[$1.$2]}" "${cpu[$1.$3]}") cpu)"; }

echo "image: $image"
dumpe2fs -h "$image" 2>/dev/null | grep -E '^(Inode count|Block count|Block size|Inode size):'
inodes=$(dumpe2fs -h "$image" 2>/dev/null | awk -F: '/^Inode count/ { print $2 + 0 }')
isize=$(dumpe2fs -h "$image" 2>/dev/null | awk -F: '/^Inode size/ { print $2 + 0 }')
for tool in imgpod virtualpod; do
  out=$("$walk" "$tool" "$image" 2>/dev/null)
  echo "$out"
  line=$(head -1 <<<"$out")
  dirbytes=$(sed -E 's/.* dirbytes=([0-9]+).*/\1/' <<<"$line")
  bytes=$(sed -E 's/.* bytes=([0-9]+).*/\1/' <<<"$line")
  echo "  $tool read $bytes bytes = $(ratio "$bytes" $((inodes * isize + dirbytes))) x" \
    "(inode tables $((inodes * isize)) + directories $dirbytes bytes)"
done

for tool in "${tools[@]}"; do run_tool "$tool" >/dev/null; done  # warm the page cache
measure warm : "${tools[@]}"
report warm "${tools[@]}"
echo "warm: $(cmp warm fls imgpod), $(cmp warm fls virtualpod) (goal >= 4)"
echo "warm: $(cmp warm e2fsck imgpod), $(cmp warm e2fsck virtualpod) (goal >= 1)"
echo "warm: $(cmp warm fls index), $(cmp warm fls index-opt) (goal >= 4)"
echo "warm: $(cmp warm e2fsck index), $(cmp warm e2fsck index-opt) (goal >= 1)"
echo "warm: $(cmp warm fls e2fsck)"

if [ "$(id -u)" -ne 0 ]; then
  echo "cold runs skipped: they need root"
  exit 0
fi
mnt=$(mktemp -d)
loop=$(losetup -f --show -r "$image")
cleanup() {
  umount "$mnt" 2>/dev/null || true
  losetup -d "$loop" 2>/dev/null || true
  rmdir "$mnt"
}
trap cleanup EXIT
mount -t ext3 -o ro "$loop" "$mnt"
measure cold drop_caches "${tools[@]}" find
report cold "${tools[@]}" find
echo "cold: $(cmp cold e2fsck imgpod), $(cmp cold e2fsck virtualpod) (goal >= 1 for virtualpod)"
echo "cold: $(cmp cold e2fsck index), $(cmp cold e2fsck index-opt)"
echo "cold: $(cmp cold fls virtualpod), $(cmp cold find virtualpod), $(cmp cold find imgpod)"

# Where the cold time goes: each walker's reads by size (the inode cache reads
# 64 KiB or 8 KiB buffers, the optimized walker's block cache 32 KiB).
echo "cold read profile:"
for tool in imgpod virtualpod; do
  drop_caches
  "$walk" "$tool" "$image" 2>/dev/null
done
