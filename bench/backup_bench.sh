#!/usr/bin/env bash
# Times the backup cycle on a volume of SIZE_MIB (default 1024) MiB, its first half
# random, its second half text (system headers), under the stand-in filter driver
# in memory mode (no root), page cache warm, each against its peer in the same run:
#   full backup         vs  dd of the volume to a file with conv=fsync, then
#                           sha512sum of that file
#   incremental backup  after 1% of the extents changed, vs the full backup: bytes
#                       read from the snapshot, bytes written, time
#   restore (full)      vs  dd of the image back to a file (and with conv=fsync)
#   verify              vs  sha512sum of the stored extents, and of the volume
# and the repository's size against the volume's.
# The stand-in freezes a volume by copying it whole (a real driver does not; a
# reflink clone makes it cheap where the file system has them) and digests the
# whole volume to find changes before each bitmap request and snapshot, so the
# times of the bitmap request, the snapshot and its removal, printed by kzvol
# backup, are shown apart and taken out of the second ratio of each backup.
#
#   bench/backup_bench.sh       # BUILD=build SIZE_MIB=1024 EXTENT=1048576 WORK=/var/tmp/kzvol-backup-bench
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
size_mib=${SIZE_MIB:-1024}
extent=${EXTENT:-1048576}
work=${WORK:-/var/tmp/kzvol-backup-bench}
cmake --build "$build" --target kzvol_cli >/dev/null
kzvol=$PWD/$build/tools/kzvol

rm -rf "$work"
mkdir -p "$work/cow"
volume=$work/volume.img
half=$((size_mib / 2))
dd if=/dev/urandom of="$volume" bs=1M count="$half" iflag=fullblock status=none
find /usr/include -type f -print0 | xargs -0 cat >"$work/text" 2>/dev/null
while [ "$(stat -c %s "$volume")" -lt $((size_mib << 20)) ]; do cat "$work/text" >>"$volume"; done
truncate -s "${size_mib}M" "$volume"
rm "$work/text"
export KZVOL_EMULATOR=$work/driver
$kzvol emulator start --memory --state "$KZVOL_EMULATOR" >/dev/null
trap 'umount "$work/mnt" 2>/dev/null || true; $kzvol emulator stop --state "$KZVOL_EMULATOR" >/dev/null; rm -rf "$work"' EXIT
node=$($kzvol emulator add "$volume" --extent-size "$extent" | cut -d' ' -f2)

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
# From kzvol backup's report: extents read, bytes sent.
extents_read() { grep -o '[0-9]* of [0-9]* extents read' <<<"$1" | cut -d' ' -f1; }
bytes_sent() { grep -o 'sent ([0-9]* bytes' <<<"$1" | tr -dc '0-9'; }
# The stand-in's share of a backup: bitmap request, snapshot and its removal.
standin_of() {
  sed -n 's/^bitmap taken in \([0-9.]*\) s, snapshot taken in \([0-9.]*\) s, removed in \([0-9.]*\) s.*/\1 \2 \3/p' <<<"$1" |
    awk '{ printf "%.3f", $1 + $2 + $3 }'
}

cat "$volume" >/dev/null
t0=$(now)
dd if="$volume" of="$work/peer.img" bs=1M conv=fsync status=none
sha512sum "$work/peer.img" >/dev/null
t1=$(now)
full_out=$($kzvol backup "$node" --repo "$work/repo" --cow-dir "$work/cow")
t2=$(now)
peer=$(secs "$t0" "$t1")
full=$(secs "$t1" "$t2")
full_freeze=$(standin_of "$full_out")
echo "$full_out"
echo "full backup of $size_mib MiB: $full s (the stand-in's bitmap and snapshot: $full_freeze s); dd conv=fsync + sha512sum: $peer s"
echo "  ratio (dd conv=fsync + sha512sum) / backup: $(ratio "$peer" "$full")," \
  "without the stand-in's share: $(ratio "$peer" "$(secs "$full_freeze" "$full")")"

extents=$(((size_mib << 20) / extent))
changed=$(((extents + 99) / 100))
for i in $(seq 1 "$changed"); do
  n=$(((i * 7919) % extents))
  printf 'changed %d' "$i" | dd of="$volume" bs=1 seek=$((n * extent + 100)) conv=notrunc status=none
done
t3=$(now)
incr_out=$($kzvol backup "$node" --repo "$work/repo" --cow-dir "$work/cow" --incremental)
t4=$(now)
incr=$(secs "$t3" "$t4")
incr_freeze=$(standin_of "$incr_out")
echo "$incr_out"
full_read=$(($(extents_read "$full_out") * extent))
incr_read=$(($(extents_read "$incr_out") * extent))
full_sent=$(bytes_sent "$full_out")
incr_sent=$(bytes_sent "$incr_out")
echo "incremental after $changed of $extents extents changed: $incr s (the stand-in's bitmap and snapshot: $incr_freeze s)"
echo "  bytes read from the snapshot: $incr_read of $full_read ($(ratio $((100 * incr_read)) "$full_read")%)"
echo "  extent bytes written: $incr_sent of $full_sent ($(ratio $((100 * incr_sent)) "$full_sent")%)"
echo "  time: $(ratio "$(awk -v a="$incr" 'BEGIN { print 100 * a }')" "$full")% of the full backup;" \
  "without the stand-in's share: $(ratio "$(awk -v a="$incr" -v b="$incr_freeze" 'BEGIN { print 100 * (a - b) }')" "$(secs "$full_freeze" "$full")")%"

t5=$(now)
$kzvol restore "$work/repo" --backup 000001 --to "$work/restored.img" >/dev/null
t6=$(now)
dd if="$work/peer.img" of="$work/back.img" bs=1M status=none
t7=$(now)
dd if="$work/peer.img" of="$work/back-synced.img" bs=1M conv=fsync status=none
t8=$(now)
restore=$(secs "$t5" "$t6")
back=$(secs "$t6" "$t7")
synced=$(secs "$t7" "$t8")
cmp "$work/restored.img" "$work/peer.img"
echo "restore of the full point: $restore s (every extent's digest checked, synced);" \
  "dd of the image back: $back s, with conv=fsync: $synced s"
echo "  ratio dd / restore: $(ratio "$back" "$restore"), dd conv=fsync / restore: $(ratio "$synced" "$restore")"

stored=$(stat -c %s "$work/repo/000001/extents")
t9=$(now)
$kzvol verify "$work/repo" >/dev/null
t10=$(now)
sha512sum "$work/repo/000001/extents" "$work/repo/000002/extents" >/dev/null
t11=$(now)
sha512sum "$work/peer.img" >/dev/null
t12=$(now)
verify=$(secs "$t9" "$t10")
echo "verify of both backups: $verify s; sha512sum of their stored extents: $(secs "$t10" "$t11") s," \
  "of the volume's bytes: $(secs "$t11" "$t12") s"
echo "  ratio sha512sum of the stored bytes / verify: $(ratio "$(secs "$t10" "$t11")" "$verify")," \
  "of the volume's bytes / verify: $(ratio "$(secs "$t11" "$t12")" "$verify")"
echo "repository: the full backup stores $stored bytes of $((size_mib << 20))" \
  "($(ratio $((100 * stored)) $((size_mib << 20)))%)"

# Repository size of a file system (as root; FS_MIB=0 skips): a fresh ext3 of
# FS_MIB (default 4096) MiB holding FILES_MIB (default 1024) MiB of system files
# (/usr/share, then /usr/lib), backed up in full by default and with --used-only,
# against tar -c of the same files piped to zstd -1; then again after half the
# files were deleted and as many bytes of new ones written.
fs_mib=${FS_MIB:-4096}
files_mib=${FILES_MIB:-1024}
[ "$(id -u)" = 0 ] && [ "$fs_mib" -gt 0 ] || exit 0
fs=$work/fs.img
mnt=$work/mnt
mkdir -p "$mnt"
truncate -s "${fs_mib}M" "$fs"
mkfs.ext3 -q -F "$fs"
# Lists regular files of the given trees, FILES_MIB in all, into $1.
pick_files() {
  local list=$1
  shift
  find "$@" -xdev -type f -printf '%s %p\n' 2>/dev/null |
    awk -v limit=$((files_mib << 20)) '{ total += $1; if (total > limit) next; sub(/^[0-9]+ /, ""); print }' >"$list"
}
copy_in() { tar -cf - -T "$1" 2>/dev/null | tar -xf - -C "$2"; }
fs_node=$($kzvol emulator add "$fs" --extent-size "$extent" | cut -d' ' -f2)
size_round() {
  local label=$1
  mount -o loop,ro "$fs" "$mnt"
  local peer
  peer=$(tar -cf - -C "$mnt" . | zstd -1 -c | wc -c)
  umount "$mnt"
  local out
  for mode in default used-only; do
    rm -rf "$work/fsrepo"
    flag=; [ "$mode" = used-only ] && flag=--used-only
    out=$($kzvol backup "$fs_node" --repo "$work/fsrepo" --cow-dir "$work/cow" $flag)
    stored=$(stat -c %s "$work/fsrepo/000001/extents")
    echo "$label, $mode: repository $stored bytes, tar -c | zstd -1: $peer bytes;" \
      "ratio $(ratio "$stored" "$peer") ($(grep -o '[0-9.]* s in all' <<<"$out"))"
  done
}
pick_files "$work/first" /usr/share /usr/lib
mount -o loop "$fs" "$mnt"
copy_in "$work/first" "$mnt"
umount "$mnt"
size_round "fresh $fs_mib MiB ext3 with $files_mib MiB of files"
mount -o loop "$fs" "$mnt"
(cd "$mnt" && find . -type f | awk 'NR % 2' | xargs -d '\n' rm -f)
files_mib=$((files_mib / 2))
pick_files "$work/second" /usr/lib/x86_64-linux-gnu /usr/libexec /usr/bin
mkdir -p "$mnt/new"
copy_in "$work/second" "$mnt/new"
umount "$mnt"
size_round "after half the files were deleted and as many bytes written"
