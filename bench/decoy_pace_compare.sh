#!/bin/sh
# Compares the decoy engine's pace of this tree with that of an earlier
# revision, in one run on one machine: bench/decoy_pace of this tree has
# peers knock on one decoy port at a series of rates, through pushes,
# against the hwhost of both release builds in turns (each rate a host of
# its own, the order changing from round to round so that load from
# elsewhere falls on both), and prints for every rate the connections a
# second each alerted on, the handshakes that failed, the connections the
# system dropped for a full backlog and those not alerted, side by side
# with the medians of the rounds.  It needs root (a private network
# namespace).
#
#   bench/decoy_pace_compare.sh [BASELINE_REVISION [decoy_pace options, e.g.
#                                --rates 20,100 --rounds 3 --pushes 5]]
#
# BASELINE_REVISION (default main) is exported with git archive into
# build/decoy-baseline and built there with the release preset; this tree
# is built in build/release (or HW_RELEASE_BUILD).  The defaults: 3 peers,
# 10 s a rate, 5 pushes a rate, rates 2 to 1,000 a second, one round.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
baseline=${1:-main}
if [ "$#" -gt 0 ]; then shift; fi
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}
baseline_dir=$source_dir/build/decoy-baseline
targets="hwhost hostwarden"

. "$source_dir/bench/export_baseline.sh"
release_build "$source_dir" "$build_dir" decoy_pace $targets

# The baseline's sources as the revision has them, made afresh when the
# revision named is another than the one exported last.
export_baseline "$source_dir" "$baseline" "$baseline_dir"
release_build "$baseline_dir/src" "$baseline_dir/src/build/release" $targets

echo "decoy pace, this tree against $baseline ($wanted)"
"$build_dir/bench/decoy_pace" --pushes 5 --baseline "$baseline_dir/src/build/release/bin/hwhost" "$@" || true
echo "(load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
