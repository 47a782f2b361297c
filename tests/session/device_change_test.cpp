// Device-change processing in process, on a umockdev rig: a null record,
// termination with records still queued, and the 800-byte block.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "discovery/discovery_folder.h"
#include "discovery/standard_rig.h"
#include "eklv/eklv.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/device_notification.h"
#include "session/session.h"
#include "support/eventually.h"
#include "support/host_window.h"

namespace eklv {
namespace {

constexpr const char* kComPortClass = "86e0d1e0-8089-11d0-9ce4-08003e301f73";
const pf::Guid kComPort = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

std::unique_ptr<DeviceNotificationRecord> Arrival(const std::string& name) {
    auto r = std::make_unique<DeviceNotificationRecord>();
    r->event_code = 0x8000;
    r->device_name = name;
    r->class_guid = kComPort;
    return r;
}

// The statically linked core started in host-fed mode.
class DeviceChangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder.WriteIni(std::string(test::kStandardIni) + "[GUID]\nGUID_0=" + kComPortClass +
                        "\n[INF_SETTINGS]\nINF_UART=Gadget CDC VCOM Port\n");
        EKLVInitParams params{};
        params.client_window = host.hwnd();
        ASSERT_EQ(EKLVInitialize(&params), 0u);
    }
    void TearDown() override { EXPECT_EQ(EKLVUninitialize(), 0u); }
    test::StandardRig s;
    test::DiscoveryFolder folder;
    test::HostWindow host;
};

TEST_F(DeviceChangeTest, NullRecordAndTermination) {
    // (Records answered in order, in time and too late are the host-fed
    // tests'.) A null record is logged and passed over.
    CKLVSession::GetInstance()->QueueRecord(nullptr);
    EXPECT_TRUE(test::Eventually([&] { return folder.CountLines("CKLVSession::DeviceChangeNotice - NULL devdata") == 1; }));
    // The thread then waits again (its idle line before the record and one
    // after), rather than spinning on the wake-up of the record it took.
    const char* idle = "CKLVSession::DeviceChangeNotice - DeviceQ size = (0)";
    EXPECT_TRUE(test::Eventually([&] { return folder.CountLines(idle) >= 2; }));
    pf::Sleep(100);
    EXPECT_EQ(folder.CountLines(idle), 2);

    // The stop routine ends the thread; records queued afterwards are
    // destroyed unhandled and unsignalled.
    EXPECT_EQ(CKLVSession::StopRoutine(), 0);
    EXPECT_TRUE(test::Eventually([&] { return folder.CountLines("CKLVSession::DeviceChangeNotice exit") == 1; }));
    EXPECT_EQ(CKLVSession::StopRoutine(), 1) << "no termination event once the thread has ended";
    auto orphan_event = CompletionEvent::Create();
    auto orphan = Arrival(s.SingleName());
    orphan->device_id = 13;
    orphan->completion_event = orphan_event;
    orphan->deadline = pf::GetTickCount() + 10000;
    EXPECT_TRUE(QueueDeviceNotification(std::move(orphan)));
    CKLVSession::UnInitialize();
    EXPECT_EQ(orphan_event.use_count(), 1);
    EXPECT_EQ(pf::WaitForSingleObject(orphan_event->handle(), 0), pf::kWaitTimeout);
    EXPECT_FALSE(QueueDeviceNotification(Arrival(s.SingleName())));
}

// In self-monitoring mode the window has registered for the broadcasts
// before the start-up scan lists what is present, and an interface both
// broadcast and listed (a phone plugged meanwhile) is announced once; after
// its removal it is announced again.
TEST(SelfMonitoringStart, BroadcastsRegisteredBeforeTheScanAndEachInterfaceAnnouncedOnce) {
    test::StandardRig s;
    test::DiscoveryFolder folder(std::string(test::kStandardIni) + "[GUID]\nGUID_0=" + kComPortClass +
                                 "\n[INF_SETTINGS]\nINF_UART=Gadget CDC VCOM Port\n");
    test::HostWindow host;
    EKLVInitParams params{};
    params.client_window = host.hwnd();
    params.self_monitoring = 1;
    ASSERT_EQ(EKLVInitialize(&params), 0u);
    ASSERT_EQ(host.WaitFor(2).size(), 2u);
    EXPECT_EQ(test::FirstMissingInOrder(folder.ReadLogs(), {"CKLVUSBNotify::RegisterNotification - succeed",
                                                            "CKLVSessionMgr::ScanForAllUSBDevices"}),
              "");
    EXPECT_TRUE(QueueDeviceNotification(Arrival(s.SingleName())));
    EXPECT_TRUE(test::Eventually([&] { return folder.CountLines("HandleDeviceNotification - Already announced") == 1; }));
    s.rig.Unplug(s.single);
    s.rig.Plug(s.single);
    auto messages = host.WaitFor(4);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_FALSE(messages[2].arrival);
    EXPECT_TRUE(messages[3].arrival);
    pf::Sleep(100);
    EXPECT_EQ(host.Messages().size(), 4u);
    EXPECT_EQ(EKLVUninitialize(), 0u);
}

TEST(HostBlock, TextsAreCutAndTheRestZeroed) {
    EKLVNotificationBlock block;
    std::memset(&block, 0xAB, sizeof block);
    BuildHostBlock(42, std::string(300, 'n'), "Phone", "pid_2001", kComPort, 0x8004, &block);
    EXPECT_EQ(std::string(block.device_name), std::string(255, 'n'));
    EXPECT_EQ(block.reserved0 | block.reserved1 | block.reserved2, 0u);
    for (std::size_t i = 6; i < sizeof block.product; ++i) ASSERT_EQ(block.product[i], 0) << i;
}

}  // namespace
}  // namespace eklv
