#!/bin/sh
# Compares the rule-script road of this tree with that of an earlier
# revision, in rounds on one machine: each round runs script_road_load of
# both release builds (each with its own script process, found beside its
# bench program), once at a rate below what either takes and once far
# above it, the order of the two builds changing from round to round so
# that load from elsewhere falls on both.  For each run it reads, around
# the rate's own offering and drain:
#   the alerts validated a second (the figure above the limit);
#   the processor time of the road and of its script process per alert
#     that came back (the figure below it), from /proc;
# and, in one more round of its own with perf (which slows each system
# call, so its runs give no figure above), the system calls per alert of
# each of the two processes, all of them and getpid, futex and
# sched_yield apart.  It prints the figures side by side with each one's
# median.
#
#   bench/script_road_compare.sh [BASELINE_BUILD [ROUNDS [BELOW [ABOVE [SECONDS]]]]]
#
# BASELINE_BUILD is the release build folder of the earlier revision, made
# in a worktree of its own, for example
#   git worktree add ../base 4b8d753 && (cd ../base && cmake --preset release &&
#       cmake --build --preset release --target script_road_load tclProc)
# (default ../base/build/release); this tree is built in build/release (or
# HW_RELEASE_BUILD).  ROUNDS defaults to 6, BELOW to 10000 alerts a second,
# ABOVE to 40000, SECONDS (of offering at each rate) to 5.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
baseline_dir=${1:-$source_dir/../base/build/release}
rounds=${2:-6}
below=${3:-10000}
above=${4:-40000}
seconds=${5:-5}
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    (cd "$source_dir" && cmake --preset release >/dev/null)
fi
cmake --build "$build_dir" --target script_road_load tclProc >/dev/null
if [ ! -x "$baseline_dir/bench/script_road_load" ] || [ ! -x "$baseline_dir/bin/tclProc" ]; then
    echo "script_road_compare: no script_road_load or tclProc in $baseline_dir; build the baseline first" >&2
    exit 2
fi
use_perf=0
if command -v perf >/dev/null 2>&1 &&
    perf stat -e syscalls:sys_enter_getpid -- true >/dev/null 2>&1; then
    use_perf=1
fi
events=raw_syscalls:sys_enter,syscalls:sys_enter_getpid,syscalls:sys_enter_futex,syscalls:sys_enter_sched_yield
ticks=$(getconf CLK_TCK)

work=$(mktemp -d "${TMPDIR:-/tmp}/hw-script-road.XXXXXX")
results=$work/results
trap 'rm -rf "$work"' EXIT

# Processor ticks (user and system) of process PID; nothing once it has
# gone.
cpu_ticks() {
    if [ -n "$1" ] && [ -r "/proc/$1/stat" ]; then
        sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | awk '{ print $12 + $13 }'
    fi
}

# The system calls perf counted into FILE, as "total getpid futex yield".
syscalls_in() {
    awk -F, '
        $3 ~ /raw_syscalls/ { t = $1 } $3 ~ /getpid/ { g = $1 }
        $3 ~ /futex/ { f = $1 } $3 ~ /sched_yield/ { y = $1 }
        END { printf "%d %d %d %d\n", t, g, f, y }' "$1"
}

# One run of the build in BUILD at RATE: appends "ROUND SIDE RATE
# validated/s cpu-us/alert" to the results, or with COUNT set "SIDE RATE
# [road: total getpid futex yield] [script: ...]" (per alert) to the
# counts.
road() {
    round=$1 side=$2 build=$3 rate=$4 count=${5:-0}
    out=$work/out
    : >"$out"
    # Line by line, so that the header says when the offering starts.
    stdbuf -oL "$build/bench/script_road_load" --rates "$rate" --seconds "$seconds" >"$out" 2>&1 &
    pid=$!
    tries=0
    until grep -q "script variables per record" "$out"; do
        tries=$((tries + 1))
        if [ "$tries" -gt 1200 ] || ! kill -0 "$pid" 2>/dev/null; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
            echo "$round $side $rate - -" >>"$results"
            return
        fi
        sleep 0.05
    done
    script=$(pgrep -P "$pid" | head -n 1)
    if [ "$count" = 1 ]; then
        perf stat -x, -e "$events" -p "$pid" -o "$work/perf.road" &
        perf_road=$!
        perf stat -x, -e "$events" -p "$script" -o "$work/perf.script" &
        perf_script=$!
    fi
    road_before=$(cpu_ticks "$pid") || road_before=
    script_before=$(cpu_ticks "$script") || script_before=
    road_after=${road_before:-0}
    script_after=${script_before:-0}
    # The last look before the rate's line: the process ends soon after.
    until grep -Eq "^ *$rate " "$out" || ! kill -0 "$pid" 2>/dev/null; do
        ticks_now=$(cpu_ticks "$pid") || ticks_now=
        [ -z "$ticks_now" ] || road_after=$ticks_now
        ticks_now=$(cpu_ticks "$script") || ticks_now=
        [ -z "$ticks_now" ] || script_after=$ticks_now
        sleep 0.02
    done
    if [ "$count" = 1 ]; then
        kill -INT "$perf_road" "$perf_script" 2>/dev/null || true
        wait "$perf_road" "$perf_script" 2>/dev/null || true
        wait "$pid" || true
        grep -E "^ *$rate " "$out" | head -n 1 |
            awk -v side="$side" -v counts="$(syscalls_in "$work/perf.road") $(syscalls_in "$work/perf.script")" '
                {
                    back = $5 + $7
                    if (back < 1) back = 1
                    printf "%s %s", side, $1
                    n = split(counts, c, " ")
                    for (i = 1; i <= n; ++i) printf " %.2f", c[i] / back
                    printf "\n"
                }' >>"$work/counts"
        return
    fi
    wait "$pid" || true
    grep -E "^ *$rate " "$out" | head -n 1 |
        awk -v round="$round" -v side="$side" -v seconds="$seconds" -v ticks="$ticks" \
            -v cpu="$((road_after - ${road_before:-0} + script_after - ${script_before:-0}))" '
            {
                back = $5 + $7
                if (back < 1) back = 1
                printf "%s %s %s %.0f %.1f\n", round, side, $1, $5 / seconds, cpu / ticks * 1e6 / back
            }' >>"$results"
}

round=1
while [ "$round" -le "$rounds" ]; do
    if [ $((round % 2)) -eq 1 ]; then order="this baseline"; else order="baseline this"; fi
    for side in $order; do
        if [ "$side" = this ]; then build=$build_dir; else build=$baseline_dir; fi
        road "$round" "$side" "$build" "$below"
        road "$round" "$side" "$build" "$above"
    done
    round=$((round + 1))
done
if [ "$use_perf" = 1 ]; then
    for side in this baseline; do
        if [ "$side" = this ]; then build=$build_dir; else build=$baseline_dir; fi
        road 0 "$side" "$build" "$below" 1
        road 0 "$side" "$build" "$above" 1
    done
fi

echo "rule-script road (script_road_load, $seconds s a rate): this tree against $baseline_dir"
echo "(load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
awk -v below="$below" -v above="$above" '
    {
        key = $2 SUBSEP $3
        for (i = 4; i <= NF; ++i) value[$1, key, i] = $i
        if ($1 > last) last = $1
    }
    function median(key, i,    n, r, j, v, t) {
        n = 0
        for (r = 1; r <= last; ++r) if ((r, key, i) in value && value[r, key, i] != "-") v[++n] = value[r, key, i] + 0
        for (r = 2; r <= n; ++r) for (j = r; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
        return n == 0 ? "-" : (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2)
    }
    function table(title, rate, i,    r) {
        printf "\n%s\n%-7s %12s %12s\n", title, "round", "this", "baseline"
        for (r = 1; r <= last; ++r)
            printf "%-7d %12s %12s\n", r, value[r, "this" SUBSEP rate, i], value[r, "baseline" SUBSEP rate, i]
        printf "%-7s %12s %12s\n", "median", median("this" SUBSEP rate, i), median("baseline" SUBSEP rate, i)
    }
    END {
        table("alerts validated a second, " above " a second offered", above, 4)
        table("processor microseconds per alert (road and script process), " below " a second offered", below, 5)
    }' "$results"
if [ -s "$work/counts" ]; then
    awk '
        { for (i = 3; i <= NF; ++i) count[$1, $2, i] = $i; rates[$2] = 1 }
        END {
            split("all getpid futex sched_yield", name, " ")
            for (rate in rates) {
                printf "\nsystem calls per alert at %s a second offered (perf): this / baseline\n", rate
                printf "%-12s %20s %20s\n", "", "road process", "script process"
                for (k = 1; k <= 4; ++k)
                    printf "%-12s %9s / %-8s %9s / %-8s\n", name[k], count["this", rate, 2 + k],
                        count["baseline", rate, 2 + k], count["this", rate, 6 + k], count["baseline", rate, 6 + k]
            }
        }' "$work/counts"
fi
