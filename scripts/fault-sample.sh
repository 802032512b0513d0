#!/usr/bin/env bash
# Measures how many realistic one-line faults the test suite catches. Each fault of
# scripts/fault-sample.list is applied alone to the working tree, the tests are
# rebuilt in a build folder of their own and run until the first failure; the
# file is always restored afterwards (also on Ctrl-C).
#
#   scripts/fault-sample.sh [--only ID,...] [--check] [--report]
#
#   --only ID,...  run only these faults
#   --check        only check that every fault's old text occurs once; no build
#   --report       only print the table of the last run (also of an interrupted one)
#
# Environment: BUILD (build folder, default build-faults), OUT (result file,
# default $BUILD/fault-sample.txt), MIN_RATE (percent, default 90), TIMEOUT
# (seconds per test run, default 600), JOBS (build jobs, default 2), LIST (the
# fault list, default scripts/fault-sample.list), SYSTEM (0 skips the system
# tests even as root; "only" runs the system tests alone, e.g. on the survivors
# of a unit-only run), SHARDS (unit test processes at once, default 3; the
# system tests always run in one).
#
# A fault is killed when a test fails, or the test binary crashes or times out.
# A survivor of the unit tests also meets the system tests when run as root.
# Exit status 0 when the kill rate is at least MIN_RATE, 1 when below it, 2 on a
# usage or setup error.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
BUILD=${BUILD:-build-faults}
OUT=${OUT:-$BUILD/fault-sample.txt}
MIN_RATE=${MIN_RATE:-90}
TIMEOUT=${TIMEOUT:-600}
JOBS=${JOBS:-2}
LIST=${LIST:-scripts/fault-sample.list}
SYSTEM=${SYSTEM:-1}
SHARDS=${SHARDS:-3}

usage() {
    awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
}

ONLY="" CHECK=0 REPORT=0
while [ $# -gt 0 ]; do
    case $1 in
        --only) [ $# -ge 2 ] || { usage >&2; exit 2; }; ONLY=$2; shift 2 ;;
        --only=*) ONLY=${1#--only=}; shift ;;
        --check) CHECK=1; shift ;;
        --report) REPORT=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "fault-sample: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done
[ -r "$LIST" ] || { echo "fault-sample: cannot read $LIST" >&2; exit 2; }

# Applies or checks one fault, literally: `fault.py check|apply LIST ID`.
# check: exit 0 when the old text occurs exactly once. apply: also writes the
# faulty file, after saving the original to $SAVED.
FAULT_PY=$(cat <<'PY'
import shutil, sys
mode, listfile, wanted = sys.argv[1], sys.argv[2], sys.argv[3]
saved = sys.argv[4] if len(sys.argv) > 4 else None
for raw in open(listfile, encoding="utf-8"):
    line = raw.rstrip("\n")
    if not line.strip() or line.lstrip().startswith("#"):
        continue
    fields = [f.strip() for f in line.split(" | ", 4)]
    if fields[0] != wanted:
        continue
    if len(fields) != 5:
        sys.exit("bad line (wants 5 fields): " + line)
    _, path, old, new, _ = fields
    try:
        text = open(path, encoding="utf-8").read()
    except OSError as e:
        sys.exit("cannot read %s: %s" % (path, e))
    n = text.count(old)
    if n != 1:
        sys.exit("old text occurs %d times in %s" % (n, path))
    if mode == "apply":
        shutil.copyfile(path, saved)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(old, new, 1))
    sys.exit(0)
sys.exit("no fault " + wanted)
PY
)

ids() {
    awk -F' [|] ' '!/^[[:space:]]*(#|$)/ {print $1}' "$LIST" | tr -d ' '
}
field() {  # field ID N: the Nth field of a fault's line
    awk -F' [|] ' -v id="$1" -v n="$2" '!/^[[:space:]]*(#|$)/ {
        k = $1; gsub(/ /, "", k); if (k == id) { print $n; exit } }' "$LIST"
}

ALL=$(ids)
if [ -n "$ONLY" ]; then
    SELECTED=$(tr ',' '\n' <<<"$ONLY")
    for id in $SELECTED; do
        grep -qx "$id" <<<"$ALL" || { echo "fault-sample: no fault $id in $LIST" >&2; exit 2; }
    done
else
    SELECTED=$ALL
fi
dups=$(sort <<<"$ALL" | uniq -d)
[ -z "$dups" ] || { echo "fault-sample: ids given twice: $dups" >&2; exit 2; }

if [ "$CHECK" = 1 ]; then
    bad=0
    for id in $SELECTED; do
        python3 -c "$FAULT_PY" check "$LIST" "$id" || { echo "  ($id)" >&2; bad=1; }
    done
    [ $bad = 0 ] && echo "fault-sample: $(wc -w <<<"$SELECTED") faults apply"
    exit $bad
fi

mkdir -p "$BUILD/fault-logs"
LOGS=$BUILD/fault-logs
RESULTS=$LOGS/results.tsv

# Prints the table and the kill rate of the faults run so far, also to $OUT;
# sets RATE.
report() {
    local killed survived skipped measured id area status by
    killed=$(awk -F'\t' '$3 == "killed"' "$RESULTS" | wc -l)
    survived=$(awk -F'\t' '$3 == "survived"' "$RESULTS" | wc -l)
    skipped=$(awk -F'\t' '$3 == "not-applied"' "$RESULTS" | wc -l)
    measured=$((killed + survived))
    RATE=0
    [ $measured = 0 ] || RATE=$((100 * killed / measured))
    {
        echo "Fault sample of $(git rev-parse --short HEAD) on $(date -u '+%Y-%m-%d %H:%M UTC')" \
            "($(cat "$LOGS/mode"))"
        echo
        printf '%-6s %-10s %-12s %s\n' ID AREA RESULT "KILLED BY / WHY NOT APPLIED"
        while IFS=$'\t' read -r id area status by; do
            printf '%-6s %-10s %-12s %s\n' "$id" "$area" "$status" "$by"
        done <"$RESULTS"
        echo
        echo "killed $killed of $measured ($RATE%), survived $survived, not applied $skipped" \
            "(of $(wc -l <"$LOGS/selected") selected)"
    } | tee "$OUT"
}

if [ "$REPORT" = 1 ]; then
    [ -s "$RESULTS" ] || { echo "fault-sample: no results in $RESULTS" >&2; exit 2; }
    report
    exit 0
fi

# The working tree must be clean in the files the faults touch: a fault is
# restored from a copy, and an uncommitted edit there would be measured too.
paths=$(for id in $SELECTED; do field "$id" 2; done | sort -u)
if ! git diff --quiet HEAD -- $paths; then
    echo "fault-sample: uncommitted changes in files the faults touch; commit or stash them" >&2
    exit 2
fi

SAVED=$LOGS/original.saved
CURRENT=""  # the file a fault is applied to, until it is restored

restore() {
    if [ -n "$CURRENT" ]; then
        cp "$SAVED" "$CURRENT"  # a new mtime, so the build sees the change back
        CURRENT=""
    fi
}
trap restore EXIT
trap 'restore; echo "fault-sample: interrupted" >&2; [ ! -s "$RESULTS" ] || report; exit 130' INT TERM HUP

build() {
    cmake --build "$BUILD" -j "$JOBS" --target kzvol_unit_tests kzvol_system_tests
}

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKZVOL_BUILD_BENCH=OFF \
        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
        >"$LOGS/configure.log" 2>&1 || { echo "fault-sample: configure failed, see $LOGS/configure.log" >&2; exit 2; }
fi
echo "fault-sample: building the unmodified tree in $BUILD" >&2
build >"$LOGS/clean-build.log" 2>&1 || { echo "fault-sample: the unmodified tree does not build, see $LOGS/clean-build.log" >&2; exit 2; }

# The first failure in a test log, as "killed WHAT"; empty when the run passed.
verdict() {  # verdict RC LOG
    [ "$1" != 0 ] || return 0
    local failed running
    failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/.]*\).*/\1/p' "$2" | head -1)
    running=$(sed -n 's/^\[ RUN      \] \([A-Za-z0-9_/.]*\).*/\1/p' "$2" | tail -1)
    if [ "$1" = 124 ] || [ "$1" = 137 ]; then
        echo "killed timeout-in:${running:-?}"
    elif [ -n "$failed" ]; then
        echo "killed $failed"
    elif [ "$1" -gt 128 ]; then
        echo "killed crash-in:${running:-?}"
    else
        echo "killed exit-$1-in:${running:-?}"
    fi
}

# Runs one test binary in SHARDS processes at once (the unit tests mostly wait
# on tools and files); the first shard to fail stops the others. Prints
# "killed TEST" or "survived". Each shard leaves its exit status in a file, so a
# shard that ends before it is looked at is never lost.
run_tests() {  # run_tests BINARY LOG SHARDS
    local shards=$3 pids=() finished=() i left rc result="" scratch
    rm -f "$2".*
    # The tests' temporary folders go here: a shard stopped early cannot remove its own.
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/kzvol-faults.XXXXXX")
    for ((i = 0; i < shards; i++)); do
        (
            rc=0
            (cd "$BUILD/tests" && TMPDIR=$scratch GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i \
                exec timeout -k 30 "$TIMEOUT" "./$1" --gtest_fail_fast --gtest_color=no) \
                >"$2.$i" 2>&1 || rc=$?
            echo "$rc" >"$2.status$i"
        ) &
        pids+=($!)
        finished+=(0)
    done
    left=$shards
    while [ "$left" -gt 0 ]; do
        sleep 0.2
        for ((i = 0; i < shards; i++)); do
            [ "${finished[$i]}" = 0 ] && [ -s "$2.status$i" ] || continue
            finished[$i]=1
            left=$((left - 1))
            rc=$(cat "$2.status$i")
            [ -n "$result" ] || result=$(verdict "$rc" "$2.$i")
        done
        if [ -n "$result" ]; then  # stop the other shards: one failure is enough
            for ((i = 0; i < shards; i++)); do
                [ "${finished[$i]}" = 1 ] || pkill -TERM -P "${pids[$i]}" 2>/dev/null || true
            done
        fi
    done
    wait "${pids[@]}" 2>/dev/null || true
    rm -rf "$scratch"
    for ((i = 0; i < shards; i++)); do cat "$2.$i"; done >"$2"
    rm -f "$2".[0-9]* "$2".status*
    echo "${result:-survived}"
}

: >"$RESULTS"
tr ' ' '\n' <<<"$SELECTED" >"$LOGS/selected"
case $SYSTEM in
    only) echo "system tests" ;;
    0) echo "unit tests" ;;
    *) echo "unit tests$([ "$(id -u)" = 0 ] && echo ", system tests for survivors")" ;;
esac >"$LOGS/mode"
n=0 total=$(wc -w <<<"$SELECTED")
for id in $SELECTED; do
    n=$((n + 1))
    path=$(field "$id" 2)
    area=${path%%/*}
    start=$(date +%s)
    if ! why=$(python3 -c "$FAULT_PY" apply "$LIST" "$id" "$SAVED" 2>&1); then
        status="not-applied" by="$why"
    else
        CURRENT=$path
        if ! build >"$LOGS/$id.build.log" 2>&1; then
            status="not-applied" by="does not compile (see $LOGS/$id.build.log)"
        else
            result=survived
            [ "$SYSTEM" = only ] || result=$(run_tests kzvol_unit_tests "$LOGS/$id.unit.log" "$SHARDS")
            if [ "$result" = survived ] && [ "$SYSTEM" != 0 ] && [ "$(id -u)" = 0 ]; then
                result=$(run_tests kzvol_system_tests "$LOGS/$id.system.log" 1)
                [ "$result" = survived ] || result="$result (system)"
            fi
            status=${result%% *}
            by=${result#"$status"}
            by=${by# }
        fi
        restore
    fi
    printf '%s\t%s\t%s\t%s\n' "$id" "$area" "$status" "$by" >>"$RESULTS"
    printf 'fault-sample: [%d/%d] %s %s %s (%ds)\n' "$n" "$total" "$id" "$status" "$by" \
        "$(($(date +%s) - start))" >&2
done
# The tree back as it was: the build folder holds the unmodified objects again.
build >"$LOGS/final-build.log" 2>&1 || true

report
[ "$RATE" -ge "$MIN_RATE" ]
