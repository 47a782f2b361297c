// The USB serial session on ptys answered by the modem emulator: records and
// settings, the blocking and overlapped paths, response framing, the reader
// thread's stop and loss, and removing under a read.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "notify/interface_types.h"
#include "platform/linux/thread_internal.h"
#include "platform/serial.h"
#include "rig/modem_emulator.h"
#include "support/eventually.h"
#include "transport/transport_test_env.h"
#include "transport/usb_session.h"

namespace eklv {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

constexpr char kIni[] = "[INF_SETTINGS]\nINF_DATA=Modem\nINF_MSD=Storage\n[PID_SETTINGS]\npid_default=50,1,300,2,1000\n";

// Short waits for the tests that do not exercise the product's own.
constexpr CEKLVUSBSession::TestTimings kQuick{.read_wait_ms = 1500, .stop_wait_ms = 3000};

bool Has(const std::string& log, const std::string& line) { return log.find(line) != std::string::npos; }

struct Harness {
    Harness() {
        test::WriteCoreIni(kIni);
        DeviceSessionInfo info;
        info.DeviceId = 7;
        session.SetSessionInfo(info);
        session.SetTestTimings(kQuick);
    }
    // Destroys the session, then joins reader threads that let go of their
    // last handle themselves, so none is still winding down at process exit.
    ~Harness() {
        owned.reset();
        Eventually([] { return pf::lx::RunningThreadCount() == 0; }, std::chrono::seconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pf::lx::ReapEndedThreads();
    }
    std::uint32_t AddModem(ModemEmulator& m, const char* description = "USB Modem") {
        return session.AddInterface(m.PortName(), description);
    }
    // Writes the command and answers the reply of one ReadData, or "result N"
    // when the read fails; the reply must come back NUL-terminated when it fits.
    std::string Command(pf::Handle h, const char* command, std::uint32_t capacity = 256) {
        std::uint32_t length = static_cast<std::uint32_t>(std::strlen(command));
        if (!session.WriteData(h, command, &length)) return "write failed";
        std::string buffer(capacity, '\x7f');
        std::uint32_t got = capacity;
        std::uint32_t r = session.ReadData(h, buffer.data(), &got);
        EXPECT_TRUE(got >= capacity || buffer[got] == '\0') << "unterminated";
        return r == 0 ? buffer.substr(0, got) : "result " + std::to_string(r);
    }
    // One ReadData into a 64-byte buffer: its result; got holds the length
    // it answered.
    std::uint32_t Read(pf::Handle h) {
        char buffer[64];
        got = sizeof buffer;
        return session.ReadData(h, buffer, &got);
    }
    // The modem closed and opened again overlapped: a reader serves it and
    // it answers AT.
    pf::Handle ReopenAnswersAt() {
        EXPECT_EQ(session.CloseInterface(INF_DATA), 0u);
        pf::Handle port = session.OpenInterface(INF_DATA, 0);
        EXPECT_EQ(Command(port, "AT\r"), "\r\nOK\r\n");
        return port;
    }
    std::unique_ptr<CEKLVUSBSession> owned = std::make_unique<CEKLVUSBSession>();
    CEKLVUSBSession& session = *owned;
    std::uint32_t got = 0;
};

// A session with one modem opened overlapped (its reader thread serves it).
class OverlappedPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(h.AddModem(modem), INF_DATA);
        port = h.session.OpenInterface(INF_DATA, 0);
        ASSERT_NE(port, pf::kInvalidHandle);
    }
    const std::size_t threads_before = pf::lx::RunningThreadCount();
    Harness h;
    ModemEmulator modem;
    pf::Handle port = pf::kInvalidHandle;
};

TEST(SessionRecords, AddRemoveAndTheirLogLines) {
    Harness h;
    const std::string mark = LogMark();
    CEKLVUSBSession& s = h.session;
    std::vector<InterfaceRecord> records;
    EXPECT_EQ(s.GetInterfaces(&records), 8u);
    EXPECT_EQ(s.AddInterface("\\\\?\\usb#vid_6b4d&pid_abcd&mi_02#1-3:1.2#{guid}", "USB Modem"), INF_DATA);
    EXPECT_EQ(s.AddInterface("\\\\.\\storage0", "Mass Storage"), INF_MSD);
    // Same name in other letters: the recorded type, nothing added.
    EXPECT_EQ(s.AddInterface("\\\\?\\USB#VID_6B4D&PID_ABCD&MI_02#1-3:1.2#{GUID}", "whatever"), INF_DATA);
    // A type that cannot be decided is not recorded.
    EXPECT_EQ(s.AddInterface("\\\\.\\other", "usb modem"), INF_UNDEFINED);
    EXPECT_EQ(s.GetInterfaceCount(), 2u);
    std::uint32_t type = 0;
    EXPECT_EQ(s.RemoveInterface("\\\\.\\nothing", &type), INF_UNDEFINED);
    EXPECT_EQ(s.RemoveInterface("\\\\.\\Storage0", &type), INF_MSD);
    EXPECT_EQ(s.GetInterfaceCount(), 1u);
    std::string port = "unchanged";
    std::uint32_t uart = INF_UART;
    EXPECT_EQ(s.GetComPortName(&port, &uart), 1u);
    EXPECT_EQ(port, "unchanged");
    s.DumpPacket("AT\r", 3);

    EXPECT_EQ(FirstMissingInOrder(LogSince(mark), {"[DID 7] CEKLVUSBSession::AddInterface(32770), IntfDesc(USB Modem)",
                                                   "CKLVSession::DumpPacket - 41 54 0d \n"}), "");
}


TEST(SessionSettings, ComPortConfig) {
    Harness h;
    pf::Dcb dcb{};
    dcb.Parity = pf::kOddParity;
    dcb.fBinary = dcb.fOutX = dcb.fRtsControl = 1;
    h.session.InitComPortConfig(&dcb);
    EXPECT_EQ(dcb.BaudRate, 921600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.fBinary + dcb.fOutX + dcb.fRtsControl, 0u);
    EXPECT_EQ(dcb.Parity, pf::kOddParity);  // not one of the defaults: kept

    test::WriteCoreIni(std::string(kIni) +
                       "[COM_PORT_SETTING]\nBauRate=115200\nByteSize=263\nfDtrControl=6\nStopBits=2\n");
    const std::string mark = LogMark();
    h.session.InitComPortConfig(&dcb);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 7);      // low byte
    EXPECT_EQ(dcb.fDtrControl, 2u);  // low two bits
    EXPECT_EQ(dcb.StopBits, 2);
    EXPECT_TRUE(Has(LogSince(mark), "BaudRate[115200], ByteSize[7], fBinary[0], fDtrControl[2]"));
}

// The blocking path: the port's time-outs from the ini (its line settings
// are checked on a COM port under Wine, through the same session code), the
// far end's hang-up taken as a failure and not as "no data yet", the close
// answers, and a removal while a host thread waits in a read (its 20 s total).
TEST(SessionBlocking, TimeoutsLossCloseAndRemovalUnderARead) {
    Harness h;
    ModemEmulator modem;
    ASSERT_EQ(h.AddModem(modem), INF_DATA);
    const std::string mark = LogMark();

    EXPECT_EQ(h.session.OpenInterface(INF_MSD, 1), pf::kInvalidHandle);  // not recorded
    pf::Handle port = h.session.OpenInterface(INF_DATA, 1);
    ASSERT_NE(port, pf::kInvalidHandle);
    EXPECT_EQ(h.session.OpenInterface(INF_DATA, 1), port);
    pf::CommTimeouts t{};
    ASSERT_TRUE(pf::GetCommTimeouts(port, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 50u);  // from pid_default
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 300u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

    modem.HangUp();
    EXPECT_EQ(h.Read(port), 5u);
    EXPECT_EQ(h.got, 0u);
    EXPECT_EQ(h.Command(port, "AT\r"), "write failed");
    EXPECT_EQ(h.session.CloseInterface(INF_DATA), 0u);
    EXPECT_EQ(h.session.CloseInterface(INF_DATA), 8u);
    EXPECT_EQ(h.session.CloseInterface(INF_UNDEFINED), 8u);
    EXPECT_EQ(FirstMissingInOrder(LogSince(mark), {"CEKLVUSBSession::OpenInterface - failed[LastError=2][32772][]",
                                                   "CEKLVUSBSession::MDMRead Data - Failed. Error = (1167)"}), "");

    std::uint32_t type = 0;
    ASSERT_EQ(h.session.RemoveInterface(modem.PortName(), &type), INF_DATA);
    ModemEmulator silent;
    silent.SetSilent(true);
    test::WriteCoreIni("[INF_SETTINGS]\nINF_DATA=Modem\n[PID_SETTINGS]\npid_default=0,0,20000,2,1000\n");
    ASSERT_EQ(h.AddModem(silent), INF_DATA);
    port = h.session.OpenInterface(INF_DATA, 1);
    ASSERT_NE(port, pf::kInvalidHandle);
    auto read = std::async(std::launch::async, [&] { return h.Read(port); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    EXPECT_EQ(h.session.RemoveInterface(silent.PortName(), &type), INF_DATA);
    EXPECT_EQ(read.get(), 5u);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(5000));
    EXPECT_EQ(h.Read(port), 5u);  // the closed handle
}

TEST_F(OverlappedPort, ResponseFraming) {
    EXPECT_EQ(h.session.ReaderHandle(), port);
    const std::string mark = LogMark();
    modem.QueueReply(ModemReply::Split("\r\n+CSQ: 2", "0,99\r\n\r\nOK\r\n", 150));
    EXPECT_EQ(h.Command(port, "AT+CSQ\r"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    modem.QueueReply(ModemReply::CmeError(10));
    EXPECT_EQ(h.Command(port, "AT+CPIN?\r"), "\r\n+CME ERROR: 10\r\n");
    modem.QueueReply(ModemReply::Text("\r\nERROR\r\n\r\nOK\r\n"));
    EXPECT_EQ(h.Command(port, "AT+BOTH\r"), "\r\nERROR\r\n\r\nOK\r\n");
    // Longer than the caller's buffer: what fits, terminated, and its length.
    EXPECT_EQ(h.Command(port, "AT\r", 4), "\r\nO");
    EXPECT_EQ(FirstMissingInOrder(LogSince(mark), {"CEKLVUSBSession::ReadDataEx - got ERROR[response=\r\n+CME ERROR: 10\r\n]",
                                                   "CEKLVUSBSession::ReadDataEx - response truncated[3 of 6 bytes]"}), "");
    EXPECT_FALSE(Has(LogSince(mark), "got ERROR[response=\r\nERROR\r\n\r\nOK"));

    // Silence: one pass, then the time-out lines.
    h.session.SetTestTimings({.read_wait_ms = 200, .stop_wait_ms = 3000});
    modem.QueueReply(ModemReply::Silence());
    const std::string mark2 = LogMark();
    EXPECT_EQ(h.Command(port, "AT+QUIET\r"), "result 5");
    const std::string log = LogSince(mark2);
    EXPECT_TRUE(Has(log, "CEKLVUSBSession::ReadDataEx - WaitForSingleObject failed[LastError="));
    // One pass, or two when the reader's signal for the previous reply came
    // after that reply was taken: nothing was received either way.
    EXPECT_TRUE(Has(log, "CEKLVUSBSession::ReadDataEx() failed with retry[1][response=]") ||
                Has(log, "CEKLVUSBSession::ReadDataEx() failed with retry[2][response=]"))
        << log;

    // Data that never ends in OK or ERROR: 60 passes, then failure.
    h.session.SetTestTimings({.read_wait_ms = 2000, .stop_wait_ms = 3000});
    modem.StartStream("x", 2);
    const std::string mark3 = LogMark();
    EXPECT_EQ(h.Read(port), 5u);
    modem.StopStream();
    EXPECT_TRUE(Has(LogSince(mark3), "failed with retry[60][response=xx"));
}

TEST_F(OverlappedPort, WriteThatNeverCompletesIsBounded) {
    h.session.SetTestTimings({.read_wait_ms = 1500, .stop_wait_ms = 3000, .write_wait_ms = 200, .write_wait_per_byte_ms = 0});
    modem.SetPaused(true);  // the far end takes nothing: the pty fills up
    const std::string mark = LogMark();
    std::string big(1 << 20, 'x');
    std::uint32_t length = static_cast<std::uint32_t>(big.size());
    auto start = Clock::now();
    EXPECT_FALSE(h.session.WriteData(port, big.data(), &length));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
    EXPECT_TRUE(Has(LogSince(mark), "CEKLVUSBSession::WriteDataEx - write did not complete in 200 ms"));
    big.assign(big.size(), 'y');  // the cancelled write no longer reads from the buffer

    // Once the far end reads again the port works (the cut-off bytes and the
    // command arrive as one line).
    modem.SetPaused(false);
    EXPECT_EQ(h.Command(port, "AT\r"), "\r\nOK\r\n");
}

TEST_F(OverlappedPort, StopRestartAndLoss) {
    const std::string mark = LogMark();
    h.session.StopReadThread();
    EXPECT_EQ(h.session.ReaderThreadId(), 0u);
    EXPECT_EQ(h.session.ReaderHandle(), pf::kInvalidHandle);
    h.session.StopReadThread();
    auto start = Clock::now();
    EXPECT_EQ(h.Read(port), 5u);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(FirstMissingInOrder(LogSince(mark), {"CEKLVUSBSession::ThreadFn ended",
                                                   "CEKLVUSBSession::ReadDataEx - failed[COMM Port is NOT available]"}), "");

    port = h.ReopenAnswersAt();  // a new reader serves the port

    // The far end hangs up while the reader waits: the reader ends by itself,
    // reads and writes fail at once, close and remove still work.
    const std::string mark2 = LogMark();
    modem.HangUp();
    EXPECT_TRUE(Eventually([&] { return h.session.ReaderThreadId() == 0; }));
    EXPECT_EQ(h.Read(port), 5u);
    EXPECT_EQ(h.Command(port, "AT\r"), "write failed");
    std::uint32_t type = 0;
    EXPECT_EQ(h.session.RemoveInterface(modem.PortName(), &type), INF_DATA);
    // The loss shows at the wait or, when the wait saw input first, at the read.
    const std::string lost = LogSince(mark2);
    EXPECT_TRUE(Has(lost, "CEKLVUSBSession::ThreadFn - WaitCommEvent failed[LastError=1167]") ||
                Has(lost, "CEKLVUSBSession::ThreadFn - ReadFile failed[LastError=1167]"))
        << lost;
}

// A reader slower to end than the stop waits is abandoned; the session
// goes on with a fresh reader, and the old one ends later touching only its
// own slot.
TEST_F(OverlappedPort, AbandonedReaderLeavesTheSessionUsable) {
    h.session.SetTestTimings({.read_wait_ms = 1500, .stop_wait_ms = 20, .reader_exit_delay_ms = 400});
    ASSERT_EQ(h.session.CloseInterface(INF_DATA), 0u);  // served handle: stops the reader (in time)
    ASSERT_NE(h.session.OpenInterface(INF_DATA, 0), pf::kInvalidHandle);
    const std::string mark = LogMark();
    h.session.StopReadThread();
    EXPECT_EQ(h.session.ReaderThreadId(), 0u);  // the session's fresh slot
    EXPECT_EQ(h.session.ReaderHandle(), pf::kInvalidHandle);
    EXPECT_EQ(FirstMissingInOrder(LogSince(mark), {"wait timeout", "reader abandoned"}), "");

    h.session.SetTestTimings(kQuick);
    h.ReopenAnswersAt();
    h.session.CloseAllInterfaces();
    EXPECT_TRUE(Eventually([&] { return pf::lx::RunningThreadCount() <= threads_before; }));
    pf::lx::ReapEndedThreads();  // it dropped its own last handle: join it here
}

// One reader per session: a second overlapped open moves it to the newer
// handle; closing the other one leaves it.
TEST_F(OverlappedPort, SecondOverlappedOpenTakesTheReader) {
    test::WriteCoreIni("[PID_SETTINGS]\npid_default=50,1,300,2,1000\n[INF_SETTINGS]\nINF_DATA=USB Modem\nINF_UART=Modem B\n"
                       "INF_MSD=Modem C\n");
    ModemEmulator second;
    ASSERT_EQ(h.session.AddInterface("\\\\.\\uart", "Modem B"), INF_UART);
    ASSERT_EQ(h.AddModem(second, "Modem C"), INF_MSD);
    // INF_UART opens through its COM port name, which a pty has not: refused.
    EXPECT_EQ(h.session.OpenInterface(INF_UART, 0), pf::kInvalidHandle);

    const std::uint32_t first_reader = h.session.ReaderThreadId();
    pf::Handle c = h.session.OpenInterface(INF_MSD, 0);
    ASSERT_NE(c, pf::kInvalidHandle);
    EXPECT_EQ(h.session.ReaderHandle(), c);
    EXPECT_NE(h.session.ReaderThreadId(), first_reader);
    second.QueueReply(ModemReply::Text("\r\nC OK\r\n"));
    EXPECT_EQ(h.Command(c, "AT\r"), "\r\nC OK\r\n");
    EXPECT_EQ(h.session.CloseInterface(INF_DATA), 0u);
    EXPECT_EQ(h.session.ReaderHandle(), c);
    EXPECT_EQ(h.Command(c, "AT\r"), "\r\nOK\r\n");
    h.session.CloseAllInterfaces();
    EXPECT_EQ(h.session.GetInterfaceCount(), 0u);
    EXPECT_EQ(h.session.ReaderThreadId(), 0u);
}

}  // namespace
}  // namespace eklv
