// Benchmarks on the real-kernel rig, each beside a raw baseline in the same
// guest and run: plug (gadget bind) to WM_ZORVAN_INTERFACE_ARRIVAL against
// the tty's add uevent on a bare uevent socket; AT round trips through the
// library against raw termios on the same ttyACM; eight phones bound at
// once, last arrival against last raw uevent; with the library, the bare
// socket is also watched in the same plugs (counter behind_raw_ms: last
// arrival after last tty uevent, negative when ahead). The bare socket is
// watched from a thread of its own in every run, and every run lets the
// kernel settle after an unplug before it plugs again. Runs inside the
// rig's guest (tools/rig/kernel/run.sh --phones 8); times are per plug or
// round trip.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "kernel_rig/kernel_rig_support.h"
#include "support/host_window.h"

namespace eklv::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRepetitions = 7;
constexpr auto kSettle = 300ms;

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

// A bare kernel uevent socket: counts the add uevents of ttyACM nodes.
class UeventSocket {
public:
    UeventSocket() {
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
    ~UeventSocket() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Waits for n tty add uevents of ttyACM nodes; false after 30 s.
    bool WaitTtyAdds(int n) {
        auto deadline = Clock::now() + 30s;
        while (n > 0) {
            pollfd p{fd_, POLLIN, 0};
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0 || poll(&p, 1, left) <= 0) return false;
            char buffer[8192];
            ssize_t got = recv(fd_, buffer, sizeof buffer - 1, 0);
            if (got <= 0) continue;
            buffer[got] = '\0';
            std::string header(buffer);
            if (header.rfind("add@", 0) == 0 && header.find("/tty/ttyACM") != std::string::npos) --n;
        }
        return true;
    }
    void Drain() {
        char buffer[8192];
        while (recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }

private:
    int fd_ = -1;
};

// The rig's ini with the core log off, as a station runs.
std::string QuietIni() {
    std::string ini = RigIni();
    std::size_t level = ini.find("Level=");
    if (level != std::string::npos) ini.replace(level, ini.find('\n', level) - level, "Level=0x00000000");
    return ini;
}

// The library started in self-monitoring mode with a host window.
struct Station {
    SharedConfig shared;
    LoadedLibrary lib{QuietIni()};
    HostWindow host;
    bool started = false;
    Station() {
        EKLVInitParams params{};
        params.client_window = host.hwnd();
        params.self_monitoring = 1;
        started = lib.ok() && lib.Initialize(&params) == 0;
    }
    ~Station() {
        if (started) lib.Uninitialize();
    }
};

// Binds the phones, then times until count arrivals (library) or count
// tty add uevents (raw); unbinds and waits until every tty is gone.
void TimePlugs(benchmark::State& state, int phones, bool through_library) {
    std::vector<std::unique_ptr<KernelPhone>> rig;
    for (int i = 0; i < phones; ++i) rig.push_back(std::make_unique<KernelPhone>("bench" + std::to_string(i), OneModem(i)));
    std::unique_ptr<Station> station;
    if (through_library) station = std::make_unique<Station>();
    if (station && !station->started) return state.SkipWithError("the library did not start");
    UeventSocket uevents;
    std::vector<double> behind;
    for (auto _ : state) {
        uevents.Drain();
        std::size_t before = station ? station->host.Messages().size() : 0;
        auto t0 = Clock::now();
        // The bare socket is watched by a thread of its own while the phones
        // are bound, with or without the library: the raw run's time is when
        // that thread saw the last tty uevent, not when the binding loop got
        // round to reading them. With the library it gives how far the last
        // arrival comes behind the last tty uevent in the same plug, free of
        // the plug-to-plug spread of the kernel's enumeration.
        Clock::time_point raw_seen{};
        bool raw_ok = false;
        std::thread raw([&] {
            raw_ok = uevents.WaitTtyAdds(phones);
            raw_seen = Clock::now();
        });
        for (int i = 0; i < phones; ++i) rig[i]->Plug(i);
        const bool arrived = !station || station->host.WaitFor(before + phones).size() >= before + phones;
        Clock::time_point t1 = Clock::now();
        raw.join();
        if (!arrived) return state.SkipWithError("not every phone was announced");
        if (!raw_ok) return state.SkipWithError("the bare socket did not see every tty");
        if (!station) t1 = raw_seen;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (station) behind.push_back(std::chrono::duration<double, std::milli>(t1 - raw_seen).count());
        for (auto& p : rig) p->Pull();
        for (int i = 0; i < phones; ++i) WaitGone("/dev/ttyACM" + std::to_string(i), 30s);
        if (station) station->host.WaitFor(before + 2 * phones);
        // The kernel goes on tidying up after the ttys are gone (the hub's
        // ports, the gadgets' unbinding); a plug into that is slower. Both
        // runs let it settle alike, so the raw run's next plug is not the
        // only one to start early.
        std::this_thread::sleep_for(kSettle);
    }
    if (!behind.empty()) {
        double sum = 0;
        for (double ms : behind) sum += ms;
        state.counters["behind_raw_ms"] = sum / static_cast<double>(behind.size());
    }
}

void BM_PlugToArrival(benchmark::State& state) { TimePlugs(state, 1, true); }
void BM_PlugToUevent_Raw(benchmark::State& state) { TimePlugs(state, 1, false); }
void BM_EightPhonesToLastArrival(benchmark::State& state) { TimePlugs(state, 8, true); }
void BM_EightPhonesToLastUevent_Raw(benchmark::State& state) { TimePlugs(state, 8, false); }

// One phone plugged, its modem served, for the round trips.
struct ModemPhone {
    ServedPhone phone{"bench_at", OneModem(0)};
    bool ok = phone.phone.Plug(0) && WaitForPaths({"/dev/ttyACM0"}, 30s);
};

void BM_AtRoundTrip(benchmark::State& state) {
    ModemPhone modem;
    Station station;
    if (!modem.ok || !station.started || station.host.WaitFor(1).empty())
        return state.SkipWithError("no phone announced");
    const std::uint32_t id = station.host.Messages().front().device_id;
    EKLV_HANDLE h = 0;
    if (station.lib.OpenDevice(id, INF_DATA, &h, 1) != 0) return state.SkipWithError("open failed");
    for (auto _ : state) {
        std::string answer;
        station.lib.WriteData(id, h, "AT\r", 3);
        while (answer.find("OK") == std::string::npos) {
            char buffer[256];
            std::uint32_t length = sizeof buffer;
            if (station.lib.ReadData(id, h, buffer, &length) != 0) return state.SkipWithError("read failed");
            answer.append(buffer, length);
        }
    }
    station.lib.CloseDevice(id, INF_DATA);
}

void BM_AtRoundTrip_RawTermios(benchmark::State& state) {
    ModemPhone modem;
    if (!modem.ok) return state.SkipWithError("no ttyACM0");
    int fd = open("/dev/ttyACM0", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return state.SkipWithError("cannot open ttyACM0");
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B921600);
    tcsetattr(fd, TCSANOW, &t);
    for (auto _ : state) {
        std::string answer;
        if (write(fd, "AT\r", 3) != 3) return state.SkipWithError("write failed");
        while (answer.find("OK") == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return state.SkipWithError("no answer");
            char buffer[256];
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0) answer.append(buffer, static_cast<std::size_t>(got));
        }
    }
    close(fd);
}

#define EKLV_RIG_BENCH(name, iterations)                                                                       \
    BENCHMARK(name)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(iterations)->Repetitions(kRepetitions) \
        ->ReportAggregatesOnly(true)
EKLV_RIG_BENCH(BM_PlugToArrival, 1);
EKLV_RIG_BENCH(BM_PlugToUevent_Raw, 1);
EKLV_RIG_BENCH(BM_EightPhonesToLastArrival, 1);
EKLV_RIG_BENCH(BM_EightPhonesToLastUevent_Raw, 1);
BENCHMARK(BM_AtRoundTrip)->Unit(benchmark::kMillisecond)->Iterations(20)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_AtRoundTrip_RawTermios)->Unit(benchmark::kMillisecond)->Iterations(20)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

}  // namespace
}  // namespace eklv::test
