// Device-change processing and the session manager in process, on a
// umockdev rig: the paths of HandleDeviceNotification, the queue and its
// completion events, termination, and the 800-byte block.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/supervisor.h"
#include "discovery/device_id_mgr.h"
#include "discovery/discovery_folder.h"
#include "discovery/standard_rig.h"
#include "notify/msg_dispatcher.h"
#include "notify/notification_thread.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "session/device_notification.h"
#include "support/eventually.h"
#include "support/host_window.h"
#include "session/session.h"
#include "session/session_mgr.h"

namespace eklv {
namespace {

using test::HostMessage;

constexpr const char* kComPortClass = "86e0d1e0-8089-11d0-9ce4-08003e301f73";

pf::Guid GuidOf(const char* text) {
    std::string t = text;
    if (!t.empty() && t.front() == '{') t = t.substr(1, t.size() - 2);
    pf::Guid g{};
    EXPECT_TRUE(pf::UuidFromStringA(t.c_str(), &g)) << text;
    return g;
}

std::unique_ptr<DeviceNotificationRecord> Record(const std::string& name, std::uint32_t event,
                                                 const char* guid = kComPortClass, std::uint16_t id = 65535) {
    auto r = std::make_unique<DeviceNotificationRecord>();
    r->device_name = name;
    r->event_code = event;
    r->class_guid = GuidOf(guid);
    r->device_id = id;
    return r;
}

// Every library object that host-fed processing needs, started in the
// library's order and stopped in its teardown order.
class DeviceChangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder.WriteIni(std::string(test::kStandardIni) + "[GUID]\nGUID_0=" + kComPortClass +
                        "\n[INF_SETTINGS]\nINF_UART=Gadget CDC VCOM Port\n");
        CKLVDeviceIdMgr::ResetRootTIDCounter();
        ASSERT_EQ(CKLVMsgDispatcher::Initialize(host.hwnd()), 0u);
        ASSERT_EQ(CKLVDeviceIdMgr::Initialize(), 0u);
        CKLVSupervisor::Initialize();
        ASSERT_EQ(CKLVSession::Initialize(), 0u);
        ASSERT_EQ(CKLVSessionMgr::Initialize(false), 0u);
        processor = CKLVSession::GetInstance();
    }
    void TearDown() override {
        CKLVSupervisor::RequestKLVThreadTerminate();
        CKLVSupervisor::UnInitialize();
        CKLVSession::UnInitialize();
        CNotificationThread::UnInitialize();
        CKLVSessionMgr::UnInitialize();
        CKLVDeviceIdMgr::UnInitialize();
        CKLVMsgDispatcher::UnInitialize();
    }
    test::StandardRig s;
    test::DiscoveryFolder folder;
    test::HostWindow host;
    CKLVSession* processor = nullptr;
};

TEST_F(DeviceChangeTest, LateAndNullRecordsAndTermination) {
    // (Records answered in order and in time are the host-fed tests'.) A
    // null record is logged and passed over. Past its deadline a record is
    // still handled but not signalled; the event outlives the record for the
    // waiter that holds it.
    processor->QueueRecord(nullptr);
    auto late = CompletionEvent::Create();
    auto record = Record(s.ModemName(), 0x8000, kComPortClass, 12);
    record->completion_event = late;
    record->deadline = pf::GetTickCount() - 1;
    ASSERT_TRUE(QueueDeviceNotification(std::move(record)));
    EXPECT_EQ(host.WaitFor(1), (std::vector<HostMessage>{{true, 12, kInfData}}));
    EXPECT_EQ(folder.CountLines("CKLVSession::DeviceChangeNotice - NULL devdata"), 1);
    EXPECT_EQ(pf::WaitForSingleObject(late->handle(), 300), pf::kWaitTimeout);
    EXPECT_TRUE(test::Eventually([&] { return late.use_count() == 1; })) << "the record let go of its share";

    // The stop routine ends the thread; records queued afterwards are
    // destroyed unhandled and unsignalled.
    EXPECT_EQ(CKLVSession::StopRoutine(), 0);
    test::Eventually([&] { return folder.CountLines("CKLVSession::DeviceChangeNotice exit") == 1; });
    EXPECT_EQ(CKLVSession::StopRoutine(), 1) << "no termination event once the thread has ended";
    auto orphan_event = CompletionEvent::Create();
    auto orphan = Record(s.SingleName(), 0x8000, kComPortClass, 13);
    orphan->completion_event = orphan_event;
    orphan->deadline = pf::GetTickCount() + 10000;
    EXPECT_TRUE(QueueDeviceNotification(std::move(orphan)));
    CKLVSession::UnInitialize();
    EXPECT_EQ(orphan_event.use_count(), 1);
    EXPECT_EQ(pf::WaitForSingleObject(orphan_event->handle(), 0), pf::kWaitTimeout);
    EXPECT_FALSE(QueueDeviceNotification(Record(s.SingleName(), 0x8000)));
}

TEST(HostBlock, TextsAreCutAndTheRestZeroed) {
    EKLVNotificationBlock block;
    std::memset(&block, 0xAB, sizeof block);
    BuildHostBlock(42, std::string(300, 'n'), "Phone", "pid_2001", GuidOf(kComPortClass), 0x8004, &block);
    EXPECT_EQ(std::string(block.device_name), std::string(255, 'n'));
    EXPECT_EQ(block.reserved0 | block.reserved1 | block.reserved2, 0u);
    for (std::size_t i = 6; i < sizeof block.product; ++i) ASSERT_EQ(block.product[i], 0) << i;

}

}  // namespace
}  // namespace eklv
