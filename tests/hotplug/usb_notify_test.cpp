// The device-change window: which [GUID] classes it registers and which
// broadcasts become records (a plugged phone reaching the host is the
// end-to-end tests').
#include "hotplug/usb_notify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "discovery/discovery_folder.h"
#include "support/listener.h"
#include "notify/msg_dispatcher.h"
#include "platform/linux/devnotify.h"
#include "platform/sync.h"
#include "rig/usb_rig.h"

namespace eklv {
namespace {

using test::DiscoveryFolder;

constexpr const char* kComText = "86e0d1e0-8089-11d0-9ce4-08003e301f73";
constexpr const char* kHubText = "f18a0e88-c30c-11d0-8815-00a0c906bed8";

// The window's thread is the test's own: records arrive synchronously.
std::vector<DeviceNotificationRecord> g_records;

class UsbNotifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_records.clear();
        CKLVUSBNotify::SetQueueSinkForTest([](std::unique_ptr<DeviceNotificationRecord> record) {
            g_records.push_back(*record);
            return true;
        });
    }
    void TearDown() override {
        CKLVUSBNotify::SetQueueSinkForTest(nullptr);
        CKLVMsgDispatcher::UnInitialize();
    }
    test::UsbRig rig;  // the monitor listens in its testbed
};

TEST_F(UsbNotifyTest, RegistersConsecutiveKeysThatParseIntoTheirSlots) {
    DiscoveryFolder folder;
    auto slots = [&](const std::string& keys) {
        folder.WriteIni("[GUID]\n" + keys);
        CKLVUSBNotify notify;
        std::string used;
        for (int n = 0; n < CKLVUSBNotify::kSlots; ++n) used += notify.Slot(n) != nullptr ? 'x' : '.';
        notify.UnregisterNotification();
        return used.substr(0, used.find_last_of('x') + 1);
    };
    EXPECT_EQ(slots(std::string("GUID_0=") + kComText + "\nGUID_2=" + kHubText + "\n"), "x");
    EXPECT_EQ(slots(std::string("GUID_0={") + kComText + "}\nGUID_1=" + kHubText + "\n"), ".x");
    std::string many;
    for (int n = 0; n < 30; ++n) many += "GUID_" + std::to_string(n) + "=" + kComText + "\n";
    EXPECT_EQ(slots(many), std::string(25, 'x'));
    EXPECT_EQ(folder.CountLines(std::string("RegisterNotification - succeed with GUID{") + kComText + "}"), 26);
    EXPECT_EQ(folder.CountLines("CKLVUSBNotify::RegisterNotification - Failed. Error = ("), 1);
    EXPECT_EQ(folder.CountLines("No slot for GUID_25"), 1);
    EXPECT_EQ(folder.CountLines("UnregisterNotification - Failed"), 0);
    EXPECT_FALSE(pf::lx::DeviceMonitorRunning());

    folder.WriteIni("");
    CKLVUSBNotify notify;  // the window joins the library windows
    EXPECT_EQ(std::ranges::count(CKLVMsgDispatcher::GetInstance()->WindowsOf(kLibraryWindows), notify.GetSafeHwnd()), 1);
    EXPECT_TRUE(notify.DestroyWindow());
    EXPECT_EQ(notify.GetSafeHwnd(), 0u);
}

TEST_F(UsbNotifyTest, OnlyInterfaceArrivalsAndRemovalsBecomeRecords) {
    DiscoveryFolder folder;
    CKLVUSBNotify notify;
    const pf::Guid com = test::ClassOf(test::kRigClassComPort);
    const std::string name = "\\\\?\\usb#vid_6b4d&pid_2001&mi_00#1-3.2:1.0#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    auto send = [&](std::uint32_t event, std::uint32_t type, std::uint32_t size_cut = 0) {
        std::uint64_t storage[64] = {};
        auto* b = reinterpret_cast<pf::DevBroadcastDeviceInterfaceA*>(storage);
        *b = {static_cast<std::uint32_t>(28 + name.size() + 1 - size_cut), type, 0, com, {}};
        std::memcpy(b->dbcc_name, name.c_str(), name.size() + 1);
        return pf::SendMessageA(notify.GetSafeHwnd(), pf::kWmDeviceChange, event, reinterpret_cast<pf::LParam>(b));
    };
    EXPECT_EQ(pf::SendMessageA(notify.GetSafeHwnd(), pf::kWmDeviceChange, pf::kDbtDeviceArrival, 0), 1);
    EXPECT_EQ(send(pf::kDbtDevNodesChanged, pf::kDbtDevtypDeviceInterface), 1);
    EXPECT_EQ(send(pf::kDbtDeviceRemoveComplete, pf::kDbtDevtypVolume), 1);
    EXPECT_EQ(send(0x8001, pf::kDbtDevtypDeviceInterface), 1);
    EXPECT_TRUE(g_records.empty());

    EXPECT_EQ(send(pf::kDbtDeviceRemoveComplete, pf::kDbtDevtypDeviceInterface), 1);
    EXPECT_EQ(send(pf::kDbtDeviceArrival, pf::kDbtDevtypDeviceInterface, name.size() - 3), 1);
    ASSERT_EQ(g_records.size(), 2u);
    const DeviceNotificationRecord& r = g_records[0];
    EXPECT_EQ(r.event_code, pf::kDbtDeviceRemoveComplete);
    EXPECT_EQ(r.class_guid, com);
    EXPECT_EQ(r.device_name, name);
    EXPECT_EQ(r.device_id, 65535);
    EXPECT_EQ(g_records[1].device_name, name.substr(0, 4));  // no further than the size given

    EXPECT_EQ(folder.CountLines("CKLVUSBNotify::OnDeviceChange - WM_DEVICECHANGE"), 5);
    EXPECT_EQ(folder.CountLines("CKLVUSBNotify::OnDeviceChange - DBT_DEVNODES_CHANGED"), 1);
}

}  // namespace
}  // namespace eklv
