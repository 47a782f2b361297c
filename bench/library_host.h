// A host of the library for the benchmarks: a copy of libeklv.so loaded
// from a temporary folder (as a host program loads it) with an eklv.ini
// that supports the rig's phones, initialised in self-monitoring mode with
// a host window (support/host_window.h) that counts the interface arrivals
// and removals it receives and keeps the time of the latest.
#pragma once

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "discovery/standard_rig.h"
#include "eklv/eklv_host.h"
#include "support/host_window.h"
#include "support/lib_folder.h"
#include "thread_cpu.h"

namespace eklv::bench {

using Clock = std::chrono::steady_clock;

using Counter = test::EventCounter;

// The rig's composite phones (6b4d:2001) are supported; their modem is
// INF_DATA. One attempt to add an interface: a failure shows as a missing
// arrival, not as a retry delay. Logging stays off unless asked for.
inline std::string BenchIni(const std::string& logging = "") {
    return logging + test::kStandardIni +
           "[GUID]\nGUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73\n"
           "GUID_1=f18a0e88-c30c-11d0-8815-00a0c906bed8\n"
           "[MODEM_PARAMS]\nMODEM_CREATE_RETRY=1\nMODEM_WAIT=0\n";
}

// The library loaded and initialised for the lifetime of the object. Build
// the rig before, destroy this before the rig. With EKLV_BENCH_LOG naming a
// file, the library logs every line, flushed (each line carries the time in
// milliseconds and the thread), and the log is appended to that file at the
// end: for finding where the time goes, not for the figures.
class LibraryHost {
public:
    // first: ini text put before the rest; its keys win over BenchIni's.
    explicit LibraryHost(const std::string& first = "")
        : lib_(BenchIni((LogFile() != nullptr ? "[CORE_LOGGING]\nLevel=0x7\nFlush=1\n" : "") + first)) {
        if (!lib_.ok()) {
            std::fprintf(stderr, "cannot load libeklv.so (EKLV_LIBRARY=%s)\n",
                         getenv("EKLV_LIBRARY") ? getenv("EKLV_LIBRARY") : "");
            return;
        }
        setenv("EKLV_COMMON_APPDATA", lib_.path().c_str(), 1);
        cpu.SetOutsiders(ReadThreadTimes());  // the library's threads come next
        EKLVInitParams params{};
        params.client_window = window.hwnd();
        params.self_monitoring = 1;
        ok_ = lib_.Initialize(&params) == 0;
    }
    ~LibraryHost() {
        if (ok_) lib_.Uninitialize();
        unsetenv("EKLV_COMMON_APPDATA");
        if (LogFile() != nullptr)
            if (FILE* out = std::fopen(LogFile(), "a")) {
                const std::string log = lib_.ReadLogs();
                std::fwrite(log.data(), 1, log.size(), out);
                std::fclose(out);
            }
    }
    bool ok() const { return ok_; }
    test::LoadedLibrary& lib() { return lib_; }
    test::HostWindow window;
    // CPU of the library's threads per timed plug (TimeHostPlug adds).
    LibraryCpu cpu;

private:
    static const char* LogFile() { return getenv("EKLV_BENCH_LOG"); }
    test::LoadedLibrary lib_;
    bool ok_ = false;
};

// One plug as the host benchmarks time it: the window's counters reset,
// plug() called, `count` arrivals awaited and the time from the plug to
// the last of them given to the benchmark; then, untimed, unplug() called
// and as many removals awaited. baseline(start) runs after the arrivals
// (the wait of a baseline timed in the same plug; false when it failed).
// The CPU of the library's threads from the plug to a moment after the
// arrivals (when the arrival's last steps are done) goes to host.cpu. With
// EKLV_BENCH_MARKS set, the plug and the unplug are marked for strace by an
// access() of "eklv-bench-mark:plug" and ":unplug" (bench/arrival_syscalls.sh).
// Answers the plug-to-arrival time in microseconds, or -1 after
// SkipWithError.
template <typename Plug, typename Unplug, typename Baseline>
double TimeHostPlug(benchmark::State& state, LibraryHost& host, int count, Plug plug, Unplug unplug,
                    Baseline baseline) {
    host.window.arrivals.Reset();
    host.window.removals.Reset();
    const bool marks = getenv("EKLV_BENCH_MARKS") != nullptr;
    if (marks) (void)access("eklv-bench-mark:plug", F_OK);
    const ThreadTimes cpu_from = ReadThreadTimes();
    const Clock::time_point start = Clock::now();
    Clock::time_point at;
    plug();
    if (!host.window.arrivals.Wait(count, &at) || !baseline(start)) {
        state.SkipWithError("arrivals missing");
        return -1;
    }
    const double us = std::chrono::duration<double, std::micro>(at - start).count();
    state.SetIterationTime(us / 1e6);
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host.cpu.Add(cpu_from, ReadThreadTimes());
    if (marks) (void)access("eklv-bench-mark:unplug", F_OK);
    unplug();
    if (!host.window.removals.Wait(count)) state.SkipWithError("removals missing");
    state.ResumeTiming();
    return us;
}

// Points LoadedLibrary at the libeklv.so of this build unless the
// environment names another.
inline void UseBuiltLibrary() { setenv("EKLV_LIBRARY", EKLV_LIBRARY_FILE, 0); }

// A benchmark program's start: under umockdev, with this build's library,
// every benchmark the command line selects run.
inline void RunOnUmockdev(int& argc, char** argv) {
    test::RunUnderUmockdev(argc, argv);
    UseBuiltLibrary();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
}

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace eklv::bench
