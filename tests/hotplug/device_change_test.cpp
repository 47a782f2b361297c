// Device-change processing in process, on a umockdev rig: a null record,
// termination with records still queued, the retries of an interface no
// type matches, and the 800-byte block.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "discovery/discovery_folder.h"
#include "discovery/standard_rig.h"
#include "eklv/eklv.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "hotplug/device_notification.h"
#include "hotplug/device_change_processor.h"
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
    CKLVDeviceChangeProcessor::GetInstance()->QueueRecord(nullptr);
    EXPECT_TRUE(test::Eventually([&] { return folder.CountLines("CKLVSession::DeviceChangeNotice - NULL devdata") == 1; }));
    // The thread then waits again (its idle line before the record and one
    // after), rather than spinning on the wake-up of the record it took.
    const char* idle = "CKLVSession::DeviceChangeNotice - DeviceQ size = (0)";
    EXPECT_TRUE(test::Eventually([&] { return folder.CountLines(idle) >= 2; }));
    pf::Sleep(100);
    EXPECT_EQ(folder.CountLines(idle), 2);

    // The stop routine ends the thread; records queued afterwards are
    // destroyed unhandled and unsignalled.
    EXPECT_EQ(CKLVDeviceChangeProcessor::StopRoutine(), 0);
    EXPECT_TRUE(test::Eventually([&] { return folder.CountLines("CKLVSession::DeviceChangeNotice exit") == 1; }));
    EXPECT_EQ(CKLVDeviceChangeProcessor::StopRoutine(), 1) << "no termination event once the thread has ended";
    auto orphan_event = CompletionEvent::Create();
    auto orphan = Arrival(s.SingleName());
    orphan->device_id = 13;
    orphan->completion_event = orphan_event;
    orphan->deadline = pf::GetTickCount() + 10000;
    EXPECT_TRUE(QueueDeviceNotification(std::move(orphan)));
    CKLVDeviceChangeProcessor::UnInitialize();
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

// The lines of the log that hold text, with their time of day in ms.
std::vector<std::pair<int, std::string>> TimedLines(const std::string& log, const std::string& text) {
    std::vector<std::pair<int, std::string>> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find(text) == std::string::npos || line.size() < 12) continue;
        const int ms = ((std::atoi(line.c_str()) * 60 + std::atoi(line.c_str() + 3)) * 60 + std::atoi(line.c_str() + 6)) *
                           1000 + std::atoi(line.c_str() + 9);
        lines.emplace_back(ms, line);
    }
    return lines;
}

// One retry policy: an interface no type matches is tried MODEM_CREATE_RETRY
// times, MODEM_WAIT ms after each failure, with the same lines as ever,
// while another phone's arrival goes through meanwhile; with
// MODEM_CREATE_RETRY=0 it is given up without an attempt.
TEST_F(DeviceChangeTest, UndecidedInterfaceIsRetriedWhileOthersGoOnThenGivenUp) {
    const std::string ini = std::string(test::kStandardIni) + "[GUID]\nGUID_0=" + kComPortClass + "\n";
    folder.WriteIni(ini + "[MODEM_PARAMS]\nMODEM_CREATE_RETRY=3\nMODEM_WAIT=300\n");
    auto odd = Arrival(s.SingleName());
    odd->device_id = 4;
    ASSERT_TRUE(QueueDeviceNotification(std::move(odd)));
    auto modem = Arrival(s.ModemName());
    modem->device_id = 5;
    ASSERT_TRUE(QueueDeviceNotification(std::move(modem)));
    EXPECT_EQ(host.WaitFor(1), (std::vector<test::HostMessage>{{true, 5, INF_DATA}}));
    EXPECT_EQ(folder.CountLines("Need to check Modem Interface again, time num:2"), 0) << "the phone waited";
    const char* given_up = "Unable to add interface, abandon current session.";
    ASSERT_TRUE(test::Eventually([&] { return folder.CountLines(given_up) == 1; }));

    // The retry lines of that arrival (AddInterface logs its own besides).
    std::vector<std::pair<int, std::string>> lines;
    std::vector<std::string> texts;
    for (const auto& [ms, line] : TimedLines(folder.ReadLogs(), "[DID 4] ")) {
        const std::string text = line.substr(line.find("[DID 4] ") + 8);
        if (text != "Interface undefined" && text.rfind("Need to check", 0) != 0 && text != given_up) continue;
        lines.emplace_back(ms, line);
        texts.push_back(text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Interface undefined", "Need to check Modem Interface again, time num:1",
                                               "Interface undefined", "Need to check Modem Interface again, time num:2",
                                               "Interface undefined", "Need to check Modem Interface again, time num:3",
                                               given_up}));
    for (std::size_t i = 1; i + 1 < lines.size(); i += 2)  // each retry MODEM_WAIT after the failure before it
        EXPECT_GE(lines[i].first - lines[i - 1].first, 299) << lines[i].second;
    EXPECT_EQ(host.Messages().size(), 1u);

    folder.WriteIni(ini + "[MODEM_PARAMS]\nMODEM_CREATE_RETRY=0\n");
    auto again = Arrival(s.SingleName());
    again->device_id = 6;
    ASSERT_TRUE(QueueDeviceNotification(std::move(again)));
    ASSERT_TRUE(test::Eventually([&] { return folder.CountLines(given_up) == 2; }));
    EXPECT_EQ(folder.CountLines("] Interface undefined"), 3);
}

TEST(PendingArrivals, DueInQueueOrderAcrossTheTickWrap) {
    PendingArrivals pending;
    auto add = [&](const std::string& name, std::uint32_t due) {
        PendingArrival p;
        p.info.DevicePath = name;
        p.due = due;
        pending.Add(std::move(p));
    };
    EXPECT_EQ(pending.WaitFrom(0), pf::kInfinite);
    const std::uint32_t now = 0xFFFFFF00u;  // 256 ms before the tick wraps
    add("a", now + 400);                    // past the wrap
    add("B", now + 100);
    add("c", now + 100);
    EXPECT_EQ(pending.WaitFrom(now), 100u);
    PendingArrival p;
    EXPECT_FALSE(pending.TakeDue(now + 99, &p));
    ASSERT_TRUE(pending.TakeDue(now + 100, &p));
    EXPECT_EQ(p.info.DevicePath, "B");
    // A removal takes every arrival of its name, in any letter case.
    EXPECT_EQ(pending.TakeNamed("C").size(), 1u);
    EXPECT_EQ(pending.WaitFrom(now + 100), 300u);
    EXPECT_FALSE(pending.TakeDue(now + 399, &p));
    ASSERT_TRUE(pending.TakeDue(now + 400, &p));
    EXPECT_EQ(p.info.DevicePath, "a");
    EXPECT_TRUE(pending.empty());
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
