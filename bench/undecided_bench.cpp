// A phone plugged while another device's interface type cannot be decided
// (its description matches no interface type, so its arrival is retried
// MODEM_CREATE_RETRY times, MODEM_WAIT ms apart): plug to
// WM_ZORVAN_INTERFACE_ARRIVAL of the phone, beside the same phone plugged
// alone, in one run of one loaded library. Prints medians and the ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "library_host.h"
#include "rig/usb_rig.h"

namespace {

using Clock = std::chrono::steady_clock;
using eklv::bench::Median;
using eklv::test::RigInterface;
using eklv::test::UsbRig;

// 5 x 200 ms: a phone that waited behind the retries would arrive about a
// second late.
constexpr const char* kRetries = "[MODEM_PARAMS]\nMODEM_CREATE_RETRY=5\nMODEM_WAIT=200\n";

struct Rig {
    UsbRig rig;
    UsbRig::NodeId phone, odd;
    Rig() {
        auto hub = rig.AddHub(rig.AddRootHub(rig.AddPciController(), 1), 1);
        phone = rig.AddCompositePhone(hub, 1, 0x6b4d, 0x2001,
                                      {RigInterface::Modem("ttyACM0"), RigInterface::Mtp(), RigInterface::Data()});
        odd = rig.AddSinglePhone(hub, 2, 0x6b4d, 0x2002, RigInterface::Serial("ttyUSB0", "Odd Port"));
        rig.Unplug(phone);
        rig.Unplug(odd);
    }
};

std::vector<double> g_alone_us, g_beside_us;

// Each iteration: (the odd device plugged and its first attempt made,)
// the phone plugged and timed to its arrival, both unplugged.
void Measure(benchmark::State& state, bool with_odd, std::vector<double>* out) {
    Rig r;
    eklv::bench::LibraryHost host(kRetries);
    if (!host.ok()) {
        state.SkipWithError("library not initialised");
        return;
    }
    for (auto _ : state) {
        if (with_odd) {
            r.rig.Plug(r.odd);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));  // first attempt failed, retries pending
        }
        const double us = eklv::bench::TimeHostPlug(
            state, host, 1, [&] { r.rig.Plug(r.phone); },
            [&] {
                r.rig.Unplug(r.phone);
                if (with_odd) r.rig.Unplug(r.odd);
            },
            [](Clock::time_point) { return true; });
        if (us < 0) break;
        out->push_back(us);
    }
}

void BM_PhoneAlone(benchmark::State& state) { Measure(state, false, &g_alone_us); }
BENCHMARK(BM_PhoneAlone)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

void BM_PhoneWhileUndecidedInterfaceRetried(benchmark::State& state) { Measure(state, true, &g_beside_us); }
BENCHMARK(BM_PhoneWhileUndecidedInterfaceRetried)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    eklv::bench::RunOnUmockdev(argc, argv);
    const double alone = Median(g_alone_us), beside = Median(g_beside_us);
    std::printf("phone alone %10.1f us   beside an undecided interface %10.1f us   ratio %.2fx  (medians of %zu)\n",
                alone, beside, alone > 0 ? beside / alone : 0.0, g_beside_us.size());
    return 0;
}
