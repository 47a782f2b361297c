// Core log throughput next to a bare locked vsnprintf + fputs (+ fflush)
// loop writing the same kind of line to a file in the same folder.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "core/settings.h"
#include "log/message_logger.h"
#include "platform/linux/module_override.h"
#include "support/lib_folder.h"

namespace {

using namespace eklv;

std::mutex g_baseline_mutex;

void BaselineLine(std::FILE* f, bool flush, const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_baseline_mutex);
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::fputs(buffer, f);
    if (flush) std::fflush(f);
}

void FormatOnly(char* buffer, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, size, format, args);
    va_end(args);
}

struct LogFolder {
    explicit LogFolder(const char* ini) : dir(ini) { InitSettings(); }
    ~LogFolder() { CKLVMessageLogger::UnInitialize(); }
    test::ModuleFolder dir;
};

void BM_Baseline(benchmark::State& state) {
    test::TempFolder dir;
    std::FILE* f = std::fopen(dir.File("baseline.log").c_str(), "a+");
    const bool flush = state.range(0) != 0;
    int i = 0;
    for (auto _ : state)
        BaselineLine(f, flush, "12:00:00.000  [TID 1234] [DID %d] CKLVSessionMgr::OpenDeviceInterface - (%d), handle = (%#x)\n",
                     3, 0x8003, ++i);
    std::fclose(f);
    state.SetItemsProcessed(state.iterations());
}

void BM_LogMessage(benchmark::State& state) {
    const bool flush = state.range(0) != 0;
    LogFolder folder(flush ? "[CORE_LOGGING]\nLevel=7\nFlush=1\n" : "[CORE_LOGGING]\nLevel=7\nFlush=0\n");
    int i = 0;
    for (auto _ : state)
        LogMessage(3, kLogInfo, kCatGeneral, "CKLVSessionMgr::OpenDeviceInterface - (%d), handle = (%#x)", 0x8003, ++i);
    state.SetItemsProcessed(state.iterations());
}

void BM_FormatOnly(benchmark::State& state) {
    char buffer[512];
    int i = 0;
    for (auto _ : state) {
        FormatOnly(buffer, sizeof buffer, "CKLVSessionMgr::OpenDeviceInterface - (%d), handle = (%#x)", 0x8003, ++i);
        benchmark::DoNotOptimize(buffer);
    }
}

void BM_LogFilteredOut(benchmark::State& state) {
    LogFolder folder("[CORE_LOGGING]\nLevel=4\n");
    int i = 0;
    for (auto _ : state)
        LogMessage(3, kLogInfo, kCatGeneral, "CKLVSessionMgr::OpenDeviceInterface - (%d), handle = (%#x)", 0x8003, ++i);
}

BENCHMARK(BM_Baseline)->Arg(1)->Arg(0)->ArgName("flush");
BENCHMARK(BM_LogMessage)->Arg(1)->Arg(0)->ArgName("flush");
BENCHMARK(BM_FormatOnly);
BENCHMARK(BM_LogFilteredOut);

}  // namespace
