#!/usr/bin/env bash
# The main job as root, through the real write path of the stand-in filter driver
# (devices mode), in a private mount namespace that vanishes with it: the sample
# ext3 image on a loop device goes under the stand-in; the file system is mounted
# through the filter node and stays mounted; a full backup with its file index;
# files change while it is mounted; an incremental backup with its index, taken
# while a writer runs; the backups and the files that differ; the incremental point
# restored to a new file, which passes e2fsck -fn with no journal to replay and
# holds the files synced before its snapshot; the whole repository verified; one
# changed file restored by path from the incremental point equals the live file.
#   usage: scripts/run-devices.sh BUILD_DIR SAMPLE_DIR   (run.sh calls it as root)
set -euo pipefail
if [ -z "${KZVOL_RUN_NS:-}" ]; then
  exec env KZVOL_RUN_NS=1 unshare -m --propagation private "$0" "$@"
fi
build=${1:?usage: run-devices.sh BUILD_DIR SAMPLE_DIR}
out=${2:?usage: run-devices.sh BUILD_DIR SAMPLE_DIR}
export PATH="$PATH:/sbin:/usr/sbin"
kzvol=$build/tools/kzvol
work=$out/cycle-devices
rm -rf "$work"
mkdir -p "$work" /dev/qnbf "$work/mnt" "$work/cow"
mount -t tmpfs tmpfs /dev/qnbf
cp "$out/sample-ext3.img" "$work/volume.img"
repo=$work/repo
export KZVOL_EMULATOR=$work/driver KZ_SNAP_PARTITION=$work/cow

show() {
  echo "--- $*"
  "$@"
}

loop=$(losetup -f --show "$work/volume.img")
writer=
cleanup() {
  [ -n "$writer" ] && kill "$writer" 2>/dev/null && wait "$writer" 2>/dev/null
  umount "$work/mnt" 2>/dev/null || true
  $kzvol emulator stop >/dev/null || true
  losetup -d "$loop"
}
trap cleanup EXIT
$kzvol emulator start >/dev/null
node=$($kzvol emulator add "$loop" --extent-size 65536 | cut -d" " -f2)
echo "--- $loop is under the stand-in as $node (64 KiB extents), served by kzvol-filterd (pid $(cat "$KZVOL_EMULATOR/filterd.pid"))"
mount "$node" "$work/mnt"
echo "--- the sample ext3 is mounted read-write through $node on $work/mnt"

show $kzvol backup "$node" --repo "$repo" --index --cow-dir "$work/cow"

echo "--- changing the mounted volume: add /etc/motd and /srv/www/news.html, delete /etc/hostname"
printf 'welcome\n' >"$work/mnt/etc/motd"
printf '<p>news</p>\n' >"$work/mnt/srv/www/news.html"
rm "$work/mnt/etc/hostname"
sync
echo "--- a writer keeps writing /var/log/busy.log during the incremental backup"
(while :; do date >>"$work/mnt/var/log/busy.log"; sleep 0.01; done) &
writer=$!

show $kzvol bitmap get "$node" --type incr
show $kzvol backup "$node" --repo "$repo" --incremental --index --cow-dir "$work/cow"
kill "$writer"; wait "$writer" 2>/dev/null || true; writer=
show $kzvol backups "$repo"
echo "--- files that differ between the two backups (kzvol rows: parent, inode, size, mtime, type, name)"
diff <($kzvol rows "$repo/000001/index") <($kzvol rows "$repo/000002/index") || true

show $kzvol restore "$repo" --to "$work/restored.img"
if dumpe2fs -h "$work/restored.img" 2>/dev/null | grep -q needs_recovery; then
  echo "the restored point needs journal recovery" >&2
  exit 1
fi
show e2fsck -fn "$work/restored.img"
[ "$(debugfs -R 'cat /etc/motd' "$work/restored.img" 2>/dev/null)" = welcome ]
echo "--- $work/restored.img: clean, no journal to replay, /etc/motd holds what was synced"
show $kzvol verify "$repo"

show $kzvol restore "$repo" --backup 000002 --path /srv/www/news.html --to "$work/news.html.restored"
cmp "$work/mnt/srv/www/news.html" "$work/news.html.restored"
echo "--- /srv/www/news.html restored from backup 000002 equals the live file: $(cat "$work/news.html.restored")"
