#!/usr/bin/env bash
# Kills full backups, incrementals and restores at random moments (SIGKILL) on a
# small volume under the memory-mode stand-in (no root), writing to the volume
# between runs, and checks after every kill and at the end:
#   - every completed backup verifies and restores to exactly the volume as it was
#     when that backup ran;
#   - a kill while the snapshot is being taken, before the backup recorded it,
#     leaves a snapshot no backup may remove: it is removed by hand, as a user
#     would, and counted;
#   - at the end, one more incremental restores to the volume as it is, and
#     nothing is left behind: no unfinished backup folder, no snapshot, no
#     copy-on-write file, no restore's temporary file.
# Prints the counts of runs, kills and checks.
#
#   scripts/backup_kill_loop.sh      # BUILD=build (or KZVOL=path) KILLS=50 SEED=1 MAX_MS=1000
#                                    # WORK=/var/tmp/kzvol-kill-loop
# A run is killed after a random 0 to MAX_MS milliseconds, unless it ended first.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
kills_wanted=${KILLS:-50}
RANDOM=${SEED:-1}
work=${WORK:-/var/tmp/kzvol-kill-loop}
kzvol=${KZVOL:-$PWD/$build/tools/kzvol}
max_ms=${MAX_MS:-1000}
extent=65536
extents=128

rm -rf "$work"
mkdir -p "$work/cow" "$work/points" "$work/out"
volume=$work/volume.img
head -c $((extent * extents)) /dev/urandom >"$volume"
export KZVOL_EMULATOR=$work/driver
$kzvol emulator start --memory --state "$KZVOL_EMULATOR" >/dev/null
trap '$kzvol emulator stop --state "$KZVOL_EMULATOR" >/dev/null || true' EXIT
node=$($kzvol emulator add "$volume" --extent-size "$extent" | cut -d' ' -f2)
repo=$work/repo

fail() { echo "FAILED: $*" >&2; exit 1; }
write_some() {
  for _ in $(seq $((RANDOM % 4 + 1))); do
    dd if=/dev/urandom of="$volume" bs=4096 count=$((RANDOM % 20 + 1)) \
      seek=$((RANDOM % (extents * extent / 4096 - 20))) conv=notrunc status=none
  done
}
ids() { ls "$repo" 2>/dev/null | grep -E '^[0-9]{6}$' || true; }
# Every completed backup verifies and restores to its point.
check_points() {
  $kzvol verify "$repo" >"$work/out/verify" 2>&1 || fail "verify: $(cat "$work/out/verify")"
  for id in $(ids); do
    [ -f "$work/points/$id" ] || fail "backup $id appeared without a run that made it"
    $kzvol restore "$repo" --backup "$id" --to "$work/out/check.img" >/dev/null ||
      fail "restore of $id"
    cmp -s "$work/out/check.img" "$work/points/$id" || fail "backup $id does not restore its point"
    checks=$((checks + 1))
  done
}

# A snapshot active with no unfinished backup recording it: removed by hand.
remove_unrecorded_snapshot() {
  $kzvol volinfo "$node" | grep -q '^has_snapshot: 1$' || return 0
  ls "$repo"/.tmp-*/snapshot >/dev/null 2>&1 && return 0
  $kzvol snap stop "$node" >/dev/null && $kzvol snap remove "$node" --cow-dir "$work/cow" >/dev/null ||
    fail "removing the unrecorded snapshot by hand"
  by_hand=$((by_hand + 1))
}

runs=0 kills=0 checks=0 completed=0 by_hand=0
$kzvol backup "$node" --repo "$repo" --cow-dir "$work/cow" >/dev/null
cp "$volume" "$work/points/000001"
while [ "$kills" -lt "$kills_wanted" ]; do
  write_some
  cp "$volume" "$work/before"
  before_ids=$(ids)
  case $((RANDOM % 3)) in
    0) cmd=(backup "$node" --repo "$repo" --cow-dir "$work/cow") ;;
    1) cmd=(backup "$node" --repo "$repo" --cow-dir "$work/cow" --incremental) ;;
    *) cmd=(restore "$repo" --to "$work/out/target.img") ;;
  esac
  "$kzvol" "${cmd[@]}" >/dev/null 2>"$work/out/err" &
  pid=$!
  sleep "$(awk -v ms=$((RANDOM % (max_ms + 1))) 'BEGIN { printf "%.3f", ms / 1000 }')"
  if kill -KILL "$pid" 2>/dev/null; then kills=$((kills + 1)); fi
  wait "$pid" 2>/dev/null && completed=$((completed + 1)) || true
  runs=$((runs + 1))
  for id in $(ids); do
    grep -qx "$id" <<<"$before_ids" || cp "$work/before" "$work/points/$id"
  done
  remove_unrecorded_snapshot
  check_points
done

# The next incremental sends everything the kills left unsent.
write_some
$kzvol backup "$node" --repo "$repo" --cow-dir "$work/cow" --incremental >"$work/out/last" 2>&1 ||
  fail "the last incremental: $(cat "$work/out/last")"
last=$(ids | tail -1)
cp "$volume" "$work/points/$last"
$kzvol restore "$repo" --to "$work/out/target.img" >/dev/null || fail "the last restore"
cmp -s "$work/out/target.img" "$volume" || fail "the last point does not restore the volume"
check_points
left=$(ls -A "$repo" | grep -E '^\.tmp-' || true)
[ -z "$left" ] || fail "unfinished backups left: $left"
[ -z "$(ls -A "$work/cow")" ] || fail "copy-on-write files left: $(ls -A "$work/cow")"
[ -z "$(ls -A "$work/out" | grep kzvol-restore || true)" ] || fail "a restore's temporary file left"
$kzvol volinfo "$node" | grep -q '^has_snapshot: 0$' || fail "a snapshot is left"
echo "runs $runs, killed $kills, completed $completed, unrecorded snapshots removed by hand $by_hand," \
  "points checked $checks, backups $(ids | wc -l): all restore exactly, nothing left"
