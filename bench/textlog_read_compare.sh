#!/bin/sh
# Compares the text-log read path of this tree with that of an earlier
# revision, in one run on one machine: the release builds of both run this
# tree's bench/textlog_bench (lines of 100, 1,000 and 10,000 bytes read
# through a followed file's reader, echoed or within the echo budget, and a
# run of 256 MiB of NULs passed over before a line), in turns, round after
# round, and the bytes per second of every run are printed side by side
# with each one's median.  Runs alternate so that load from elsewhere falls
# on both; on a shared machine the spread between rounds says how far to
# trust a difference.
#
#   bench/textlog_read_compare.sh [BASELINE_REVISION [ROUNDS]]
#
# BASELINE_REVISION (default main) is exported with git archive into
# build/textlog-baseline and built there with the release preset; this tree
# is built in build/release (or HW_RELEASE_BUILD).
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
baseline=${1:-main}
rounds=${2:-5}
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}
baseline_dir=$source_dir/build/textlog-baseline
targets="textlog_bench"

. "$source_dir/bench/export_baseline.sh"
release_build "$source_dir" "$build_dir" $targets

# The baseline's sources as the revision has them, made afresh when the
# revision named is another than the one exported last.
export_baseline "$source_dir" "$baseline" "$baseline_dir"
# Both sides run this tree's benchmark, so that only the reader differs.
if ! cmp -s "$source_dir/bench/textlog_bench.cpp" "$baseline_dir/src/bench/textlog_bench.cpp"; then
    cp "$source_dir/bench/textlog_bench.cpp" "$baseline_dir/src/bench/textlog_bench.cpp"
fi
release_build "$baseline_dir/src" "$baseline_dir/src/build/release" $targets

# bytes_per_second of each benchmark a run prints (CSV), as "name rate".
rates() {
    "$@" --benchmark_format=csv 2>/dev/null | awk -F, '
        NR == 1 { for (i = 1; i <= NF; ++i) if ($i == "bytes_per_second") column = i; next }
        column && $column != "" { gsub(/"/, "", $1); printf "%s %.0f\n", $1, $column }'
}

results=$(mktemp)
trap 'rm -f "$results"' EXIT
round=1
while [ "$round" -le "$rounds" ]; do
    for side in this baseline; do
        if [ "$side" = this ]; then bench=$build_dir/bench; else bench=$baseline_dir/src/build/release/bench; fi
        rates "$bench/textlog_bench" | while read -r name rate; do
            echo "$round $side $name $rate" >> "$results"
        done
    done
    round=$((round + 1))
done

echo "bytes per second, this tree against $baseline ($wanted), $rounds rounds"
echo "(load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
awk -f "$source_dir/bench/compare_table.awk" "$results"
