#!/bin/sh
# Compares the web-server engine's pace of this tree with that of an
# earlier revision, in one run on one machine: bench/web_pace of this tree
# has this tree's hw-webmodule write numbered events into the ring at a
# series of steady rates, against the hwhost of both release builds in
# turns (each rate a host of its own, the order changing from round to
# round so that load from elsewhere falls on both), and prints for every
# rate the events dropped for a full ring and the alerts written, each idle
# host's processor time and wake-ups, and what it made of bursts (5,000
# and 10,000 events a second unless --burst) after 10 and 30 quiet seconds
# (--quiet), each pair on an idle host of its own, side by side with the
# medians of the rounds.
# It needs root (a private network namespace).
#
#   bench/web_pace_compare.sh [BASELINE_REVISION [web_pace options, e.g.
#                             --rates 500,2000 --seconds 5 --rounds 3
#                             --quiet 10,30 --burst 5000,10000]]
#
# BASELINE_REVISION (default main) is exported with git archive into
# build/web-baseline and built there with the release preset; this tree is
# built in build/release (or HW_RELEASE_BUILD).  The defaults: 5 s a rate,
# rates 500 to 20,000 a second, 8 s idle (within the shortest quiet
# spell), one round.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
baseline=${1:-main}
if [ "$#" -gt 0 ]; then shift; fi
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}
baseline_dir=$source_dir/build/web-baseline
targets="hwhost hostwarden duskdll qor-zam1 tarn"

. "$source_dir/bench/export_baseline.sh"
release_build "$source_dir" "$build_dir" web_pace hw-webmodule $targets

# The baseline's sources as the revision has them, made afresh when the
# revision named is another than the one exported last.
export_baseline "$source_dir" "$baseline" "$baseline_dir"
release_build "$baseline_dir/src" "$baseline_dir/src/build/release" $targets

echo "web-server event pace, this tree against $baseline ($wanted)"
"$build_dir/bench/web_pace" --baseline "$baseline_dir/src/build/release/bin/hwhost" "$@" || true
echo "(load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
