# Prints the rates of a compare script's rounds side by side, with each
# one's median: reads lines "ROUND SIDE NAME RATE" (SIDE "this" or
# "baseline").  Rates are printed whole, however large.
{ rate[$3, $2, $1] = $4; names[$3] = 1; if ($1 > last) last = $1 }
function median(name, side,    values, n, i, j, t) {
    n = 0
    for (i = 1; i <= last; ++i) if ((name, side, i) in rate) values[++n] = rate[name, side, i]
    for (i = 2; i <= n; ++i) for (j = i; j > 1 && values[j - 1] > values[j]; --j) {
        t = values[j]; values[j] = values[j - 1]; values[j - 1] = t
    }
    return n % 2 ? values[(n + 1) / 2] : (values[n / 2] + values[n / 2 + 1]) / 2
}
END {
    for (name in names) {
        printf "\n%s\n  %-6s %14s %14s\n", name, "round", "this tree", "baseline"
        for (i = 1; i <= last; ++i) printf "  %-6d %14.0f %14.0f\n", i, rate[name, "this", i], rate[name, "baseline", i]
        this = median(name, "this"); base = median(name, "baseline")
        printf "  %-6s %14.0f %14.0f   (this tree %+.1f%%)\n", "median", this, base, base ? (this - base) * 100 / base : 0
    }
}
