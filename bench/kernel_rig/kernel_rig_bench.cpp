// Benchmarks on the real-kernel rig (tools/rig/kernel/run.sh --phones 8,
// with or without --udevd), each beside a raw baseline in the same guest.
// Runs of the library and of the baseline alternate, round after round, so
// that the guest's drift over time falls on both alike:
//  - one phone, and eight phones bound at once: plug (gadget bind) to the
//    host window's last WM_ZORVAN_INTERFACE_ARRIVAL, against the last tty
//    "add" the baseline hears: a bare libudev monitor on the "udev" source
//    where udevd runs (what a station's programs hear, after udevd's
//    rules), the bare kernel uevent socket where it does not. The library
//    stays started for a whole run and takes one untimed plug first, so the
//    figures are a warm library's, as at a station that runs all day. In
//    the library's runs the baseline listens in the same plugs too, which
//    gives how far each arrival comes behind its uevent. The CPU time of
//    the device-change thread and of the device monitor is read per plug.
//  - AT round trips on one phone: blocking ReadData against raw termios
//    with the same read-interval semantics (VMIN/VTIME: the read returns
//    once the line has been quiet for 100 ms after the first byte), and
//    overlapped ReadData (which returns at "OK") against write, poll and
//    read on the raw tty.
// EKLV_LIBRARY_BEFORE names a second library that joins every round (the
// library before a change, for before/after figures in one guest). A table
// of medians with min-max is printed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/netlink.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel_rig/kernel_rig_support.h"
#include "support/host_window.h"
#include "thread_cpu.h"

namespace eklv::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Runs of each kind, alternating; EKLV_BENCH_ROUNDS gives another number.
int Rounds() {
    const char* text = std::getenv("EKLV_BENCH_ROUNDS");
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 5;
}
constexpr int kPlugs = 7;        // timed plugs per run
constexpr int kRoundTrips = 20;  // AT round trips per run
constexpr auto kSettle = 300ms;  // after an unplug, before the next plug

bool UdevdRuns() { return access("/run/udev/control", F_OK) == 0; }

// Where udevd runs, waits until it has handled every uevent so far: a run
// or plug starts on a quiet guest, not while udevd still works through the
// last one's (under emulation it takes a second or more for eight phones).
void Settle() {
    if (UdevdRuns()) RunCommand("udevadm settle --timeout=60");
}

GadgetSetup OneModem(int n) {
    GadgetSetup setup;
    setup.product_id = 0x2001;
    setup.product = "Norvanta Bench";
    setup.serial = "BENCH" + std::to_string(n);
    setup.acm_functions = 1;
    setup.mass_storage = false;
    setup.generic_serial = false;
    return setup;
}

// What the baseline hears: the add events of ttyACM nodes, from a bare
// libudev monitor on the "udev" source where udevd runs, from a bare
// kernel uevent socket otherwise.
class RawListener {
public:
    RawListener() {
        if (UdevdRuns()) {
            udev_ = udev_new();
            monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr);
            udev_monitor_set_receive_buffer_size(monitor_, 4 << 20);
            udev_monitor_enable_receiving(monitor_);
            fd_ = udev_monitor_get_fd(monitor_);
            return;
        }
        fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = 1;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
        int size = 4 << 20;
        if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    }
    ~RawListener() {
        if (monitor_ != nullptr) {
            udev_monitor_unref(monitor_);
            udev_unref(udev_);
        } else if (fd_ >= 0) {
            close(fd_);
        }
    }
    const char* source() const { return monitor_ != nullptr ? "udev monitor" : "uevent socket"; }
    // Waits for n tty adds of ttyACM nodes; false after 30 s.
    bool WaitTtyAdds(int n) {
        auto deadline = Clock::now() + 30s;
        while (n > 0) {
            pollfd p{fd_, POLLIN, 0};
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0 || poll(&p, 1, left) <= 0) return false;
            if (TakeOne()) --n;
        }
        return true;
    }
    void Drain() {
        for (pollfd p{fd_, POLLIN, 0}; poll(&p, 1, 0) == 1;) TakeOne();
    }

private:
    bool TakeOne() {
        if (monitor_ != nullptr) {
            udev_device* device = udev_monitor_receive_device(monitor_);
            if (device == nullptr) return false;
            const char* action = udev_device_get_action(device);
            const char* name = udev_device_get_sysname(device);
            const bool add = action != nullptr && std::strcmp(action, "add") == 0 && name != nullptr &&
                             std::strncmp(name, "ttyACM", 6) == 0;
            udev_device_unref(device);
            return add;
        }
        char buffer[8192];
        ssize_t got = recv(fd_, buffer, sizeof buffer - 1, MSG_DONTWAIT);
        if (got <= 0) return false;
        buffer[got] = '\0';
        const std::string header(buffer);
        return header.rfind("add@", 0) == 0 && header.find("/tty/ttyACM") != std::string::npos;
    }

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int fd_ = -1;
};

// The rig's ini with the core log off, as a station runs.
std::string QuietIni() {
    std::string ini = RigIni();
    std::size_t level = ini.find("Level=");
    if (level != std::string::npos) ini.replace(level, ini.find('\n', level) - level, "Level=0x00000000");
    return ini;
}

// The libraries a round runs: "raw" (none), "library" and, when
// EKLV_LIBRARY_BEFORE names one, "before".
std::vector<std::string> Kinds() {
    std::vector<std::string> kinds = {"raw", "library"};
    if (std::getenv("EKLV_LIBRARY_BEFORE") != nullptr) kinds.push_back("before");
    return kinds;
}

// A library started in self-monitoring mode with a host window; the
// threads present before it started are not the library's.
struct Station {
    explicit Station(const std::string& kind) {
        const char* chosen = std::getenv(kind == "before" ? "EKLV_LIBRARY_BEFORE" : "EKLV_LIBRARY");
        const char* library = std::getenv("EKLV_LIBRARY");
        const std::string restore = library != nullptr ? library : "";
        if (chosen != nullptr) setenv("EKLV_LIBRARY", chosen, 1);
        lib = std::make_unique<LoadedLibrary>(QuietIni());
        if (library != nullptr) setenv("EKLV_LIBRARY", restore.c_str(), 1);
        outsiders = bench::ReadThreadTimes();
        EKLVInitParams params{};
        params.client_window = host.hwnd();
        params.self_monitoring = 1;
        started = lib->ok() && lib->Initialize(&params) == 0;
    }
    ~Station() {
        if (started) lib->Uninitialize();
    }
    SharedConfig shared;
    HostWindow host;
    std::unique_ptr<LoadedLibrary> lib;
    bench::ThreadTimes outsiders;
    bool started = false;
};

// Per-plug (or per-round-trip) figures of one kind of run, all rounds.
struct Series {
    std::vector<double> ms;         // plug to last arrival (raw: to last tty add)
    std::vector<double> behind_ms;  // last arrival after the last tty add of the same plug
    std::vector<double> cpu_ms;     // device-change thread per arrival
    std::vector<double> monitor_ms;  // device monitor per plug
};
std::map<std::string, std::map<std::string, Series>> g_results;  // case -> kind -> series

// Binds the phones, times until their arrivals (library) or tty adds
// (raw); unbinds, waits until every tty and removal is gone and lets the
// kernel settle. The first plug of a run is not timed.
void TimePlugs(benchmark::State& state, const std::string& name, int phones, const std::string& kind) {
    Settle();
    std::vector<std::unique_ptr<KernelPhone>> rig;
    for (int i = 0; i < phones; ++i)
        rig.push_back(std::make_unique<KernelPhone>("bench" + std::to_string(i), OneModem(i)));
    std::unique_ptr<Station> station;
    if (kind != "raw") station = std::make_unique<Station>(kind);
    if (station && !station->started) return state.SkipWithError("the library did not start");
    RawListener raw;
    bench::LibraryCpu cpu;
    if (station) cpu.SetOutsiders(station->outsiders);
    Series& series = g_results[name][kind];
    int arrivals = 0;
    auto plug = [&](bool timed) {
        raw.Drain();
        if (station) station->host.arrivals.Reset();
        Clock::time_point raw_seen{};
        bool raw_ok = false;
        const bench::ThreadTimes cpu_from = bench::ReadThreadTimes();
        const auto t0 = Clock::now();
        std::thread listener([&] {
            pthread_setname_np(pthread_self(), "bench-raw");
            raw_ok = raw.WaitTtyAdds(phones);
            raw_seen = Clock::now();
        });
        for (int i = 0; i < phones; ++i) rig[i]->Plug(i);
        Clock::time_point t1{};
        const bool arrived = !station || station->host.arrivals.Wait(phones, &t1, 30s);
        listener.join();
        if (!arrived || !raw_ok) return false;
        if (!station) t1 = raw_seen;
        if (timed) {
            state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
            series.ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            if (station) {
                series.behind_ms.push_back(std::chrono::duration<double, std::milli>(t1 - raw_seen).count());
                // The arrival's last steps (the host block, the record's end)
                // come just after the announcement.
                std::this_thread::sleep_for(50ms);
                cpu.Add(cpu_from, bench::ReadThreadTimes());
                arrivals += phones;
            }
        }
        if (station) station->host.removals.Reset();
        for (auto& p : rig) p->Pull();
        for (int i = 0; i < phones; ++i) WaitGone("/dev/ttyACM" + std::to_string(i), 30s);
        if (station) station->host.removals.Wait(phones, nullptr, 30s);
        Settle();
        std::this_thread::sleep_for(kSettle);
        return true;
    };
    if (!plug(false)) return state.SkipWithError("the first plug was not announced");
    for (auto _ : state)
        if (!plug(true)) return state.SkipWithError("not every phone was announced");
    for (double ms : cpu.DeviceChangeMs()) series.cpu_ms.push_back(ms / phones);
    for (double ms : cpu.MonitorMs()) series.monitor_ms.push_back(ms);
    if (!series.behind_ms.empty()) state.counters["behind_raw_ms"] = series.behind_ms.back();
    state.SetLabel(raw.source());
}

// One phone plugged, its modem served, udevd done with it.
struct ModemPhone {
    ServedPhone phone{"bench_at", OneModem(0)};
    bool ok = (Settle(), phone.phone.Plug(0)) && WaitForPaths({"/dev/ttyACM0"}, 30s) && (Settle(), true);
};

int OpenRaw(bool blocking) {
    int fd = open("/dev/ttyACM0", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B921600);
    if (blocking) {
        // As a blocking ReadData of 255 bytes with the read interval time-out
        // of 100 ms: the read waits for a first byte, then returns once the
        // line has been quiet for a tenth of a second (or 255 bytes came).
        t.c_cc[VMIN] = 255;
        t.c_cc[VTIME] = 1;
    }
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

// AT round trips: "AT\r" written, read until "OK".
void TimeRoundTrips(benchmark::State& state, const std::string& name, bool blocking, const std::string& kind) {
    ModemPhone modem;
    if (!modem.ok) return state.SkipWithError("no ttyACM0");
    Series& series = g_results[name][kind];
    auto timed = [&](const std::function<bool()>& round_trip) {
        for (auto _ : state) {
            const auto t0 = Clock::now();
            if (!round_trip()) return state.SkipWithError("no answer");
            const double s = std::chrono::duration<double>(Clock::now() - t0).count();
            state.SetIterationTime(s);
            series.ms.push_back(s * 1e3);
        }
    };
    if (kind == "raw") {
        const int fd = OpenRaw(blocking);
        if (fd < 0) return state.SkipWithError(("cannot open ttyACM0: " + std::string(std::strerror(errno))).c_str());
        timed([&] {
            std::string answer;
            if (write(fd, "AT\r", 3) != 3) return false;
            while (answer.find("OK") == std::string::npos) {
                if (!blocking) {
                    pollfd p{fd, POLLIN, 0};
                    if (poll(&p, 1, 5000) <= 0) return false;
                }
                char buffer[255];
                ssize_t got = read(fd, buffer, sizeof buffer);
                if (got < 0 || (got == 0 && blocking)) return false;
                answer.append(buffer, static_cast<std::size_t>(got));
            }
            return true;
        });
        close(fd);
        return;
    }
    Station station(kind);
    if (!station.started || !station.host.arrivals.Wait(1, nullptr, 30s))
        return state.SkipWithError("no phone announced");
    const std::uint32_t id = station.host.Messages().front().device_id;
    EKLV_HANDLE h = 0;
    if (station.lib->OpenDevice(id, INF_DATA, &h, blocking ? 1 : 0) != 0) return state.SkipWithError("open failed");
    timed([&] {
        std::string answer;
        if (station.lib->WriteData(id, h, "AT\r", 3) != 0) return false;
        while (answer.find("OK") == std::string::npos) {
            char buffer[255];
            std::uint32_t length = sizeof buffer;
            if (station.lib->ReadData(id, h, buffer, &length) != 0) return false;
            answer.append(buffer, length);
        }
        return true;
    });
    station.lib->CloseDevice(id, INF_DATA);
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string Figure(const std::vector<double>& v, const char* format = "%.1f") {
    if (v.empty()) return "-";
    char text[128], low[32], high[32], mid[32];
    std::snprintf(mid, sizeof mid, format, Median(v));
    std::snprintf(low, sizeof low, format, *std::min_element(v.begin(), v.end()));
    std::snprintf(high, sizeof high, format, *std::max_element(v.begin(), v.end()));
    std::snprintf(text, sizeof text, "%s (%s-%s)", mid, low, high);
    return text;
}

void PrintTable() {
    std::printf("\n%s; medians (min-max) in ms over every plug or round trip of %d rounds\n",
                UdevdRuns() ? "udevd running, baseline a bare libudev monitor on the udev source"
                            : "no udevd, baseline the bare kernel uevent socket",
                Rounds());
    std::printf("%-22s %-8s %-24s %-7s %-24s %-22s %s\n", "case", "run", "time", "ratio", "behind its uevent",
                "device-change CPU/arrival", "monitor CPU/plug");
    for (const auto& [name, kinds] : g_results) {
        auto raw = kinds.find("raw");
        const double base = raw != kinds.end() ? Median(raw->second.ms) : 0;
        for (const auto& [kind, s] : kinds) {
            char ratio[16] = "-";
            if (kind != "raw" && base > 0) std::snprintf(ratio, sizeof ratio, "%.3f", Median(s.ms) / base);
            std::printf("%-22s %-8s %-24s %-7s %-24s %-22s %s\n", name.c_str(), kind.c_str(),
                        Figure(s.ms, name.rfind("AT", 0) == 0 ? "%.2f" : "%.1f").c_str(), ratio,
                        Figure(s.behind_ms).c_str(), Figure(s.cpu_ms, "%.2f").c_str(),
                        Figure(s.monitor_ms, "%.2f").c_str());
        }
    }
}

void Register(const std::string& name, int iterations,
              const std::function<void(benchmark::State&, const std::string&)>& run) {
    for (int round = 0; round < Rounds(); ++round)
        for (const std::string& kind : Kinds())
            benchmark::RegisterBenchmark((name + "/" + kind + "/" + std::to_string(round)).c_str(),
                                         [run, kind](benchmark::State& state) { run(state, kind); })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(iterations);
}

}  // namespace
}  // namespace eklv::test

int main(int argc, char** argv) {
    using namespace eklv::test;
    Register("OnePhone", kPlugs, [](benchmark::State& s, const std::string& k) { TimePlugs(s, "OnePhone", 1, k); });
    Register("EightPhones", kPlugs,
             [](benchmark::State& s, const std::string& k) { TimePlugs(s, "EightPhones", 8, k); });
    Register("AT blocking", kRoundTrips,
             [](benchmark::State& s, const std::string& k) { TimeRoundTrips(s, "AT blocking", true, k); });
    Register("AT overlapped", kRoundTrips,
             [](benchmark::State& s, const std::string& k) { TimeRoundTrips(s, "AT overlapped", false, k); });
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    PrintTable();
    return 0;
}
