#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the bundled sample. As
# root it runs through the real write path of the stand-in filter driver
# (scripts/run-devices.sh: the sample mounted through the filter node, changed while
# mounted); otherwise, with no root, the whole backup cycle through the stand-in in
# memory mode, which finds changes by comparing digests:
# The sample ext3 image goes under the stand-in; a full backup with its file index;
# the image changes (debugfs adds and deletes files); an incremental backup with its
# index; the two backups and the files that differ between them; the incremental
# point restored to a new file, which equals the volume byte for byte and passes
# e2fsck -fn; the whole repository verified; and one changed file restored by its
# path from the incremental point, without restoring the image, equal to the live file.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kzvol_cli
out=build/sample
./scripts/make-sample-image.sh "$out"
if [ "$(id -u)" = 0 ] && [ -z "${KZVOL_RUN_MEMORY:-}" ]; then
  cmake --build build --target kzvol-filterd >/dev/null
  exec ./scripts/run-devices.sh build "$out"
fi
export PATH="$PATH:/sbin:/usr/sbin"
kzvol=./build/tools/kzvol
work=$out/cycle
rm -rf "$work"
mkdir -p "$work"
cp "$out/sample-ext3.img" "$work/volume.img"
repo=$work/repo

show() {
  echo "--- $*"
  "$@"
}

export KZVOL_EMULATOR=$work/driver
$kzvol emulator start --memory --state "$KZVOL_EMULATOR" >/dev/null
trap '$kzvol emulator stop --state "$KZVOL_EMULATOR" >/dev/null' EXIT
node=$($kzvol emulator add "$work/volume.img" --extent-size 65536 | cut -d" " -f2)
echo "--- $work/volume.img is under the stand-in filter driver as $node (64 KiB extents)"

show $kzvol backup "$node" --repo "$repo" --index --cow-dir "$work"

echo "--- changing the volume: add /etc/motd and /srv/www/news.html, delete /etc/hostname"
printf 'welcome\n' >"$work/motd"
printf '<p>news</p>\n' >"$work/news.html"
debugfs -w "$work/volume.img" -f - >/dev/null 2>&1 <<EOF
write $work/motd /etc/motd
write $work/news.html /srv/www/news.html
rm /etc/hostname
EOF

show $kzvol backup "$node" --repo "$repo" --incremental --index --cow-dir "$work"
show $kzvol backups "$repo"
echo "--- files that differ between the two backups (kzvol rows: parent, inode, size, mtime, type, name)"
diff <($kzvol rows "$repo/000001/index") <($kzvol rows "$repo/000002/index") || true
show $kzvol ls "$repo" --backup 000002 /etc
show $kzvol find "$repo" --backup 000002 /srv/www/news.html

show $kzvol restore "$repo" --to "$work/restored.img"
cmp "$work/volume.img" "$work/restored.img"
echo "--- $work/restored.img equals the volume byte for byte"
show e2fsck -fn "$work/restored.img"
show $kzvol verify "$repo"

show $kzvol restore "$repo" --backup 000002 --path /srv/www/news.html --to "$work/news.html.restored"
debugfs -R "dump /srv/www/news.html $work/news.html.live" "$work/volume.img" 2>/dev/null
cmp "$work/news.html.live" "$work/news.html.restored"
echo "--- /srv/www/news.html restored from backup 000002 equals the live file: $(cat "$work/news.html.restored")"
