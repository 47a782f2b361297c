// Resolving the TID and device id of one interface (GetDeviceTID +
// AllocUSBDeviceID) on a rig of 32 phones behind 4 hubs, next to the raw
// libudev cost of enumerating the same USB nodes in the same run. Prints
// the ratio of the two at the end.
#include <benchmark/benchmark.h>
#include <libudev.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/settings.h"
#include "discovery/device_id_mgr.h"
#include "log/message_logger.h"
#include "rig/usb_rig.h"
#include "support/lib_folder.h"

namespace {

using eklv::test::RigInterface;
using eklv::test::UsbRig;

constexpr int kHubs = 4;
constexpr int kPhonesPerHub = 8;

struct Setup {
    UsbRig rig;
    eklv::test::ModuleFolder folder{
        "[VID_FILTER]\nVID_0=vid_6b4d\n[MTK_SMART_PID_FILTER]\nPID_LIST=2001\n[COMPOSITEDEVICE_FILTER]\npid_2001=1\n"};
    eklv::test::TempFolder shared;
    std::vector<std::string> names;  // the modem function of each phone

    Setup() {
        setenv("EKLV_COMMON_APPDATA", shared.path().c_str(), 1);
        eklv::InitSettings();
        auto root = rig.AddRootHub(rig.AddPciController(), 1, kHubs);
        for (int h = 1; h <= kHubs; ++h) {
            auto hub = rig.AddHub(root, h, kPhonesPerHub);
            for (int p = 1; p <= kPhonesPerHub; ++p) {
                std::string tty = "ttyACM" + std::to_string(names.size());
                auto phone = rig.AddCompositePhone(hub, p, 0x6b4d, 0x2001,
                                                   {RigInterface::Modem(tty), RigInterface::Mtp(), RigInterface::Data()});
                names.push_back(rig.InterfaceName(phone, 0, eklv::test::kRigClassComPort));
            }
        }
        eklv::CKLVDeviceIdMgr::Initialize();
    }
    ~Setup() {
        eklv::CKLVDeviceIdMgr::UnInitialize();
        eklv::CKLVMessageLogger::UnInitialize();
    }
};

Setup* g_setup = nullptr;

void BM_TidAndDeviceId(benchmark::State& state) {
    eklv::CKLVDeviceIdMgr* mgr = eklv::CKLVDeviceIdMgr::GetInstance();
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string& name = g_setup->names[i++ % g_setup->names.size()];
        std::string tid;
        if (mgr->GetDeviceTID(name, &tid) != 1 || mgr->AllocUSBDeviceID(name, 0) == eklv::kNoDeviceId) {
            state.SkipWithError("no TID or device id");
            break;
        }
        benchmark::DoNotOptimize(tid);
    }
}
BENCHMARK(BM_TidAndDeviceId)->Unit(benchmark::kMicrosecond);

// What any libudev program pays to look at the same nodes once: enumerate
// the USB subsystem and read the identity attributes of every node.
void BM_RawUdevEnumeration(benchmark::State& state) {
    for (auto _ : state) {
        udev* u = udev_new();
        udev_enumerate* e = udev_enumerate_new(u);
        udev_enumerate_add_match_subsystem(e, "usb");
        udev_enumerate_scan_devices(e);
        int nodes = 0;
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
            if (d == nullptr) continue;
            benchmark::DoNotOptimize(udev_device_get_sysattr_value(d, "idVendor"));
            benchmark::DoNotOptimize(udev_device_get_sysattr_value(d, "idProduct"));
            benchmark::DoNotOptimize(udev_device_get_sysattr_value(d, "bInterfaceNumber"));
            udev_device_unref(d);
            ++nodes;
        }
        udev_enumerate_unref(e);
        udev_unref(u);
        state.counters["nodes"] = nodes;
    }
}
BENCHMARK(BM_RawUdevEnumeration)->Unit(benchmark::kMicrosecond);

// Keeps the time per iteration of each run for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    eklv::test::RunUnderUmockdev(argc, argv);
    benchmark::Initialize(&argc, argv);
    g_setup = new Setup;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto library = reporter.times.find("BM_TidAndDeviceId");
    auto raw = reporter.times.find("BM_RawUdevEnumeration");
    if (library != reporter.times.end() && raw != reporter.times.end() && raw->second > 0)
        std::printf("TID + device id of one interface / raw enumeration of the %zu-phone rig: %.2fx\n",
                    g_setup->names.size(), library->second / raw->second);
    delete g_setup;
    return 0;
}
