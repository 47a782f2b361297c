// Device-change broadcasts on umockdev rigs: arrivals and removals by class
// under the same names, windows that unregister, stall or go, a burst of
// phones, and nothing left behind by many registrations.
#include "platform/linux/device_monitor.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/listener.h"
#include "support/proc_counts.h"
#include "platform/devtree.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "platform/usb_hub.h"
#include "rig/usb_rig.h"

namespace eklv {
namespace {

using pf::kDbtDeviceArrival;
using Seen = std::vector<std::string>;
using test::kRigClassComPort;
using test::kRigClassUsbHub;
using test::Listener;
using test::RigInterface;
using test::UsbRig;

std::vector<RigInterface> Functions(int tty) {
    return {RigInterface::Modem("ttyACM" + std::to_string(tty)), RigInterface::Mtp(), RigInterface::Data()};
}

int MonitorThreads() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir)) {
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            n += e->d_name[0] != '.' && std::getline(comm, name) && name == "eklv-hotplug";
        }
        closedir(dir);
    }
    return n;
}

TEST(DeviceMonitorTest, ArrivalAndRemovalReachWindowsOfTheirClassUnderTheSameName) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    // Present before anyone listens: its removal is still named.
    auto early = rig.AddSinglePhone(root, 1, 0x6b4d, 0x2002, RigInterface::Serial("ttyUSB0", "VCOM"));
    Listener com(kRigClassComPort), hubs(kRigClassUsbHub);

    auto hub = rig.AddHub(root, 3);
    auto phone = rig.AddCompositePhone(hub, 2, 0x6b4d, 0x2001, Functions(0));
    com.Wait('+', 1);
    rig.Unplug(hub);
    rig.Unplug(early);
    com.Wait('-', 2);
    hubs.Wait('-', 1);
    EXPECT_GE(Listener::Count(com.Wait('*', 1), '*'), 1u);  // node changes, without payload

    std::string modem = rig.InterfaceName(phone, 0, kRigClassComPort);
    EXPECT_EQ(com.Interfaces(), (Seen{"+" + modem, "-" + modem, "-" + rig.DeviceName(early, kRigClassComPort)}));
    EXPECT_EQ(hubs.Interfaces(), (Seen{"+" + rig.HubName(hub), "-" + rig.HubName(hub)}));

    rig.Plug(hub);  // the same port again: the same name
    com.Wait('+', 2);
    EXPECT_EQ(com.Interfaces().back(), "+" + modem);
}

// What the device tree answers about a phone, read as one question.
struct Answer {
    bool located = false;
    std::string tty;
    std::size_t descriptor_bytes = 0;
    std::string child_id;           // through CM_Locate_DevNode, CM_Get_Child, CM_Get_Device_ID
    std::uint16_t port_product = 0;  // idProduct on the hub's port 2, through a hub request
};
Answer Ask(const std::string& instance_id, const std::string& hub_name) {
    Answer answer;
    pf::DevInst device = 0, child = 0;
    char id[256] = {};
    if (pf::CM_Locate_DevNodeA(&device, instance_id.c_str(), 0) == pf::kCrSuccess &&
        pf::CM_Get_Child(&child, device, 0) == pf::kCrSuccess &&
        pf::CM_Get_Device_IDA(child, id, sizeof id, 0) == pf::kCrSuccess)
        answer.child_id = id;
    pf::Handle hub = pf::CreateFileA(hub_name.c_str(), pf::kGenericRead | pf::kGenericWrite,
                                     pf::kFileShareRead | pf::kFileShareWrite, pf::kOpenExisting, 0);
    std::uint8_t connection[35] = {2};
    std::uint32_t returned = 0;
    if (pf::DeviceIoControl(hub, pf::kIoctlUsbGetNodeConnectionInformation, connection, 35, connection, 35, &returned,
                            nullptr) &&
        connection[31] == pf::kDeviceConnected)
        answer.port_product = static_cast<std::uint16_t>(connection[4 + 10] | connection[4 + 11] << 8);
    if (pf::IsValidHandle(hub)) pf::CloseHandle(hub);

    pf::lx::DeviceTree tree;
    pf::lx::Node node;
    if (!tree.Locate(instance_id, &node)) return answer;
    answer.located = true;
    for (const pf::lx::Node& iface : tree.Interfaces(node))
        if (answer.tty.empty()) answer.tty = tree.TtyName(iface);
    answer.descriptor_bytes = tree.RawDescriptors(node).size();
    return answer;
}

// While the monitor listens, the device tree keeps its sysfs reads from one
// question to the next; a phone unplugged and another plugged at the same
// port (other ids, other tty, other descriptors) is seen as the new one,
// whether or not the tree was asked between the two.
TEST(DeviceMonitorTest, DeviceTreeNeverAnswersForAPhoneThatWasReplaced) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    const std::string hub = rig.HubName(root);
    Listener com(kRigClassComPort);
    auto first = rig.AddCompositePhone(root, 2, 0x6b4d, 0x2001, Functions(0));
    com.Wait('+', 1);
    const std::string first_id = rig.InstanceId(first);
    for (int i = 0; i < 2; ++i) {
        Answer a = Ask(first_id, hub);
        EXPECT_TRUE(a.located);
        EXPECT_EQ(a.tty, "ttyACM0");
        EXPECT_NE(a.child_id.find("pid_2001"), std::string::npos) << a.child_id;
        EXPECT_EQ(a.port_product, 0x2001);
    }
    const std::size_t first_bytes = Ask(first_id, hub).descriptor_bytes;

    rig.Unplug(first);
    com.Wait('-', 1);
    Answer gone = Ask(first_id, hub);
    EXPECT_FALSE(gone.located);
    EXPECT_EQ(gone.child_id, "");
    EXPECT_EQ(gone.port_product, 0);
    auto second = rig.AddCompositePhone(root, 2, 0x6b4d, 0x2003,
                                        {RigInterface::Modem("ttyACM7"), RigInterface::Mtp()});
    com.Wait('+', 2);
    const std::string second_id = rig.InstanceId(second);
    EXPECT_FALSE(Ask(first_id, hub).located);
    Answer b = Ask(second_id, hub);
    EXPECT_TRUE(b.located);
    EXPECT_EQ(b.tty, "ttyACM7");
    EXPECT_NE(b.descriptor_bytes, first_bytes);
    EXPECT_NE(b.child_id.find("pid_2003"), std::string::npos) << b.child_id;
    EXPECT_EQ(b.port_product, 0x2003);

    // Replaced without a question in between.
    rig.Unplug(second);
    rig.Plug(first);
    com.Wait('+', 3);
    EXPECT_FALSE(Ask(second_id, hub).located);
    Answer again = Ask(first_id, hub);
    EXPECT_TRUE(again.located);
    EXPECT_EQ(again.tty, "ttyACM0");
    EXPECT_EQ(again.descriptor_bytes, first_bytes);
    EXPECT_NE(again.child_id.find("pid_2001"), std::string::npos) << again.child_id;
    EXPECT_EQ(again.port_product, 0x2001);
}

TEST(DeviceMonitorTest, UnregisteredStalledAndVanishedWindowsHoldUpNobody) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    Listener live(kRigClassComPort), stalled(kRigClassComPort), dropped(kRigClassComPort), vanished(kRigClassComPort);
    stalled.Pause();
    dropped.Pause();
    vanished.Pause();

    auto phone = rig.AddCompositePhone(root, 2, 0x6b4d, 0x2001, Functions(0));
    live.Wait('+', 1);
    EXPECT_GE(pf::lx::PendingDeviceBroadcasts(), 3u);  // one per paused window at least
    dropped.Unregister();   // its queued broadcasts go with the registration
    vanished.Abandon();     // its thread ends with broadcasts queued
    dropped.Resume();
    rig.Unplug(phone);
    live.Wait('-', 1);

    // The stalled window gets everything, in order, once it pumps again.
    stalled.Resume();
    std::string name = rig.InterfaceName(phone, 0, kRigClassComPort);
    stalled.Wait('-', 1);
    EXPECT_EQ(stalled.Interfaces(), (Seen{"+" + name, "-" + name}));
    EXPECT_TRUE(dropped.Interfaces().empty());
    // What was queued for the vanished window is dropped, not kept for ever.
    for (int i = 0; i < 500 && pf::lx::PendingDeviceBroadcasts() != 0; ++i) pf::Sleep(10);
    EXPECT_EQ(pf::lx::PendingDeviceBroadcasts(), 0u);
    // Its registration can still be released, once.
    EXPECT_TRUE(pf::UnregisterDeviceNotification(vanished.handle()));
    EXPECT_FALSE(pf::UnregisterDeviceNotification(vanished.handle()));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidHandle);
}

TEST(DeviceMonitorTest, BurstOfThirtyTwoPhonesAllArriveAndLeave) {
    UsbRig rig;
    auto top = rig.AddHub(rig.AddRootHub(rig.AddPciController(), 1), 1);
    std::set<std::string> expected;
    for (int h = 1; h <= 4; ++h) {
        auto hub = rig.AddHub(top, h, 8);
        for (int port = 1; port <= 8; ++port) {
            auto phone = rig.AddCompositePhone(hub, port, 0x6b4d, 0x2001, Functions(static_cast<int>(expected.size())));
            expected.insert(rig.InterfaceName(phone, 0, kRigClassComPort));
        }
    }
    rig.Unplug(top);
    Listener com(kRigClassComPort);
    rig.Plug(top);  // the uevents of 32 phones at once
    com.Wait('+', 32);
    rig.Unplug(top);
    com.Wait('-', 32);
    std::set<std::string> arrived, removed;
    for (const std::string& s : com.Interfaces()) (s[0] == '+' ? arrived : removed).insert(s.substr(1));
    EXPECT_EQ(arrived, expected);
    EXPECT_EQ(removed, expected);
}

TEST(DeviceMonitorTest, RegistrationsComeAndGoWithoutLeavingThreadsOrDescriptors) {
    UsbRig rig;
    pf::Hwnd hwnd = pf::CreateMessageWindow(
        [](pf::Hwnd, std::uint32_t, pf::WParam, pf::LParam, void*) -> pf::LResult { return 0; }, nullptr);
    pf::DevBroadcastDeviceInterfaceA filter{sizeof filter, pf::kDbtDevtypDeviceInterface, 0, {}, {}};
    pf::DevBroadcastHdr port{sizeof(pf::DevBroadcastHdr), pf::kDbtDevtypPort, 0};
    // What is no window or no device-interface filter is refused.
    EXPECT_EQ(pf::RegisterDeviceNotificationA(0, &filter, 0), nullptr);
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidWindowHandle);
    EXPECT_EQ(pf::RegisterDeviceNotificationA(hwnd, &port, 0), nullptr);
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidData);
    EXPECT_EQ(pf::RegisterDeviceNotificationA(hwnd, &filter, 1), nullptr);  // a service handle
    EXPECT_FALSE(pf::lx::DeviceMonitorRunning());

    int threads = 0, fds = 0;
    for (int cycle = 0; cycle < 110; ++cycle) {
        if (cycle == 10) {  // umockdev starts its own helpers on the first uses
            threads = test::ThreadCount();
            fds = test::ProcEntries("fd");
        }
        pf::HDevNotify a = pf::RegisterDeviceNotificationA(hwnd, &filter, 0);
        pf::HDevNotify b = pf::RegisterDeviceNotificationA(hwnd, &filter, pf::kDeviceNotifyAllInterfaceClasses);
        ASSERT_TRUE(pf::UnregisterDeviceNotification(a));
        ASSERT_EQ(MonitorThreads(), 1);  // b still holds it
        ASSERT_TRUE(pf::UnregisterDeviceNotification(b));
        ASSERT_EQ(MonitorThreads(), 0);
        ASSERT_FALSE(pf::lx::DeviceMonitorRunning());
    }
    EXPECT_EQ(test::ThreadCount(), threads);
    EXPECT_EQ(test::ProcEntries("fd"), fds);
    pf::DestroyWindow(hwnd);
}

TEST(PresentInterfacesTest, RemovalNamesKnownNodesBelowDeepestFirstAndResyncSettlesDifferences) {
    const pf::Guid hub = test::ClassOf(kRigClassUsbHub), com = test::ClassOf(kRigClassComPort);
    pf::lx::PresentInterfaces present;
    std::vector<pf::lx::Broadcast> out;
    auto names = [&] {
        std::string text;
        for (const auto& b : out) text += (b.event == kDbtDeviceArrival ? "+" : "-") + b.symbolic_name + " ";
        out.clear();
        return text;
    };
    present.Remember("/d/1-1", {{hub, "H"}, {com, "HD"}});
    present.Add("/d/1-1/1-1.2", {{com, "P"}}, &out);
    present.Add("/d/1-1/1-1.2/1-1.2:1.0/tty/ttyACM0", {{com, "C"}}, &out);
    present.Remember("/d/1-10", {{com, "Other"}});  // a sibling whose path starts alike
    EXPECT_EQ(names(), "+P +C ");
    present.Remove("/d/1-1", &out);
    EXPECT_EQ(names(), "-C -P -HD -H ");
    // Back under another name: removed under the old one first. Again:
    // arrives again.
    present.Add("/d/1-10", {{com, "New"}}, &out);
    present.Add("/d/1-10", {{com, "New"}}, &out);
    EXPECT_EQ(names(), "-Other +New +New ");
    // After lost uevents: what is gone is removed, what is new arrives.
    present.Resync({{"/d/2-1", {{com, "Fresh"}}}}, &out);
    EXPECT_EQ(names(), "-New +Fresh ");
}

}  // namespace
}  // namespace eklv
