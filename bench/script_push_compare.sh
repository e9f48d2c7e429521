#!/bin/sh
# Compares what pushes do to the alerts of a rule that requires its script
# in this tree and in an earlier revision, in rounds on one machine: each
# round runs script_load of this tree (a new hwhost for each rate, one
# scripted syslog rule with NeedTcl 1, PUSHES pushes spread over the
# SECONDS of each rate) against the hwhost of both release builds, the
# order of the two builds changing from round to round so that load from
# elsewhere falls on both.  For each rate it prints, side by side with
# each one's median, the alerts dropped unvalidated of those sent (the
# syslog engine's own drops apart, in their own table), the longest
# reload from the signal to its end, and the longest time a reload kept
# the alerts from the script process (the engines' pause to their resume
# or the new process's taking its scripts, whichever came later).
#
#   bench/script_push_compare.sh [BASELINE_BUILD [ROUNDS [RATES [PUSHES [SECONDS]]]]]
#
# BASELINE_BUILD is the release build folder of the earlier revision, made
# in a folder of its own, for example
#   mkdir ../base && git archive main | tar -x -C ../base &&
#       (cd ../base && cmake --preset release &&
#        cmake --build --preset release --target hwhost hostwarden tclProc)
# (default ../base/build/release); this tree is built in build/release (or
# HW_RELEASE_BUILD).  ROUNDS defaults to 3, RATES to 500,2000,5000,10000
# alerts a second, PUSHES to 3 and SECONDS to 6.  It needs root (the
# driver runs in a network namespace of its own).
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
baseline_dir=${1:-$source_dir/../base/build/release}
rounds=${2:-3}
rates=${3:-500,2000,5000,10000}
pushes=${4:-3}
seconds=${5:-6}
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    (cd "$source_dir" && cmake --preset release >/dev/null)
fi
cmake --build "$build_dir" --target script_load hwhost hostwarden tclProc >/dev/null
if [ ! -x "$baseline_dir/bin/hwhost" ] || [ ! -x "$baseline_dir/bin/tclProc" ]; then
    echo "script_push_compare: no hwhost or tclProc in $baseline_dir; build the baseline first" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/hw-script-push.XXXXXX")
results=$work/results
trap 'rm -rf "$work"' EXIT

# One run of script_load against the hwhost of BUILD: appends "ROUND SIDE
# RATE sent dropped engine reload-ms away-ms" for each rate.
run() {
    round=$1 side=$2 build=$3
    "$build_dir/bench/script_load" --hwhost "$build/bin/hwhost" --rates "$rates" \
        --seconds "$seconds" --need-tcl --pushes "$pushes" --no-tclsh >"$work/out" 2>&1 || true
    awk -v round="$round" -v side="$side" '
        $1 ~ /^[0-9]+$/ && NF >= 14 { print round, side, $1, $4, $10, $6, $13, $14 }' \
        "$work/out" >>"$results"
}

round=1
while [ "$round" -le "$rounds" ]; do
    if [ $((round % 2)) -eq 1 ]; then order="this baseline"; else order="baseline this"; fi
    for side in $order; do
        if [ "$side" = this ]; then build=$build_dir; else build=$baseline_dir; fi
        run "$round" "$side" "$build"
    done
    round=$((round + 1))
done

echo "pushes and a rule that requires its script (script_load --need-tcl --pushes $pushes," \
    "$seconds s a rate): this tree against $baseline_dir"
echo "(load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
awk -v rates="$rates" '
    {
        key = $2 SUBSEP $3
        sent[$1, key] = $4; dropped[$1, key] = $5; engine[$1, key] = $6
        reload[$1, key] = $7; away[$1, key] = $8
        if ($1 > last) last = $1
    }
    function median(table, key,    n, r, j, v, t) {
        n = 0
        for (r = 1; r <= last; ++r) if ((r, key) in table) v[++n] = table[r, key] + 0
        for (r = 2; r <= n; ++r) for (j = r; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
        return n == 0 ? "-" : (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2)
    }
    function table(title, values, withSent,    i, r, rate, a, b) {
        printf "\n%s\n%-7s", title, "round"
        for (i = 1; i <= count; ++i) printf " %22s", rate_list[i] "/s this / base"
        printf "\n"
        for (r = 1; r <= last; ++r) {
            printf "%-7d", r
            for (i = 1; i <= count; ++i) {
                rate = rate_list[i]
                a = ((r, "this" SUBSEP rate) in values) ? values[r, "this" SUBSEP rate] : "-"
                b = ((r, "baseline" SUBSEP rate) in values) ? values[r, "baseline" SUBSEP rate] : "-"
                printf " %22s", a " / " b
            }
            printf "\n"
        }
        printf "%-7s", "median"
        for (i = 1; i <= count; ++i) {
            rate = rate_list[i]
            printf " %22s", median(values, "this" SUBSEP rate) " / " median(values, "baseline" SUBSEP rate)
        }
        printf "\n"
    }
    END {
        count = split(rates, rate_list, ",")
        for (i = 1; i <= count; ++i) printf "%s alerts a second: %s sent each run\n", rate_list[i], median(sent, "this" SUBSEP rate_list[i])
        table("alerts dropped unvalidated (of those sent)", dropped)
        table("datagrams the syslog engine dropped", engine)
        table("longest reload, signal to end (ms)", reload)
        table("longest time a reload kept the alerts from the script process (ms)", away)
    }' "$results"
