#!/bin/sh
# Compares what pushes lose of a live adapter's frames with an earlier
# revision, in one run on one machine: ids_push_load of this tree sends
# benign frames and numbered attacks out of one end of a veth pair that
# hwhost watches, with each plug-in in turn,
#   base     the plug-in of the earlier revision (with its packet library
#            and signature module);
#   sensor   this tree's plug-in;
# at each rate (0: an idle adapter) for 8 seconds through three pushes of
# the network test policy padded with 2 MB of disabled rules (a policy a
# release build reads in some tenths of a second; --policy-mb 0 pushes the
# bare test policy, which takes some 10 ms), over rounds whose order
# changes from round to round, and prints for each run the attacks alerted
# once, never and more than once, what the host said its adapter dropped,
# and each push's time beside the time the adapter's engine took to end its
# capture thread and the time from its pause to its resume; then the
# attacks lost by each side by side, and the median times.  Both run under this tree's hwhost, so only the plug-ins differ.
# It needs root (a private network namespace).  A loaded machine may not
# keep up with the highest rates even without a push (--pushes 0 shows it).
#
#   bench/ids_push_compare.sh [BASELINE_REVISION [ids_push_load options,
#                              e.g. --rounds 3 --rates 20000 --buffer 4m]]
#
# BASELINE_REVISION (default main) is exported with git archive into
# build/ids-push-baseline and built there with the release preset; this
# tree is built in build/release (or HW_RELEASE_BUILD).
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
baseline=${1:-main}
if [ "$#" -gt 0 ]; then shift; fi
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}
baseline_dir=$source_dir/build/ids-push-baseline
# The plug-in and what it loads from beside itself.
targets="hwhost hostwarden duskdll qor-zam1 tarn"

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    (cd "$source_dir" && cmake --preset release >/dev/null)
fi
cmake --build "$build_dir" --target ids_push_load $targets >/dev/null

. "$source_dir/bench/export_baseline.sh"
export_baseline "$source_dir" "$baseline" "$baseline_dir"
if [ ! -f "$baseline_dir/src/build/release/CMakeCache.txt" ]; then
    (cd "$baseline_dir/src" && cmake --preset release >/dev/null)
fi
cmake --build "$baseline_dir/src/build/release" --target $targets >/dev/null

echo "live adapter through pushes, this tree against $baseline ($wanted)"
"$build_dir/bench/ids_push_load" --rates 0,2000,10000,50000 --seconds 8 --pushes 3 --rounds 2 --policy-mb 2 \
    --plugin base="$baseline_dir/src/build/release/bin/libhostwarden.so" \
    --plugin sensor= \
    "$@"
echo "(load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
