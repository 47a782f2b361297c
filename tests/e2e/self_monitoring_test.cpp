// The road of a phone in self-monitoring mode, through a copy of
// libeklv.so loaded from a temporary folder, on an emulated USB tree whose
// modem answers AT commands: start-up scan, data through the modem, removal,
// re-plug into the same port, hub removal, shutdown and a second start.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "discovery/standard_rig.h"
#include "e2e/e2e_helpers.h"
#include "support/host_window.h"
#include "support/lib_folder.h"
#include "rig/modem_emulator.h"

namespace eklv {
namespace {

using test::CountOf;
using test::HostMessage;
using test::ThreadCount;
using test::Transact;
using test::WaitLog;

TEST(SelfMonitoring, RoadOfAPhone) {
    test::StandardRig s;
    test::ModemEmulator modem(s.rig.TtyFd("ttyACM0"));
    ASSERT_TRUE(modem.ok());
    test::LoadedLibrary lib(test::SelfMonitoringIni());
    ASSERT_TRUE(lib.ok());
    setenv("EKLV_COMMON_APPDATA", lib.path().c_str(), 1);
    test::HostWindow host;
    test::CallbackLog callbacks;
    const int threads_before = ThreadCount();

    EKLVInitParams params = test::SelfMonitoringParams(host.hwnd(), &callbacks);
    ASSERT_EQ(lib.Initialize(&params), 0u);

    // Start-up scan: both phones present at start are announced.
    auto messages = host.WaitFor(2);
    ASSERT_EQ(messages.size(), 2u);
    std::uint32_t composite = EKLV_NO_DEVICE, single = EKLV_NO_DEVICE;
    for (const auto& m : messages) {
        EXPECT_TRUE(m.arrival);
        (m.type == INF_DATA ? composite : single) = m.device_id;
    }
    ASSERT_NE(composite, EKLV_NO_DEVICE);
    ASSERT_NE(single, EKLV_NO_DEVICE);
    EXPECT_NE(composite, single);

    // The modem: open, AT, baud rate, names, close.
    EKLV_HANDLE h = 0;
    ASSERT_EQ(lib.OpenDevice(composite, INF_DATA, &h, 1), 0u);
    EXPECT_NE(h, EKLV_INVALID_HANDLE_VALUE);
    EXPECT_NE(Transact(lib, composite, h, "AT\r").find("OK"), std::string::npos);
    EXPECT_EQ(modem.Commands().front(), "AT");
    std::uint32_t rate = 115200;
    EXPECT_EQ(lib.SetBaudRate(composite, INF_DATA, &rate), 0u);
    EKLVString text;
    EKLVStringInit(&text);
    EXPECT_EQ(lib.GetComPort(composite, INF_DATA, &text), 0u);
    EXPECT_STREQ(EKLVStringGet(&text), "ttyACM0");
    EXPECT_EQ(lib.GetProductStringDescriptor(composite, &text), 0u);
    EXPECT_STREQ(EKLVStringGet(&text), "Norvanta Phone");
    EXPECT_EQ(lib.CloseDevice(composite, INF_DATA), 0u);
    EXPECT_EQ(lib.CloseDevice(composite, INF_DATA), 8u) << "closing twice";

    // Unplug: the removal is announced and the session goes.
    s.rig.Unplug(s.phone);
    messages = host.WaitFor(3);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2], (HostMessage{false, composite, INF_DATA}));
    ASSERT_TRUE(WaitLog(lib, "DeviceRemoval - All interfaces removed", 1));
    EXPECT_EQ(lib.GetProductStringDescriptor(composite, &text), 3u);

    // The same phone in the same port gets the same id.
    s.rig.Plug(s.phone);
    messages = host.WaitFor(4);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3], (HostMessage{true, composite, INF_DATA}));

    // Removing the hub above it drops the ids below it.
    s.rig.Unplug(s.hub);
    ASSERT_TRUE(WaitLog(lib, "CKLVDeviceIdMgr::AddRemoveUSBHub - (0.3.4.2, " + std::to_string(composite) + ") removed", 1));
    messages = host.WaitFor(5);
    EXPECT_EQ(messages.back(), (HostMessage{false, composite, INF_DATA}));

    // Callbacks got a block for every arrival and removal, on their thread.
    auto blocks = callbacks.Snapshot();
    ASSERT_GE(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].event, EKLV_DBT_DEVICEARRIVAL);
    bool saw_removal = false;
    for (const auto& b : blocks) {
        if (b.device_id == composite && b.event == EKLV_DBT_DEVICEREMOVECOMPLETE) saw_removal = true;
        if (b.device_id == composite) {
            EXPECT_EQ(b.product, "Norvanta Phone");
            EXPECT_EQ(b.product_id, "pid_2001");
            EXPECT_EQ(b.device_name, s.ModemName());
        }
    }
    EXPECT_TRUE(saw_removal);

    // Shutdown stops every thread of the library; it starts again.
    EXPECT_EQ(lib.Uninitialize(), 0u);
    EXPECT_TRUE(test::WaitThreadCount(threads_before));
    ASSERT_EQ(lib.Initialize(&params), 0u);
    EXPECT_GE(host.WaitFor(6).size(), 6u) << "the single phone is announced by the new scan";
    EXPECT_EQ(lib.Uninitialize(), 0u);
    EXPECT_TRUE(test::WaitThreadCount(threads_before));
    EKLVStringFree(&text);

    const std::string log = lib.ReadLogs();
    EXPECT_GE(CountOf(log, "|iNOTIFY| <-"), 4);
    EXPECT_GE(CountOf(log, "CKLVSession::HandleDeviceNotification - Arrival"), 3);
    EXPECT_NE(log.find("CKLVSessionMgr::ScanForAllUSBDevices"), std::string::npos);
    unsetenv("EKLV_COMMON_APPDATA");
}

}  // namespace
}  // namespace eklv
