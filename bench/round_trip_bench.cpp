// AT round trips per second on 8 phones at once: 8 host threads, each on
// its own phone's modem, loop WriteData("AT\r") / ReadData until "OK"
// through a loaded copy of libeklv.so (self-monitoring, the modem opened as
// INF_DATA); next to 8 threads doing the same on the 8 pty slaves directly
// (write, then poll + read until "OK"), against the same modem emulators,
// in the same run. Also one thread on one phone. The library runs the
// overlapped path (reader thread, read until a final result) and, briefly,
// the blocking path, whose reads end only after the port's read interval
// time-out (100 ms by default) has passed without a byte. Rounds alternate
// between the baseline and the library; medians are printed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "library_host.h"
#include "rig/modem_emulator.h"
#include "rig/usb_rig.h"

namespace {

using eklv::bench::Clock;
using eklv::bench::Median;
using eklv::test::ModemEmulator;
using eklv::test::RigInterface;
using eklv::test::UsbRig;

constexpr int kPhones = 8;

// 8 composite phones on one hub, each modem served by an emulator, and the
// library initialised after them (its start-up scan announces the phones).
struct Phones {
    UsbRig rig;
    std::vector<std::unique_ptr<ModemEmulator>> modems;
    std::unique_ptr<eklv::bench::LibraryHost> host;
    std::vector<std::uint32_t> ids;  // device id of the phone whose modem is ttyACM<i>
    std::vector<std::string> slaves;  // the pty slave of ttyACM<i>

    bool Start() {
        auto hub = rig.AddHub(rig.AddRootHub(rig.AddPciController(), 1), 1, kPhones);
        for (int i = 0; i < kPhones; ++i) {
            const std::string tty = "ttyACM" + std::to_string(i);
            rig.AddCompositePhone(hub, i + 1, 0x6b4d, 0x2001,
                                  {RigInterface::Modem(tty), RigInterface::Mtp(), RigInterface::Data()});
            modems.push_back(std::make_unique<ModemEmulator>(rig.TtyFd(tty)));
            char name[64];
            if (!modems.back()->ok() || ptsname_r(rig.TtyFd(tty), name, sizeof name) != 0) return false;
            slaves.push_back(name);
        }
        host = std::make_unique<eklv::bench::LibraryHost>();
        if (!host->ok() || !host->window.arrivals.Wait(kPhones)) return false;
        ids.assign(kPhones, EKLV_NO_DEVICE);
        for (std::uint32_t id : host->window.ArrivedIds()) {
            EKLVString port;
            EKLVStringInit(&port);
            if (host->lib().GetComPort(id, INF_DATA, &port) == 0) {
                std::string name = EKLVStringGet(&port);
                if (name.rfind("ttyACM", 0) == 0) ids.at(std::stoul(name.substr(6))) = id;
            }
            EKLVStringFree(&port);
        }
        return std::count(ids.begin(), ids.end(), EKLV_NO_DEVICE) == 0;
    }
    ~Phones() { host.reset(); }  // the library goes before the emulators and the rig
};

Phones* g_phones = nullptr;
std::map<std::string, std::vector<double>> g_rates;  // round trips per second, per benchmark name

// One AT round trip on a phone; false when it failed.
using RoundTrip = std::function<bool()>;

// Runs one round trip loop per phone on threads of its own for about
// duration; answers the round trips per second of all threads together, or
// a negative value when one failed.
double Run(const std::vector<RoundTrip>& loops, std::chrono::milliseconds duration) {
    std::atomic<bool> go{false}, stop{false}, failed{false};
    std::atomic<long> total{0};
    std::vector<std::thread> threads;
    for (const RoundTrip& trip : loops)
        threads.emplace_back([&, trip] {
            while (!go) std::this_thread::yield();
            long n = 0;
            while (!stop) {
                if (!trip()) {
                    failed = true;
                    break;
                }
                ++n;
            }
            total += n;
        });
    const auto start = Clock::now();
    go = true;
    std::this_thread::sleep_for(duration);
    stop = true;
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return failed ? -1 : total / seconds;
}

// A pty slave opened as the baseline uses it (the rig keeps the tty raw).
class RawPort {
public:
    explicit RawPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~RawPort() {
        if (fd_ >= 0) close(fd_);
    }
    bool RoundTrip() {
        if (write(fd_, "AT\r", 3) != 3) return false;
        std::string reply;
        char buffer[256];
        while (reply.find("OK") == std::string::npos) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 8000) <= 0) return false;
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0) reply.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EAGAIN) return false;
        }
        return true;
    }

private:
    int fd_;
};

// A phone's modem opened through the library.
class LibraryPort {
public:
    LibraryPort(eklv::test::LoadedLibrary& lib, std::uint32_t id, std::uint32_t synchronous) : lib_(lib), id_(id) {
        ok_ = lib_.OpenDevice(id_, INF_DATA, &handle_, synchronous) == 0;
    }
    ~LibraryPort() {
        if (ok_) lib_.CloseDevice(id_, INF_DATA);
    }
    bool RoundTrip() {
        if (!ok_ || lib_.WriteData(id_, handle_, "AT\r", 3) != 0) return false;
        std::string reply;
        char buffer[256];
        while (reply.find("OK") == std::string::npos) {
            std::uint32_t length = sizeof buffer;
            if (lib_.ReadData(id_, handle_, buffer, &length) != 0) return false;
            reply.append(buffer, std::min<std::size_t>(length, sizeof buffer));
        }
        return true;
    }

private:
    eklv::test::LoadedLibrary& lib_;
    std::uint32_t id_;
    EKLV_HANDLE handle_ = EKLV_INVALID_HANDLE_VALUE;
    bool ok_ = false;
};

// Ports of one kind on the first `phones` phones, measured for duration;
// the rates are kept under key.
template <typename Port, typename... Args>
void Measure(benchmark::State& state, const std::string& key, int phones, std::chrono::milliseconds duration,
             Args&&... make) {
    if (g_phones == nullptr) {
        state.SkipWithError("no rig");
        return;
    }
    for (auto _ : state) {
        std::vector<std::unique_ptr<Port>> ports;
        std::vector<RoundTrip> loops;
        for (int i = 0; i < phones; ++i) {
            ports.push_back(std::make_unique<Port>(make(i)...));
            Port* port = ports.back().get();
            loops.push_back([port] { return port->RoundTrip(); });
        }
        const double rate = Run(loops, duration);
        if (rate < 0) {
            state.SkipWithError("a round trip failed");
            break;
        }
        g_rates[key].push_back(rate);
        state.SetIterationTime(duration.count() / 1e3);
        state.counters["round_trips_per_s"] = rate;
    }
}

void BM_Raw(benchmark::State& state, const char* key, int phones) {
    Measure<RawPort>(state, key, phones, std::chrono::milliseconds(1000), [](int i) { return g_phones->slaves[i]; });
}

void BM_Library(benchmark::State& state, const char* key, int phones, std::uint32_t synchronous, int ms) {
    Measure<LibraryPort>(
        state, key, phones, std::chrono::milliseconds(ms), [](int) -> auto& { return g_phones->host->lib(); },
        [](int i) { return g_phones->ids[i]; }, [synchronous](int) { return synchronous; });
}

void Print(const char* what, const std::string& raw_name, const std::string& ours_name) {
    const double raw = Median(g_rates[raw_name]), ours = Median(g_rates[ours_name]);
    if (raw <= 0 || ours <= 0) return;
    std::printf("%-34s raw ptys %9.0f /s   library %9.0f /s   library/raw %.3f  (medians of %zu and %zu)\n", what, raw,
                ours, ours / raw, g_rates[raw_name].size(), g_rates[ours_name].size());
}

}  // namespace

int main(int argc, char** argv) {
    eklv::test::RunUnderUmockdev(argc, argv);
    eklv::bench::UseBuiltLibrary();
    auto phones = std::make_unique<Phones>();
    if (!phones->Start()) {
        std::fprintf(stderr, "the rig's phones did not all arrive at the library\n");
        return 1;
    }
    g_phones = phones.get();

    const int rounds = 5;
    auto add = [](const char* name, auto fn, auto... args) {
        benchmark::RegisterBenchmark(name, fn, name, args...)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    };
    for (int i = 0; i < rounds; ++i) {
        add("raw_8_threads", BM_Raw, kPhones);
        add("overlapped_8_threads", BM_Library, kPhones, 0u, 1000);
    }
    for (int i = 0; i < rounds; ++i) {
        add("raw_1_thread", BM_Raw, 1);
        add("overlapped_1_thread", BM_Library, 1, 0u, 1000);
    }
    for (int i = 0; i < 3; ++i) {
        add("raw_8_threads_b", BM_Raw, kPhones);
        add("blocking_8_threads", BM_Library, kPhones, 1u, 2000);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("\nAT round trips per second, all threads together:\n");
    Print("8 phones, 8 threads, overlapped", "raw_8_threads", "overlapped_8_threads");
    Print("1 phone, 1 thread, overlapped", "raw_1_thread", "overlapped_1_thread");
    Print("8 phones, 8 threads, blocking", "raw_8_threads_b", "blocking_8_threads");
    benchmark::Shutdown();
    g_phones = nullptr;
    return 0;
}
