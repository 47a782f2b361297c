// Device-change broadcasts on umockdev rigs: arrivals and removals by
// class with the same names, hubs, unregistering, windows that are busy or
// gone, a burst of phones, and nothing left behind by many registrations.
#include "platform/linux/device_monitor.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "hotplug/listener.h"
#include "platform/handle.h"
#include "platform/thread.h"
#include "rig/usb_rig.h"

namespace eklv {
namespace {

using pf::kDbtDevNodesChanged;
using pf::kDbtDeviceArrival;
using pf::kDbtDeviceRemoveComplete;
using test::ClassOf;
using test::kRigClassComPort;
using test::kRigClassModem;
using test::kRigClassUsbDevice;
using test::kRigClassUsbHub;
using test::Listener;
using test::RigInterface;
using test::Seen;
using test::UsbRig;

std::string Bare(const char* braced) { return std::string(braced + 1, std::strlen(braced) - 2); }

// The device-interface records only, without node changes.
std::vector<Seen> Interfaces(const std::vector<Seen>& seen) {
    std::vector<Seen> out;
    for (const Seen& s : seen)
        if (s.event != kDbtDevNodesChanged) out.push_back(s);
    return out;
}

std::vector<RigInterface> PhoneFunctions(const std::string& tty) {
    return {RigInterface::Modem(tty), RigInterface::Mtp(), RigInterface::Data()};
}

int CountEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
    return n;
}

TEST(DeviceMonitorTest, PhoneArrivalAndRemovalReachWindowsOfTheirClassWithTheSameName) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    // Present before anyone listens: its removal must still be named.
    auto early = rig.AddSinglePhone(root, 1, 0x6b4d, 0x2002, RigInterface::Serial("ttyUSB0", "VCOM"));
    Listener com({ClassOf(kRigClassComPort)});
    Listener modem({ClassOf(kRigClassModem)});
    EXPECT_TRUE(pf::lx::DeviceMonitorRunning());

    auto phone = rig.AddCompositePhone(root, 2, 0x6b4d, 0x2001, PhoneFunctions("ttyACM0"));
    std::string com_name = rig.InterfaceName(phone, 0, kRigClassComPort);
    ASSERT_TRUE(com.WaitCount(kDbtDeviceArrival, 1));
    rig.Unplug(phone);
    rig.Unplug(early);
    ASSERT_TRUE(com.WaitCount(kDbtDeviceRemoveComplete, 2));
    ASSERT_TRUE(modem.WaitCount(kDbtDeviceRemoveComplete, 2));

    std::string com_class = Bare(kRigClassComPort);
    std::vector<Seen> got = Interfaces(com.seen());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].event, kDbtDeviceArrival);
    EXPECT_EQ(got[0].name, com_name);
    EXPECT_EQ(got[0].interface_class, com_class);
    EXPECT_EQ(got[1].event, kDbtDeviceRemoveComplete);
    EXPECT_EQ(got[1].name, com_name);
    EXPECT_EQ(got[2].name, rig.DeviceName(early, kRigClassComPort));
    // Node changes come with no payload.
    EXPECT_GE(Listener::Count(com.seen(), kDbtDevNodesChanged), 1u);

    std::vector<Seen> modem_got = Interfaces(modem.seen());
    ASSERT_EQ(modem_got.size(), 3u);
    EXPECT_EQ(modem_got[0].name, rig.InterfaceName(phone, 0, kRigClassModem));
    EXPECT_EQ(modem_got[1].name, rig.InterfaceName(phone, 0, kRigClassModem));
    EXPECT_EQ(modem_got[1].interface_class, Bare(kRigClassModem));

    // Plugged again into the same port: the same name arrives again.
    rig.Plug(phone);
    ASSERT_TRUE(com.WaitCount(kDbtDeviceArrival, 2));
    EXPECT_EQ(Interfaces(com.seen()).back().name, com_name);
}

TEST(DeviceMonitorTest, HubsArriveAndDevicesBelowAreRemovedBeforeTheirHub) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    Listener hubs({ClassOf(kRigClassUsbHub)});
    Listener devices({ClassOf(kRigClassUsbDevice)});

    auto hub = rig.AddHub(root, 3);
    auto phone = rig.AddCompositePhone(hub, 2, 0x6b4d, 0x2001, PhoneFunctions("ttyACM0"));
    ASSERT_TRUE(hubs.WaitCount(kDbtDeviceArrival, 1));
    ASSERT_TRUE(devices.WaitCount(kDbtDeviceArrival, 2));
    rig.Unplug(hub);
    ASSERT_TRUE(hubs.WaitCount(kDbtDeviceRemoveComplete, 1));
    ASSERT_TRUE(devices.WaitCount(kDbtDeviceRemoveComplete, 2));

    std::vector<Seen> hub_seen = Interfaces(hubs.seen());
    ASSERT_EQ(hub_seen.size(), 2u);  // the phone is no hub
    EXPECT_EQ(hub_seen[0].name, rig.HubName(hub));
    EXPECT_EQ(hub_seen[1].name, rig.HubName(hub));
    EXPECT_EQ(hub_seen[0].interface_class, Bare(kRigClassUsbHub));

    std::vector<Seen> device_seen = Interfaces(devices.seen());
    ASSERT_EQ(device_seen.size(), 4u);
    EXPECT_EQ(device_seen[0].name, rig.DeviceName(hub, kRigClassUsbDevice));
    EXPECT_EQ(device_seen[1].name, rig.DeviceName(phone, kRigClassUsbDevice));
    EXPECT_EQ(device_seen[2].name, rig.DeviceName(phone, kRigClassUsbDevice));
    EXPECT_EQ(device_seen[3].name, rig.DeviceName(hub, kRigClassUsbDevice));
}

TEST(DeviceMonitorTest, UnregisteringStopsDeliveryAndDropsQueuedBroadcasts) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    Listener kept({ClassOf(kRigClassComPort)});
    Listener gone({ClassOf(kRigClassComPort)});
    Listener queued({ClassOf(kRigClassComPort)});

    gone.Unregister();
    queued.Pause();
    ASSERT_TRUE(queued.WaitPaused());
    auto phone = rig.AddCompositePhone(root, 2, 0x6b4d, 0x2001, PhoneFunctions("ttyACM0"));
    ASSERT_TRUE(kept.WaitCount(kDbtDeviceArrival, 1));
    // The paused window has its broadcasts queued; releasing its
    // registration drops them before it pumps again.
    EXPECT_GE(pf::lx::PendingDeviceBroadcasts(), 1u);
    queued.Unregister();
    queued.Resume();
    rig.Unplug(phone);
    ASSERT_TRUE(kept.WaitCount(kDbtDeviceRemoveComplete, 1));
    queued.Quit();  // after it has pumped whatever was left
    EXPECT_TRUE(gone.seen().empty());
    EXPECT_TRUE(queued.seen().empty());

    kept.Unregister();
    EXPECT_FALSE(pf::lx::DeviceMonitorRunning());
}

TEST(DeviceMonitorTest, WindowsThatAreBusyOrGoneDoNotHoldUpOthers) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    Listener busy({ClassOf(kRigClassComPort)});
    Listener stale({ClassOf(kRigClassComPort)});
    Listener ended({ClassOf(kRigClassComPort)});
    Listener live({ClassOf(kRigClassComPort)});
    std::vector<pf::HDevNotify> left_behind = ended.handles();
    for (pf::HDevNotify handle : stale.handles()) left_behind.push_back(handle);
    ended.Quit(/*leave_registrations=*/true);  // the thread ends, its window with it
    // A window destroyed while registered.
    pf::Hwnd destroyed = pf::CreateMessageWindow(
        [](pf::Hwnd, std::uint32_t, pf::WParam, pf::LParam, void*) -> pf::LResult { return 0; }, nullptr);
    pf::DevBroadcastDeviceInterfaceA filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = pf::kDbtDevtypDeviceInterface;
    filter.dbcc_classguid = ClassOf(kRigClassComPort);
    left_behind.push_back(pf::RegisterDeviceNotificationA(destroyed, &filter, 0));
    pf::DestroyWindow(destroyed);
    busy.Pause();
    stale.Pause();
    ASSERT_TRUE(busy.WaitPaused());
    ASSERT_TRUE(stale.WaitPaused());

    auto phone = rig.AddCompositePhone(root, 2, 0x6b4d, 0x2001, PhoneFunctions("ttyACM0"));
    ASSERT_TRUE(live.WaitCount(kDbtDeviceArrival, 1));
    // Its thread ends with broadcasts queued and never taken.
    stale.Abandon();
    rig.Unplug(phone);
    ASSERT_TRUE(live.WaitCount(kDbtDeviceRemoveComplete, 1));

    // The stuck window gets everything, in order, once it pumps again.
    busy.Resume();
    ASSERT_TRUE(busy.WaitCount(kDbtDeviceRemoveComplete, 1));
    std::vector<Seen> late = Interfaces(busy.seen());
    ASSERT_EQ(late.size(), 2u);
    EXPECT_EQ(late[0].event, kDbtDeviceArrival);
    EXPECT_EQ(late[1].event, kDbtDeviceRemoveComplete);

    // What was queued for the window that went is dropped, not kept for ever.
    for (int i = 0; i < 500 && pf::lx::PendingDeviceBroadcasts() != 0; ++i) pf::Sleep(10);
    EXPECT_EQ(pf::lx::PendingDeviceBroadcasts(), 0u);
    // Registrations of windows that are gone can still be released, once.
    for (pf::HDevNotify handle : left_behind) {
        EXPECT_TRUE(pf::UnregisterDeviceNotification(handle));
        EXPECT_FALSE(pf::UnregisterDeviceNotification(handle));
        EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidHandle);
    }
}

TEST(DeviceMonitorTest, BurstOfThirtyTwoPhonesAllArriveAndLeave) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    auto top = rig.AddHub(root, 1);
    std::set<std::string> expected;
    int tty = 0;
    for (int h = 1; h <= 4; ++h) {
        auto hub = rig.AddHub(top, h, 8);
        for (int port = 1; port <= 8; ++port) {
            auto phone = rig.AddCompositePhone(hub, port, 0x6b4d, 0x2001,
                                               PhoneFunctions("ttyACM" + std::to_string(tty++)));
            expected.insert(rig.InterfaceName(phone, 0, kRigClassComPort));
        }
    }
    rig.Unplug(top);
    Listener com({ClassOf(kRigClassComPort)});
    rig.Plug(top);  // every uevent of 32 phones at once
    ASSERT_TRUE(com.WaitCount(kDbtDeviceArrival, 32)) << Interfaces(com.seen()).size();
    std::set<std::string> arrived;
    for (const Seen& s : Interfaces(com.seen())) arrived.insert(s.name);
    EXPECT_EQ(arrived, expected);

    rig.Unplug(top);
    ASSERT_TRUE(com.WaitCount(kDbtDeviceRemoveComplete, 32));
    std::set<std::string> removed;
    for (const Seen& s : Interfaces(com.seen()))
        if (s.event == kDbtDeviceRemoveComplete) removed.insert(s.name);
    EXPECT_EQ(removed, expected);
}

TEST(DeviceMonitorTest, ManyRegistrationsLeaveNoThreadOrDescriptorBehind) {
    UsbRig rig;
    rig.AddRootHub(rig.AddPciController(), 1);
    { Listener warm_up({ClassOf(kRigClassComPort)}); }
    int threads = CountEntries("/proc/self/task");
    int fds = CountEntries("/proc/self/fd");
    pf::Hwnd hwnd = pf::CreateMessageWindow([](pf::Hwnd, std::uint32_t, pf::WParam, pf::LParam, void*) -> pf::LResult {
        return 0;
    }, nullptr);
    pf::DevBroadcastDeviceInterfaceA filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = pf::kDbtDevtypDeviceInterface;
    for (int cycle = 0; cycle < 100; ++cycle) {
        filter.dbcc_classguid = ClassOf(kRigClassComPort);
        pf::HDevNotify a = pf::RegisterDeviceNotificationA(hwnd, &filter, 0);
        filter.dbcc_classguid = ClassOf(kRigClassUsbHub);
        pf::HDevNotify b = pf::RegisterDeviceNotificationA(hwnd, &filter, pf::kDeviceNotifyAllInterfaceClasses);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        ASSERT_TRUE(pf::UnregisterDeviceNotification(a));
        ASSERT_TRUE(pf::lx::DeviceMonitorRunning());  // b still holds it
        ASSERT_TRUE(pf::UnregisterDeviceNotification(b));
        ASSERT_FALSE(pf::lx::DeviceMonitorRunning());
    }
    pf::DestroyWindow(hwnd);
    EXPECT_EQ(CountEntries("/proc/self/task"), threads);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
}

TEST(DeviceMonitorTest, RegistrationRejectsWhatIsNoInterfaceFilterOrNoWindow) {
    pf::Hwnd hwnd = pf::CreateMessageWindow([](pf::Hwnd, std::uint32_t, pf::WParam, pf::LParam, void*) -> pf::LResult {
        return 0;
    }, nullptr);
    pf::DevBroadcastDeviceInterfaceA good{};
    good.dbcc_size = sizeof good;
    good.dbcc_devicetype = pf::kDbtDevtypDeviceInterface;
    pf::DevBroadcastHdr port{sizeof(pf::DevBroadcastHdr), pf::kDbtDevtypPort, 0};
    pf::DevBroadcastDeviceInterfaceA short_size = good;
    short_size.dbcc_size = 12;

    struct Case {
        pf::Hwnd hwnd;
        const void* filter;
        std::uint32_t flags;
        std::uint32_t error;
    } cases[] = {
        {hwnd, nullptr, 0, pf::kErrorInvalidParameter},
        {hwnd, &good, 1, pf::kErrorInvalidParameter},  // a service handle: not supported
        {hwnd, &port, 0, pf::kErrorInvalidData},
        {hwnd, &short_size, 0, pf::kErrorInvalidData},
        {0, &good, 0, pf::kErrorInvalidWindowHandle},
    };
    for (const Case& c : cases) {
        pf::SetLastError(0);
        EXPECT_EQ(pf::RegisterDeviceNotificationA(c.hwnd, c.filter, c.flags), nullptr);
        EXPECT_EQ(pf::GetLastError(), c.error);
    }
    EXPECT_FALSE(pf::lx::DeviceMonitorRunning());
    EXPECT_FALSE(pf::UnregisterDeviceNotification(nullptr));
    EXPECT_FALSE(pf::UnregisterDeviceNotification(reinterpret_cast<pf::HDevNotify>(~std::uintptr_t{0})));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidHandle);
    pf::DestroyWindow(hwnd);
}

TEST(PresentInterfacesTest, RemovalNamesRememberedNodesBelowDeepestFirst) {
    using pf::lx::Broadcast;
    using pf::lx::PresentInterfaces;
    const pf::Guid hub = ClassOf(kRigClassUsbHub), dev = ClassOf(kRigClassUsbDevice), com = ClassOf(kRigClassComPort);
    PresentInterfaces present;
    std::vector<Broadcast> out;
    present.Remember("/d/1-1", {{hub, "H"}, {dev, "HD"}});
    present.Add("/d/1-1/1-1.2", {{dev, "P"}}, &out);
    present.Add("/d/1-1/1-1.2/1-1.2:1.0/tty/ttyACM0", {{com, "C"}}, &out);
    present.Remember("/d/1-10", {{dev, "Other"}});  // a sibling whose path starts alike
    ASSERT_EQ(out.size(), 2u);
    out.clear();

    present.Remove("/d/1-1", &out);
    std::vector<std::string> names;
    for (const Broadcast& b : out) {
        EXPECT_EQ(b.event, kDbtDeviceRemoveComplete);
        names.push_back(b.symbolic_name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"C", "P", "HD", "H"}));
    EXPECT_EQ(present.size(), 1u);

    // A node that comes back under another name is first removed under the
    // old one; a repeated add announces the arrival again.
    out.clear();
    present.Add("/d/1-10", {{dev, "New"}}, &out);
    present.Add("/d/1-10", {{dev, "New"}}, &out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].event, kDbtDeviceRemoveComplete);
    EXPECT_EQ(out[0].symbolic_name, "Other");
    EXPECT_EQ(out[1].symbolic_name, "New");
    EXPECT_EQ(out[2].event, kDbtDeviceArrival);

    // After lost uevents: what is gone is removed, what is new arrives.
    out.clear();
    present.Resync({{"/d/2-1", {{dev, "Fresh"}}}}, &out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].event, kDbtDeviceRemoveComplete);
    EXPECT_EQ(out[0].symbolic_name, "New");
    EXPECT_EQ(out[1].event, kDbtDeviceArrival);
    EXPECT_EQ(out[1].symbolic_name, "Fresh");
}

}  // namespace
}  // namespace eklv
