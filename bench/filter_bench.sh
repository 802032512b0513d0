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
cleanup() {
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
