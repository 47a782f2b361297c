// Device-change broadcasts on umockdev rigs: a phone replaced at its port,
// windows that unregister, stall or go, nothing left behind by many
// registrations, and the names removals carry (plain arrivals and removals
// are the kernel rig's, bursts of phones the end-to-end stress test's).
#include "platform/linux/devnotify.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/devtree.h"
#include "platform/linux/present_interfaces.h"
#include "platform/linux/udev_tree.h"
#include "platform/file.h"
#include "platform/usb_hub.h"
#include "rig/usb_rig.h"
#include "support/eventually.h"
#include "support/listener.h"
#include "support/proc_counts.h"

namespace eklv {
namespace {

using test::kRigClassComPort;
using test::Listener;
using test::RigInterface;
using test::UsbRig;

std::vector<RigInterface> Functions(int tty) {
    return {RigInterface::Modem("ttyACM" + std::to_string(tty)), RigInterface::Mtp(), RigInterface::Data()};
}

// What the device tree answers about a phone, read as one question: its
// first tty and the size of its descriptors (or "gone"), the product id of
// its first child as CM_Locate_DevNode, CM_Get_Child and CM_Get_Device_ID
// give it, and the product id a hub request reads on its port.
std::string Ask(const std::string& instance_id, const std::string& hub_name) {
    std::string answer = "gone";
    pf::lx::DeviceTree tree;
    pf::lx::Node node;
    if (tree.Locate(instance_id, &node)) {
        std::string tty;
        for (const pf::lx::Node& iface : tree.Interfaces(node))
            if (tty.empty()) tty = tree.TtyName(iface);
        answer = tty + " " + std::to_string(tree.RawDescriptors(node).size());
    }
    pf::DevInst device = 0, child = 0;
    char id[256] = {};
    if (pf::CM_Locate_DevNodeA(&device, instance_id.c_str(), 0) == pf::kCrSuccess &&
        pf::CM_Get_Child(&child, device, 0) == pf::kCrSuccess &&
        pf::CM_Get_Device_IDA(child, id, sizeof id, 0) == pf::kCrSuccess) {
        const std::string child_id = id;
        answer += " child " + child_id.substr(child_id.find("pid_") + 4, 4);
    }
    pf::Handle hub = pf::CreateFileA(hub_name.c_str(), pf::kGenericRead | pf::kGenericWrite,
                                     pf::kFileShareRead | pf::kFileShareWrite, pf::kOpenExisting, 0);
    std::uint8_t connection[35] = {2};
    std::uint32_t returned = 0;
    if (pf::DeviceIoControl(hub, pf::kIoctlUsbGetNodeConnectionInformation, connection, 35, connection, 35, &returned,
                            nullptr) &&
        connection[31] == pf::kDeviceConnected) {
        char product[8];
        std::snprintf(product, sizeof product, "%04x", connection[4 + 10] | connection[4 + 11] << 8);
        answer += std::string(" port ") + product;
    }
    if (pf::IsValidHandle(hub)) pf::CloseHandle(hub);
    return answer;
}

// A phone unplugged and another plugged at the same port (other ids, other
// tty, other descriptors) is seen as the new one, whether or not the tree
// was asked between the two.
TEST(DeviceMonitorTest, DeviceTreeNeverAnswersForAPhoneThatWasReplaced) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    Listener com(kRigClassComPort);
    auto first = rig.AddCompositePhone(root, 2, 0x6b4d, 0x2001, Functions(0));
    com.Wait('+', 1);
    const std::string first_id = rig.InstanceId(first), hub = rig.HubName(root);
    const std::string first_answer = Ask(first_id, hub);
    EXPECT_TRUE(first_answer.starts_with("ttyACM0 ") && first_answer.ends_with(" child 2001 port 2001")) << first_answer;
    EXPECT_EQ(Ask(first_id, hub), first_answer);

    rig.Unplug(first);
    com.Wait('-', 1);
    EXPECT_EQ(Ask(first_id, hub), "gone");
    auto second = rig.AddCompositePhone(root, 2, 0x6b4d, 0x2003,
                                        {RigInterface::Modem("ttyACM7"), RigInterface::Mtp()});
    com.Wait('+', 2);
    const std::string second_id = rig.InstanceId(second);
    EXPECT_EQ(Ask(first_id, hub), "gone port 2003");
    const std::string second_answer = Ask(second_id, hub);
    EXPECT_TRUE(second_answer.starts_with("ttyACM7 ") && second_answer.ends_with(" child 2003 port 2003"))
        << second_answer;
    EXPECT_NE(second_answer.substr(8, 4), first_answer.substr(8, 4));  // other descriptors

    // Replaced without a question in between.
    rig.Unplug(second);
    rig.Plug(first);
    com.Wait('+', 3);
    EXPECT_EQ(Ask(second_id, hub), "gone port 2001");
    EXPECT_EQ(Ask(first_id, hub), first_answer);
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
    EXPECT_EQ(stalled.Interfaces(), (std::vector<std::string>{"+" + name, "-" + name}));
    EXPECT_TRUE(dropped.Interfaces().empty());
    // What was queued for the vanished window is dropped, not kept for ever.
    EXPECT_TRUE(test::Eventually([] { return pf::lx::PendingDeviceBroadcasts() == 0; }));
    // Its registration can still be released, once.
    EXPECT_TRUE(pf::UnregisterDeviceNotification(vanished.handle()));
    EXPECT_FALSE(pf::UnregisterDeviceNotification(vanished.handle()));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidHandle);
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
        ASSERT_TRUE(pf::lx::DeviceMonitorRunning());  // b still holds it
        ASSERT_TRUE(pf::UnregisterDeviceNotification(b));
        ASSERT_FALSE(pf::lx::DeviceMonitorRunning());
    }
    // A joined thread can still be listed in /proc for a moment while the
    // kernel finishes its exit (seen once under a loaded CI run).
    EXPECT_TRUE(test::Eventually([&] { return test::ThreadCount() == threads; })) << test::ThreadCount();
    EXPECT_EQ(test::ProcEntries("fd"), fds);
    pf::DestroyWindow(hwnd);
}

TEST(PresentInterfacesTest, RemovalNamesKnownNodesBelowDeepestFirstReplaysAndResyncSettleDifferences) {
    const pf::Guid hub = test::ClassOf(test::kRigClassUsbHub), com = test::ClassOf(kRigClassComPort);
    pf::lx::PresentInterfaces present;
    std::vector<pf::lx::Broadcast> out;
    auto names = [&] {
        std::string text;
        for (const auto& b : out) text += (b.event == pf::kDbtDeviceArrival ? "+" : "-") + b.symbolic_name + " ";
        out.clear();
        return text;
    };
    present.Remember("/d/1-1", {{hub, "H"}, {com, "HD"}});
    present.Add("/d/1-1/1-1.2", {{com, "P"}}, false, &out);
    present.Add("/d/1-1/1-1.2/1-1.2:1.0/tty/ttyACM0", {{com, "C"}}, false, &out);
    present.Remember("/d/1-10", {{com, "Other"}});  // a sibling whose path starts alike
    EXPECT_EQ(names(), "+P +C ");
    present.Remove("/d/1-1", &out);
    EXPECT_EQ(names(), "-C -P -HD -H ");
    // Back under another name: removed under the old one first. Again:
    // arrives again, unless the add is a replay (udevd started and replayed
    // every present device); a replay of a node under other names is news.
    present.Add("/d/1-10", {{com, "New"}}, false, &out);
    present.Add("/d/1-10", {{com, "New"}}, false, &out);
    present.Add("/d/1-10", {{com, "New"}}, true, &out);
    EXPECT_EQ(names(), "-Other +New +New ");
    present.Add("/d/1-10", {{com, "Renamed"}}, true, &out);
    present.Add("/d/3-1", {{com, "Unknown"}}, true, &out);
    EXPECT_EQ(names(), "-New +Renamed +Unknown ");
    // After lost uevents: what is gone is removed, what is new arrives.
    present.Resync({{"/d/2-1", {{com, "Fresh"}}}, {"/d/3-1", {{com, "Unknown"}}}}, &out);
    EXPECT_EQ(names(), "-Renamed +Fresh ");
}

}  // namespace
}  // namespace eklv
