#!/bin/sh
# Times the stop of hwhost on the demo sensor root, for the release build of
# this tree and for that of an earlier revision, in pairs on one machine:
# each run starts `hwhost run --root` on a fresh copy of examples/demo (the
# network engine on the demo's capture, as scripts/run plays it), waits until
# the start-up summary is out and the script process holds its scripts,
# sends SIGTERM and measures the time until hwhost has ended.  The two builds
# take turns, so load from elsewhere falls on both; the seconds of every
# pair are printed side by side with each one's median.
#
#   bench/stop_time_compare.sh [BASELINE_BUILD [PAIRS]]
#
# BASELINE_BUILD is the release build folder of the earlier revision, made
# in a worktree of its own, for example
#   git worktree add ../base 06404e9 && (cd ../base && cmake --preset release &&
#       cmake --build --preset release --target hwhost hostwarden tclProc duskdll qor-zam1 tarn)
# (default ../base/build/release); this tree is built in build/release (or
# HW_RELEASE_BUILD).  PAIRS defaults to 10.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
baseline_dir=${1:-$source_dir/../base/build/release}
pairs=${2:-10}
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}
targets="hwhost hostwarden tclProc duskdll qor-zam1 tarn"

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    (cd "$source_dir" && cmake --preset release >/dev/null)
fi
cmake --build "$build_dir" --target $targets >/dev/null
if [ ! -x "$baseline_dir/bin/hwhost" ]; then
    echo "stop_time_compare: no hwhost in $baseline_dir/bin; build the baseline first" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/hw-stop.XXXXXX")
results=$work/results
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }

# Seconds from SIGTERM to the end of the hwhost in BIN_DIR, or "-" when it
# did not come up.
stop_time() {
    bin=$1
    root=$work/root
    rm -rf "$root"
    mkdir -p "$root"
    cp -R "$source_dir/examples/demo/." "$root/"
    sed -i "s|@SENSOR_ROOT@|$root|g" "$root/Default.policy"
    mkdir -p "$root/replay"
    HW_PACKET_REPLAY="$root/captures/network-attacks.pcap" HW_PACKET_REPLAY_PACE=1 \
        HW_PACKET_MONITOR='\Device\replay0' HW_PACKET_REPLAY_OUT="$root/replay" \
        "$bin/hwhost" run --root "$root" --alerts "$root/alerts.xml" >"$root/console" 2>&1 &
    pid=$!
    # Up: the summary is out and the script process has taken its scripts.
    tries=0
    until grep -q "log rules:" "$root/console" 2>/dev/null &&
        grep -q "Completed tcl script initialization" "$root/logs/hwhost.log" 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -gt 600 ] || ! kill -0 "$pid" 2>/dev/null; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
            echo "-"
            return
        fi
        sleep 0.1
    done
    start=$(now)
    kill -TERM "$pid"
    wait "$pid" || true
    end=$(now)
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

pair=1
while [ "$pair" -le "$pairs" ]; do
    echo "$pair this $(stop_time "$build_dir/bin")" >>"$results"
    echo "$pair baseline $(stop_time "$baseline_dir/bin")" >>"$results"
    pair=$((pair + 1))
done

echo "seconds from SIGTERM to the end of hwhost on the demo root: this tree against $baseline_dir"
echo "(load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
awk '
    { time[$1, $2] = $3; if ($1 > last) last = $1 }
    function median(side,    n, i, j, v, t) {
        n = 0
        for (i = 1; i <= last; ++i) if (time[i, side] != "-") v[++n] = time[i, side]
        for (i = 2; i <= n; ++i) for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
        return n == 0 ? "-" : (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2)
    }
    END {
        printf "%-6s %10s %10s\n", "pair", "this", "baseline"
        for (i = 1; i <= last; ++i) printf "%-6d %10s %10s\n", i, time[i, "this"], time[i, "baseline"]
        printf "%-6s %10s %10s\n", "median", median("this"), median("baseline")
    }' "$results"
