// The device-change window: which [GUID] classes it registers, what each
// broadcast turns into, and a phone plugged and unplugged on a rig reaching
// the device-change queue as records.
#include "discovery/usb_notify.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "discovery/discovery_folder.h"
#include "hotplug/listener.h"
#include "notify/msg_dispatcher.h"
#include "platform/linux/device_monitor.h"
#include "rig/usb_rig.h"

namespace eklv {
namespace {

using test::ClassOf;
using test::DiscoveryFolder;
using test::kRigClassComPort;
using test::kRigClassUsbHub;
using test::RigInterface;
using test::UsbRig;

constexpr const char* kComPortText = "86e0d1e0-8089-11d0-9ce4-08003e301f73";
constexpr const char* kHubText = "f18a0e88-c30c-11d0-8815-00a0c906bed8";

// Records handed to the queue.
struct QueueRecorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DeviceNotificationRecord> records;

    static bool Sink(std::unique_ptr<DeviceNotificationRecord> record) {
        std::lock_guard<std::mutex> lock(Get().mutex);
        Get().records.push_back(*record);
        Get().changed.notify_all();
        return true;
    }
    static QueueRecorder& Get() {
        static QueueRecorder recorder;
        return recorder;
    }
    std::vector<DeviceNotificationRecord> Wait(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return records.size() >= n; });
        return records;
    }
};

class UsbNotifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        QueueRecorder::Get().records.clear();
        CKLVUSBNotify::SetQueueSinkForTest(&QueueRecorder::Sink);
    }
    void TearDown() override {
        CKLVUSBNotify::SetQueueSinkForTest(nullptr);
        CKLVMsgDispatcher::UnInitialize();
    }
};

// A broadcast as the system builds it, in storage aligned for it.
struct Broadcast {
    std::uint64_t storage[64] = {};
    explicit Broadcast(std::uint32_t type, const pf::Guid& guid = {}, const char* name = "") {
        auto* b = reinterpret_cast<pf::DevBroadcastDeviceInterfaceA*>(storage);
        b->dbcc_size = static_cast<std::uint32_t>(28 + std::strlen(name) + 1);
        b->dbcc_devicetype = type;
        b->dbcc_classguid = guid;
        std::strcpy(b->dbcc_name, name);
    }
    pf::LParam lparam() const { return reinterpret_cast<pf::LParam>(storage); }
};

TEST_F(UsbNotifyTest, RegistersConsecutiveKeysOnlyAndSkipsWhatDoesNotParse) {
    UsbRig rig;  // the monitor needs a testbed to listen in
    DiscoveryFolder folder(std::string("[GUID]\nGUID_0=") + kComPortText + "\nGUID_2=" + kHubText + "\n");
    {
        CKLVUSBNotify notify;
        ASSERT_NE(notify.GetSafeHwnd(), 0u);
        EXPECT_NE(notify.Slot(0), nullptr);
        EXPECT_EQ(notify.Slot(1), nullptr);
        EXPECT_EQ(notify.Slot(2), nullptr);  // reading stopped at the missing GUID_1
        std::vector<pf::Hwnd> library = CKLVMsgDispatcher::GetInstance()->WindowsOf(kLibraryWindows);
        EXPECT_NE(std::find(library.begin(), library.end(), notify.GetSafeHwnd()), library.end());
        notify.UnregisterNotification();
        EXPECT_TRUE(notify.DestroyWindow());
        EXPECT_EQ(notify.GetSafeHwnd(), 0u);
    }
    EXPECT_EQ(folder.CountLines(std::string("CKLVUSBNotify::RegisterNotification - succeed with GUID{") + kComPortText +
                                "}"),
              1);

    // Braces do not parse: that slot stays empty, the next key still counts.
    folder.WriteIni(std::string("[GUID]\nGUID_0={") + kComPortText + "}\nGUID_1=" + kHubText + "\n");
    {
        CKLVUSBNotify notify;
        EXPECT_EQ(notify.Slot(0), nullptr);
        EXPECT_NE(notify.Slot(1), nullptr);
        notify.UnregisterNotification();
    }
    EXPECT_EQ(folder.CountLines("CKLVUSBNotify::RegisterNotification - Failed. Error = ("), 1);

    // More keys than slots: 25 registrations, the rest logged once.
    std::string ini = "[GUID]\n";
    for (int n = 0; n < 30; ++n) ini += "GUID_" + std::to_string(n) + "=" + kComPortText + "\n";
    folder.WriteIni(ini);
    {
        CKLVUSBNotify notify;
        for (int n = 0; n < CKLVUSBNotify::kSlots; ++n) EXPECT_NE(notify.Slot(n), nullptr) << n;
        notify.UnregisterNotification();
    }
    EXPECT_EQ(folder.CountLines("No slot for GUID_25"), 1);
    EXPECT_EQ(folder.CountLines("CKLVUSBNotify::UnregisterNotification - Failed"), 0);
    EXPECT_FALSE(pf::lx::DeviceMonitorRunning());
}

TEST_F(UsbNotifyTest, BroadcastsBecomeRecordsOnlyForDeviceInterfaceArrivalAndRemoval) {
    DiscoveryFolder folder;  // no [GUID]: the window registers nothing
    CKLVUSBNotify notify;
    const pf::Guid com = ClassOf(kRigClassComPort);
    const char* name = "\\\\?\\usb#vid_6b4d&pid_2001&mi_00#1-3.2:1.0#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

    EXPECT_TRUE(notify.OnDeviceChange(pf::kDbtDeviceArrival, 0));  // no data: dropped without a line
    EXPECT_TRUE(notify.OnDeviceChange(pf::kDbtDevNodesChanged, Broadcast(pf::kDbtDevtypDeviceInterface).lparam()));
    EXPECT_TRUE(notify.OnDeviceChange(pf::kDbtDeviceRemoveComplete, Broadcast(pf::kDbtDevtypVolume).lparam()));
    EXPECT_TRUE(notify.OnDeviceChange(0x8001, Broadcast(pf::kDbtDevtypDeviceInterface, com, name).lparam()));
    EXPECT_TRUE(QueueRecorder::Get().records.empty());

    // Through the window procedure, as the message loop delivers it.
    Broadcast removal(pf::kDbtDevtypDeviceInterface, com, name);
    EXPECT_EQ(pf::SendMessageA(notify.GetSafeHwnd(), pf::kWmDeviceChange, pf::kDbtDeviceRemoveComplete,
                               removal.lparam()),
              1);
    ASSERT_EQ(QueueRecorder::Get().records.size(), 1u);
    const DeviceNotificationRecord& r = QueueRecorder::Get().records[0];
    EXPECT_EQ(r.event_code, pf::kDbtDeviceRemoveComplete);
    EXPECT_EQ(r.device_type, pf::kDbtDevtypDeviceInterface);
    EXPECT_EQ(r.class_guid, com);
    EXPECT_EQ(r.device_name, name);
    EXPECT_EQ(r.device_id, 65535);
    EXPECT_EQ(r.completion_event, pf::kNullHandle);
    EXPECT_EQ(r.deadline, 0u);

    // A name is read no further than the size the sender gave.
    Broadcast cut(pf::kDbtDevtypDeviceInterface, com, "abcdef");
    reinterpret_cast<pf::DevBroadcastDeviceInterfaceA*>(cut.storage)->dbcc_size = 28 + 3;
    notify.OnDeviceChange(pf::kDbtDeviceArrival, cut.lparam());
    ASSERT_EQ(QueueRecorder::Get().records.size(), 2u);
    EXPECT_EQ(QueueRecorder::Get().records[1].device_name, "abc");

    EXPECT_EQ(folder.CountLines("CKLVUSBNotify::OnDeviceChange - WM_DEVICECHANGE"), 5);
    EXPECT_EQ(folder.CountLines("CKLVUSBNotify::OnDeviceChange - DBT_DEVNODES_CHANGED"), 1);
    EXPECT_EQ(folder.CountLines("CKLVUSBNotify::OnDeviceChange - Add device to the queue"), 2);
}

TEST_F(UsbNotifyTest, PluggedPhoneReachesTheQueueAsArrivalAndRemovalRecords) {
    UsbRig rig;
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    auto hub = rig.AddHub(root, 3);
    DiscoveryFolder folder(std::string("[GUID]\nGUID_0=") + kComPortText + "\nGUID_1=" + kHubText + "\n");

    // The window lives on a thread that pumps it, as the window thread does.
    std::mutex mutex;
    std::condition_variable ready;
    pf::Hwnd hwnd = 0;
    std::thread window_thread([&] {
        CKLVUSBNotify notify;
        {
            std::lock_guard<std::mutex> lock(mutex);
            hwnd = notify.GetSafeHwnd();
            ready.notify_all();
        }
        pf::Msg msg{};
        while (pf::GetMessageA(&msg, notify.GetSafeHwnd(), 0, 0) > 0) pf::DispatchMessageA(&msg);
        notify.UnregisterNotification();
        notify.DestroyWindow();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait(lock, [&] { return hwnd != 0; });
    }

    auto phone = rig.AddCompositePhone(hub, 2, 0x6b4d, 0x2001,
                                       {RigInterface::Modem("ttyACM0"), RigInterface::Mtp(), RigInterface::Data()});
    std::string name = rig.InterfaceName(phone, 0, kRigClassComPort);
    ASSERT_EQ(QueueRecorder::Get().Wait(1).size(), 1u);
    rig.Unplug(hub);
    std::vector<DeviceNotificationRecord> records = QueueRecorder::Get().Wait(3);
    pf::PostMessageA(hwnd, pf::kWmQuit, 0, 0);
    window_thread.join();

    // COM port arrival, then its removal and the hub's (GUID_1).
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].event_code, pf::kDbtDeviceArrival);
    EXPECT_EQ(records[0].device_name, name);
    EXPECT_EQ(records[1].event_code, pf::kDbtDeviceRemoveComplete);
    EXPECT_EQ(records[1].device_name, name);
    EXPECT_EQ(records[1].class_guid, ClassOf(kRigClassComPort));
    EXPECT_EQ(records[2].device_name, rig.HubName(hub));
    EXPECT_EQ(records[2].class_guid, ClassOf(kRigClassUsbHub));
    EXPECT_FALSE(pf::lx::DeviceMonitorRunning());
}

}  // namespace
}  // namespace eklv
