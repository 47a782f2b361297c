// A COM port under Wine, answered by the modem emulator on a pty
// (with_modem.sh names it in EKLV_TEST_COM): the core's session over its
// blocking path, and the overlapped calls of the session's reader thread,
// made as the reader makes them. The hang-up test comes last: the port is
// gone after it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "notify/interface_types.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "transport/transport_test_env.h"
#include "transport/usb_session.h"

namespace eklv {
namespace {

using test::LibraryFolder;

std::string PortName() {
    const char* com = std::getenv("EKLV_TEST_COM");
    return com != nullptr ? std::string("\\\\.\\") + com : std::string();
}

pf::Handle Open(bool overlapped) {
    return pf::CreateFileA(PortName().c_str(), pf::kGenericRead | pf::kGenericWrite, 0, pf::kOpenExisting,
                           overlapped ? pf::kFileFlagOverlapped : 0);
}

TEST(ComPort, SessionBlockingPathAnswersAndPassesErrorsThrough) {
    ASSERT_FALSE(PortName().empty()) << "run through with_modem.sh";
    LibraryFolder::Get().WriteIni(
        "[INF_SETTINGS]\nINF_DATA=Modem\n[PID_SETTINGS]\npid_default=50,1,300,2,1000\n"
        "[COM_PORT_SETTING]\nBauRate=921600\n");
    CEKLVUSBSession session;
    DeviceSessionInfo info;
    info.DeviceId = 7;
    info.TID = "1.2";
    session.SetSessionInfo(info);
    ASSERT_EQ(session.AddInterface(PortName(), "USB Modem"), kInfData);
    pf::Handle port = session.OpenInterface(kInfData, 1);
    ASSERT_NE(port, pf::kInvalidHandle);
    pf::Dcb dcb{};
    ASSERT_TRUE(pf::GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 921600u);

    auto command = [&](const char* text) {
        std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
        EXPECT_TRUE(session.WriteData(port, text, &length));
        std::string reply;
        for (int i = 0; i < 20 && reply.find("OK") == std::string::npos && reply.find("ERROR") == std::string::npos;
             ++i) {
            char buffer[64];
            length = sizeof buffer;
            if (session.ReadData(port, buffer, &length) != 0) break;
            reply.append(buffer, length);
        }
        return reply;
    };
    EXPECT_EQ(command("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(command("AT+FAIL\r"), "\r\nERROR\r\n");

    // Nothing to read: the port's total time-out ends the read with no bytes
    // and no error, also where Wine answers ERROR_TIMEOUT.
    char buffer[16];
    std::uint32_t got = 99;
    EXPECT_TRUE(pf::ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(session.CloseInterface(kInfData), 0u);
}

// The session's own overlapped open (OpenInterfaceEx: comm mask, DCB, DTR,
// time-outs, purge, its reader thread), used and closed several times in a
// row on the same port: every open gets its replies through the reader and
// the host read's watch, and the close ends both. Needs the port's modem
// lines (with_modem.sh under modem_lines_preload: a pty has none).
TEST(ComPortSession, OverlappedOpenRepeatedAnswersEveryTime) {
    ASSERT_FALSE(PortName().empty()) << "run through with_modem.sh";
    LibraryFolder::Get().WriteIni("[INF_SETTINGS]\nINF_DATA=Modem\n[COM_PORT_SETTING]\nBauRate=921600\n");
    CEKLVUSBSession session;
    CEKLVUSBSession::TestTimings timings;
    timings.read_wait_ms = 1000;
    timings.read_passes = 3;
    session.SetTestTimings(timings);
    ASSERT_EQ(session.AddInterface(PortName(), "USB Modem"), kInfData);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        pf::Handle port = session.OpenInterface(kInfData, 0);
        ASSERT_NE(port, pf::kInvalidHandle);
        pf::Dcb dcb{};
        ASSERT_TRUE(pf::GetCommState(port, &dcb));
        EXPECT_EQ(dcb.BaudRate, 921600u);
        for (const char* text : {"AT\r", "AT+FAIL\r", "AT\r"}) {
            std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
            ASSERT_TRUE(session.WriteData(port, text, &length));
            std::string reply;
            auto start = std::chrono::steady_clock::now();
            while (reply.find("OK\r\n") == std::string::npos && reply.find("ERROR\r\n") == std::string::npos &&
                   std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
                char buffer[64];
                length = sizeof buffer;
                ASSERT_EQ(session.ReadData(port, buffer, &length), 0u);
                reply.append(buffer, length);
            }
            EXPECT_EQ(reply, std::strcmp(text, "AT+FAIL\r") == 0 ? "\r\nERROR\r\n" : "\r\nOK\r\n");
        }
        EXPECT_EQ(session.CloseInterface(kInfData), 0u);
    }
}

TEST(ComPort, LineSettingsAreCheckedAndKept) {
    pf::Handle port = Open(false);
    ASSERT_TRUE(pf::IsValidHandle(port)) << pf::GetLastError();
    pf::Dcb dcb{};
    ASSERT_TRUE(pf::GetCommState(port, &dcb));
    for (std::uint32_t rate : {9600u, 115200u, 921600u}) {
        dcb.BaudRate = rate;
        ASSERT_TRUE(pf::SetCommState(port, &dcb));
        pf::Dcb back{};
        ASSERT_TRUE(pf::GetCommState(port, &back));
        EXPECT_EQ(back.BaudRate, rate);
        EXPECT_EQ(back.ByteSize, 8);
    }
    pf::Dcb bad = dcb;
    bad.ByteSize = 9;
    EXPECT_FALSE(pf::SetCommState(port, &bad));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidParameter);
    EXPECT_TRUE(pf::CloseHandle(port));
}

// The session's reader: WaitCommEvent for EV_RXCHAR, then an overlapped read
// of what has arrived, until the stop event or a failed wait or read.
struct Reader {
    explicit Reader(pf::Handle p) : port(p) {
        thread = std::thread([this] { Run(); });
    }
    ~Reader() { Stop(); }
    void Run() {
        pf::Overlapped wait_ov{}, read_ov{};
        wait_ov.event = pf::CreateEventA(true, false);
        read_ov.event = pf::CreateEventA(true, false);
        const pf::Handle waits[2] = {stop, wait_ov.event};
        for (;;) {
            std::uint32_t mask = 0;
            if (!pf::WaitCommEvent(port, &mask, &wait_ov) && pf::GetLastError() != pf::kErrorIoPending) break;
            if (pf::WaitForMultipleObjects(2, waits, false, pf::kInfinite) != pf::kWaitObject0 + 1) break;
            pf::ResetEvent(wait_ov.event);
            if (!(mask & pf::kEvRxChar)) {
                ++empty_wakeups;
                continue;
            }
            char block[256];
            std::uint32_t count = 0;
            if (!pf::ReadFile(port, block, sizeof block, &count, &read_ov)) break;
            std::lock_guard<std::mutex> lock(mutex);
            received.append(block, count);
        }
        cancelled = pf::CancelIo(port);
        pf::CloseHandle(wait_ov.event);
        pf::CloseHandle(read_ov.event);
        ended = true;
    }
    void Stop() {
        pf::SetEvent(stop);
        if (thread.joinable()) thread.join();
        pf::CloseHandle(stop);
    }
    bool WaitFor(const char* text) {
        for (int i = 0; i < 300; ++i) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (received.find(text) != std::string::npos) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    pf::Handle port;
    pf::Handle stop = pf::CreateEventA(false, false);
    std::mutex mutex;
    std::string received;
    std::atomic<int> empty_wakeups{0};
    std::atomic<bool> ended{false};
    bool cancelled = false;
    std::thread thread;
};

bool Write(pf::Handle port, const std::string& text) {
    pf::Overlapped ov{};
    ov.event = pf::CreateEventA(true, false);
    std::uint32_t written = 0;
    bool ok = pf::WriteFile(port, text.data(), static_cast<std::uint32_t>(text.size()), &written, &ov) ||
              (pf::GetLastError() == pf::kErrorIoPending && pf::GetOverlappedResult(port, &ov, &written, true));
    pf::CloseHandle(ov.event);
    return ok && written == text.size();
}

pf::Handle OpenLikeTheSession() {
    pf::Handle port = Open(true);
    if (!pf::IsValidHandle(port)) return port;
    pf::CommTimeouts timeouts{pf::kMaxDword, 0, 0, 0, 0};
    EXPECT_TRUE(pf::SetCommMask(port, pf::kEvRxChar));
    EXPECT_TRUE(pf::SetCommTimeouts(port, &timeouts));
    EXPECT_TRUE(pf::PurgeComm(port, 0x0F));
    return port;
}

TEST(ComPort, OverlappedReaderGetsRepliesWithoutSpinning) {
    pf::Handle port = OpenLikeTheSession();
    ASSERT_TRUE(pf::IsValidHandle(port)) << pf::GetLastError();
    {
        Reader reader(port);
        ASSERT_TRUE(Write(port, "AT\r"));
        EXPECT_TRUE(reader.WaitFor("\r\nOK\r\n"));
        ASSERT_TRUE(Write(port, "AT+FAIL\r"));
        EXPECT_TRUE(reader.WaitFor("\r\nERROR\r\n"));
        // Idle, the reader waits: a driver that cannot wait for comm events
        // (Wine on a pty) must not wake it again and again.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_LE(reader.empty_wakeups.load(), 2);
        reader.Stop();
        EXPECT_TRUE(reader.cancelled);
    }
    EXPECT_TRUE(pf::CloseHandle(port));
}

TEST(ComPort, PendingWaitEndsOnMaskChangeCancelAndClose) {
    pf::Handle port = OpenLikeTheSession();
    ASSERT_TRUE(pf::IsValidHandle(port));
    pf::Overlapped ov{};
    ov.event = pf::CreateEventA(true, false);
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
    ASSERT_TRUE(start_wait());
    ASSERT_TRUE(pf::SetCommMask(port, pf::kEvRxChar));
    ASSERT_EQ(pf::WaitForSingleObject(ov.event, 2000), pf::kWaitObject0);
    std::uint32_t n = 0;
    EXPECT_TRUE(pf::GetOverlappedResult(port, &ov, &n, true));
    EXPECT_EQ(mask, 0u);

    ASSERT_TRUE(start_wait());
    EXPECT_TRUE(pf::CancelIo(port));
    EXPECT_FALSE(pf::GetOverlappedResult(port, &ov, &n, true));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorOperationAborted);

    ASSERT_TRUE(start_wait());
    EXPECT_TRUE(pf::CloseHandle(port));
    EXPECT_EQ(pf::WaitForSingleObject(ov.event, 2000), pf::kWaitObject0);
    pf::CloseHandle(ov.event);
}

TEST(ComPort, ZPortPulledAwayDuringReadEndsTheReader) {
    pf::Handle port = OpenLikeTheSession();
    ASSERT_TRUE(pf::IsValidHandle(port));
    {
        Reader reader(port);
        ASSERT_TRUE(Write(port, "AT+HUP\r"));  // no reply; the far end goes 300 ms later
        for (int i = 0; i < 300 && !reader.ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(reader.ended) << "the reader still waits on a port that is gone";
        std::uint32_t written = 0;
        pf::Overlapped ov{};
        ov.event = pf::CreateEventA(true, false);
        EXPECT_FALSE(pf::WriteFile(port, "AT\r", 3, &written, &ov) && written == 3);
        pf::CloseHandle(ov.event);
    }
    EXPECT_TRUE(pf::CloseHandle(port));
    EXPECT_FALSE(pf::IsValidHandle(Open(true)));
}

}  // namespace
}  // namespace eklv
