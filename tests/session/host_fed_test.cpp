// Host-fed mode end to end: a copy of libeklv.so loaded from a temporary
// folder, a umockdev USB tree, and EKLVNotification blocks as a host sends
// them. Results, host window messages and the real log file are checked.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "discovery/standard_rig.h"
#include "support/host_window.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

using test::CountOf;
using test::HostMessage;

// Supports both phones of the standard rig; by default the single phone's
// port is typed by its interface string.
std::string Ini(const char* extra = "[INF_SETTINGS]\nINF_UART=Gadget CDC VCOM Port\n") {
    return test::VerboseLogIni(std::string(test::kStandardIni) + "[GUID]\nGUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73\n" +
                               extra);
}

// {86e0d1e0-8089-11d0-9ce4-08003e301f73}, the COM port class.
constexpr EKLVGuid kComPort = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

EKLVNotificationBlock Block(std::uint16_t id, const std::string& name, std::uint32_t event,
                            EKLVGuid guid = kComPort) {
    EKLVNotificationBlock b;
    std::memset(&b, 0xEE, sizeof b);  // bytes after the NUL carry no meaning
    b.device_id = id;
    std::snprintf(b.device_name, sizeof b.device_name, "%s", name.c_str());
    b.class_guid = guid;
    b.event = event;
    return b;
}

class HostFedTest : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("EKLV_TEST_NOTIFICATION_WAIT_MS"); }
    void Start(test::LoadedLibrary& lib) {
        ASSERT_TRUE(lib.ok());
        EKLVInitParams params{};
        params.client_window = host.hwnd();
        ASSERT_EQ(lib.Initialize(&params), 0u);
    }

    test::StandardRig s;
    test::HostWindow host;
};

TEST_F(HostFedTest, NotificationsCreateAndRemoveSessionsWithTheHostsIds) {
    test::LoadedLibrary lib(Ini());
    Start(lib);
    // Upper case on input: the processor lower-cases names before use.
    auto modem = Block(7, test::Upper(s.ModemName()), EKLV_DBT_DEVICEARRIVAL);
    auto single = Block(0x0102, s.SingleName(), EKLV_DBT_DEVICEARRIVAL);
    EXPECT_EQ(lib.Notification(&modem), 0u);
    EXPECT_EQ(lib.Notification(&single), 0u);
    EXPECT_EQ(host.WaitFor(2), (std::vector<HostMessage>{{true, 7, INF_DATA}, {true, 0x0102, INF_UART}}));

    // (Names and the open modem's road under a host's id are taken on the
    // kernel rig.)
    EKLVString text;
    EKLVStringInit(&text);
    EXPECT_EQ(lib.GetProductStringDescriptor(0x00AA0007, &text), 0u) << "upper 16 bits of the id are ignored";

    // The answers of calls on what is not open or not there.
    EKLV_HANDLE port = EKLV_INVALID_HANDLE_VALUE;
    std::uint32_t rate = 115200;
    EXPECT_EQ(lib.CloseDevice(7, INF_DATA), 8u) << "not open";
    EXPECT_EQ(lib.SetBaudRate(7, INF_DATA, &rate), 2u) << "known but closed";
    EXPECT_EQ(lib.SetBaudRate(7, INF_UART, &rate), 8u);
    EXPECT_EQ(lib.SetBaudRate(9, INF_DATA, &rate), 3u);
    EXPECT_EQ(lib.OpenDevice(9, INF_DATA, &port, 1), 3u);
    EXPECT_EQ(port, EKLV_INVALID_HANDLE_VALUE);
    std::uint32_t length = 4;
    EXPECT_EQ(lib.ReadData(9, EKLV_INVALID_HANDLE_VALUE, &rate, &length), 2u) << "the handle test comes first";

    // A second interface of the same phone: declined by the table (same
    // TID), still announced; the first session stays as it was.
    auto data = Block(8, s.rig.InterfaceName(s.phone, 2, test::kRigClassComPort), EKLV_DBT_DEVICEARRIVAL);
    EXPECT_EQ(lib.Notification(&data), 0u);
    EXPECT_EQ(host.WaitFor(3).back(), (HostMessage{true, 8, INF_DATA}));
    EXPECT_EQ(lib.GetProductStringDescriptor(8, &text), 3u);

    // A phone gone from the tree by the time its block comes: no TID, no
    // session, no message.
    s.rig.Unplug(s.single);
    auto late = Block(9, s.SingleName(), EKLV_DBT_DEVICEARRIVAL);
    EXPECT_EQ(lib.Notification(&late), 0u);
    EXPECT_EQ(lib.GetProductStringDescriptor(9, &text), 3u);

    auto gone = Block(7, s.ModemName(), EKLV_DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(lib.Notification(&gone), 0u);
    EXPECT_EQ(host.WaitFor(4).back(), (HostMessage{false, 7, INF_DATA}));
    EXPECT_EQ(lib.GetProductStringDescriptor(7, &text), 3u) << "the emptied session is deleted";
    EXPECT_EQ(lib.Notification(&gone), 0u) << "a removal nobody holds is only logged";
    EXPECT_EQ(lib.GetProductStringDescriptor(0x0102, &text), 0u);
    EKLVStringFree(&text);
    EXPECT_EQ(lib.Uninitialize(), 0u);

    const std::string log = lib.ReadLogs();
    EXPECT_EQ(CountOf(log, "CKLVSession::HandleDeviceNotification - " + s.ModemName()), 3) << "lower-cased";
    EXPECT_EQ(CountOf(log, "[DID 7] DeviceRemoval - Removed " + s.ModemName() + ", intf = (32770)"), 1);
    EXPECT_EQ(CountOf(log, "[DID 7] DeviceRemoval - All interfaces removed"), 1);
    EXPECT_EQ(CountOf(log, "DeviceRemoval - Interface NOT found (" + s.ModemName() + ")"), 1);
    EXPECT_EQ(CountOf(log, "WM_EKLV_NOTIFICATION"), 0) << "no blocks in host-fed mode";
    EXPECT_EQ(CountOf(log, "IntfDesc = (MTK USB Modem Port)"), 0) << "a composite device's interface strings are not read";
    EXPECT_EQ(CountOf(log, "|iNOTIFY| <-"), 5) << "three arrivals and two removals; the late phone's block stops early";
}

TEST_F(HostFedTest, GarbageBlocksAreAnsweredAndDropped) {
    test::LoadedLibrary lib(Ini());
    Start(lib);
    EXPECT_EQ(lib.Notification(nullptr), 1u);

    // A name that fills its field without a NUL ends at the field's end.
    auto unterminated = Block(3, "", EKLV_DBT_DEVICEARRIVAL);
    std::memset(unterminated.device_name, 'A', sizeof unterminated.device_name);
    auto odd_event = Block(3, s.ModemName(), 0x8003);
    auto unknown_class = Block(3, s.ModemName(), EKLV_DBT_DEVICEARRIVAL, EKLVGuid{1, 2, 3, {4}});
    auto no_id = Block(65535, s.ModemName(), EKLV_DBT_DEVICEARRIVAL);
    EKLVNotificationBlock noise;
    for (std::size_t i = 0; i < sizeof noise; ++i) reinterpret_cast<std::uint8_t*>(&noise)[i] = static_cast<std::uint8_t>(i * 37 + 11);
    // Handled (and dropped) within the wait: 0.
    for (auto* b : {&unterminated, &odd_event, &unknown_class, &no_id, &noise}) EXPECT_EQ(lib.Notification(b), 0u);
    std::uint32_t result = 9;
    EXPECT_EQ(lib.OnCall(EKLV_OP_NOTIFICATION, reinterpret_cast<EKLVCallBlock*>(&no_id), &result), 0u);
    EXPECT_EQ(result, 0u);
    EKLVString text;
    EKLVStringInit(&text);
    EXPECT_EQ(lib.GetProductStringDescriptor(3, &text), 3u) << "no session came of any of them";
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(lib.Uninitialize(), 0u);

    const std::string log = lib.ReadLogs();
    EXPECT_EQ(CountOf(log, "CKLVSessionMgr::DeviceNotification - input data is NULL"), 1);
    EXPECT_EQ(CountOf(log, "Not Supported Device (" + std::string(256, 'a') + ")"), 1);
    EXPECT_EQ(CountOf(log, "CKLVSession::HandleDeviceNotification - Arrival"), 3) << "unknown class and no id";
    EXPECT_EQ(CountOf(log, "|iNOTIFY| <-"), 2) << "only the listed class reaches the arrival";
    EXPECT_EQ(CountOf(log, "Unable to get a valid device id."), 2);
}

TEST_F(HostFedTest, AnswersOneWhenTheProcessorDoesNotFinishInTime) {
    // The single phone's port matches no interface type here, so its arrival
    // retries for about 3 x 600 ms.
    test::LoadedLibrary lib(Ini("[MODEM_PARAMS]\nMODEM_CREATE_RETRY=3\nMODEM_WAIT=600\n"));
    Start(lib);
    setenv("EKLV_TEST_NOTIFICATION_WAIT_MS", "400", 1);
    auto slow = Block(4, s.SingleName(), EKLV_DBT_DEVICEARRIVAL);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lib.Notification(&slow), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    // The next record does not wait behind the slow one's retries.
    setenv("EKLV_TEST_NOTIFICATION_WAIT_MS", "10000", 1);
    auto modem = Block(5, s.ModemName(), EKLV_DBT_DEVICEARRIVAL);
    EXPECT_EQ(lib.Notification(&modem), 0u);
    EXPECT_EQ(host.WaitFor(1), (std::vector<HostMessage>{{true, 5, INF_DATA}}));

    // Shutdown while arrivals wait for their retries: they are dropped
    // unannounced and the thread ends at once.
    setenv("EKLV_TEST_NOTIFICATION_WAIT_MS", "200", 1);
    EXPECT_EQ(lib.Notification(&slow), 1u);
    setenv("EKLV_TEST_NOTIFICATION_WAIT_MS", "10000", 1);
    EXPECT_EQ(lib.Notification(&modem), 0u);
    EXPECT_EQ(lib.Uninitialize(), 0u);
    const std::string log = lib.ReadLogs();
    EXPECT_EQ(CountOf(log, "CKLVSession::DeviceChangeNotice - m_pTermEvent triggered"), 1);
    EXPECT_EQ(CountOf(log, "CKLVSession::HandleDeviceNotification - " + s.ModemName()), 2);
}

}  // namespace
}  // namespace eklv
