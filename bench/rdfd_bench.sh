#!/usr/bin/env bash
# Times the on-disk directory reader against its peers on ext3 images (4 KiB blocks,
# hashed directories by e2fsck -fyD) of two kinds, built by bench/make_rdfd_tree.py:
#   own     small files (under 4 KiB), three directories of 5000 entries, symbolic and
#           hard links, a deep chain;
#   spread  shaped like a system and home disk: file sizes over orders of magnitude
#           (data between the metadata), deep and wide trees, large directories, links.
# Images are cached in WORK as ext3-KIND-FILES.img (an older ext3-FILES.img is taken
# as the own kind, by a hard link, not rebuilt).
#
# Per image, warm (page cache holding the image): ROUNDS alternating runs of the
# depth-first walker, the optimized walker (through bench/rdfd_walk), `kzvol index`
# and `kzvol index --optimized` (the walkers plus the file-index table), fls -r -p and
# e2fsck -fn. As root, the same again with the caches dropped before every run (the
# program and its libraries read back in before the clock starts), plus find over the
# image mounted read-only on a loop device. Every run goes through GNU time: the
# medians of wall time, CPU time (user + system), peak memory and, cold, the device
# bytes the run caused to be read. Then the peer/kzvol ratios against their goals, and
# the bytes read against what a reader must read: the inode-table blocks holding an
# inode in use plus every directory block (with its indirect blocks; without root
# only the directory sizes the walker reports).
#
#   bench/rdfd_bench.sh     # BUILD=build ROUNDS=5 FILES=100000 KIND=own WORK=/tmp/kzvol-rdfd-bench
#   FILES=100000,1000000 KIND=own,spread bench/rdfd_bench.sh   # the full run, every pair
# The first full run builds the 1,000,000-file images: 4 GiB (own, 2.6 GB in use) and
# 17 GiB (spread, 14 GB in use) image files, writing the tree of the spread one (14 GB)
# in WORK on the way; removing that tree takes longer than writing it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
rounds=${ROUNDS:-5}
work=${WORK:-/tmp/kzvol-rdfd-bench}
IFS=, read -ra file_counts <<<"${FILES:-100000}"
IFS=, read -ra kinds <<<"${KIND:-own}"
root=0
[ "$(id -u)" -ne 0 ] || root=1

cmake --build "$build" --target rdfd_walk kzvol_cli >/dev/null
walk=$build/bench/rdfd_walk
kzvol=$build/tools/kzvol
mkdir -p "$work"
scratch=$(mktemp -d "$work/run.XXXXXX")  # tables written by kzvol index, timing files
loop="" mnt=""
attach() {
  mnt=$(mktemp -d)
  loop=$(losetup -f --show -r "$image")
  mount -t ext3 -o ro "$loop" "$mnt"
}
detach() {
  [ -z "$mnt" ] || { umount "$mnt" 2>/dev/null || true; rmdir "$mnt"; }
  [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true
  loop="" mnt=""
}
trap 'detach; rm -rf "$scratch"' EXIT

now() { date +%s.%N; }

# ---- images

make_image() {
  local kind=$1 files=$2 image=$3 tree=$work/tree-$1-$2 start used gib
  start=$(now)
  rm -rf "$tree" "$image.part"
  python3 bench/make_rdfd_tree.py "$tree" "$files" "$kind"
  # Room for the data as the host stores it and a quarter more, plus the inode tables.
  used=$(du -s -B1 "$tree" | cut -f1)
  gib=$(((used * 5 / 4 + files * 2 * 256) / (1 << 30) + 1))
  ((gib >= 2)) || gib=2
  truncate -s "${gib}G" "$image.part"
  mke2fs -q -F -t ext3 -b 4096 -N $((files * 2)) -d "$tree" "$image.part"
  e2fsck -fyD "$image.part" >/dev/null 2>&1 || [ $? -le 1 ] # 1: directories were optimized
  rm -rf "$tree"
  mv "$image.part" "$image"
  echo "built $image: $gib GiB, $(du -h "$image" | cut -f1) used, in" \
    "$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.0f", b - a }') s"
}

# Sets image to the cached image of a kind and size, building it when missing.
use_image() {
  local kind=$1 files=$2
  image=$work/ext3-$kind-$files.img
  [ ! -f "$image" ] || return 0
  if [ "$kind" = own ] && [ -f "$work/ext3-$files.img" ]; then
    ln "$work/ext3-$files.img" "$image"
    echo "$work/ext3-$files.img is also $image now"
  else
    make_image "$kind" "$files" "$image"
  fi
}

# Bytes of the inode-table blocks that hold at least one inode in use: per group, the
# used inodes are those between the ranges dumpe2fs lists as free.
inode_tables_in_use() {
  dumpe2fs "$1" 2>/dev/null | awk -F': *' '
    function used_blocks(lo, hi, free, per, n, r, ab, i, a, b, cur, first, last, seen, count) {
      n = split(free, r, ", *")
      cur = lo
      seen = -1
      for (i = 1; i <= n + 1; i++) {
        if (i <= n && r[i] == "") continue
        if (i <= n) { split(r[i], ab, "-"); a = ab[1] + 0; b = (2 in ab) ? ab[2] + 0 : a }
        else { a = hi + 1; b = hi }
        if (a > cur) {  # inodes cur .. a - 1 are in use
          first = int((cur - lo) / per); last = int((a - 1 - lo) / per)
          if (first <= seen) first = seen + 1
          if (last >= first) count += last - first + 1
          if (last > seen) seen = last
        }
        cur = b + 1
      }
      return count
    }
    /^Inodes per group:/ { ipg = $2 + 0 }
    /^Inode size:/ { isize = $2 + 0 }
    /^Block size:/ { bs = $2 + 0 }
    /^Group [0-9]+:/ { g = substr($1, 7) + 0 }
    /^  Free inodes:/ { blocks += used_blocks(g * ipg + 1, (g + 1) * ipg, $2, bs / isize) }
    END { printf "%.0f\n", blocks * bs }'
}

# Bytes of every directory block, indirect blocks included, from the mounted image.
directory_blocks() { find "$1" -xdev -type d -printf '%b\n' | awk '{ s += $1 } END { printf "%.0f\n", s * 512 }'; }

# ---- timing

# Runs a command once, output discarded; prints "wall:cpu:peak-KiB:device-bytes". Wall
# and CPU time (user + system, from the shell's `times`: milliseconds) come from this
# shell; peak memory and file-system input from GNU time.
timed() {
  times >"$scratch/before" # in this shell: a command substitution would see no children
  local start end
  start=$(now)
  /usr/bin/time -f '%M %I' -o "$scratch/time" "$@" >/dev/null 2>&1 || true
  end=$(now)
  times >"$scratch/after"
  awk -v a="$start" -v b="$end" -v c="$(children_cpu "$scratch/before")" \
    -v d="$(children_cpu "$scratch/after")" -v t="$(tail -1 "$scratch/time")" \
    'BEGIN { split(t, m, " "); printf "%.4f:%.4f:%d:%.0f\n", b - a, d - c, m[1], m[2] * 512 }'
}
children_cpu() {
  awk 'NR == 2 { gsub(/s/, ""); split($1, u, "m"); split($2, k, "m");
                 printf "%.4f", u[1] * 60 + u[2] + k[1] * 60 + k[2] }' "$1"
}
median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.4f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }

tools=(imgpod virtualpod index index-opt fls e2fsck)
declare -A program=([imgpod]=$walk [virtualpod]=$walk [index]=$kzvol [index-opt]=$kzvol
  [fls]=fls [e2fsck]=e2fsck [find]=find)
run_tool() {
  case $1 in
    imgpod | virtualpod) timed "$walk" "$1" "$image" ;;
    # Each run writes a new table, as a job does: the previous run's files are
    # removed outside the timed part.
    index) rm -f "$scratch"/table.* && timed "$kzvol" index "$image" --table "$scratch/table" ;;
    index-opt) rm -f "$scratch"/table.* &&
      timed "$kzvol" index "$image" --table "$scratch/table" --optimized ;;
    fls) timed fls -r -p "$image" ;;
    e2fsck) timed e2fsck -fn "$image" ;;
    find) timed find "$mnt" ;;
  esac
}
# A program and its shared libraries, read into the page cache after the caches are
# dropped, so that a cold run reads only the image.
program_files() {
  local bin
  bin=$(command -v "$1")
  echo "$bin"
  ldd "$bin" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'
}
cold() {
  drop_caches
  program_files "${program[$1]}" | xargs cat /usr/bin/time >/dev/null
}
warm() { :; }

declare -A runs med
# One pass of every tool per round, in turn, so that drift hits all alike; then the
# medians (med[label.tool.field], fields wall cpu peak read) and a table of them.
measure() {
  local label=$1 prepare=$2 tool r f
  shift 2
  for tool in "$@"; do runs[$label.$tool]=""; done
  for ((r = 0; r < rounds; r++)); do
    for tool in "$@"; do
      $prepare "$tool"
      runs[$label.$tool]+="$(run_tool "$tool") "
    done
  done
  printf '%-5s %-10s %9s %9s %9s %10s   %s\n' "$label" tool "wall s" "cpu s" "peak MiB" \
    "read MiB" "runs (wall s)"
  for tool in "$@"; do
    for f in 1:wall 2:cpu 3:peak 4:read; do
      med[$label.$tool.${f#*:}]=$(tr ' ' '\n' <<<"${runs[$label.$tool]}" | grep . |
        cut -d: -f"${f%:*}" | median)
    done
    printf '%-5s %-10s %9.4f %9.4f %9.1f %10.1f   %s\n' "$label" "$tool" \
      "${med[$label.$tool.wall]}" "${med[$label.$tool.cpu]}" \
      "$(awk -v k="${med[$label.$tool.peak]}" 'BEGIN { print k / 1024 }')" \
      "$(awk -v b="${med[$label.$tool.read]}" 'BEGIN { print b / 1048576 }')" \
      "$(tr ' ' '\n' <<<"${runs[$label.$tool]}" | grep . | cut -d: -f1 | tr '\n' ' ')"
  done
}

# ---- goals

summary=()
# Prints one ratio beside its goal ("min" or "max" bound) and keeps it for the summary.
goal() {
  local name=$1 value=$2 bound=$3 want=$4 verdict line
  verdict=$(awk -v v="$value" -v w="$want" -v b="$bound" \
    'BEGIN { print ((b == "min") ? v >= w : v <= w) ? "met" : "NOT met" }')
  line=$(printf '%-52s %8s   goal %s %-4s  %s' "$name" "$value" \
    "$([ "$bound" = min ] && echo '>=' || echo '<=')" "$want" "$verdict")
  echo "  $line"
  summary+=("$kind $files: $line")
}
# Peer time over kzvol time (wall), with the CPU ratio in the name.
time_goal() {
  local label=$1 peer=$2 tool=$3 want=$4
  goal "$label $peer/$tool (cpu $(ratio "${med[$label.$peer.cpu]}" "${med[$label.$tool.cpu]}"))" \
    "$(ratio "${med[$label.$peer.wall]}" "${med[$label.$tool.wall]}")" min "$want"
}

bench_image() {
  kind=$1 files=$2
  echo "=== $kind image, $files files"
  use_image "$kind" "$files"
  echo "image: $image"
  dumpe2fs -h "$image" 2>/dev/null | grep -E '^(Inode count|Block count|Free blocks|Block size|Inode size):'
  # Reads of the image file go through the page cache: its device's read-ahead
  # inflates the cold device bytes.
  local dev
  dev=$(df --output=source "$image" | tail -1)
  [ ! -b "$dev" ] || echo "read-ahead of $dev: $(lsblk -dno RA "$dev" | tr -d ' ') KiB"
  local tables dirs walker tool out line bytes=()
  tables=$(inode_tables_in_use "$image")
  for walker in imgpod virtualpod; do
    out=$("$walk" "$walker" "$image" 2>/dev/null) || echo "warning: rdfd_walk $walker failed"
    echo "$out"
    line=$(head -1 <<<"$out")
    bytes+=("$(sed -E 's/.* bytes=([0-9]+).*/\1/' <<<"$line")")
    dirs=$(sed -E 's/.* dirbytes=([0-9]+).*/\1/' <<<"$line")
  done
  if ((root)); then
    attach
    dirs=$(directory_blocks "$mnt")
    detach # the warm runs see the image as they would unmounted
  fi
  local need=$((tables + dirs))
  echo "must read: $need bytes = inode-table blocks in use $tables + directory blocks $dirs" \
    "$( ((root)) || echo '(directory sizes only: indirect blocks need root)')"

  for tool in "${tools[@]}"; do # warm the page cache, and show a tool that fails
    out=$(run_tool "$tool")
    if grep -q '^Command exited' "$scratch/time"; then
      echo "warning: $tool: $(head -1 "$scratch/time")"
    fi
  done
  measure warm warm "${tools[@]}"
  if ((root)); then
    attach
    measure cold cold "${tools[@]}" find
  else
    echo "cold runs skipped: they need root"
  fi

  local fls_goal=5
  ((files < 1000000)) || fls_goal=8
  echo "goals ($kind, $files files):"
  for tool in index index-opt; do time_goal warm fls "$tool" "$fls_goal"; done
  for tool in index index-opt; do time_goal warm e2fsck "$tool" 1.5; done
  if ((root)); then
    for tool in index index-opt; do time_goal cold e2fsck "$tool" 1.5; done
    for tool in index index-opt; do
      goal "cold $tool device bytes / must read" "$(ratio "${med[cold.$tool.read]}" "$need")" max 1.1
    done
  fi
  goal "imgpod walker bytes (index) / must read" "$(ratio "${bytes[0]}" "$need")" max 1.1
  goal "virtualpod walker bytes (index-opt) / must read" "$(ratio "${bytes[1]}" "$need")" max 1.1
  echo "also: warm fls/imgpod $(ratio "${med[warm.fls.wall]}" "${med[warm.imgpod.wall]}")," \
    "fls/virtualpod $(ratio "${med[warm.fls.wall]}" "${med[warm.virtualpod.wall]}")," \
    "fls/e2fsck $(ratio "${med[warm.fls.wall]}" "${med[warm.e2fsck.wall]}")"
  if ((root)); then
    echo "also: cold e2fsck/virtualpod $(ratio "${med[cold.e2fsck.wall]}" "${med[cold.virtualpod.wall]}")," \
      "fls/index $(ratio "${med[cold.fls.wall]}" "${med[cold.index.wall]}")," \
      "find/index $(ratio "${med[cold.find.wall]}" "${med[cold.index.wall]}")," \
      "find/virtualpod $(ratio "${med[cold.find.wall]}" "${med[cold.virtualpod.wall]}")"
    # Where the cold time goes: each walker's reads by size.
    echo "cold read profile:"
    for walker in imgpod virtualpod; do
      drop_caches
      "$walk" "$walker" "$image" 2>/dev/null || true
    done
  fi
  detach
}

for kind in "${kinds[@]}"; do
  for files in "${file_counts[@]}"; do bench_image "$kind" "$files"; done
done
echo "=== summary"
printf '%s\n' "${summary[@]}"
