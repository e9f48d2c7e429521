#!/bin/sh
# Compares the replay adapter's capture reading of this tree with that of an
# earlier revision, in one run on one machine: the release builds of both
# run this tree's bench/rawpacket_bench (frames read and freed through a
# packet driver, of mixed sizes and of 9,000, 20,000 and 60,000 bytes) and
# bench/ids_replay (ReplayFloor: the same with nothing else;
# SlaveCapture: frames through an IDS slave and the signature module), in
# turns, round after round, and the frames per second of every run are
# printed side by side with each one's median.  Runs alternate so that load
# from elsewhere falls on both; on a shared machine the spread between
# rounds says how far to trust a difference.
#
#   bench/replay_reader_compare.sh [BASELINE_REVISION [ROUNDS]]
#
# BASELINE_REVISION (default 00740bd^, the reader on stdio streams) is
# exported with git archive into build/replay-baseline and built there with
# the release preset; this tree is built in build/release (or
# HW_RELEASE_BUILD).
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
baseline=${1:-00740bd^}
rounds=${2:-5}
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}
baseline_dir=$source_dir/build/replay-baseline
targets="rawpacket_bench ids_replay"

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    (cd "$source_dir" && cmake --preset release >/dev/null)
fi
cmake --build "$build_dir" --target $targets >/dev/null

# The baseline's sources as the revision has them, made afresh when the
# revision named is another than the one exported last.
. "$source_dir/bench/export_baseline.sh"
export_baseline "$source_dir" "$baseline" "$baseline_dir"
# Both sides run this tree's benchmarks, so that only the reader differs.
for file in rawpacket_bench.cpp ids_replay.cpp BenignFrames.h; do
    if ! cmp -s "$source_dir/bench/$file" "$baseline_dir/src/bench/$file"; then
        cp "$source_dir/bench/$file" "$baseline_dir/src/bench/$file"
    fi
done
if [ ! -f "$baseline_dir/src/build/release/CMakeCache.txt" ]; then
    (cd "$baseline_dir/src" && cmake --preset release >/dev/null)
fi
cmake --build "$baseline_dir/src/build/release" --target $targets >/dev/null

# items_per_second of each benchmark a run prints (CSV), as "name rate".
rates() {
    "$@" --benchmark_format=csv 2>/dev/null | awk -F, '
        NR == 1 { for (i = 1; i <= NF; ++i) if ($i == "items_per_second") column = i; next }
        column && $column != "" { gsub(/"/, "", $1); printf "%s %.0f\n", $1, $column }'
}

results=$(mktemp)
trap 'rm -f "$results"' EXIT
round=1
while [ "$round" -le "$rounds" ]; do
    for side in this baseline; do
        if [ "$side" = this ]; then bench=$build_dir/bench; else bench=$baseline_dir/src/build/release/bench; fi
        # One benchmark per run: the CSV form wants the same counters in
        # every row.
        for run in rawpacket_bench:ReadReplayFrames/0 rawpacket_bench:ReadReplayFrames/20000 \
            rawpacket_bench:ReadReplayFrames/9000 rawpacket_bench:ReadReplayFrames/60000 ids_replay:ReplayFloor ids_replay:SlaveCapture; do
            rates "$bench/${run%%:*}" --benchmark_filter="^${run#*:}" | while read -r name rate; do
                echo "$round $side $name $rate" >> "$results"
            done
        done
    done
    round=$((round + 1))
done

echo "frames per second, this tree against $baseline ($wanted), $rounds rounds"
echo "(load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
awk -f "$source_dir/bench/compare_table.awk" "$results"
