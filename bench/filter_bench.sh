#!/usr/bin/env bash
# Times the kzvol filter commands against peers run alongside, on the stand-in driver.
#
# Snapshot read: a 1 GiB volume of random bytes on a loop device under the
# devices-mode stand-in, snapshotted; `kzvol snap read` of the whole snapshot and
# `dd` of the same snapshot device (bs 4 MiB, the tool's transfer size), both to
# /dev/null, page cache warm, ROUNDS alternating runs each; the best and the median
# of each and their throughput ratios kzvol / dd (the best shows what the code can
# do on a shared machine, the median how it fares there).
#
# Bitmap move: a 1 TiB volume (a loop device over a sparse file) under the
# memory-mode stand-in with 2 MiB extents (64 KiB bitmaps); `kzvol bitmap get` and
# `getclr` with --file, and `getclr` printing every extent of a full bitmap, against
# `kzvol volinfo` of the same device (one information request); the medians and the
# differences.
#
# Write path (devices mode): fio with direct I/O on a 1 GiB zram volume, raw and
# through its filter node: 1 MiB sequential writes and reads, 4 KiB random writes,
# then the same through the node with a snapshot active (copy-on-write); the
# throughput ratios node / raw. Then the time `kzvol snap create` takes on a 1 GiB
# and an 8 GiB zram volume, both full. PARTS=writepath runs only this part,
# PARTS=classic only the two above.
#
# Root only: it runs itself in a private mount namespace (tmpfs on /dev/qnbf) and
# detaches every loop device it attached.
#
#   bench/filter_bench.sh          # BUILD=build ROUNDS=7 KZVOL_BENCH_DIR=/var/tmp
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  echo "filter_bench: needs root (loop devices, a private mount namespace)" >&2
  exit 1
fi
if [ -z "${KZVOL_FILTER_BENCH_NS:-}" ]; then
  exec env KZVOL_FILTER_BENCH_NS=1 unshare -m --propagation private "$0" "$@"
fi
build=${BUILD:-build}
rounds=${ROUNDS:-7}
work=$(mktemp -d "${KZVOL_BENCH_DIR:-/var/tmp}/kzvol-filter-bench.XXXXXX")
cmake --build "$build" --target kzvol_cli >/dev/null
kzvol=$PWD/$build/tools/kzvol
mkdir -p /dev/qnbf
mount -t tmpfs tmpfs /dev/qnbf

loops=()
zrams=()
cleanup() {
  "$kzvol" emulator stop --state "$work/writepath" >/dev/null 2>&1 || true
  for z in "${zrams[@]}"; do
    echo 1 >"/sys/block/zram$z/reset" 2>/dev/null || true
    echo "$z" >/sys/class/zram-control/hot_remove 2>/dev/null || true
  done
  "$kzvol" emulator stop --state "$work/devices" >/dev/null 2>&1 || true
  "$kzvol" emulator stop --state "$work/memory" >/dev/null 2>&1 || true
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
# Wall seconds of one run of the command, output discarded.
timed() {
  local start
  start=$(now)
  "$@" >/dev/null
  awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.4f\n", b - a }'
}
best() { sort -n | head -n1; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

parts=${PARTS:-all}
if [ "$parts" != writepath ]; then
# --- snapshot read against dd
size_mib=1024
dd if=/dev/urandom of="$work/volume.img" bs=4M count=$((size_mib / 4)) status=none
loops+=("$(losetup -f --show "$work/volume.img")")
dev=(--emulator "$work/devices")
"$kzvol" emulator start --state "$work/devices" >/dev/null
read -r _ node < <("$kzvol" "${dev[@]}" emulator add "${loops[0]}")
mkdir "$work/cow"
snap=$("$kzvol" "${dev[@]}" snap create "$node" --cow-dir "$work/cow")
blocks=$((size_mib * 2048))
run_dd() { dd if="$snap" of=/dev/null bs=4M status=none; }
run_kzvol() { "$kzvol" "${dev[@]}" snap read "$node" --offset 0 --count "$blocks" --out /dev/null; }
# Held open so that the device's page cache survives between runs (the last close
# of a block device drops it).
exec 9<"$snap"
run_dd; run_kzvol  # warm the page cache
cmp <(dd if="$snap" bs=4M status=none) "$work/volume.img"  # the snapshot holds the volume
: >"$work/dd.t"; : >"$work/kzvol.t"
for _ in $(seq "$rounds"); do
  timed run_dd >>"$work/dd.t"
  timed run_kzvol >>"$work/kzvol.t"
done
echo "snapshot read of $size_mib MiB, $rounds rounds:"
for pick in best median; do
  dd_s=$($pick <"$work/dd.t")
  kz_s=$($pick <"$work/kzvol.t")
  awk -v d="$dd_s" -v k="$kz_s" -v m="$size_mib" -v p="$pick" 'BEGIN {
    printf "  %-6s dd bs=4M %.3f s (%.0f MiB/s), kzvol snap read %.3f s (%.0f MiB/s): ratio %.3f\n",
           p, d, m / d, k, m / k, d / k }'
done
exec 9<&-
"$kzvol" "${dev[@]}" snap stop "$node" >/dev/null
"$kzvol" "${dev[@]}" snap remove "$node" --cow-dir "$work/cow" >/dev/null
"$kzvol" "${dev[@]}" emulator remove "$node" >/dev/null
"$kzvol" emulator stop --state "$work/devices" >/dev/null

# --- bitmap move against one information request
truncate -s 1T "$work/big.img"
loops+=("$(losetup -f --show "$work/big.img")")
mem=(--emulator "$work/memory")
"$kzvol" emulator start --memory --state "$work/memory" >/dev/null
read -r _ big < <("$kzvol" "${mem[@]}" emulator add "${loops[1]}" --extent-size 2097152)
bytes=$("$kzvol" "${mem[@]}" volinfo "$big" | awk -F': ' '$1 == "incr_bmp_size" { print $2 }')
head -c "$bytes" /dev/zero | tr '\0' '\377' >"$work/full.bmp"
: >"$work/info.t"; : >"$work/get.t"; : >"$work/file.t"; : >"$work/print.t"
for _ in $(seq "$rounds"); do
  timed "$kzvol" "${mem[@]}" volinfo "$big" >>"$work/info.t"
  "$kzvol" "${mem[@]}" bitmap set "$big" --type incr --file "$work/full.bmp"
  timed "$kzvol" "${mem[@]}" bitmap get "$big" --type incr --file "$work/out.bmp" >>"$work/get.t"
  "$kzvol" "${mem[@]}" bitmap set "$big" --type incr --file "$work/full.bmp"
  timed "$kzvol" "${mem[@]}" bitmap getclr "$big" --type incr --file "$work/out.bmp" >>"$work/file.t"
  "$kzvol" "${mem[@]}" bitmap set "$big" --type incr --file "$work/full.bmp"
  timed "$kzvol" "${mem[@]}" bitmap getclr "$big" --type incr >>"$work/print.t"
done
cmp "$work/out.bmp" "$work/full.bmp"
info_s=$(median <"$work/info.t")
get_s=$(median <"$work/get.t")
file_s=$(median <"$work/file.t")
print_s=$(median <"$work/print.t")
echo "1 TiB volume, 2 MiB extents ($bytes-byte bitmaps, every bit set), memory mode, median of $rounds:"
awk -v i="$info_s" -v g="$get_s" -v f="$file_s" -v p="$print_s" 'BEGIN {
  printf "  kzvol volinfo                    %.1f ms\n", i * 1000
  printf "  kzvol bitmap get --file F        %.1f ms  (+%.1f ms, x%.2f)\n", g * 1000, (g - i) * 1000, g / i
  printf "  kzvol bitmap getclr --file F     %.1f ms  (+%.1f ms, x%.2f)\n", f * 1000, (f - i) * 1000, f / i
  printf "  kzvol bitmap getclr (print all)  %.1f ms  (+%.1f ms, x%.2f)\n", p * 1000, (p - i) * 1000, p / i }'
"$kzvol" "${mem[@]}" emulator remove "$big" >/dev/null
fi

[ "$parts" = classic ] && exit 0
# --- write path: fio through the filter node against the raw zram device
# A zram device of the given size, its path in $made (not a subshell: the
# cleanup must see every device added).
zram() {
  local z
  z=$(cat /sys/class/zram-control/hot_add)
  zrams+=("$z")
  echo "$1" >"/sys/block/zram$z/disksize"
  made=/dev/zram$z
}
# Fills a device with compressible non-zero data.
fill() {
  yes "kzvol write path bench $1" | dd of="$1" bs=1M iflag=fullblock oflag=direct status=none 2>/dev/null || true
}
# MiB/s of one fio job (name, device, rw, block size).
fio_mbs() {
  fio --name="$1" --filename="$2" --rw="$3" --bs="$4" --direct=1 --ioengine=libaio --iodepth=8 \
      --size=512M --runtime=5 --time_based --output-format=terse --terse-version=3 2>/dev/null |
    awk -F';' -v rw="$3" '{ kb = (rw ~ /read/) ? $7 : $48; printf "%.1f\n", kb / 1024 }'
}
zram 1G
raw=$made
fill "$raw"
wp=(--emulator "$work/writepath")
"$kzvol" emulator start --state "$work/writepath" >/dev/null
read -r _ wnode < <("$kzvol" "${wp[@]}" emulator add "$raw" --extent-size 1048576)
mkdir -p "$work/wcow"
echo "write path, 1 GiB zram, fio direct libaio iodepth 8, 5 s each (MiB/s):"
for job in "seq-write write 1M 0.5" "seq-read read 1M 0.8" "rand-write randwrite 4k 0.3"; do
  set -- $job
  r=$(fio_mbs "$1" "$raw" "$2" "$3")
  n=$(fio_mbs "$1" "$wnode" "$2" "$3")
  awk -v j="$1" -v r="$r" -v n="$n" -v g="$4" 'BEGIN {
    printf "  %-10s raw %8.1f  node %8.1f  ratio %.2f (goal %.1f)\n", j, r, n, n / r, g }'
  echo "$1 $r" >>"$work/raw.mbs"
done
"$kzvol" "${wp[@]}" snap create "$wnode" --cow-dir "$work/wcow" >/dev/null
echo "the same through the node with a snapshot active (copy-on-write, 4 KiB chunks):"
while read -r name r; do
  case $name in seq-write) rw=write bs=1M ;; seq-read) rw=read bs=1M ;; *) rw=randwrite bs=4k ;; esac
  n=$(fio_mbs "$name" "$wnode" "$rw" "$bs")
  awk -v j="$name" -v r="$r" -v n="$n" 'BEGIN { printf "  %-10s node %8.1f  ratio %.2f\n", j, n, n / r }'
done <"$work/raw.mbs"
"$kzvol" "${wp[@]}" snap stop "$wnode" >/dev/null
"$kzvol" "${wp[@]}" snap remove "$wnode" --cow-dir "$work/wcow" >/dev/null

# --- snapshot start: 1 GiB against 8 GiB, both full
zram 8G
big=$made
fill "$big"
read -r _ bnode < <("$kzvol" "${wp[@]}" emulator add "$big" --extent-size 1048576)
echo "snapshot start (kzvol snap create, whole command), median of $rounds:"
for n in "$wnode 1" "$bnode 8"; do
  set -- $n
  : >"$work/snap.t"
  for _ in $(seq "$rounds"); do
    timed "$kzvol" "${wp[@]}" snap create "$1" --cow-dir "$work/wcow" >>"$work/snap.t"
    "$kzvol" "${wp[@]}" snap stop "$1" >/dev/null
    "$kzvol" "${wp[@]}" snap remove "$1" --cow-dir "$work/wcow" >/dev/null
  done
  awk -v s="$(median <"$work/snap.t")" -v g="$2" 'BEGIN { printf "  %d GiB: %.3f s\n", g, s }'
done
