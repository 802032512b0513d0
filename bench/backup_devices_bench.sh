#!/usr/bin/env bash
# Times a full backup through the stand-in filter driver in devices mode (root; a
# private mount namespace that vanishes with it), the filter's share counted: a
# zram volume of SIZE_MIB (default 1024) MiB, its first half random and its second
# half text (system headers), goes under the stand-in, and `kzvol backup` of the
# filter node runs against its peer in the same run, `dd` of the node to a file
# with conv=fsync followed by sha512sum of that file. Prints both times and the
# ratio (peer / backup; the goal is at least 1.3), ROUNDS (default 3) times, with
# the time of reading the node alone, which bounds both.
#
#   bench/backup_devices_bench.sh    # BUILD=build SIZE_MIB=1024 EXTENT=1048576 ROUNDS=3 WORK=/var/tmp/kzvol-devices-bench
set -euo pipefail
if [ -z "${KZVOL_BENCH_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "backup_devices_bench: needs root" >&2; exit 2; }
  exec env KZVOL_BENCH_NS=1 unshare -m --propagation private "$0" "$@"
fi
cd "$(dirname "$0")/.."
build=${BUILD:-build}
size_mib=${SIZE_MIB:-1024}
extent=${EXTENT:-1048576}
rounds=${ROUNDS:-3}
work=${WORK:-/var/tmp/kzvol-devices-bench}
cmake --build "$build" --target kzvol_cli kzvol-filterd >/dev/null
kzvol=$PWD/$build/tools/kzvol

rm -rf "$work"
mkdir -p "$work/cow" /dev/qnbf
mount -t tmpfs tmpfs /dev/qnbf
zram=$(cat /sys/class/zram-control/hot_add)
export KZVOL_EMULATOR=$work/driver KZ_SNAP_PARTITION=$work/cow
cleanup() {
  $kzvol emulator stop >/dev/null 2>&1 || true
  echo "$zram" >/sys/class/zram-control/hot_remove 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
echo "${size_mib}M" >"/sys/block/zram$zram/disksize"
dev=/dev/zram$zram
half=$((size_mib / 2))
dd if=/dev/urandom of="$dev" bs=1M count="$half" iflag=fullblock status=none
find /usr/include -type f -print0 | xargs -0 cat 2>/dev/null |
  dd of="$dev" bs=1M seek="$half" count=$((size_mib - half)) iflag=fullblock status=none || true
$kzvol emulator start >/dev/null
node=$($kzvol emulator add "$dev" --extent-size "$extent" | cut -d' ' -f2)

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
for ((r = 1; r <= rounds; r++)); do
  rm -rf "$work/repo" "$work/peer.img"
  sync
  t0=$(now)
  dd if="$node" of="$work/peer.img" bs=1M conv=fsync status=none
  sha512sum "$work/peer.img" >/dev/null
  t1=$(now)
  $kzvol backup "$node" --repo "$work/repo" --cow-dir "$work/cow" >/dev/null
  t2=$(now)
  dd if="$node" of=/dev/null bs=1M iflag=direct status=none
  t3=$(now)
  peer=$(secs "$t0" "$t1")
  read_only=$(secs "$t2" "$t3")
  full=$(secs "$t1" "$t2")
  echo "round $r: full backup of $size_mib MiB through $node: $full s;" \
    "dd conv=fsync + sha512sum: $peer s (reading the node alone, direct: $read_only s); ratio $(awk -v a="$peer" -v b="$full" 'BEGIN { printf "%.3f", a / b }') (goal >= 1.3)"
done
