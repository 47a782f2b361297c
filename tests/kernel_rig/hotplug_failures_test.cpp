// What the device monitor cannot hear, on the kernel's own USB stack:
// udevd started or stopped while the library runs, uevents lost to a full
// socket, and a phone gone before its uevents are handled. Each shows as
// one line of the core log; nothing the kernel still shows is missed, and
// nothing present is announced twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "e2e/e2e_helpers.h"
#include "kernel_rig/kernel_rig_support.h"
#include "platform/linux/udev_tree.h"
#include "platform/linux/udev_watch.h"
#include "rig/usb_rig.h"
#include "support/listener.h"

namespace eklv::test {
namespace {

using namespace std::chrono_literals;

GadgetSetup OneAcm(std::uint16_t pid, const std::string& serial) {
    GadgetSetup setup;
    setup.product_id = pid;
    setup.product = "Norvanta Phone";
    setup.serial = serial;
    setup.acm_functions = 1;
    setup.mass_storage = setup.generic_serial = false;
    return setup;
}

// A library copy in self-monitoring mode with every log line.
struct Station {
    SharedConfig shared;
    LoadedLibrary lib{VerboseLogIni(RigIni())};
    HostWindow host;
    bool started = false;
    Station() {
        EKLVInitParams params = HostParams(host.hwnd());
        started = lib.ok() && lib.Initialize(&params) == 0;
    }
    ~Station() {
        if (started) lib.Uninitialize();
    }
    std::vector<HostMessage> Wait(std::size_t n) {
        std::vector<HostMessage> m;
        for (int i = 0; i < 6 && (m = host.WaitFor(n)).size() < n; ++i) {
        }
        return m;
    }
};

// udevd as a station's initramfs starts it (run.sh wrote how), and stopped
// as udevadm stops it; both wait until its control socket says so.
bool StartUdevd() {
    RunCommand(". /etc/udevd-start");
    return Eventually([] { return pf::lx::UdevWatch::UdevdRunning(); }, 30s);
}
bool StopUdevd() {
    RunCommand("udevadm control --exit");
    return Eventually([] { return !pf::lx::UdevWatch::UdevdRunning(); }, 30s);
}

// The library follows udevd: started, the monitor moves to its events (the
// replay of every present device that comes with the start announces
// nothing twice); stopped, back to the kernel's. Plugs and pulls on either
// side of each move are announced once. Run in the guest with udevd
// (stopped, then started again) and in the one without (started, then
// stopped again), so each guest ends as it began.
TEST(KernelRigHotplug, UdevdStartedOrStoppedWhileTheLibraryRuns) {
    const bool udevd_at_start = pf::lx::UdevWatch::UdevdRunning();
    ServedPhone a("follow_a", OneAcm(0x2001, "F001"));
    KernelPhone b("follow_b", OneAcm(0x2002, "F002"));
    ASSERT_TRUE(a.phone.Plug(0));
    ASSERT_TRUE(WaitForPaths({"/dev/ttyACM0", "/dev/ttyUSB0"}, 60s));
    Station station;
    ASSERT_TRUE(station.started);
    ASSERT_EQ(station.Wait(2).size(), 2u);  // the phone's modem and the FTDI
    const char* first = udevd_at_start ? "udevd's events" : "the kernel's uevents (udevd is not running)";
    EXPECT_TRUE(WaitLog(station.lib, std::string("Device monitor - listening to ") + first, 1));

    // The first move, a plug after it, the move back, a pull after that.
    // udevd starting shows at once (its control socket is made anew);
    // udevd stopping shows at the next change the kernel reports.
    auto started = [&] {
        EXPECT_TRUE(WaitLog(station.lib, "udevd started: listening to udevd's events", 1)) << station.lib.ReadLogs();
        RunCommand("udevadm settle --timeout=60");  // its replay of every device has been handled
        std::this_thread::sleep_for(2s);
    };
    const char* stopped = "udevd stopped: listening to the kernel's uevents (udevd is not running)";
    ASSERT_TRUE(udevd_at_start ? StopUdevd() : StartUdevd());
    if (!udevd_at_start) {
        started();
    }
    EXPECT_EQ(station.host.Messages().size(), 2u) << "nothing present is announced again";
    ASSERT_TRUE(b.Plug(1));
    auto messages = station.Wait(3);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_TRUE(messages[2].arrival);
    if (udevd_at_start) {
        EXPECT_TRUE(WaitLog(station.lib, stopped, 1)) << station.lib.ReadLogs();
    }
    ASSERT_TRUE(udevd_at_start ? StartUdevd() : StopUdevd());
    if (udevd_at_start) {
        started();
    }
    EXPECT_EQ(station.host.Messages().size(), 3u) << "nothing present is announced again";
    ASSERT_TRUE(b.Pull());
    messages = station.Wait(4);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3], (HostMessage{false, messages[2].device_id, messages[2].type}));
    if (!udevd_at_start) {
        EXPECT_TRUE(WaitLog(station.lib, stopped, 1)) << station.lib.ReadLogs();
    }
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(station.host.Messages().size(), 4u);
    EXPECT_EQ(CountOf(station.lib.ReadLogs(), "Device monitor - udevd "), 2);
    EXPECT_EQ(pf::lx::UdevWatch::UdevdRunning(), udevd_at_start);
}

// The statically linked backend's monitor, with a platform window that
// records the COM-port broadcasts, and the core log in a folder of its own.
struct Monitor {
    ModuleFolder folder{VerboseLogIni()};
    Listener com{kRigClassComPort};
    int Count(const std::string& text) const { return CountOf(folder.ReadLogs(), text); }
    // The COM-port broadcasts marked mark ('+' arrival, '-' removal) once n
    // of them came (or after 10 s).
    long Broadcasts(char mark, int n) {
        auto seen = com.Wait(mark, n);
        return std::count_if(seen.begin(), seen.end(), [&](const std::string& b) { return b[0] == mark; });
    }
};

// A phone plugged and pulled while the monitor cannot look (a device-tree
// question holds it up): its uevents name a device that is gone. One log
// line each, no arrival, nothing left behind.
TEST(KernelRigHotplug, PhoneGoneBeforeItsUeventsAreHandled) {
    KernelPhone phone("gone_a", OneAcm(0x2001, "G001"));
    Monitor monitor;
    {
        std::lock_guard<std::recursive_mutex> held(pf::lx::DeviceTreeMutex());
        ASSERT_TRUE(phone.Plug(0));
        ASSERT_TRUE(WaitForPaths({"/dev/ttyACM0"}, 60s));
        ASSERT_TRUE(phone.Pull());
        ASSERT_TRUE(WaitGone("/dev/ttyACM0", 30s));
    }
    EXPECT_TRUE(Eventually([&] { return monitor.Count("gone before it could be named") >= 1; }, 30s))
        << monitor.folder.ReadLogs();
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(monitor.com.Interfaces().empty());
    // Plugged again, it arrives as usual (its one tty, in the COM-port class).
    ASSERT_TRUE(phone.Plug(0));
    EXPECT_EQ(monitor.Broadcasts('+', 1), 1);
}

// Uevents lost: a socket buffer of the kernel's smallest size, and the
// monitor held up while two phones are plugged. The kernel drops uevents;
// the monitor says so once, compares the tree with what it knows and
// announces the ports the lost uevents would have.
TEST(KernelRigHotplug, LostUeventsAreFoundByARescan) {
    KernelPhone a("lost_a", OneAcm(0x2001, "L001")), b("lost_b", OneAcm(0x2002, "L002"));
    pf::lx::SetMonitorReceiveBufferForTest(1);
    Monitor monitor;
    {
        std::lock_guard<std::recursive_mutex> held(pf::lx::DeviceTreeMutex());
        ASSERT_TRUE(a.Plug(0) && b.Plug(1));
        ASSERT_TRUE(WaitForPaths({"/dev/ttyACM0", "/dev/ttyACM1"}, 60s));
    }
    EXPECT_TRUE(Eventually([&] { return monitor.Count("uevents lost") >= 1; }, 30s)) << monitor.folder.ReadLogs();
    EXPECT_EQ(monitor.Broadcasts('+', 2), 2) << ::testing::PrintToString(monitor.com.Interfaces());
    pf::lx::SetMonitorReceiveBufferForTest(0);
    ASSERT_TRUE(a.Pull() && b.Pull());
    EXPECT_EQ(monitor.Broadcasts('-', 2), 2) << ::testing::PrintToString(monitor.com.Interfaces());
}

}  // namespace
}  // namespace eklv::test
