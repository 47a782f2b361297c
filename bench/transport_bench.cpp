// Transport costs next to raw baselines on the same pty, in the same run:
//  (a) bytes per second through WriteData / ReadData of a blocking-opened
//      interface against plain write / read of the pty;
//  (b) AT round trip ("AT\r" out, read until "OK") through the overlapped
//      path (reader thread, receive buffer) against a plain poll + read loop.
// Prints the medians of the repetitions and the ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "notify/interface_types.h"
#include "platform/linux/module_override.h"
#include "transport/usb_session.h"

namespace {

constexpr std::uint32_t kBlock = 4096;

// A pty whose master the benchmark drives directly.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        grantpt(master);
        unlockpt(master);
        char name[64];
        ptsname_r(master, name, sizeof name);
        path = name;
        keep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t;
        tcgetattr(keep, &t);
        cfmakeraw(&t);
        tcsetattr(keep, TCSANOW, &t);
    }
    ~Pty() {
        close(keep);
        close(master);
    }
    std::string PortName() const { return "\\\\.\\" + path.substr(5); }
    int master;
    int keep;
    std::string path;
};

Pty& ThePty() {
    static Pty* pty = new Pty;
    return *pty;
}

// Far-end helpers on the master, each running for one benchmark.
class FarEnd {
public:
    enum class Mode { kDrain, kFeed, kAnswerAt };
    explicit FarEnd(Mode mode) : mode_(mode), thread_([this] { Run(); }) {}
    ~FarEnd() {
        stop_ = true;
        thread_.join();
        tcflush(ThePty().master, TCIOFLUSH);
    }

private:
    void Run() {
        const int fd = ThePty().master;
        char block[kBlock];
        std::memset(block, 'x', sizeof block);
        std::string line;
        while (!stop_) {
            pollfd p{fd, static_cast<short>(mode_ == Mode::kFeed ? POLLOUT : POLLIN), 0};
            if (poll(&p, 1, 10) <= 0) continue;
            if (mode_ == Mode::kFeed) {
                ssize_t n = write(fd, block, sizeof block);
                (void)n;
                continue;
            }
            ssize_t n = read(fd, block, sizeof block);
            if (n <= 0 || mode_ == Mode::kDrain) continue;
            for (ssize_t i = 0; i < n; ++i) {
                if (block[i] != '\r') continue;
                static const char kOk[] = "\r\nOK\r\n";
                ssize_t w = write(fd, kOk, sizeof kOk - 1);
                (void)w;
            }
        }
    }
    const Mode mode_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

eklv::CEKLVUSBSession& Session() {
    static eklv::CEKLVUSBSession* session = [] {
        auto dir = std::filesystem::temp_directory_path() / "eklv_transport_bench";
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "eklv.ini") << "[INF_SETTINGS]\nINF_DATA=Modem\n";
        eklv::pf::lx::OverrideModuleFileName((dir / "libeklv.so").string());
        auto* s = new eklv::CEKLVUSBSession;
        s->AddInterface(ThePty().PortName(), "Modem");
        return s;
    }();
    return *session;
}

int OpenRaw() {
    int fd = open(ThePty().path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void WaitFd(int fd, short events) {
    pollfd p{fd, events, 0};
    poll(&p, 1, 1000);
}

void BM_WriteRaw(benchmark::State& state) {
    int fd = OpenRaw();
    FarEnd far(FarEnd::Mode::kDrain);
    char block[kBlock] = {};
    for (auto _ : state) {
        std::uint32_t done = 0;
        while (done < kBlock) {
            ssize_t n = write(fd, block + done, kBlock - done);
            if (n > 0) done += static_cast<std::uint32_t>(n);
            else WaitFd(fd, POLLOUT);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
    close(fd);
}

void BM_WriteSession(benchmark::State& state) {
    auto& s = Session();
    eklv::pf::Handle h = s.OpenInterface(INF_DATA, 1);
    FarEnd far(FarEnd::Mode::kDrain);
    char block[kBlock] = {};
    for (auto _ : state) {
        std::uint32_t length = kBlock;
        if (!s.WriteData(h, block, &length)) state.SkipWithError("WriteData failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
    s.CloseInterface(INF_DATA);
}

void BM_ReadRaw(benchmark::State& state) {
    int fd = OpenRaw();
    FarEnd far(FarEnd::Mode::kFeed);
    char block[kBlock];
    for (auto _ : state) {
        std::uint32_t done = 0;
        while (done < kBlock) {
            ssize_t n = read(fd, block + done, kBlock - done);
            if (n > 0) done += static_cast<std::uint32_t>(n);
            else WaitFd(fd, POLLIN);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
    close(fd);
}

void BM_ReadSession(benchmark::State& state) {
    auto& s = Session();
    eklv::pf::Handle h = s.OpenInterface(INF_DATA, 1);
    FarEnd far(FarEnd::Mode::kFeed);
    char block[kBlock];
    for (auto _ : state) {
        std::uint32_t done = 0;
        while (done < kBlock) {
            std::uint32_t length = kBlock - done;
            if (s.ReadData(h, block + done, &length) != 0) state.SkipWithError("ReadData failed");
            done += length;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
    s.CloseInterface(INF_DATA);
}

void BM_AtRaw(benchmark::State& state) {
    int fd = OpenRaw();
    FarEnd far(FarEnd::Mode::kAnswerAt);
    char buffer[256];
    for (auto _ : state) {
        if (write(fd, "AT\r", 3) != 3) state.SkipWithError("write failed");
        std::string reply;
        while (reply.find("OK") == std::string::npos) {
            WaitFd(fd, POLLIN);
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
}

void BM_AtSession(benchmark::State& state) {
    auto& s = Session();
    eklv::pf::Handle h = s.OpenInterface(INF_DATA, 0);
    FarEnd far(FarEnd::Mode::kAnswerAt);
    char buffer[256];
    for (auto _ : state) {
        std::uint32_t length = 3;
        if (!s.WriteData(h, "AT\r", &length)) state.SkipWithError("WriteData failed");
        length = sizeof buffer;
        if (s.ReadData(h, buffer, &length) != 0) state.SkipWithError("ReadData failed");
    }
    s.CloseInterface(INF_DATA);
}

// Collects every run's time per benchmark name; the pairs run interleaved
// (raw, session, raw, session, ...) so that drifts of the machine hit both.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Iteration) times[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
        ConsoleReporter::ReportRuns(runs);
    }
    double Median(const std::string& name) {
        auto v = times[name];
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    std::map<std::string, std::vector<double>> times;  // ns per iteration (us for the AT pair)
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = 9;
    for (int i = 0; i < rounds; ++i) {
        benchmark::RegisterBenchmark("write_raw", BM_WriteRaw)->UseRealTime();
        benchmark::RegisterBenchmark("write_session", BM_WriteSession)->UseRealTime();
    }
    for (int i = 0; i < rounds; ++i) {
        benchmark::RegisterBenchmark("read_raw", BM_ReadRaw)->UseRealTime();
        benchmark::RegisterBenchmark("read_session", BM_ReadSession)->UseRealTime();
    }
    for (int i = 0; i < rounds; ++i) {
        benchmark::RegisterBenchmark("at_raw", BM_AtRaw)->UseRealTime()->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("at_session", BM_AtSession)->UseRealTime()->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto mbps = [](double ns) { return kBlock / ns * 1e9 / 1e6; };
    std::printf("\nMedians of %d interleaved rounds:\n", rounds);
    for (const char* pair : {"write", "read"}) {
        double raw = reporter.Median(std::string(pair) + "_raw");
        double ours = reporter.Median(std::string(pair) + "_session");
        if (raw == 0 || ours == 0) continue;
        std::printf("%-5s 4 KiB blocks: raw %7.1f MB/s, session %7.1f MB/s, session/raw throughput %.2f\n", pair,
                    mbps(raw), mbps(ours), raw / ours);
    }
    double raw = reporter.Median("at_raw");
    double ours = reporter.Median("at_session");
    if (raw != 0 && ours != 0)
        std::printf("AT round trip: raw poll+read %.1f us, overlapped session %.1f us, session/raw %.2f\n", raw, ours,
                    ours / raw);
    benchmark::Shutdown();
    return 0;
}
