// A COM port under Wine, answered by the modem emulator on a pty
// (with_modem.sh names it in EKLV_TEST_COM; modem_lines_preload gives the pty
// the DTR line the overlapped open raises): the core's session over both
// its paths, the comm-event waits its reader relies on, and the port pulled
// away. The hang-up test comes last: the port is gone after it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "notify/interface_types.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "support/eventually.h"
#include "support/lib_folder.h"
#include "transport/transport_test_env.h"
#include "transport/usb_session.h"

namespace eklv {
namespace {

std::string PortName() {
    const char* com = std::getenv("EKLV_TEST_COM");
    return com != nullptr ? std::string("\\\\.\\") + com : std::string();
}

// A session on the port with short read waits; Open(overlapped) as the
// library opens it (OpenInterfaceEx with its reader thread, or the blocking
// OpenInterface).
struct Session {
    Session() {
        test::WriteCoreIni(
            "[INF_SETTINGS]\nINF_DATA=Modem\n[PID_SETTINGS]\npid_default=50,1,300,2,1000\n"
            "[COM_PORT_SETTING]\nBauRate=921600\n");
        // A reader that does not stop fails the test, not CTest.
        session.SetTestTimings({.read_wait_ms = 1000, .read_passes = 3, .stop_wait_ms = 2000});
        EXPECT_EQ(session.AddInterface(PortName(), "USB Modem"), INF_DATA);
    }
    pf::Handle Open(bool overlapped) { return port = session.OpenInterface(INF_DATA, overlapped ? 0 : 1); }
    // The reply to one command, read until OK or ERROR; empty when a read fails.
    std::string Command(const char* text) {
        std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
        if (!session.WriteData(port, text, &length)) return "write failed";
        std::string reply;
        for (int i = 0; i < 20 && reply.find("OK\r\n") == reply.npos && reply.find("ERROR\r\n") == reply.npos; ++i) {
            char buffer[64];
            length = sizeof buffer;
            if (session.ReadData(port, buffer, &length) != 0) return reply;
            reply.append(buffer, length);
        }
        return reply;
    }
    CEKLVUSBSession session;
    pf::Handle port = pf::kInvalidHandle;
};

TEST(ComPort, BlockingSessionAnswersWithTheIniBaudAndTimesOut) {
    ASSERT_FALSE(PortName().empty()) << "run through with_modem.sh";
    Session s;
    ASSERT_NE(s.Open(false), pf::kInvalidHandle);
    pf::Dcb dcb{};
    ASSERT_TRUE(pf::GetCommState(s.port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 921600u);  // from the ini
    EXPECT_EQ(s.Command("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(s.Command("AT+FAIL\r"), "\r\nERROR\r\n");

    // Nothing to read: the port's total time-out ends the read with no bytes
    // and no error, also where Wine answers ERROR_TIMEOUT.
    char buffer[16];
    std::uint32_t got = 99;
    EXPECT_TRUE(pf::ReadFile(s.port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(s.session.CloseInterface(INF_DATA), 0u);
}

// The overlapped open, used and closed several times in a row on the same
// port (a closed handle's value comes back with the next open): every open
// gets its replies through its reader, and the reader does not spin while
// the port is idle.
TEST(ComPort, OverlappedSessionAnswersOnEveryReopen) {
    Session s;
    const std::string mark = test::LogMark();
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        ASSERT_NE(s.Open(true), pf::kInvalidHandle);
        EXPECT_EQ(s.Command("AT\r"), "\r\nOK\r\n");
        EXPECT_EQ(s.Command("AT+FAIL\r"), "\r\nERROR\r\n");
        EXPECT_EQ(s.Command("AT\r"), "\r\nOK\r\n");
        if (round == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(s.session.CloseInterface(INF_DATA), 0u);
    }
    std::string log = test::LogSince(mark);
    EXPECT_LE(test::CountOf(log, "Not triggered by EV_RXCHAR"), 12);
    EXPECT_EQ(log.find("wait timeout"), std::string::npos) << "a reader did not stop";
}

// The reply to a command sent at any moment after an overlapped open
// reaches the read: the first comm-event wait, which probes the driver, may
// see it, before or after the probe's cancel, and then hands it on.
TEST(ComPort, FirstReplyAfterAnOverlappedOpenIsKept) {
    Session s;
    for (int delay_ms : {0, 20, 40, 60, 80, 100, 150, 300}) {
        SCOPED_TRACE(delay_ms);
        ASSERT_NE(s.Open(true), pf::kInvalidHandle);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        EXPECT_EQ(s.Command("AT\r"), "\r\nOK\r\n");
        EXPECT_EQ(s.session.CloseInterface(INF_DATA), 0u);
    }
}

// A pending wait ends as the system's does: with an empty mask on a mask
// change, aborted on CancelIo, and on the close of its port.
TEST(ComPort, PendingWaitEndsOnMaskChangeCancelAndClose) {
    pf::Handle port = pf::CreateFileA(PortName().c_str(), pf::kGenericRead | pf::kGenericWrite, 0, pf::kOpenExisting,
                                      pf::kFileFlagOverlapped);
    ASSERT_TRUE(pf::IsValidHandle(port));
    ASSERT_TRUE(pf::SetCommMask(port, pf::kEvRxChar));
    pf::Overlapped ov{.event = pf::CreateEventA(true, false)};
    std::uint32_t mask = 0xFFFF;
    // A wait that stays pending. A driver that cannot wait ends the first
    // ones at once without an event; the backend learns from them, and the
    // session's reader simply waits again, as this does.
    auto start_wait = [&] {
        for (int i = 0; i < 3; ++i) {
            mask = 0xFFFF;
            if (pf::WaitCommEvent(port, &mask, &ov)) continue;
            if (pf::GetLastError() != pf::kErrorIoPending) return false;
            if (pf::WaitForSingleObject(ov.event, 100) == pf::kWaitTimeout) return true;
        }
        return false;
    };
    EXPECT_FALSE(pf::CommWaitsShared(port));  // nothing is known before the first wait
    ASSERT_TRUE(start_wait());
    // Where the backend serves the waits itself a second one is taken beside
    // the first (a driver that waits itself takes one per handle).
    const bool shared = pf::CommWaitsShared(port);
    pf::Overlapped second{.event = pf::CreateEventA(true, false)};
    std::uint32_t second_mask = 0xFFFF;
    if (shared) {
        EXPECT_FALSE(pf::WaitCommEvent(port, &second_mask, &second));
        EXPECT_EQ(pf::GetLastError(), pf::kErrorIoPending);
    }
    ASSERT_TRUE(pf::SetCommMask(port, pf::kEvRxChar));
    ASSERT_EQ(pf::WaitForSingleObject(ov.event, 2000), pf::kWaitObject0);
    std::uint32_t n = 0;
    EXPECT_TRUE(pf::GetOverlappedResult(port, &ov, &n, true));
    EXPECT_EQ(mask, 0u);
    if (shared) {
        EXPECT_EQ(pf::WaitForSingleObject(second.event, 2000), pf::kWaitObject0);
        EXPECT_EQ(second_mask, 0u);
    }
    pf::CloseHandle(second.event);

    ASSERT_TRUE(start_wait());
    EXPECT_TRUE(pf::CancelIo(port));
    EXPECT_FALSE(pf::GetOverlappedResult(port, &ov, &n, true));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorOperationAborted);

    ASSERT_TRUE(start_wait());
    EXPECT_TRUE(pf::CloseHandle(port));
    EXPECT_EQ(pf::WaitForSingleObject(ov.event, 2000), pf::kWaitObject0);
    pf::CloseHandle(ov.event);
}

TEST(ComPort, ZPortPulledAwayDuringReadEndsTheRead) {
    Session s;
    ASSERT_NE(s.Open(true), pf::kInvalidHandle);
    const std::string mark = test::LogMark();
    // No reply; the far end goes 300 ms later. The read ends as its reader
    // does, within the read's bound, and the port stays gone.
    EXPECT_EQ(s.Command("AT+HUP\r"), "");
    EXPECT_TRUE(test::Eventually(
        [&] { return test::LogSince(mark).find("ThreadFn ended") != std::string::npos; }));
    EXPECT_NE(s.Command("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(s.session.CloseInterface(INF_DATA), 0u);
    EXPECT_EQ(s.Open(true), pf::kInvalidHandle);
}

}  // namespace
}  // namespace eklv
