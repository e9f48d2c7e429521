#!/bin/sh
# Compares what pushes lose of a syslog stream with an earlier revision, in
# one run on one machine: syslog_push_load of this tree offers numbered
# failed log-ins to hwhost on a copy of the demo's sensor root, with each
# plug-in in turn,
#   base     the plug-in of the earlier revision;
#   sensor   this tree's plug-in;
# at each rate for 6 seconds through two pushes of the demo's policy, over
# several rounds whose order changes from round to round, and prints for
# each run the datagrams alerted once, never and more than once, the drops
# reported, how far the alerts ended behind the sender, and each push's
# time beside the time it kept the rules from the datagrams and the longest
# stillness of the alerts around it, then the datagrams lost by each side by
# side and the median time the pushes kept the rules away.  Both run under
# this tree's hwhost, so only the plug-ins differ.  It needs root (a
# private network namespace).  The machine should be quiet: a loaded one
# cannot keep up with the rate even without a push (--pushes 0 shows it).
#
#   bench/syslog_push_compare.sh [BASELINE_REVISION [syslog_push_load
#                                options, e.g. --rounds 5 --rates 100000]]
#
# BASELINE_REVISION (default main) is exported with git archive into
# build/syslog-push-baseline and built there with the release preset; this
# tree is built in build/release (or HW_RELEASE_BUILD).
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
baseline=${1:-main}
if [ "$#" -gt 0 ]; then shift; fi
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}
baseline_dir=$source_dir/build/syslog-push-baseline
# The plug-in and what it loads from beside itself.
targets="hwhost hostwarden tclProc duskdll qor-zam1 tarn"

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    (cd "$source_dir" && cmake --preset release >/dev/null)
fi
cmake --build "$build_dir" --target syslog_push_load $targets >/dev/null

. "$source_dir/bench/export_baseline.sh"
export_baseline "$source_dir" "$baseline" "$baseline_dir"
if [ ! -f "$baseline_dir/src/build/release/CMakeCache.txt" ]; then
    (cd "$baseline_dir/src" && cmake --preset release >/dev/null)
fi
cmake --build "$baseline_dir/src/build/release" --target $targets >/dev/null

echo "syslog through pushes, this tree against $baseline ($wanted)"
"$build_dir/bench/syslog_push_load" --rates 25000,50000,100000,150000 --seconds 6 --pushes 2 --rounds 3 \
    --senders 2 \
    --plugin base="$baseline_dir/src/build/release/bin/libhostwarden.so" \
    --plugin sensor= \
    "$@"
echo "(load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
