#!/usr/bin/env bash
# Restores by path from a backup point against the restore of the whole image:
# an ext3 volume of SIZE_MB MiB (default 4096) holding a copy of SRC (default
# /usr/share) under the memory-mode stand-in, a full backup with its index and
# DEPTH (default 10) incrementals on top, each after one file changed. Then, on
# the newest point: the time to the first byte of one file of the full backup
# (kzvol restore --path of a small file, process start included, median of 5),
# FILES (default 1000) random files restored by path, each checked against its
# original, against the full restore of the image followed by debugfs -R 'dump'
# of the same files from it; as root, tar of a directory of many files through
# kzvol mount against the same from the restored image. Work files in
# $KZVOL_BENCH_DIR (default /var/tmp).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kzvol=$top/build/tools/kzvol
SRC=${SRC:-/usr/share} SIZE_MB=${SIZE_MB:-4096} FILES=${FILES:-1000} DEPTH=${DEPTH:-10}
work=${KZVOL_BENCH_DIR:-/var/tmp}/kzvol-restore-path-bench
export PATH="$PATH:/sbin:/usr/sbin" LC_ALL=C
rm -rf "$work"
mkdir -p "$work/out"
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.4f", a - b }'; }
calc() { awk "BEGIN { printf \"%.4f\", $1 }"; }

echo "building a $SIZE_MB MiB ext3 image of $SRC"
mke2fs -q -F -t ext3 -d "$SRC" "$work/volume.img" "${SIZE_MB}M"
export KZVOL_EMULATOR=$work/driver
$kzvol emulator start --memory --state "$KZVOL_EMULATOR" >/dev/null
trap '$kzvol emulator stop --state "$KZVOL_EMULATOR" >/dev/null' EXIT
node=$($kzvol emulator add "$work/volume.img" | cut -d" " -f2)
backup() { $kzvol backup "$node" --repo "$work/repo" --index --cow-dir "$work" "$@" | head -1; }
backup
for i in $(seq "$DEPTH"); do
  echo "change $i" >"$work/change"
  debugfs -w -R "write $work/change /bench-change-$i" "$work/volume.img" >/dev/null 2>&1
  backup --incremental
done
point=$(ls "$work/repo" | grep -E '^[0-9]{6}$' | tail -1)

# Random regular files of the tree with plain names, and one small one.
(cd "$SRC" && find . -type f -size -64k -printf '%P\n' | grep -v '[[:cntrl:]]' |
  shuf -n "$FILES" --random-source=<(yes)) >"$work/list"
first=$(head -1 "$work/list")
ttfb=()
for i in 1 2 3 4 5; do
  rm -f "$work/out/first"
  t=$(now)
  $kzvol restore "$work/repo" --backup "$point" --path "/$first" --to "$work/out/first" >/dev/null
  ttfb+=("$(since "$t")")
done
median=$(printf '%s\n' "${ttfb[@]}" | sort -n | sed -n 3p)
cmp "$SRC/$first" "$work/out/first"
echo "time to the first byte of /$first from $point ($DEPTH incrementals deep): ${median} s" \
  "(goal < 0.2 s: $(awk -v m="$median" 'BEGIN { print (m < 0.2 ? "met" : "NOT met") }'))"

t=$(now)
n=0
while IFS= read -r f; do
  n=$((n + 1))
  $kzvol restore "$work/repo" --backup "$point" --path "/$f" --to "$work/out/$n" >/dev/null
done <"$work/list"
bypath=$(since "$t")
n=0
while IFS= read -r f; do
  n=$((n + 1))
  cmp -s "$SRC/$f" "$work/out/$n" || { echo "DIFFERS: $f"; exit 1; }
done <"$work/list"
rm -rf "$work/out" && mkdir "$work/out"

t=$(now)
$kzvol restore "$work/repo" --backup "$point" --to "$work/restored.img" >/dev/null
full=$(since "$t")
t=$(now)
n=0
while IFS= read -r f; do
  n=$((n + 1))
  debugfs -R "dump \"/$f\" $work/out/$n" "$work/restored.img" >/dev/null 2>&1
done <"$work/list"
dumps=$(since "$t")
count=$(wc -l <"$work/list")
printf '%s files by path, all equal to the originals: %.2f s, %.4f s per file\n' "$count" \
  "$bypath" "$(calc "$bypath / $count")"
printf 'full restore of the image: %.2f s; then debugfs dump of the same files: %.2f s, %.4f s per file\n' \
  "$full" "$dumps" "$(calc "$dumps / $count")"
printf 'by path against full restore + dumps: %.2fx the time\n' \
  "$(calc "$bypath / ($full + $dumps)")"
# As root: tar of the directory of SRC with the most files (at least 10,000 where
# there is one) through kzvol mount and a read-only loop mount, against the same
# from the fully restored image; each after the page cache of the repository and
# the restored image was dropped.
if [ "$(id -u)" = 0 ]; then
  dir=$(cd "$SRC" && find . -mindepth 1 -maxdepth 2 -type d -printf '%P\n' | while IFS= read -r d; do
    echo "$(find "$d" -type f | wc -l) $d"; done | sort -n | tail -1)
  files=${dir%% *} dir=${dir#* }
  mkdir -p "$work/m" "$work/x"
  unshare -m --propagation private bash -c '
    set -e
    kzvol=$1 work=$2 point=$3 dir=$4
    tartime() {
      mount -o ro,loop "$1" "$work/x"
      for f in "$work"/repo/*/extents "$work/restored.img"; do  # the files of this run only
        dd if="$f" iflag=nocache count=0 status=none
      done
      local t=$(date +%s.%N)
      tar -c -C "$work/x/$dir" . | wc -c >/dev/null
      awk -v a="$(date +%s.%N)" -v b="$t" "BEGIN { printf \"%.2f\", a - b }"
      umount "$work/x"
    }
    $kzvol mount "$work/repo" --backup "$point" "$work/m" >/dev/null
    through=$(tartime "$work/m/image")
    $kzvol umount "$work/m"
    restored=$(tartime "$work/restored.img")
    echo "tar of /$dir through kzvol mount: $through s; from the restored image: $restored s"
  ' bench "$kzvol" "$work" "$point" "$dir"
  echo "(/$dir holds $files files)"
fi
$kzvol emulator stop --state "$KZVOL_EMULATOR" >/dev/null
trap - EXIT
rm -rf "$work"
