// Device-change latency on a umockdev rig, next to a bare libudev monitor
// receiving the same uevents in the same run:
//  - platform: from raising the uevents of a phone to a platform window
//    procedure receiving WM_DEVICECHANGE for its COM port;
//  - host: from raising them to a host window receiving
//    WM_ZORVAN_INTERFACE_ARRIVAL from a loaded copy of libeklv.so in
//    self-monitoring mode (device-change window, device-change thread,
//    session, dispatcher).
// Each for (a) one composite phone plugged; (b) 32 composite phones plugged
// at once (4 hubs of 8 below one hub), until the last arrival. Prints
// medians and ratios at the end.
#include <benchmark/benchmark.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "library_host.h"
#include "platform/linux/udev_tree.h"
#include "rig/usb_rig.h"
#include "support/listener.h"

namespace {

using Clock = std::chrono::steady_clock;
using eklv::test::RigInterface;
using eklv::test::UsbRig;
namespace pf = eklv::pf;

using Arrivals = eklv::bench::Counter;
using eklv::bench::Median;

// A bare libudev monitor thread counting tty add uevents, in the mode the
// backend picks. Like the backend, it takes the device tree's lock (which
// umockdev's preload needs) to set up, not to receive.
class RawMonitor {
public:
    RawMonitor() {
        std::lock_guard<std::recursive_mutex> sysfs(pf::lx::DeviceTreeMutex());
        udev_ = udev_new();
        monitor_ = udev_monitor_new_from_netlink(udev_, access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel");
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr);
        udev_monitor_set_receive_buffer_size(monitor_, 4 * 1024 * 1024);
        udev_monitor_enable_receiving(monitor_);
        stop_ = eventfd(0, EFD_CLOEXEC);
        thread_ = std::thread([this] { Run(); });
    }
    ~RawMonitor() {
        std::uint64_t one = 1;
        (void)!write(stop_, &one, sizeof one);
        thread_.join();
        close(stop_);
        std::lock_guard<std::recursive_mutex> sysfs(pf::lx::DeviceTreeMutex());
        udev_monitor_unref(monitor_);
        udev_unref(udev_);
    }
    Arrivals arrivals;

private:
    void Run() {
        pollfd fds[2] = {{udev_monitor_get_fd(monitor_), POLLIN, 0}, {stop_, POLLIN, 0}};
        while (poll(fds, 2, -1) >= 0 && fds[1].revents == 0) {
            udev_device* d = udev_monitor_receive_device(monitor_);
            if (d == nullptr) continue;
            if (std::strcmp(udev_device_get_action(d), "add") == 0) arrivals.Add();
            udev_device_unref(d);
        }
    }
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int stop_ = -1;
    std::thread thread_;
};

std::vector<RigInterface> Functions(int tty) {
    return {RigInterface::Modem("ttyACM" + std::to_string(tty)), RigInterface::Mtp(), RigInterface::Data()};
}

struct Result {
    std::vector<double> raw_us, window_us;
    int messages = 0;  // host arrivals per plug
    std::vector<double> device_change_ms, monitor_ms;  // CPU per arrival, per plug
};
Result g_one, g_burst, g_host_one, g_host_burst;

// Plugs node (every uevent of its subtree), waits for phones COM-port
// arrivals at both listeners, records both latencies, unplugs.
void Measure(benchmark::State& state, UsbRig& rig, UsbRig::NodeId node, int phones, Result* result) {
    RawMonitor raw;
    eklv::test::Listener window(eklv::test::kRigClassComPort);
    for (auto _ : state) {
        raw.arrivals.Reset();
        window.arrivals.Reset();
        Clock::time_point start = Clock::now(), raw_at, window_at;
        rig.Plug(node);
        if (!raw.arrivals.Wait(phones, &raw_at) || !window.arrivals.Wait(phones, &window_at)) {
            state.SkipWithError("arrivals missing");
            break;
        }
        double raw_us = std::chrono::duration<double, std::micro>(raw_at - start).count();
        double window_us = std::chrono::duration<double, std::micro>(window_at - start).count();
        result->raw_us.push_back(raw_us);
        result->window_us.push_back(window_us);
        state.SetIterationTime(window_us / 1e6);
        state.PauseTiming();
        rig.Unplug(node);
        state.ResumeTiming();
    }
}

// The same through the library: the host window must receive every
// arrival the library sends for the subtree. A first plug, not timed,
// counts them (the library announces each supported interface of a phone;
// hub arrivals stay inside) and lets the device-id manager remember the
// ports. Each plug waits for the removals of the one before.
void MeasureHost(benchmark::State& state, UsbRig& rig, UsbRig::NodeId node, int phones, Result* result) {
    RawMonitor raw;
    eklv::bench::LibraryHost host;
    if (!host.ok()) {
        state.SkipWithError("library not initialised");
        return;
    }
    auto& arrivals = host.window.arrivals;
    auto& removals = host.window.removals;
    rig.Plug(node);
    if (!raw.arrivals.Wait(phones) || !arrivals.Wait(phones)) {
        state.SkipWithError("arrivals missing");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // nothing more is on its way
    const int expected = arrivals.count();
    rig.Unplug(node);
    if (!removals.Wait(expected)) {
        state.SkipWithError("removals missing");
        return;
    }
    result->messages = expected;
    for (auto _ : state) {
        raw.arrivals.Reset();
        double raw_us = 0;
        auto raw_wait = [&](Clock::time_point start) {
            Clock::time_point raw_at;
            if (!raw.arrivals.Wait(phones, &raw_at)) return false;
            raw_us = std::chrono::duration<double, std::micro>(raw_at - start).count();
            return true;
        };
        const double host_us = eklv::bench::TimeHostPlug(
            state, host, expected, [&] { rig.Plug(node); }, [&] { rig.Unplug(node); }, raw_wait);
        if (host_us < 0) break;
        result->raw_us.push_back(raw_us);
        result->window_us.push_back(host_us);
    }
    for (double ms : host.cpu.DeviceChangeMs()) result->device_change_ms.push_back(ms / expected);
    result->monitor_ms = host.cpu.MonitorMs();
}

// One composite phone on a hub.
struct OnePhoneRig {
    UsbRig rig;
    UsbRig::NodeId phone;
    OnePhoneRig() {
        auto hub = rig.AddHub(rig.AddRootHub(rig.AddPciController(), 1), 1);
        phone = rig.AddCompositePhone(hub, 1, 0x6b4d, 0x2001, Functions(0));
        rig.Unplug(phone);
    }
};

// 32 composite phones: 4 hubs of 8 ports below one hub, unplugged.
struct ThirtyTwoPhoneRig {
    UsbRig rig;
    UsbRig::NodeId top;
    ThirtyTwoPhoneRig() {
        auto root = rig.AddRootHub(rig.AddPciController(), 1);
        top = rig.AddHub(root, 1);
        int tty = 0;
        for (int h = 1; h <= 4; ++h) {
            auto hub = rig.AddHub(top, h, 8);
            for (int port = 1; port <= 8; ++port) rig.AddCompositePhone(hub, port, 0x6b4d, 0x2001, Functions(tty++));
        }
        rig.Unplug(top);
    }
};

void BM_OnePhone(benchmark::State& state) {
    OnePhoneRig r;
    Measure(state, r.rig, r.phone, 1, &g_one);
}
BENCHMARK(BM_OnePhone)->UseManualTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_ThirtyTwoPhonesAtOnce(benchmark::State& state) {
    ThirtyTwoPhoneRig r;
    Measure(state, r.rig, r.top, 32, &g_burst);
}
BENCHMARK(BM_ThirtyTwoPhonesAtOnce)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_HostOnePhone(benchmark::State& state) {
    OnePhoneRig r;
    MeasureHost(state, r.rig, r.phone, 1, &g_host_one);
}
BENCHMARK(BM_HostOnePhone)->UseManualTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_HostThirtyTwoPhonesAtOnce(benchmark::State& state) {
    ThirtyTwoPhoneRig r;
    MeasureHost(state, r.rig, r.top, 32, &g_host_burst);
}
BENCHMARK(BM_HostThirtyTwoPhonesAtOnce)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void Print(const char* what, const char* listener, const Result& r) {
    if (r.raw_us.empty()) return;
    double raw = Median(r.raw_us), window = Median(r.window_us);
    std::vector<double> extra;
    for (std::size_t i = 0; i < r.raw_us.size(); ++i) extra.push_back(r.window_us[i] - r.raw_us[i]);
    std::printf("%-26s raw monitor %10.1f us   %-8s %10.1f us   extra %8.1f us   ratio %.2fx  (medians of %zu)", what,
                raw, listener, window, Median(extra), raw > 0 ? window / raw : 0.0, r.raw_us.size());
    if (r.messages > 0) std::printf("  %d arrivals per plug", r.messages);
    std::printf("\n");
    auto cpu = [](const char* what, const std::vector<double>& ms) {
        if (ms.empty()) return;
        std::printf("    %s %.3f ms (%.3f-%.3f)\n", what, Median(ms), *std::min_element(ms.begin(), ms.end()),
                    *std::max_element(ms.begin(), ms.end()));
    };
    cpu("device-change thread CPU per arrival", r.device_change_ms);
    cpu("device monitor CPU per plug", r.monitor_ms);
}

}  // namespace

int main(int argc, char** argv) {
    eklv::bench::RunOnUmockdev(argc, argv);
    Print("one phone", "window", g_one);
    Print("32 phones at once (last)", "window", g_burst);
    Print("one phone", "host", g_host_one);
    Print("32 phones at once (last)", "host", g_host_burst);
    return 0;
}
