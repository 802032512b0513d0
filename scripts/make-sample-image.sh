#!/usr/bin/env bash
# Builds the sample ext3 image of the main job from a fixed tree, without root:
# OUTDIR/sample-ext3.img (8 MiB, 1 KiB blocks). Contents, timestamps, UUID and
# hash seed are fixed, so every run gives the same file system (the owner of the
# files is whoever runs the script).
#   usage: scripts/make-sample-image.sh OUTDIR
set -euo pipefail
out=${1:?usage: make-sample-image.sh OUTDIR}
export PATH="$PATH:/sbin:/usr/sbin"
export E2FSPROGS_FAKE_TIME=1700000000
stamp=@1700000000

mkdir -p "$out"
tree="$out/sample-tree"
rm -rf "$tree"
mkdir -p "$tree"/{etc/ssh,home/ada/projects/kernel,srv/www,var/log,var/empty}
printf 'sample\n' >"$tree/etc/hostname"
printf '/dev/sdb1 /srv ext3 defaults 0 2\n' >"$tree/etc/fstab"
printf 'Port 22\n' >"$tree/etc/ssh/sshd_config"
printf 'notes\n' >"$tree/home/ada/notes.txt"
printf 'export EDITOR=vi\n' >"$tree/home/ada/.profile"
for i in $(seq -w 1 40); do printf 'patch %s\n' "$i" >"$tree/home/ada/projects/kernel/patch-$i.diff"; done
printf '<html></html>\n' >"$tree/srv/www/index.html"
ln -s index.html "$tree/srv/www/home.html"          # a link: listed as a file
printf 'shared\n' >"$tree/srv/www/shared.css"
ln "$tree/srv/www/shared.css" "$tree/home/ada/shared.css"  # two names: left out
mkfifo "$tree/var/log/events.pipe"                  # not a file or link: left out
truncate -s 6G "$tree/var/log/huge.sparse"          # size above 4 GiB, no blocks
find "$tree" -exec touch -h -d "$stamp" {} +

: >"$out/sample-ext3.img"  # an existing file: mke2fs says nothing about creating it
mke2fs -q -F -t ext3 -b 1024 \
  -U 6b7a766f-6c00-4000-8000-000000000001 \
  -E hash_seed=6b7a766f-6c00-4000-8000-000000000002,root_owner=0:0 \
  -L sample -d "$tree" "$out/sample-ext3.img" 8M
