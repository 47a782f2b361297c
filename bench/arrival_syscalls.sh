#!/bin/bash
# System calls of one composite-phone arrival on the device-change thread,
# with the log at level 7 and Flush=1: runs BM_HostOnePhone of
# hotplug_bench (101 plugs, the first untimed) under strace and counts the
# calls that thread makes from taking an arrival record off its queue
# ("DeviceQ size = (1)") to waiting again ("DeviceQ size = (0)"). The
# thread is found by its log lines, which the log writes as it goes.
# Prints the median, minimum and maximum over the timed plugs, the calls
# by name and the files opened, read or looked at most per arrival.
#   bench/arrival_syscalls.sh [build folder]   (default build-bench)
set -euo pipefail
build=${1:-build-bench}
work=$(mktemp -d)
trap '[ -n "${KEEP_TRACE:-}" ] && cp "$work/trace" "$KEEP_TRACE"; rm -rf "$work"' EXIT
EKLV_BENCH_LOG="$work/log" strace -f -qq -s 160 -o "$work/trace" \
    "$build/bench/hotplug_bench" --benchmark_filter=BM_HostOnePhone >"$work/out" 2>&1
awk '
    !thread && /write\(.*DeviceChangeNotice - DeviceQ size/ { thread = $1 }
    $1 != thread { next }
    /DeviceQ size = \(1\)/ { open = 1; calls = 0; arrival = 0; delete names; delete files; next }
    !open { next }
    /DeviceQ size = \(0\)/ {
        open = 0
        if (!arrival) next
        if (++arrivals == 1) next   # the first plug sets things up
        counts[arrivals - 1] = calls
        for (n in names) by_name[n] += names[n]
        for (f in files) by_file[f] += files[f]
        next
    }
    /HandleDeviceNotification - Arrival/ { arrival = 1 }
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
        n = arrivals - 1
        for (i = 2; i <= n; ++i)   # insertion sort: mawk has no asort
            for (j = i; j > 1 && counts[j - 1] > counts[j]; --j) { t = counts[j]; counts[j] = counts[j - 1]; counts[j - 1] = t }
        if (n == 0) { print "no arrivals counted"; exit 1 }
        printf "system calls per composite-phone arrival (device-change thread, %d plugs): median %d, min %d, max %d\n",
               n, (n % 2 ? counts[(n + 1) / 2] : (counts[n / 2] + counts[n / 2 + 1]) / 2), counts[1], counts[n]
        for (c in by_name) printf "  %8.1f  %s\n", by_name[c] / n, c | "sort -rn | head -12"
        close("sort -rn | head -12")
        for (f in by_file) printf "  %8.1f  %s\n", by_file[f] / n, f | "sort -rn | head -12"
    }' "$work/trace"
