#!/bin/bash
# System calls of one composite-phone arrival on the device-change thread:
# runs BM_HostOnePhone of hotplug_bench (101 plugs, the first untimed) under
# strace, once with the log off (as a station runs) and once at level 7
# with Flush=1, and counts the calls that thread makes from the bench's
# mark before a plug to its mark before the unplug (EKLV_BENCH_MARKS: an
# access() of "eklv-bench-mark:plug" and ":unplug"). The device-change
# thread is the library thread that reads eklv.ini in those windows (every
# handling reads its settings; the monitor and the window threads do not).
# Prints, for each log setting, the median, minimum and maximum over the
# timed plugs, the calls by name and the files looked at most per arrival.
#   bench/arrival_syscalls.sh [build folder]   (default build-bench)
set -euo pipefail
build=${1:-build-bench}
work=$(mktemp -d)
trap '[ -n "${KEEP_TRACE:-}" ] && cp "$work"/trace.* "$(dirname "$KEEP_TRACE")"; rm -rf "$work"' EXIT
for log in off 7; do
  logging=()
  [ "$log" = 7 ] && logging=(env "EKLV_BENCH_LOG=$work/log")
  "${logging[@]}" env EKLV_BENCH_MARKS=1 strace -f -qq -s 160 -o "$work/trace.$log" \
      "$build/bench/hotplug_bench" --benchmark_filter=BM_HostOnePhone >"$work/out" 2>&1
  echo "== log $log"
  awk '
    # First pass: the thread that reads eklv.ini between the marks.
    FNR == NR {
        if (/access\("eklv-bench-mark:plug"/) { open = 1; next }
        if (/access\("eklv-bench-mark:unplug"/) { open = 0; next }
        if (open && /eklv\.ini"/) ++ini[$1]
        next
    }
    FNR == 1 { for (t in ini) if (ini[t] > most) { most = ini[t]; thread = t } }
    /access\("eklv-bench-mark:plug"/ { open = 1; calls = 0; delete names; delete files; next }
    /access\("eklv-bench-mark:unplug"/ {
        open = 0
        if (++plugs == 1) next   # the first timed plug sets things up
        counts[plugs - 1] = calls
        for (n in names) by_name[n] += names[n]
        for (f in files) by_file[f] += files[f]
        next
    }
    !open || $1 != thread { next }
    /<\.\.\. .* resumed>/ { next }
    match($2, /^[a-z_0-9]+\(/) {
        ++calls
        ++names[substr($2, 1, RLENGTH - 1)]
        if (match($0, /"\/[^"]*"/)) {
            f = substr($0, RSTART + 1, RLENGTH - 2)
            gsub(/[0-9]+-[0-9.]+(:[0-9.]+)?/, "N", f)
            ++files[f]
        }
    }
    END {
        n = plugs - 1
        for (i = 2; i <= n; ++i)   # insertion sort: mawk has no asort
            for (j = i; j > 1 && counts[j - 1] > counts[j]; --j) { t = counts[j]; counts[j] = counts[j - 1]; counts[j - 1] = t }
        if (n <= 0 || thread == "") { print "no arrivals counted"; exit 1 }
        printf "system calls per composite-phone arrival (device-change thread, %d plugs): median %d, min %d, max %d\n",
               n, (n % 2 ? counts[(n + 1) / 2] : (counts[n / 2] + counts[n / 2 + 1]) / 2), counts[1], counts[n]
        for (c in by_name) printf "  %8.1f  %s\n", by_name[c] / n, c | "sort -rn | head -12"
        close("sort -rn | head -12")
        for (f in by_file) printf "  %8.1f  %s\n", by_file[f] / n, f | "sort -rn | head -12"
    }' "$work/trace.$log" "$work/trace.$log"
done
